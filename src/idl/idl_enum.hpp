// Enumerations, bitmasks and bitsets.
#pragma once

struct ast;
struct xmltree;
struct idl_source;

/// Adds one `enum` element with one `enumerator` per literal to parent; false on failure (logged).
[[nodiscard]] bool idl_visit_enum_dcl(const ast *node, const idl_source &src, xmltree *parent);
/// Adds one `bitmask` element with one `bit_value` per flag to parent; false on failure (logged).
[[nodiscard]] bool idl_visit_bitmask_dcl(const ast *node, const idl_source &src, xmltree *parent);
/// Adds one `bitset` element (`name`, `baseType`) with its bitfields to parent; false on failure
/// (logged).
[[nodiscard]] bool idl_visit_bitset_dcl(const ast *node, const idl_source &src, xmltree *parent);
/// Adds one `bitfield` element per name of a `bitfield` node to the bitset element (one without
/// `name` for an anonymous field); false on failure (logged).
[[nodiscard]] bool idl_visit_bitfield(const ast *node, const idl_source &src, xmltree *bitset);
