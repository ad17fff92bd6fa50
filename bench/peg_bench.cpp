// Throughput and memory of the PEG engine on a generated, IDL-shaped text.
//
// Every figure is also given as a ratio to a baseline measured in the same run: a plain byte
// scan that counts lines and identifiers (speed), and the input size (memory). Memory is the
// peak number of bytes the engine holds through its allocator hooks during one parse.
//
//     peg_bench [megabytes]   (default 8)
//     peg_bench --idl FILE [repeat]   the IDL grammar over a preprocessed text (see ppdump)
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "grammars/idl_parser.hpp"
#include "peg/ast.hpp"
#include "peg/edge.hpp"
#include "peg/fa.hpp"
#include "peg/input.hpp"
#include "peg/memory.hpp"
#include "peg/parser.hpp"
#include "peg/set.hpp"
#include "peg/state.hpp"
#include "peg/trans.hpp"

namespace {

//=== byte-counting allocator hooks ===//

struct alignas(16) header {
    std::size_t size;
};

std::size_t g_now = 0;
std::size_t g_peak = 0;

void note(std::ptrdiff_t delta) {
    g_now = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(g_now) + delta);
    if (g_now > g_peak)
        g_peak = g_now;
}

void *hook_malloc(std::size_t n) {
    auto *h = static_cast<header *>(std::malloc(sizeof(header) + n));
    if (!h)
        return nullptr;
    h->size = n;
    note(static_cast<std::ptrdiff_t>(n));
    return h + 1;
}

void hook_free(void *p) {
    if (!p)
        return;
    header *h = static_cast<header *>(p) - 1;
    note(-static_cast<std::ptrdiff_t>(h->size));
    std::free(h);
}

void *hook_calloc(std::size_t count, std::size_t size) {
    if (size && count > SIZE_MAX / size)
        return nullptr;
    void *p = hook_malloc(count * size);
    if (p)
        std::memset(p, 0, count * size);
    return p;
}

void *hook_realloc(void *p, std::size_t n) {
    if (!p)
        return hook_malloc(n);
    header *h = static_cast<header *>(p) - 1;
    std::size_t old = h->size;
    auto *g = static_cast<header *>(std::realloc(h, sizeof(header) + n));
    if (!g)
        return nullptr;
    g->size = n;
    note(static_cast<std::ptrdiff_t>(n) - static_cast<std::ptrdiff_t>(old));
    return g + 1;
}

//=== test grammar ===//

struct edge_spec {
    std::int32_t kind;
    std::uint64_t data;
    const char *cls; // singles, and ranges as "a-z"
    std::uint64_t target;
    bool voided;
};

struct state_spec {
    std::vector<edge_spec> edges;
    bool match;
};

struct fa_spec {
    std::int32_t mode;
    std::vector<state_spec> states;
};

set *make_class(const char *spec) {
    std::string singles, mins, maxs;
    for (std::size_t i = 0, n = std::strlen(spec); i < n; ++i) {
        if (i + 2 < n && spec[i + 1] == '-') {
            mins += spec[i];
            maxs += spec[i + 2];
            i += 2;
        } else {
            singles += spec[i];
        }
    }
    auto *s = static_cast<char *>(peg_calloc(singles.size(), 1));
    auto *lo = static_cast<char *>(peg_calloc(mins.size(), 1));
    auto *hi = static_cast<char *>(peg_calloc(maxs.size(), 1));
    std::memcpy(s, singles.data(), singles.size());
    std::memcpy(lo, mins.data(), mins.size());
    std::memcpy(hi, maxs.data(), maxs.size());
    return set_new(s, singles.size(), lo, hi, mins.size());
}

parser *build(const std::vector<fa_spec> &spec, bool eof_check) {
    auto *automata = static_cast<fa *>(peg_calloc(spec.size(), sizeof(fa)));
    for (std::size_t i = 0; i < spec.size(); ++i) {
        auto *states = static_cast<state *>(peg_calloc(spec[i].states.size(), sizeof(state)));
        for (std::size_t j = 0; j < spec[i].states.size(); ++j) {
            const state_spec &ss = spec[i].states[j];
            auto *edges = static_cast<edge *>(peg_calloc(ss.edges.size(), sizeof(edge)));
            for (std::size_t k = 0; k < ss.edges.size(); ++k) {
                const edge_spec &es = ss.edges[k];
                trans t;
                std::uint64_t data = es.kind == TRANS_CLASS
                                         ? reinterpret_cast<std::uint64_t>(make_class(es.cls))
                                         : es.data;
                trans_init(&t, es.kind, data);
                edge_init(&edges[k], t, es.target, es.voided);
            }
            state_init(&states[j], edges, ss.edges.size(), ss.match);
        }
        fa_init(&automata[i], spec[i].mode, i, states, spec[i].states.size());
    }
    return parser_new(0, automata, spec.size(), eof_check);
}

