// The parse entry: a preprocessed text parsed with the IDL grammar; parse errors reported with
// the place, what the grammar expected there, and the source line with a caret.
#pragma once

#include <string>

struct ast;
struct idl_source;
struct preproc_root;

/// Parses src.text with the IDL grammar: the tree, released by the caller with
/// ast_recursive_delete, or null after reporting the parse error (file, line and column, what
/// was expected, the source line and a caret line).
[[nodiscard]] ast *idl_parse_source(const idl_source &src);
/// The source view of a finished preprocessor state: its output text, file records and key
/// pragmas; fallback_path names positions no record covers.
[[nodiscard]] idl_source idl_source_of(const preproc_root &state, const char *fallback_path);
/// A parse error's place shown in two lines of a message.
struct idl_caret {
    std::string line;  ///< the source line (control bytes as '?'), long lines cut around the column
    std::string marks; ///< blanks (tabs kept so that it lines up) up to the error byte, then '^'
};
/// The line of src.text that holds pos, and under it a caret at column.
[[nodiscard]] idl_caret idl_caret_text(const idl_source &src, unsigned long long pos,
                                       unsigned long long column);
