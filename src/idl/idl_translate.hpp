// Walking the top-level definitions of a parse tree into the `types` element.
#pragma once

#include "model/parse.hpp"

struct ast;
struct xmltree;
struct idl_source;

/// Parses src.text with the IDL grammar and adds the element of every top-level definition to
/// types, in source order. False on a parse error (logged with the file and line and a caret
/// line), or when a definition fails (logged, then "Failed to generate XML").
[[nodiscard]] bool idl_translate(const idl_source &src, xmltree *types);
/// Resolves the key pragmas of src, then adds the element of every top-level definition of tree
/// (a parse of src.text) to types, in source order. False when a pragma names a type or member
/// that is missing at level error, or a definition fails; reported as by idl_translate.
[[nodiscard]] bool idl_translate_tree(const ast *tree, const idl_source &src, xmltree *types);
