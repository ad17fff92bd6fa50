// Grammar generator core: reads grammar text and produces epsilon-free automata and C++ code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// Transition kinds of a generated edge; the values are those of the engine's transitions.
enum peggen_trans_kind : std::int32_t {
    PEGGEN_TRANS_WILD = 0,
    PEGGEN_TRANS_CHAR = 1,
    PEGGEN_TRANS_CLASS = 2,
    PEGGEN_TRANS_AUTOMATON = 3,
};

/// Automaton modes of a generated automaton; the values are those of the engine's modes.
enum peggen_mode : std::int32_t {
    PEGGEN_MODE_VOID = 0,
    PEGGEN_MODE_PRUNE = 1,
    PEGGEN_MODE_TREE = 2,
    PEGGEN_MODE_NOT = 4,
};

/// One edge: for a class transition data is an index into peggen_grammar::classes.
struct peggen_edge {
    std::int32_t kind;
    std::uint64_t data;
    std::uint64_t target;
    bool voided;
};

/// One state: edges in priority order, and whether the rule may end here.
struct peggen_state {
    std::vector<peggen_edge> edges;
    bool match;
};

/// One character class: single bytes and inclusive ranges (mins[i], maxs[i]) as written.
struct peggen_class {
    std::vector<unsigned char> singles;
    std::vector<unsigned char> mins;
    std::vector<unsigned char> maxs;
};

/// One automaton: state 0 is the start state; no edge consumes nothing by itself.
struct peggen_automaton {
    std::int32_t mode;
    std::uint64_t type;
    std::vector<peggen_state> states;
};

/// A compiled grammar: named rules first (index = node type), then the predicate automata.
struct peggen_grammar {
    std::string name;
    bool eof_check = false;
    std::vector<std::string> rule_names;
    std::vector<peggen_automaton> automata;
    std::vector<peggen_class> classes;
};

/// Compiles grammar text; file_label prefixes diagnostics ("x.peg:3:7: ..."); warnings start
/// with "warning: " after the location. Returns false (with at least one error appended to
/// diagnostics) when the grammar is rejected; out is then unspecified.
[[nodiscard]] bool peggen_compile(std::string_view text, std::string_view file_label,
                                  std::string_view grammar_name, peggen_grammar *out,
                                  std::vector<std::string> *diagnostics);

/// Node-type enumerator of a rule: upper-cased grammar name, "_", upper-cased rule name.
std::string peggen_enumerator(std::string_view grammar_name, std::string_view rule_name);

/// The generated header text; source_label is the path named in the first comment line.
std::string peggen_emit_header(const peggen_grammar &grammar, std::string_view source_label);

/// The generated source text: the grammar as static records, its memo and start tables, and
/// the constructor; deterministic for equal input.
std::string peggen_emit_source(const peggen_grammar &grammar, std::string_view source_label);

/// Membership bits of a class (bit b of out[b >> 6] for byte b), ranges compared as signed
/// bytes as the engine does.
void class_membership(const peggen_class &c, std::uint64_t *out);

/// The memo flags and the start table of the grammar, computed as the engine computes them at
/// run time; false (both emptied) when the analysis ran out of memory or could not settle.
[[nodiscard]] bool peggen_analyse(const peggen_grammar &grammar, std::vector<std::uint8_t> *memo,
                                  std::vector<std::uint64_t> *starts);

/// Readable text of one automaton for tests and debugging: states as "0:" then edges such as
/// "'a'>1", ":.>2", "[a-z_]>1", "@Rule>3" (a call), "!12>1" (a predicate), "*" when accepting.
std::string peggen_dump_automaton(const peggen_grammar &grammar, std::uint64_t index);
