// Builds small grammars by hand through the engine's construction functions, for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct parser;

/// One edge of a hand-written automaton.
struct hand_edge {
    std::int32_t kind;  ///< a trans_kind value
    std::uint64_t data; ///< character or automaton index (unused for classes)
    std::string cls;    ///< TRANS_CLASS: singles, and ranges written "a-z" as three bytes
    std::uint64_t target;
    bool voided;
};

/// One state of a hand-written automaton.
struct hand_state {
    std::vector<hand_edge> edges;
    bool match = false;
};

/// One automaton.
struct hand_fa {
    std::int32_t mode;
    std::uint64_t type;
    std::vector<hand_state> states;
};

/// A whole grammar; build() makes it the way the generated constructors do.
struct hand_grammar {
    std::vector<hand_fa> automata;
    bool eof_check = true;

    /// Adds an automaton with n states (none accepting); returns its index.
    std::uint64_t add(std::int32_t mode, std::uint64_t type, std::size_t n);
    /// Adds a char edge.
    void ch(std::uint64_t a, std::uint64_t from, char c, std::uint64_t to, bool voided = false);
    /// Adds a class edge; cls holds singles and "x-y" ranges.
    void cls(std::uint64_t a, std::uint64_t from, const std::string &cls, std::uint64_t to,
             bool voided = false);
    /// Adds an any-character edge.
    void any(std::uint64_t a, std::uint64_t from, std::uint64_t to, bool voided = false);
    /// Adds a call edge to automaton callee.
    void call(std::uint64_t a, std::uint64_t from, std::uint64_t callee, std::uint64_t to,
              bool voided = false);
    /// Marks a state accepting.
    void accept(std::uint64_t a, std::uint64_t st);
    /// Adds char edges spelling t through states from, from + 1, ...; returns the last state.
    std::uint64_t text(std::uint64_t a, std::uint64_t from, const std::string &t,
                       bool voided = false);
    /// The parser; release with parser_delete.
    [[nodiscard]] parser *build() const;
};

/// Result of one parse, with the tree rendered by tree_text.
struct run_result {
    bool ok;           ///< not an AST_ERROR
    std::string tree;  ///< tree_text of the result
    std::uint64_t end; ///< input pos after the parse
};

/// Parses text with g (names "t0", "t1", ... unless given) and releases everything.
[[nodiscard]] run_result run(const hand_grammar &g, const std::string &text,
                             const std::vector<std::string> &names = {});
