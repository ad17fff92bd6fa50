// Evaluation of `#if`/`#elif` conditions in unsigned 64-bit arithmetic.
#pragma once

#include <cstdint>

struct ast;
struct preproc_root;

/// Expands, parses and evaluates the condition of an `IfDirective`/`ElifDirective` tree whose
/// positions are offsets into `line_text`: 1 true, 0 false, -1 on failure (logged).
[[nodiscard]] int preproc_constexpr(const ast *directive_tree, preproc_root *root,
                                    const char *line_text);

/// Evaluates a condition text that has already been expanded: 1, 0, or -1 (logged).
[[nodiscard]] int preproc_eval_condition(preproc_root *root, const char *text, uint64_t len);
