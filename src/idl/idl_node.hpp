// What the visitors use of a parse tree: the source and its nodes, and the document's elements
// and attributes.
#pragma once

#include "idl/idl_attr.hpp"
#include "model/source.hpp"
