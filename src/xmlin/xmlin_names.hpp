// Names across DDS-XML documents: the type names a document uses must name types that it or
// the documents it includes declare, by the IDL scoping rules; and which childless structures
// only declare their name.
#pragma once

#include "xmlin/xmlin.hpp"

#include <vector>

/// Checks every `nonBasicTypeName` and `baseType` of `doc` against the declarations of
/// `visible` (doc itself and every document it includes, directly or not): the name is looked
/// up from the enclosing module outwards, as IDL does, and must name a type. A name that
/// nothing declares is an error (a warning when options.permissive); a name of a module or a
/// constant is an error. Reports through diag_report at the attribute. False on any error.
[[nodiscard]] bool xmlin_check_names(const xmlin_document &doc,
                                     const std::vector<const xmlin_document *> &visible,
                                     const xmlin_options &options);

/// Sets xmlin_element::forward on the elements of `doc` that only declare a name: every
/// childless union, and every childless structure without a base whose name a document of
/// `related` (those `doc` includes and those including it, itself among them) defines with
/// members or a base, or that its own document declares again further on.
void xmlin_mark_forward(xmlin_document &doc, const std::vector<const xmlin_document *> &related);
