// Grammar analysis behind the matcher's shortcuts: which automata to memoise and which bytes
// each automaton can start with. Written once as templates over a read-only view of the
// automata, so that the engine (over its records, at run time) and the grammar generator
// (over its own model, when it writes the tables into the generated code) compute the same
// tables by the same code. Standard library only; memory comes from the caller's functions.
#pragma once

#include <cstddef>
#include <cstdint>

// A grammar view G provides, for automaton a, state s and edge e (indexes always in range):
//   std::uint64_t count() const;                  number of automata
//   std::int32_t mode(a) const;                   the automaton's mode
//   std::uint64_t state_count(a) const;           0 when the automaton has no state array
//   bool accepting(a, s) const;
//   std::uint64_t edge_count(a, s) const;         0 when the state has no edge array
//   std::int32_t kind(a, s, e) const;             transition kind (engine values)
//   std::uint64_t datum(a, s, e) const;           character or called automaton
//   std::uint64_t target(a, s, e) const;
//   bool voided(a, s, e) const;
//   bool class_bits(a, s, e, std::uint64_t out[4]) const;  false when there is no class
// Alloc is `void *(std::size_t bytes)` returning zero-filled memory or null; Release frees it.

/// Words per automaton in a start table: 256 bits of first bytes, then "any" (1 when a call
/// may never fail early: it may match empty, looks ahead, takes any byte first, is malformed
/// or loops in place), then the leaf flags (peg_leaf_start, peg_leaf_byte).
inline constexpr std::uint64_t peg_start_words = 6;
/// Leaf flag: a run that cannot start fails on its first edge and records exactly one
/// failure, of its own type.
inline constexpr std::uint64_t peg_leaf_start = 1;
/// Leaf flag: the automaton is exactly one byte of its first-byte set and leaves nothing (a
/// voiding rule of one character or class edge into an end state), so a call of it is that
/// byte test, failing with the automaton's type.
inline constexpr std::uint64_t peg_leaf_byte = 2;
/// Leaf flag, a chain: every state has one edge to a later state, or none (then it is
/// accepting), or, accepting, one byte step back to itself; each edge is a byte step (a
/// character, a class, a call of a byte automaton), a call of a chain, or a negative
/// predicate over one such step; the rule keeps no child, or (pruning) the result of one
/// called chain. No backtracking point lies inside, so a call is taken in one pass.
inline constexpr std::uint64_t peg_leaf_chain = 4;
/// Leaf flag, a skip: a voiding chain of one accepting state whose one edge is a byte step
/// back to itself (blanks*): a call takes the bytes of that step while they come, records the
/// step's failure where they end, and always matches, leaving nothing.
inline constexpr std::uint64_t peg_leaf_skip = 8;

