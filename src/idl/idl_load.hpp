// The document of a unit read by the model stage.
#pragma once

#include "model/load.hpp"

struct xmltree;

/// The `dds` document of a unit (root, namespaces, `types` with every definition), released by
/// the caller with xmltree_free; null on failure (reported). The unit is not changed.
[[nodiscard]] xmltree *idl_unit_document(const idl_unit *unit);