// 0 spec <- (:ws / block)*          (tree)
// 1 block <- id :ws id :ws? '{' (:ws / block / member)* '}' :ws? ';'   (tree)
// 2 member <- id :ws id :ws? ';'    (tree)
// 3 id <- [A-Za-z_] [A-Za-z0-9_]*   (tree)
// 4 ws <- [ \t\r\n]+                (voiding)
enum : std::uint64_t { SPEC, BLOCK, MEMBER, ID, WS };

std::vector<fa_spec> idl_like() {
    const std::int32_t A = TRANS_AUTOMATON, C = TRANS_CHAR, K = TRANS_CLASS;
    return {
        {MODE_TREE, {{{{A, WS, "", 0, true}, {A, BLOCK, "", 0, false}}, true}}},
        {MODE_TREE,
         {{{{A, ID, "", 1, false}}, false},
          {{{A, WS, "", 2, true}}, false},
          {{{A, ID, "", 3, false}}, false},
          {{{A, WS, "", 4, true}, {C, '{', "", 5, true}}, false},
          {{{C, '{', "", 5, true}}, false},
          {{{A, WS, "", 5, true},
            {A, BLOCK, "", 5, false},
            {A, MEMBER, "", 5, false},
            {C, '}', "", 6, true}},
           false},
          {{{A, WS, "", 7, true}, {C, ';', "", 8, true}}, false},
          {{{C, ';', "", 8, true}}, false},
          {{}, true}}},
        {MODE_TREE,
         {{{{A, ID, "", 1, false}}, false},
          {{{A, WS, "", 2, true}}, false},
          {{{A, ID, "", 3, false}}, false},
          {{{A, WS, "", 4, true}, {C, ';', "", 5, true}}, false},
          {{{C, ';', "", 5, true}}, false},
          {{}, true}}},
        {MODE_TREE,
         {{{{K, 0, "A-Za-z_", 1, false}}, false}, {{{K, 0, "A-Za-z0-9_", 1, false}}, true}}},
        {MODE_VOID,
         {{{{K, 0, " \t\r\n", 1, false}}, false}, {{{K, 0, " \t\r\n", 1, false}}, true}}},
    };
}

// One token per parse, as the preprocessor's text pass does: item <- id / ws / . (pruning).
std::vector<fa_spec> item_grammar() {
    const std::int32_t A = TRANS_AUTOMATON, K = TRANS_CLASS;
    return {
        {MODE_PRUNE,
         {{{{A, 1, "", 1, false}, {A, 2, "", 1, false}, {TRANS_WILD, 0, "", 1, false}}, false},
          {{}, true}}},
        {MODE_TREE,
         {{{{K, 0, "A-Za-z_", 1, true}}, false}, {{{K, 0, "A-Za-z0-9_", 1, true}}, true}}},
        {MODE_VOID,
         {{{{K, 0, " \t\r\n", 1, false}}, false}, {{{K, 0, " \t\r\n", 1, false}}, true}}},
    };
}

