// Parse-tree nodes: characters, empty matches, trees with children, and parse errors.
#pragma once

#include <cstdint>

struct vector;

/// Node kinds.
enum ast_kind : std::int32_t {
    AST_CHAR = 0,  ///< data: the consumed byte, 0 to 255
    AST_EMPTY = 1, ///< data: 0; a successful match that leaves nothing
    AST_ERROR = 2, ///< data: pointer to an owned ast_error
    AST_TREE = 3,  ///< data: pointer to an owned ast_tree
};

/// One parse-tree node.
struct ast {
    std::int32_t kind;  ///< an ast_kind value
    std::uint64_t data; ///< meaning depends on kind
};

/// Contents of an AST_TREE node.
struct ast_tree {
    std::uint64_t type;  ///< node type: index into the grammar's type-name table
    vector *children;    ///< owned vector of child ast nodes in input order (may be empty)
    std::uint64_t start; ///< input position where the match began
    std::uint64_t end;   ///< input position just after the match (exclusive)
};

/// Node type of the error of a parse that could not run to its end (out of memory, or a
/// malformed grammar), already logged by the engine: its position says nothing about the
/// text, so callers report no syntax error for it.
inline constexpr std::uint64_t AST_ERROR_ABORTED = ~std::uint64_t{0};

/// Contents of an AST_ERROR node: the farthest failure of a parse.
struct ast_error {
    std::uint64_t pos;    ///< input position of the farthest failure
    std::uint64_t line;   ///< line at that position, from 1 (counted from where the parse began)
    std::uint64_t column; ///< characters before it on its line, from 0
    std::uint64_t type;   ///< node type of the automaton being matched there, or
                          ///< AST_ERROR_ABORTED
};

/// The tree record of an AST_TREE node, else null; accepts null.
[[nodiscard]] ast_tree *ast_as_tree(const ast *node);
/// The error record of an AST_ERROR node, else null; accepts null.
[[nodiscard]] ast_error *ast_as_error(const ast *node);

/// Stores kind and data.
void ast_init(ast *node, std::int32_t kind, std::uint64_t data);
/// Allocated node; null (logged) on out of memory; release with ast_delete or
/// ast_recursive_delete.
[[nodiscard]] ast *ast_new(std::int32_t kind, std::uint64_t data);
/// AST_ERROR: releases the error record; AST_TREE: deletes the tree record and its children
/// vector, not the children; then zeroes data; accepts null. The root of a parse result owns
/// the blocks its nodes live in: clearing it releases them all (its record stays in the
/// node's block until the node is deleted).
void ast_clear(ast *node);
/// ast_clear, then releases the node; accepts null.
void ast_delete(ast *node);

/// Stores the fields; t takes over the children vector.
void ast_tree_init(ast_tree *t, std::uint64_t type, vector *children, std::uint64_t start,
                   std::uint64_t end);
/// Allocated tree record; null (logged) on out of memory (children stay the caller's).
[[nodiscard]] ast_tree *ast_tree_new(std::uint64_t type, vector *children, std::uint64_t start,
                                     std::uint64_t end);
/// Releases the children vector, not the child nodes; accepts null. For the record of a parse
/// result's root it releases the result's nodes instead (the vector is part of the root).
void ast_tree_clear(ast_tree *t);
/// ast_tree_clear, then releases the record (a parse result's root record stays with its
/// node); accepts null.
void ast_tree_delete(ast_tree *t);

/// Allocated error record; null (logged) on out of memory; owned by an AST_ERROR node.
[[nodiscard]] ast_error *ast_error_new(std::uint64_t pos, std::uint64_t line, std::uint64_t column,
                                       std::uint64_t type);

/// Releases node and everything below it (any depth, no native recursion); a node reachable
/// several times below it is released once; a parse result met on the way goes as a whole
/// with its root; accepts null.
void ast_recursive_delete(ast *node);
/// The same walk over the node's contents, leaving the node itself zeroed and allocated.
void ast_recursive_clear(ast *node);
/// Releases every child recursively and the children vector, not the record itself.
void ast_tree_recursive_clear(ast_tree *t);
/// ast_tree_recursive_clear, then releases the record (a parse result's root record stays
/// with its node, which the caller still deletes).
void ast_tree_recursive_delete(ast_tree *t);

/// New zero-filled buffer of child count + 1 bytes holding the byte of each AST_CHAR child
/// in order (other children are skipped); release with peg_free; null (logged) when node is
/// not a tree node or memory runs out.
[[nodiscard]] char *ast_children_as_string(const ast *node);

/// Prints a tree (indented, one node per line) or an error to standard output; names is
/// indexed by node type; "NULL" for a null node; works at any depth.
void display_ast(const ast *node, const char *const *names);
/// Prints the parse-error line of an AST_ERROR node to standard output; nothing otherwise.
void display_parse_error(const ast *node, const char *const *names);
