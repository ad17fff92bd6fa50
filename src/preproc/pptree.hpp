// Small read-only helpers over parse-tree nodes used by every preprocessor module.
#pragma once

#include <cstddef>
#include <cstdint>

#include "peg/ast.hpp"
#include "peg/vector.hpp"

/// Node type of a tree node, or `UINT64_MAX` for any other node (null, empty, char, error).
[[nodiscard]] inline uint64_t pptree_type(const ast *node) {
    const ast_tree *t = ast_as_tree(node);
    return t ? t->type : UINT64_MAX;
}

/// True for the error node of a parse that ran out of memory; the engine has logged it, so
/// callers only pass the failure up.
[[nodiscard]] inline bool pptree_aborted(const ast *node) {
    const ast_error *err = ast_as_error(node);
    return err != nullptr && err->type == AST_ERROR_ABORTED;
}

/// Number of children of a tree node; 0 for any other node.
[[nodiscard]] inline uint64_t pptree_count(const ast *node) {
    const ast_tree *t = ast_as_tree(node);
    return (t && t->children) ? t->children->count : 0;
}

/// Child `i` of a tree node; null when out of range or not a tree node.
[[nodiscard]] inline ast *pptree_child(const ast *node, uint64_t i) {
    const ast_tree *t = ast_as_tree(node);
    if (!t || !t->children || i >= t->children->count) {
        return nullptr;
    }
    return static_cast<ast *>(t->children->items[i]);
}