std::string make_text(std::size_t bytes) {
    std::string out;
    unsigned n = 0;
    while (out.size() < bytes) {
        out += "module m" + std::to_string(n) + " {\n";
        for (int s = 0; s < 3; ++s) {
            out += "    struct S" + std::to_string(n) + "_" + std::to_string(s) + " {\n";
            for (int m = 0; m < 6; ++m)
                out += "        long member_" + std::to_string(m) + ";\n";
            out += "        inner_t nested_value;\n    };\n";
        }
        out += "};\n";
        ++n;
    }
    return out;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Baseline: one pass counting lines and identifier starts.
double baseline_pass(const std::string &text, std::uint64_t *sink) {
    auto t0 = std::chrono::steady_clock::now();
    std::uint64_t lines = 0, ids = 0;
    bool in_id = false;
    for (char c : text) {
        bool id = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
                  (in_id && c >= '0' && c <= '9');
        ids += id && !in_id;
        in_id = id;
        lines += c == '\n';
    }
    *sink += lines + ids;
    return seconds_since(t0);
}

// The IDL grammar over one preprocessed file: best parse time against a plain scan of the
// same text, peak engine memory against the text size, and the cost of building the grammar.
int idl_file_main(const char *path, int repeat) {
    std::FILE *f = std::fopen(path, "rb");
    if (!f) {
        std::fprintf(stderr, "cannot open %s\n", path);
        return 1;
    }
    std::string text;
    char buf[1 << 16];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    std::uint64_t sink = 0;
    double base = 1e9;
    for (int i = 0; i < 3; ++i) {
        double t = baseline_pass(text, &sink);
        base = t < base ? t : base;
    }
    double build_best = 1e9;
    for (int i = 0; i < 100; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        parser *g = idl_parser_new();
        double t = seconds_since(t0);
        build_best = t < build_best ? t : build_best;
        parser_delete(g);
    }
    parser *g = idl_parser_new();
    if (!g)
        return 1;
    double best = 1e9, release_best = 1e9;
    std::size_t peak = 0, kept = 0;
    bool ok = true;
    for (int i = 0; i < repeat; ++i) {
        g_peak = g_now;
        std::size_t before = g_now;
        input in;
        input_init(&in, text.data(), text.size());
        auto t0 = std::chrono::steady_clock::now();
        ast *r = parse(g, &in);
        double t = seconds_since(t0);
        ok = ok && r->kind == AST_TREE;
        kept = g_now - before;
        peak = g_peak - before;
        t0 = std::chrono::steady_clock::now();
        ast_recursive_delete(r);
        double rt = seconds_since(t0);
        best = t < best ? t : best;
        release_best = rt < release_best ? rt : release_best;
    }
    parser_delete(g);
    const double size_mb = static_cast<double>(text.size()) / (1 << 20);
    std::printf("input: %.1f MB (%s, checksum %" PRIu64 ")\n", size_mb, path, sink);
    std::printf("baseline scan:     %9.4f s\n", base);
    std::printf("idl parse:         %9.4f s  ratio to baseline %.1f\n", best, best / base);
    std::printf("result release:    %9.4f s\n", release_best);
    std::printf("grammar build:     %9.1f us\n", build_best * 1e6);
    std::printf("peak engine memory: %8.1f MB  (%.2f bytes per input byte); result %.1f MB\n",
                static_cast<double>(peak) / (1 << 20),
                static_cast<double>(peak) / static_cast<double>(text.size()),
                static_cast<double>(kept) / (1 << 20));
    if (!ok) {
        std::printf("the parse failed\n");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 2 && std::strcmp(argv[1], "--idl") == 0) {
        peg_set_mem_func(hook_malloc, hook_free, hook_calloc, hook_realloc);
        int repeat = argc > 3 ? std::atoi(argv[3]) : 3;
        return idl_file_main(argv[2], repeat > 0 ? repeat : 1);
    }
    std::size_t mb = argc > 1 ? static_cast<std::size_t>(std::strtoul(argv[1], nullptr, 10)) : 8;
    if (mb == 0)
        mb = 8;
    peg_set_mem_func(hook_malloc, hook_free, hook_calloc, hook_realloc);
    const std::string text = make_text(mb << 20);
    const double size_mb = static_cast<double>(text.size()) / (1 << 20);
    std::uint64_t sink = 0;

    double base = 1e9;
    for (int i = 0; i < 3; ++i) {
        double t = baseline_pass(text, &sink);
        base = t < base ? t : base;
    }

    // Whole-text parse.
    parser *g = build(idl_like(), true);
    double best = 1e9;
    std::size_t peak = 0;
    bool ok = true;
    for (int i = 0; i < 3; ++i) {
        g_peak = g_now;
        std::size_t before = g_now;
        input in;
        input_init(&in, text.data(), text.size());
        auto t0 = std::chrono::steady_clock::now();
        ast *r = parse(g, &in);
        ok = ok && r->kind == AST_TREE;
        ast_recursive_delete(r);
        double t = seconds_since(t0);
        best = t < best ? t : best;
        peak = g_peak - before;
    }
    parser_delete(g);

    // One item per parse over the first megabyte.
    parser *items = build(item_grammar(), false);
    const std::size_t item_bytes = text.size() < (1u << 20) ? text.size() : (1u << 20);
    double item_best = 1e9;
    std::uint64_t item_count = 0;
    for (int i = 0; i < 3; ++i) {
        input in;
        input_init(&in, text.data(), item_bytes);
        item_count = 0;
        auto t0 = std::chrono::steady_clock::now();
        while (!input_eof(&in)) {
            ast *r = parse(items, &in);
            ok = ok && r->kind != AST_ERROR;
            ast_recursive_delete(r);
            ++item_count;
        }
        double t = seconds_since(t0);
        item_best = t < item_best ? t : item_best;
    }
    parser_delete(items);
    double item_base = base * static_cast<double>(item_bytes) / static_cast<double>(text.size());

    std::printf("input: %.1f MB generated IDL-shaped text (checksum %" PRIu64 ")\n", size_mb, sink);
    std::printf("baseline scan:     %9.1f MB/s\n", size_mb / base);
    std::printf("whole-text parse:  %9.1f MB/s  ratio to baseline %.4f\n", size_mb / best,
                base / best);
    std::printf("peak engine memory: %8.1f bytes per input byte (ratio to input size)\n",
                static_cast<double>(peak) / static_cast<double>(text.size()));
    std::printf("item parses:       %9.1f MB/s  ratio to baseline %.4f  (%.0f ns per item)\n",
                static_cast<double>(item_bytes) / (1 << 20) / item_best, item_base / item_best,
                item_best * 1e9 / static_cast<double>(item_count));
    if (!ok) {
        std::printf("a parse failed\n");
        return 1;
    }
    return 0;
}
