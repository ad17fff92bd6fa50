// Conditional sections: the stack of open `#if` chains and the directives that change it.
#pragma once

#include <cstdint>
#include <vector>

struct ast;
struct preproc_root;

/// One open `#if` chain.
struct preproc_cond {
    bool skipping;              ///< the lines of the current group are skipped
    bool taken;                 ///< no later group of this chain can be selected
    bool else_seen;             ///< an `#else` of this chain has been met
    uint64_t line = 0;          ///< file line of the chain's opening directive
    const char *path = nullptr; ///< its file (borrowed for the pass)
    uint64_t opened_by = 0;     ///< node type of the opening directive (`#if`, `#ifdef`, `#ifndef`)
};

/// The stack of open chains; the top is the last entry.
using preproc_cond_stack = std::vector<preproc_cond>;

/// True when the current line lies in a skipped group.
[[nodiscard]] bool preproc_cond_skipping(const preproc_cond_stack &stack);

/// True when `type` (a directive node type) opens, switches or closes a section.
[[nodiscard]] bool preproc_cond_is_conditional(uint64_t type);

/// Conditional directive named by the word after '#' (`if`, `ifdef`, ...): its node type, or
/// 0 when the word names no conditional directive.
[[nodiscard]] uint64_t preproc_cond_word_type(const char *word, uint64_t len);

/// Follows one conditional directive inside a skipped group without reading its operands:
/// `#if`, `#ifdef` and `#ifndef` open a chain that stays skipped, `#endif` closes one, and
/// `#elif` and `#else` of a chain whose group was already selected change nothing. False when
/// the directive must be read in full (an `#elif` or `#else` that may select a group).
[[nodiscard]] bool preproc_cond_skip(preproc_cond_stack &stack, uint64_t type);

/// Applies one conditional directive tree (over `line_text`) to `stack`; false when
/// preprocessing must stop (logged).
[[nodiscard]] bool preproc_cond_apply(preproc_root *root, preproc_cond_stack &stack,
                                      const ast *tree, const char *line_text);
