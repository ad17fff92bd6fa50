// Grammar objects and the memoising matcher that runs them over an input.
#pragma once

#include <cstdint>

#include "peg/ht.hpp"

struct fa;
struct input;
struct ast;

/// A grammar: automata (rules), the start automaton and the end-of-input check.
struct parser {
    std::uint64_t start;           ///< index of the start automaton
    fa *automata;                  ///< owned automaton array (made with the hooks)
    std::uint64_t automaton_count; ///< number of automata
    bool eof_check;                ///< a parse succeeds only when the whole input is consumed
    std::uint8_t *memo;            ///< owned, per automaton: 1 memoises its results; null: all
    std::uint64_t *starts;         ///< owned, 5 words per automaton: its first bytes, then 1
                                   ///< when it may match empty or look further; null: unknown
};

/// Stores the fields; p takes over the automaton array. Automata whose calls can never lead
/// back to themselves are matched again rather than memoised (the results are the same; a
/// re-match of such a rule is cheaper than a memo entry); without memory for that table
/// every automaton is memoised. The bytes each automaton can start with are recorded too: a
/// call that cannot start at the current byte fails at once when that byte lies at or before
/// the farthest failure already recorded (its full run would change nothing).
void parser_init(parser *p, std::uint64_t start, fa *automata, std::uint64_t automaton_count,
                 bool eof_check);
/// Allocated parser taking over the array; null (logged) on out of memory, and then the
/// automaton array has been released too; release with parser_delete.
[[nodiscard]] parser *parser_new(std::uint64_t start, fa *automata, std::uint64_t automaton_count,
                                 bool eof_check);
/// fa_clear on every automaton, releases the array and the call tables, nulls them; accepts
/// null/zeroed.
void parser_clear(parser *p);
/// parser_clear, then releases the record; accepts null.
void parser_delete(parser *p);

/// Runs the grammar over the input from in->pos and returns the root node, never null: the
/// start automaton's result (moved out of the parse, owned by the caller, released with
/// ast_recursive_delete), or an AST_ERROR node at the farthest failure. Afterwards in->pos is
/// where the start automaton's match ended, or the starting position when it failed. Lines
/// and columns count from where the parse began; positions are absolute. The parser is only
/// read. A malformed grammar (bad indexes, left recursion) gives an AST_ERROR node (logged).
[[nodiscard]] ast *parse(const parser *p, input *in);

struct inner_parser_work;

/// Working record of one parse. Nodes it hands out are borrowed: they live in the parse's
/// own blocks until inner_parser_clear.
struct inner_parser {
    std::uint64_t start;           ///< start automaton (copied from the parser)
    const fa *automata;            ///< borrowed automaton array
    std::uint64_t automaton_count; ///< number of automata
    bool eof_check;                ///< copied from the parser
    input *in;                     ///< borrowed input; its pos is the current position
    std::uint64_t line;            ///< current line, from 1
    std::uint64_t column;          ///< current column, from 0
    bool last_cr;                  ///< the last consumed byte was a carriage return
    std::uint64_t error_pos;       ///< farthest recorded failure
    std::uint64_t error_line;      ///< its line
    std::uint64_t error_column;    ///< its column
    std::uint64_t error_type;      ///< node type recorded with it
    ht cache;                      ///< memo table keyed by (automaton, start position)
    inner_parser_work *work;       ///< node blocks and the explicit matching stacks
    bool failed_hard;              ///< out of memory or malformed grammar: the parse is void
};

/// Fills ip for a parse of in with p (initial values as parse uses); false (logged) on out
/// of memory, and then ip can still be cleared.
[[nodiscard]] bool inner_parser_init(inner_parser *ip, const parser *p, input *in);
/// Allocated and initialised working record; null (logged) on failure.
[[nodiscard]] inner_parser *inner_parser_new(const parser *p, input *in);
/// Releases the memo table, the stacks and every node the parse made; accepts zeroed.
void inner_parser_clear(inner_parser *ip);
/// inner_parser_clear, then releases the record; accepts null.
void inner_parser_delete(inner_parser *ip);
/// Matches the start automaton, applies the end-of-input check and returns the result
/// copied out into caller-owned nodes (never null; AST_ERROR on failure).
[[nodiscard]] ast *inner_parser_parse(inner_parser *ip);
/// Matches automaton index at the current position (memoised); the borrowed result node, or
/// null for a failed match (position, line and column then unchanged).
[[nodiscard]] ast *match_automaton(inner_parser *ip, std::uint64_t index);
/// Sets the current position, line, column and last_cr.
void restore_pos(inner_parser *ip, std::uint64_t pos, std::uint64_t line, std::uint64_t column,
                 bool last_cr);
/// Records a failure at the current position when it lies beyond every earlier one, with
/// the given node type; always null.
ast *update_error(inner_parser *ip, std::uint64_t type);
/// New caller-owned AST_ERROR node from the recorded failure; null (logged) on out of memory.
[[nodiscard]] ast *create_parse_error(const inner_parser *ip);
