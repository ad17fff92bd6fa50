// Structures, their members and annotation applications.
#pragma once

struct ast;
struct xmltree;
struct idl_source;

/// Adds one `struct` element (annotations, `name`, `baseType`, then its members) to parent;
/// false when any part fails (logged).
[[nodiscard]] bool idl_visit_struct_def(const ast *node, const idl_source &src, xmltree *parent);
/// Adds one `member` element per declarator of a `member` or `element_spec` node to parent,
/// each with the shared annotations and type attributes; false when any part fails (logged).
[[nodiscard]] bool idl_visit_member(const ast *node, const idl_source &src, xmltree *parent);
/// Applies one `annotation_appl` node to element as attributes (known flags, named or positional
/// parameters); false when an assignment fails (logged).
[[nodiscard]] bool idl_visit_anno_appl(const ast *node, const idl_source &src, xmltree *element);
/// Applies the leading `annotation_appl` children of node to element; false when one fails.
[[nodiscard]] bool idl_apply_annotations(const ast *node, const idl_source &src, xmltree *element);
/// Sets on element the type attributes of type-bearing node (nonBasicTypeName, type,
/// stringMaxLength, sequenceMaxLength, in member order); false when any fails (logged).
[[nodiscard]] bool idl_set_member_type(const ast *type_bearing, const idl_source &src,
                                       xmltree *element);
