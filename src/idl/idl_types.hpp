// Type references: the DDS-XML type attributes of members, typedefs, constants and bitfields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct ast;
struct xmltree;
struct idl_source;

/// DDS-XML name of a non-sequence type node (integer, floating, char, wchar, boolean, octet,
/// string, wstring, scoped name "nonBasic"); null when the vocabulary has none. Logs nothing.
[[nodiscard]] const char *idl_type_name(const ast *type_node);
/// DDS-XML name of an `integer_type` node by the integer kind it holds; null for other nodes.
[[nodiscard]] const char *idl_integer_type_name(const ast *integer_type);
/// Short name of a construct for messages ("map", "fixed", "float", "string", ...).
[[nodiscard]] const char *idl_construct_name(const ast *type_node);

/// Type name of the type-bearing node (its child 0 is the type node); the annotations of a
/// sequence go to element. Null when the type has no DDS-XML name or an annotation fails
/// (logged, with the file and line for a missing name).
[[nodiscard]] const char *idl_visit_type_spec(const ast *node, const idl_source &src,
                                              xmltree *element);
/// Applies the leading annotations of sequence node seq to element and returns its element
/// type's name; null as idl_visit_type_spec, and for an element type that is itself an
/// anonymous sequence (reported: DDS-XML has no form for it).
[[nodiscard]] const char *idl_visit_sequence_type(const ast *seq, const idl_source &src,
                                                  xmltree *element);
/// Sets `sequenceMaxLength` (the bound as written, "-1" unbounded) when child 0 of node is a
/// sequence; false only when the assignment fails (logged).
[[nodiscard]] bool idl_visit_sequence(const ast *node, const idl_source &src, xmltree *element);
/// Sets `stringMaxLength` when child 0 of node is a bounded string or wide string, or a sequence
/// of them; false only when the assignment fails (logged).
[[nodiscard]] bool idl_visit_bounded_string(const ast *node, const idl_source &src,
                                            xmltree *element);
/// Full scoped name referenced by type node x: a `scoped_name` as written without blanks, or
/// the innermost element's name of a sequence; "" for anything else.
[[nodiscard]] std::string idl_visit_scoped_name(const ast *x, const idl_source &src);
/// For a declarator holding an `array_declarator`: applies the annotations before the first
/// dimension, then sets `arrayDimensions` ("3, 4"). True when nothing applies; false when an
/// assignment fails (logged).
[[nodiscard]] bool idl_visit_array_declarator(const ast *declarator, const idl_source &src,
                                              xmltree *element);
/// The identifier node of a `declarator` (simple or array), or null.
[[nodiscard]] const ast *idl_declarator_identifier(const ast *declarator);
