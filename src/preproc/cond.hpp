// Conditional sections: the stack of open `#if` chains and the directives that change it.
#pragma once

#include <cstdint>
#include <vector>

struct ast;
struct preproc_root;

/// One open `#if` chain.
struct preproc_cond {
    bool skipping;  ///< the lines of the current group are skipped
    bool taken;     ///< no later group of this chain can be selected
    bool else_seen; ///< an `#else` of this chain has been met
};

/// The stack of open chains; the top is the last entry.
using preproc_cond_stack = std::vector<preproc_cond>;

/// True when the current line lies in a skipped group.
[[nodiscard]] bool preproc_cond_skipping(const preproc_cond_stack &stack);

/// True when `type` (a directive node type) opens, switches or closes a section.
[[nodiscard]] bool preproc_cond_is_conditional(uint64_t type);

/// Applies one conditional directive tree (over `line_text`) to `stack`; false when
/// preprocessing must stop (logged).
[[nodiscard]] bool preproc_cond_apply(preproc_root *root, preproc_cond_stack &stack,
                                      const ast *tree, const char *line_text);
