// Macro table, `#define`/`#undef` handling and in-place macro expansion of a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "preproc/preproc.hpp"

struct ast;

/// Last definition of `name` in force at `line` (def_line <= line <= undef_line), or null.
[[nodiscard]] preproc_macro *preproc_find_macro(const char *name, pn_hashmap *table, uint64_t line);

/// preproc_find_macro of `name` at the table line of line `line` of the file, told to the
/// state's observer; `directive` says a directive asked rather than the text.
[[nodiscard]] preproc_macro *preproc_look_up(preproc_root *root, const std::string &name,
                                             uint64_t line, bool directive);

/// Appends `macro` to the list of its name, creating the list on first use; false (logged) on
/// failure, after which the caller still owns and destroys `macro`.
[[nodiscard]] bool preproc_add_macro(pn_hashmap *table, preproc_macro *macro);

/// Builds the replacement list of a `ReplacementList` node whose positions are offsets into
/// `line_text`; `parameters` is the parameter map or null. Null on failure (logged).
[[nodiscard]] pn_linkedlist *
preproc_visit_replacement_list(const ast *list_node, const char *line_text, pn_hashmap *parameters);

/// Defines a macro from a `DefineDirective` or `DefineDirectiveArg` tree over `line_text` at
/// the state's line counter; false on failure (logged, except a duplicate parameter).
[[nodiscard]] bool preproc_define(preproc_root *root, const ast *tree, const char *line_text);

/// Ends every definition of the `UndefineGroup` tree's name in force at the line counter; a name
/// with nothing in force is accepted. False only when the name cannot be read (logged).
[[nodiscard]] bool preproc_undef(preproc_root *root, const ast *tree, const char *line_text);

/// Expands macros over the whole text `text` in place; each name is looked up at the line it
/// stands on, counting lines from `first_line`. False on failure (logged).
[[nodiscard]] bool preproc_normalize_string(preproc_root *root, idl_string *text);

/// Expands macros in a condition text `text` in place, at the state's line counter, leaving the
/// operand of `defined` untouched. False on failure (logged).
[[nodiscard]] bool preproc_expand_condition(preproc_root *root, idl_string *text);

/// Releases every macro record of the table, the per-name lists and the table; accepts null.
void preproc_macro_table_destroy(pn_hashmap *table);
