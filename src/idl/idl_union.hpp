// Discriminated unions.
#pragma once

struct ast;
struct xmltree;
struct idl_source;

/// Adds one `union` element (annotations, `name`, `discriminator`, one `case` per case with its
/// `caseDiscriminator` labels and `member`) to parent; false when any part fails, including a
/// discriminator type without a DDS-XML name (logged).
[[nodiscard]] bool idl_visit_union_def(const ast *node, const idl_source &src, xmltree *parent);