namespace peg_analysis {

// Transition kinds and modes as the engine numbers them.
inline constexpr std::int32_t wild = 0, chr = 1, cls = 2, call = 3;
inline constexpr std::int32_t mode_void = 0, mode_prune = 1, mode_tree = 2, mode_and = 3,
                              mode_not = 4;

template <class T, class Alloc> T *zeroed(Alloc &alloc, std::uint64_t n) {
    if (n > SIZE_MAX / sizeof(T))
        return nullptr;
    return static_cast<T *>(alloc(static_cast<std::size_t>((n ? n : 1) * sizeof(T))));
}

// Per node of a graph in compressed rows (the successors of node i are
// calls[first[i]..first[i+1])), 1 when it lies on a cycle, else 0; nodes with skip[i] set are
// left out with their edges (skip may be null). Strongly connected components by an
// iterative Tarjan walk, linear in the graph's size. Null on out of memory.
template <class Alloc, class Release>
std::uint8_t *cycle_flags_new(const std::uint64_t *first, const std::uint64_t *calls,
                              std::uint64_t n, const std::uint8_t *skip, Alloc &alloc,
                              Release &release) {
    auto *flags = zeroed<std::uint8_t>(alloc, n);
    // Walk records: discovery index (0 = unvisited), low link, next successor, Tarjan stack.
    auto *index = zeroed<std::uint64_t>(alloc, n);
    auto *low = zeroed<std::uint64_t>(alloc, n);
    auto *cursor = zeroed<std::uint64_t>(alloc, n);
    auto *on_stack = zeroed<std::uint8_t>(alloc, n);
    auto *scc = zeroed<std::uint64_t>(alloc, n);
    auto *path = zeroed<std::uint64_t>(alloc, n);
    bool ok = flags && index && low && cursor && on_stack && scc && path;
    std::uint64_t counter = 0, scc_top = 0;
    for (std::uint64_t root = 0; ok && root < n; ++root) {
        if (index[root] || (skip && skip[root]))
            continue;
        std::uint64_t depth = 0;
        path[depth++] = root;
        index[root] = low[root] = ++counter;
        cursor[root] = first[root];
        scc[scc_top++] = root;
        on_stack[root] = 1;
        while (depth) {
            std::uint64_t v = path[depth - 1];
            if (cursor[v] < first[v + 1]) {
                std::uint64_t w = calls[cursor[v]++];
                if (skip && skip[w])
                    continue;
                if (w == v) {
                    flags[v] = 1; // its own successor
                } else if (!index[w]) {
                    index[w] = low[w] = ++counter;
                    cursor[w] = first[w];
                    scc[scc_top++] = w;
                    on_stack[w] = 1;
                    path[depth++] = w;
                } else if (on_stack[w] && index[w] < low[v]) {
                    low[v] = index[w];
                }
                continue;
            }
            --depth;
            if (depth && low[v] < low[path[depth - 1]])
                low[path[depth - 1]] = low[v];
            if (low[v] != index[v])
                continue;
            // v roots a component: pop it; two or more members form a cycle.
            std::uint64_t begin = scc_top;
            while (scc[begin - 1] != v)
                --begin;
            --begin;
            for (std::uint64_t j = begin; j < scc_top; ++j) {
                on_stack[scc[j]] = 0;
                if (scc_top - begin > 1)
                    flags[scc[j]] = 1;
            }
            scc_top = begin;
        }
    }
    release(path);
    release(scc);
    release(on_stack);
    release(cursor);
    release(low);
    release(index);
    if (!ok) {
        release(flags);
        return nullptr;
    }
    return flags;
}

/// Per automaton, 1 when its results are memoised: a set of automata that breaks every cycle
/// of calls (so that the calls between memoised automata form no cycle and the work per
/// memo entry is bounded by the grammar), plus every automaton that calls a missing one.
/// Each pick is the cyclic automaton with the fewest call sites, the earliest on a tie:
/// rules called from one place are matched about as often as their caller, and memoising
/// one rule of a chain is enough. Null on out of memory.
template <class G, class Alloc, class Release>
std::uint8_t *memo_flags_new(const G &g, Alloc &alloc, Release &release) {
    const std::uint64_t n = g.count();
    if (n == 0 || n > (SIZE_MAX / 8) / 8)
        return nullptr;
    // Call graph in compressed rows: the callees of automaton i are calls[first[i]..first[i+1]).
    std::uint64_t total = 0;
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t s = 0; s < g.state_count(i); ++s)
            for (std::uint64_t e = 0; e < g.edge_count(i, s); ++e)
                total += g.kind(i, s, e) == call;
    auto *memo = zeroed<std::uint8_t>(alloc, n);
    auto *first = zeroed<std::uint64_t>(alloc, n + 1);
    auto *calls = zeroed<std::uint64_t>(alloc, total + 1);
    auto *sites = zeroed<std::uint64_t>(alloc, n);
    bool ok = memo && first && calls && sites;
    if (ok) {
        std::uint64_t k = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            first[i] = k;
            for (std::uint64_t s = 0; s < g.state_count(i); ++s)
                for (std::uint64_t e = 0; e < g.edge_count(i, s); ++e) {
                    if (g.kind(i, s, e) != call)
                        continue;
                    const std::uint64_t callee = g.datum(i, s, e);
                    if (callee >= n) {
                        memo[i] = 1; // the parse fails on it anyway; keep the safe path
                    } else {
                        calls[k++] = callee;
                        ++sites[callee];
                    }
                }
        }
        first[n] = k;
    }
    // Pick until no cycle is left among the automata not yet memoised.
    for (std::uint64_t round = 0; ok && round <= n; ++round) {
        std::uint8_t *cyclic = cycle_flags_new(first, calls, n, memo, alloc, release);
        if (!cyclic) {
            ok = false;
            break;
        }
        std::uint64_t pick = n;
        for (std::uint64_t i = 0; i < n; ++i)
            if (cyclic[i] && (pick == n || sites[i] < sites[pick]))
                pick = i;
        release(cyclic);
        if (pick == n)
            break;
        memo[pick] = 1;
    }
    release(sites);
    release(calls);
    release(first);
    if (!ok) {
        release(memo);
        return nullptr;
    }
    return memo;
}

