// Pieces shared between the modules of the PEG engine only.
#pragma once

struct ast;
struct ast_tree;

/// A static AST_ERROR node returned when not even an error node can be allocated; the
/// release functions recognise it and leave it alone.
[[nodiscard]] ast *peg_fallback_error_node();

/// True when t is the tree record of a parse result root: the root's node, tree record and
/// children vector share one block, and the nodes below it live in blocks the root owns.
[[nodiscard]] bool peg_result_tree(const ast_tree *t);
/// Releases the node blocks of a parse result root (once; later calls do nothing) and
/// empties its children; the root's own block stays, released with the node.
void peg_result_release_nodes(ast_tree *t);
