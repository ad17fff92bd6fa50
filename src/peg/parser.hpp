// Grammar objects and the memoising matcher that runs them over an input.
#pragma once

#include <cstdint>

#include "peg/cache.hpp"

struct fa;
struct input;
struct ast;

/// A grammar: automata (rules), the start automaton and the end-of-input check.
struct parser {
    std::uint64_t start;           ///< index of the start automaton
    fa *automata;                  ///< automaton array: owned (made with the hooks), or static
    std::uint64_t automaton_count; ///< number of automata
    bool eof_check;                ///< a parse succeeds only when the whole input is consumed
    const std::uint8_t *memo;      ///< per automaton 1 memoises its results; null: all
    const std::uint64_t *starts;   ///< peg_start_words per automaton: its first bytes, "any"
                                   ///< and "leaf start" (grammar_analysis.hpp); null: unknown
    bool static_records;           ///< automata and tables are static data: parser_clear
                                   ///< leaves them (a generated grammar)
    bool well_formed;              ///< every state and edge target exists and fits the
                                   ///< matcher's limits (set by the constructors): the matcher
                                   ///< checks them no more at each step
};

/// Stores the fields; p takes over the automaton array and analyses it: a set of automata
/// that breaks every cycle of calls is memoised, the others are matched again when asked
/// again (the results are the same; a re-match of such a rule costs less than a memo entry);
/// without memory for that table every automaton is memoised. The bytes each automaton can
/// start with are recorded too: a call that cannot start at the current byte fails at once
/// when that byte lies at or before the farthest failure already recorded (its full run
/// would change nothing).
void parser_init(parser *p, std::uint64_t start, fa *automata, std::uint64_t automaton_count,
                 bool eof_check);
/// Allocated parser taking over the array; null (logged) on out of memory, and then the
/// automaton array has been released too; release with parser_delete.
[[nodiscard]] parser *parser_new(std::uint64_t start, fa *automata, std::uint64_t automaton_count,
                                 bool eof_check);
/// Allocated parser over static automata and their precomputed memo and start tables (as
/// parser_memo_flags_new and parser_start_table_new compute them), which it borrows for
/// good: one allocation; null (logged) on out of memory; release with parser_delete.
[[nodiscard]] parser *parser_new_static(std::uint64_t start, fa *automata,
                                        std::uint64_t automaton_count, bool eof_check,
                                        const std::uint8_t *memo, const std::uint64_t *starts);
/// Releases what p owns (automata through fa_clear, and the analysis tables) and nulls the
/// pointers; static records are left alone; accepts null/zeroed.
void parser_clear(parser *p);
/// parser_clear, then releases the record; accepts null.
void parser_delete(parser *p);

/// The memo flags parser_init computes for these automata (one byte per automaton), or null
/// on out of memory; release with peg_free.
[[nodiscard]] std::uint8_t *parser_memo_flags_new(const fa *automata, std::uint64_t count);
/// The start table parser_init computes (peg_start_words words per automaton), or null on
/// out of memory or a grammar too irregular to settle; release with peg_free.
[[nodiscard]] std::uint64_t *parser_start_table_new(const fa *automata, std::uint64_t count);

/// Runs the grammar over the input from in->pos and returns the root node, never null: the
/// start automaton's result, or an AST_ERROR node at the farthest failure. The caller owns
/// it and releases it with ast_recursive_delete; a tree result owns the blocks its nodes
/// live in and releases them as a whole, so its nodes are read-only and only the root is
/// ever released. Afterwards in->pos is
/// where the start automaton's match ended, or the starting position when it failed. Lines
/// and columns count from where the parse began; positions are absolute. The parser is only
/// read. A malformed grammar (bad indexes, left recursion) gives an AST_ERROR node (logged).
[[nodiscard]] ast *parse(const parser *p, input *in);
/// Runs the grammar over the input again from in->pos and collects what was expected at
/// position at: the node type of every automaton whose byte test failed there, and of every
/// caller of a predicate that failed there, each once, in the order first met (for at = the
/// error node's pos, the classic farthest-failure set).
/// A failed rule's record on behalf of its caller is left out: that caller tested nothing
/// there, and which caller it was depends on memoising. So the set does not depend on
/// which rules are memoised or taken by a shortcut.
/// Writes at most capacity types and returns how many; in->pos is left where it was. The
/// shortcuts that skip calls which cannot start at a byte are off at that one position, so
/// the set is complete. 0 when the parse could not run (logged as for parse).
[[nodiscard]] std::uint64_t parse_expected(const parser *p, input *in, std::uint64_t at,
                                           std::uint64_t *types, std::uint64_t capacity);