// One pass over automaton i with the current estimates: its first bytes (into out, 4
// words), whether it may match empty (nullable) and whether its first bytes say nothing
// (opaque: it looks ahead, takes any byte first, is malformed, loops in place, or calls
// such an automaton before consuming). A nullable callee is looked through: the walk goes
// on past it. left[] collects the automata it calls before consuming anything (count in
// *left_count).
template <class G>
void start_pass(const G &g, std::uint64_t i, const std::uint64_t *starts,
                const std::uint8_t *nullable, const std::uint8_t *opaque, std::uint64_t *out,
                bool *is_nullable, bool *is_any, std::uint64_t *left, std::uint64_t *left_count,
                std::uint8_t *color, std::uint64_t *todo) {
    const std::uint64_t n = g.count();
    const std::int32_t mode = g.mode(i);
    const std::uint64_t state_count = g.state_count(i);
    *is_nullable = false;
    *is_any = false;
    *left_count = 0;
    for (std::uint64_t k = 0; k < 4; ++k)
        out[k] = 0;
    if (mode < mode_void || mode > mode_not || mode == mode_and || mode == mode_not ||
        state_count == 0) {
        *is_any = true;
        return;
    }
    // Depth-first walk over the states reached without consuming; a state met again while
    // still open is a loop in place.
    for (std::uint64_t s = 0; s < state_count; ++s)
        color[s] = 0;
    std::uint64_t depth = 0;
    todo[0] = 0;
    todo[1] = 0;
    ++depth;
    color[0] = 1;
    while (depth) {
        const std::uint64_t s = todo[(depth - 1) * 2];
        std::uint64_t &next_edge = todo[(depth - 1) * 2 + 1];
        if (next_edge == 0 && g.accepting(i, s))
            *is_nullable = true;
        if (next_edge >= g.edge_count(i, s)) {
            color[s] = 2;
            --depth;
            continue;
        }
        const std::uint64_t e = next_edge++;
        const std::int32_t kind = g.kind(i, s, e);
        bool through = false; // the edge can be taken without consuming
        if (kind == chr) {
            const auto c = static_cast<unsigned>(g.datum(i, s, e) & 0xFF);
            out[c >> 6] |= std::uint64_t{1} << (c & 63);
        } else if (kind == cls) {
            std::uint64_t bits[4] = {0, 0, 0, 0};
            if (!g.class_bits(i, s, e, bits)) {
                *is_any = true;
                continue;
            }
            for (std::uint64_t k = 0; k < 4; ++k)
                out[k] |= bits[k];
        } else if (kind == wild) {
            *is_any = true;
        } else if (kind == call) {
            const std::uint64_t callee = g.datum(i, s, e);
            if (callee >= n) {
                *is_any = true;
                continue;
            }
            left[(*left_count)++] = callee;
            const std::uint64_t *row = starts + callee * peg_start_words;
            for (std::uint64_t k = 0; k < 4; ++k)
                out[k] |= row[k];
            if (opaque[callee])
                *is_any = true;
            through = nullable[callee] != 0;
        }
        if (!through)
            continue;
        const std::uint64_t to = g.target(i, s, e);
        if (to >= state_count) {
            *is_any = true;
            continue;
        }
        if (color[to] == 1) {
            *is_any = true; // a loop that consumes nothing
            continue;
        }
        if (color[to] == 0) {
            color[to] = 1;
            todo[depth * 2] = to;
            todo[depth * 2 + 1] = 0;
            ++depth;
        }
    }
}

