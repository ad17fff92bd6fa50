// Parsing the preprocessed text and walking its top-level definitions into the `types` element.
#pragma once

#include <string>

struct xmltree;
struct idl_source;
struct preproc_root;

/// Parses src.text with the IDL grammar and adds the element of every top-level definition to
/// types, in source order. False on a parse error (logged with the file and line and a caret
/// line), or when a definition fails (logged, then "Failed to generate XML").
[[nodiscard]] bool idl_translate(const idl_source &src, xmltree *types);
/// The source view of a finished preprocessor state: its output text and file records;
/// fallback_path names positions no record covers.
[[nodiscard]] idl_source idl_source_of(const preproc_root &state, const char *fallback_path);
/// Message text showing the line of src.text that holds pos, and a caret under column (tabs
/// kept so it lines up); long lines are cut to a window around the column.
[[nodiscard]] std::string idl_caret_text(const idl_source &src, unsigned long long pos,
                                         unsigned long long column);