/// Receives one part of a parse by parse_parts: a node borrowed for the call only.
using parse_part_func = void (*)(const ast *part, void *context);

/// The parse of a grammar whose start rule reads a head and then a run of items (`A B*`, a
/// tree: state 0 calls A and goes to state 1, which accepts and calls B back into itself),
/// handed over piece by piece: each calls part with every child the start node of parse would
/// have (A's result unless it leaves nothing, then each B's) in input order, and gives the
/// nodes and memo entries of an item back before the next is matched, so that the tree of the
/// whole input is never held. The parts are the nodes parse would build. True when the whole
/// parse matched as parse would; false when it did not (parse then gives the error node),
/// could not run (out of memory, logged), or the start rule has another shape (part never
/// called): the caller then asks parse, for the error or the result. in->pos is left where the
/// match ended, or where it began on false.
[[nodiscard]] bool parse_parts(const parser *p, input *in, parse_part_func part, void *context);

/// What parse_parts_nested hands over.
enum parse_part_event : std::int32_t {
    PART_ITEM = 0,  ///< a whole item, as parse_parts hands it over
    PART_OPEN = 1,  ///< a container's head: a node of its type whose children are those its
                    ///< tree has before its items
    PART_CLOSE = 2, ///< a container's end: a node of its type whose children are those its
                    ///< tree has after its items (start: where the container began)
};

/// Receives one event of parse_parts_nested: a node borrowed for the call only.
using parse_nested_func = void (*)(parse_part_event event, const ast *node, void *context);

/// parse_parts that also takes containers apart. A container is the first alternative of an
/// item rule `I <- (C / ...) T` whose T leaves nothing, when C is a tree whose states run in a
/// line (each calls one rule, some calling a rule over and over first) and one of them calls I
/// over and over. An item that starts as C's head is handed over as that head (PART_OPEN), then
/// its items one by one (each nested the same way), then its end (PART_CLOSE), and the nodes of
/// each are given back before the next is matched: the memory held is that of the largest item
/// outside a container, however large the containers. Once a head is handed over the container
/// is taken along the first way the matcher tries; a container or T that then fails makes the
/// result false, as for a text that does not parse. A grammar without such an item rule gets
/// the events of parse_parts (all PART_ITEM). True exactly when the events describe the
/// children of parse's start node; otherwise as parse_parts.
[[nodiscard]] bool parse_parts_nested(const parser *p, input *in, parse_nested_func event,
                                      void *context);

struct inner_parser_work;

/// Working record of one parse. Nodes it hands out are borrowed: they live in the parse's
/// own blocks until inner_parser_clear.
struct inner_parser {
    std::uint64_t start;             ///< start automaton (copied from the parser)
    const fa *automata;              ///< borrowed automaton array
    std::uint64_t automaton_count;   ///< number of automata
    bool eof_check;                  ///< copied from the parser
    input *in;                       ///< borrowed input; its pos is the current position
    std::uint64_t line;              ///< current line, from 1
    std::uint64_t column;            ///< current column, from 0
    bool last_cr;                    ///< the last consumed byte was a carriage return
    std::uint64_t error_pos;         ///< farthest recorded failure
    std::uint64_t error_line;        ///< its line
    std::uint64_t error_column;      ///< its column
    std::uint64_t error_type;        ///< node type recorded with it
    memo_table cache;                ///< memo table keyed by (automaton, start position)
    inner_parser_work *work;         ///< node blocks and the explicit matching stacks
    bool failed_hard;                ///< out of memory or malformed grammar: the parse is void
    std::uint64_t collect_pos;       ///< position whose failures are collected; ~0: none
    std::uint64_t *expected;         ///< borrowed array of collected node types, or null
    std::uint64_t expected_count;    ///< entries used
    std::uint64_t expected_capacity; ///< entries available
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
/// Matches the start automaton, applies the end-of-input check and returns the result, which
/// takes the parse's node blocks with it (never null; AST_ERROR on failure); as parse.
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