/// The start table (peg_start_words per automaton), or null on out of memory or a grammar
/// too irregular to settle; both leave every call to run in full.
template <class G, class Alloc, class Release>
std::uint64_t *start_table_new(const G &g, Alloc &alloc, Release &release) {
    const std::uint64_t n = g.count();
    if (n == 0 || n > (SIZE_MAX / 8) / (8 * peg_start_words))
        return nullptr;
    std::uint64_t max_states = 1, max_calls = 1;
    for (std::uint64_t i = 0; i < n; ++i) {
        if (g.state_count(i) > max_states)
            max_states = g.state_count(i);
        std::uint64_t calls = 0;
        for (std::uint64_t s = 0; s < g.state_count(i); ++s)
            calls += g.edge_count(i, s);
        if (calls > max_calls)
            max_calls = calls;
    }
    if (max_states > (SIZE_MAX / 16) / 2 || max_calls > SIZE_MAX / 16)
        return nullptr;
    auto *starts = zeroed<std::uint64_t>(alloc, n * peg_start_words);
    auto *nullable = zeroed<std::uint8_t>(alloc, n);
    auto *forced = zeroed<std::uint8_t>(alloc, n);
    auto *opaque = zeroed<std::uint8_t>(alloc, n);
    auto *left = zeroed<std::uint64_t>(alloc, max_calls);
    auto *color = zeroed<std::uint8_t>(alloc, max_states);
    auto *todo = zeroed<std::uint64_t>(alloc, max_states * 2);
    // Left-call graph in rows (callees met before consuming), for the left-recursion check.
    auto *first = zeroed<std::uint64_t>(alloc, n + 1);
    std::uint64_t *calls = nullptr;
    bool ok = starts && nullable && forced && opaque && left && color && todo && first;
    std::uint64_t words[4];
    bool is_nullable = false, is_any = false;
    std::uint64_t left_count = 0;
    // Estimates only grow; settle them, mark the automata on a left-call cycle (left
    // recursion: their run is what reports it) and settle again so that callers inherit it.
    for (int round = 0; ok && round < 2; ++round) {
        bool changed = true;
        std::uint64_t passes = 0;
        while (ok && changed) {
            changed = false;
            if (++passes > 4 * n + 16) {
                ok = false;
                break;
            }
            for (std::uint64_t i = 0; i < n; ++i) {
                start_pass(g, i, starts, nullable, opaque, words, &is_nullable, &is_any, left,
                           &left_count, color, todo);
                std::uint64_t *row = starts + i * peg_start_words;
                const bool opaque_now = is_any || forced[i];
                for (std::uint64_t k = 0; k < 4; ++k)
                    if ((row[k] | words[k]) != row[k]) {
                        row[k] |= words[k];
                        changed = true;
                    }
                if (opaque_now && !opaque[i]) {
                    opaque[i] = 1;
                    changed = true;
                }
                if (is_nullable && !nullable[i]) {
                    nullable[i] = 1;
                    changed = true;
                }
            }
        }
        if (!ok || round == 1)
            break;
        std::uint64_t total = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            start_pass(g, i, starts, nullable, opaque, words, &is_nullable, &is_any, left,
                       &left_count, color, todo);
            total += left_count;
        }
        calls = zeroed<std::uint64_t>(alloc, total + 1);
        ok = calls != nullptr;
        std::uint64_t k = 0;
        for (std::uint64_t i = 0; ok && i < n; ++i) {
            first[i] = k;
            start_pass(g, i, starts, nullable, opaque, words, &is_nullable, &is_any, left,
                       &left_count, color, todo);
            for (std::uint64_t j = 0; j < left_count && k < total; ++j)
                calls[k++] = left[j];
        }
        first[n] = k;
        std::uint8_t *cyclic =
            ok ? cycle_flags_new(first, calls, n, nullptr, alloc, release) : nullptr;
        ok = ok && cyclic;
        for (std::uint64_t i = 0; ok && i < n; ++i)
            forced[i] = cyclic[i];
        release(cyclic);
    }
    // A call may fail early unless its first bytes say nothing or it may match empty.
    for (std::uint64_t i = 0; ok && i < n; ++i)
        starts[i * peg_start_words + 4] = opaque[i] || nullable[i] ? 1 : 0;
    release(calls);
    release(first);
    release(todo);
    release(color);
    release(left);
    release(opaque);
    release(forced);
    release(nullable);
    if (!ok) {
        release(starts);
        return nullptr;
    }
    // Leaf start: the start state only consumes single bytes (no call, not accepting) and the
    // mode builds a node, so a run that cannot start fails on its first edge and records
    // exactly one failure, of its own type, where it stands.
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::int32_t mode = g.mode(i);
        if (mode < mode_void || mode > mode_tree || g.state_count(i) == 0)
            continue;
        bool leaf = !g.accepting(i, 0) && g.edge_count(i, 0) > 0;
        std::uint64_t bits[4];
        for (std::uint64_t e = 0; leaf && e < g.edge_count(i, 0); ++e) {
            const std::int32_t kind = g.kind(i, 0, e);
            leaf = kind == chr || (kind == cls && g.class_bits(i, 0, e, bits));
        }
        std::uint64_t *row = starts + i * peg_start_words;
        row[5] = leaf && !row[4] ? peg_leaf_start : 0;
        if (row[5] && mode == mode_void && g.edge_count(i, 0) == 1) {
            const std::uint64_t to = g.target(i, 0, 0);
            if (to < g.state_count(i) && g.accepting(i, to) && g.edge_count(i, to) == 0)
                row[5] |= peg_leaf_byte;
        }
    }
    // Chains: rules without backtracking points that the matcher can take in one pass.
    // Settled in rounds, since a chain may call chains.
    auto row5 = [&](std::uint64_t i) -> std::uint64_t & { return starts[i * peg_start_words + 5]; };
    auto byte_step = [&](std::uint64_t i, std::uint64_t s, std::uint64_t e) {
        const std::int32_t kind = g.kind(i, s, e);
        std::uint64_t bits[4];
        if (kind == chr)
            return true;
        if (kind == cls)
            return g.class_bits(i, s, e, bits);
        return kind == call && g.datum(i, s, e) < n && (row5(g.datum(i, s, e)) & peg_leaf_byte);
    };
    auto chain_call = [&](std::uint64_t i, std::uint64_t s, std::uint64_t e) {
        return g.kind(i, s, e) == call && g.datum(i, s, e) < n &&
               (row5(g.datum(i, s, e)) & peg_leaf_chain) != 0;
    };
    // A call of !x with x one byte step or chain call.
    auto not_step = [&](std::uint64_t i, std::uint64_t s, std::uint64_t e) {
        if (g.kind(i, s, e) != call || g.datum(i, s, e) >= n)
            return false;
        const std::uint64_t p = g.datum(i, s, e);
        if (g.mode(p) != mode_not || g.state_count(p) == 0 || g.accepting(p, 0) ||
            g.edge_count(p, 0) != 1 || !(byte_step(p, 0, 0) || chain_call(p, 0, 0)))
            return false;
        const std::uint64_t to = g.target(p, 0, 0);
        return to < g.state_count(p) && g.accepting(p, to) && g.edge_count(p, to) == 0;
    };
    auto is_chain = [&](std::uint64_t i) {
        const std::int32_t mode = g.mode(i);
        const std::uint64_t states = g.state_count(i);
        if (mode < mode_void || mode > mode_tree || states == 0)
            return false;
        std::uint64_t kept = 0;
        for (std::uint64_t s = 0; s < states; ++s) {
            const std::uint64_t edges = g.edge_count(i, s);
            if (edges == 0) {
                if (!g.accepting(i, s))
                    return false;
                continue;
            }
            if (edges != 1)
                return false;
            const std::uint64_t to = g.target(i, s, 0);
            const bool loop = to == s;
            if (loop ? !(g.accepting(i, s) && byte_step(i, s, 0)) : (to <= s || to >= states))
                return false;
            const bool bytes = byte_step(i, s, 0);
            const bool chain = !bytes && chain_call(i, s, 0);
            if (!bytes && !chain && !not_step(i, s, 0))
                return false;
            if (mode == mode_void || g.voided(i, s, 0))
                continue;
            if (bytes && g.kind(i, s, 0) != call)
                return false; // a kept character
            if (chain && g.mode(g.datum(i, s, 0)) != mode_void)
                ++kept;
        }
        return kept == 0 || (kept == 1 && mode == mode_prune);
    };
    for (bool grew = true; grew;) {
        grew = false;
        for (std::uint64_t i = 0; i < n; ++i)
            if (!(row5(i) & peg_leaf_chain) && is_chain(i)) {
                row5(i) |= peg_leaf_chain;
                grew = true;
            }
    }
    for (std::uint64_t i = 0; i < n; ++i)
        if ((row5(i) & peg_leaf_chain) && g.mode(i) == mode_void && g.accepting(i, 0) &&
            g.edge_count(i, 0) == 1 && g.target(i, 0, 0) == 0)
            row5(i) |= peg_leaf_skip;
    return starts;
}

} // namespace peg_analysis
