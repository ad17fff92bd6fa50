// Pieces shared between the modules of the PEG engine only.
#pragma once

struct ast;

/// A static AST_ERROR node returned when not even an error node can be allocated; the
/// release functions recognise it and leave it alone.
[[nodiscard]] ast *peg_fallback_error_node();
