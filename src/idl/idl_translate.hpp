// Parsing the preprocessed text and walking its top-level definitions into the `types` element.
#pragma once

#include <string>

struct ast;
struct xmltree;
struct idl_source;
struct preproc_root;

/// Parses src.text with the IDL grammar and adds the element of every top-level definition to
/// types, in source order. False on a parse error (logged with the file and line and a caret
/// line), or when a definition fails (logged, then "Failed to generate XML").
[[nodiscard]] bool idl_translate(const idl_source &src, xmltree *types);
/// Parses src.text with the IDL grammar: the tree, released by the caller with
/// ast_recursive_delete, or null after reporting the parse error as idl_translate does.
[[nodiscard]] ast *idl_parse_source(const idl_source &src);
/// Resolves the key pragmas of src, then adds the element of every top-level definition of tree
/// (a parse of src.text) to types, in source order. False when a pragma names a type or member
/// that is missing at level error, or a definition fails; reported as by idl_translate.
[[nodiscard]] bool idl_translate_tree(const ast *tree, const idl_source &src, xmltree *types);
/// The source view of a finished preprocessor state: its output text and file records;
/// fallback_path names positions no record covers.
[[nodiscard]] idl_source idl_source_of(const preproc_root &state, const char *fallback_path);
/// A parse error's place shown in two lines of a message.
struct idl_caret {
    std::string line;  ///< the source line (control bytes as '?'), long lines cut around the column
    std::string marks; ///< blanks (tabs kept so that it lines up) up to the error byte, then '^'
};
/// The line of src.text that holds pos, and under it a caret at column.
[[nodiscard]] idl_caret idl_caret_text(const idl_source &src, unsigned long long pos,
                                       unsigned long long column);
