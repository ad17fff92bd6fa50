// Where the time of one conversion goes: the pipeline's stages run one by one on one file.
//
// Stages: cleaning (comments and line splices), directive pass (includes, conditions,
// definitions; the cleaning it does again inside is subtracted), expansion (macros over the
// whole text), parse (the IDL grammar), translation (tree to elements, the parse it does
// again inside subtracted) and writing (the indented document text). Each stage is run
// `repeat` times and its best time is kept; the total is set beside a plain read of the same
// file in the same run, so the figures read as ratios that do not drift with the load.
//
//     pipeline_bench FILE.idl [repeat]   (default 3)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/owned.hpp"
#include "grammars/idl_parser.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_translate.hpp"
#include "peg/ast.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "preproc/cleaner.hpp"
#include "preproc/macro.hpp"
#include "preproc/preproc.hpp"
#include "xml/xmltree.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

void free_text(char *p) {
    std::free(p);
}

struct root_guard {
    preproc_root state{};
    ~root_guard() { preproc_root_fini(&state); }
};

// Best time of each stage over the runs; false when a stage fails (logged by the stage).
struct stage_times {
    double read = 1e30, clean = 1e30, directives = 1e30, expand = 1e30, parse = 1e30,
           translate = 1e30, write = 1e30;
    std::size_t in_bytes = 0, pp_bytes = 0, out_bytes = 0;
};

void keep_best(double &best, double t) {
    if (t < best)
        best = t;
}

bool run_once(const char *path, stage_times &st) {
    auto t0 = clock_type::now();
    {
        std::FILE *f = std::fopen(path, "rb");
        if (!f) {
            std::fprintf(stderr, "cannot open %s\n", path);
            return false;
        }
        std::string data;
        char buf[1 << 16];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            data.append(buf, n);
        std::fclose(f);
        st.in_bytes = data.size();
    }
    keep_best(st.read, seconds_since(t0));

    t0 = clock_type::now();
    idl_string cleaned = idl_string_strdup("", 0);
    const bool cleaned_ok = cleaned.data && idlpreproc_clean_file(path, &cleaned);
    const double clean = seconds_since(t0);
    idl_string_free(&cleaned);
    if (!cleaned_ok)
        return false;
    keep_best(st.clean, clean);

    root_guard root;
    if (!preproc_root_init(&root.state, nullptr, nullptr))
        return false;
    owned<char, free_text> resolved{realpath(path, nullptr)};
    if (!resolved)
        return false;
    t0 = clock_type::now();
    std::uint64_t cursor = 0;
    if (!idlpreproc_include_file(&root.state, resolved.get(), &cursor))
        return false;
    const double directives = seconds_since(t0) - clean;
    keep_best(st.directives, directives > 0 ? directives : 0);

    t0 = clock_type::now();
    if (!preproc_normalize_string(&root.state, &root.state.output))
        return false;
    keep_best(st.expand, seconds_since(t0));
    st.pp_bytes = root.state.output.len;

    const idl_source src = idl_source_of(root.state, path);
    t0 = clock_type::now();
    double parse_time = 0;
    {
        owned<parser, parser_delete> grammar{idl_parser_new()};
        if (!grammar)
            return false;
        input in{};
        input_init(&in, src.text.data(), src.text.size());
        owned<ast, ast_recursive_delete> tree{parse(grammar.get(), &in)};
        if (ast_as_error(tree.get()))
            return false;
        parse_time = seconds_since(t0);
    }
    keep_best(st.parse, parse_time);

    owned<xmltree, xmltree_free> doc{xmltree_new("dds")};
    xmltree *types = doc ? xmltree_add_child(doc.get(), "types", 0) : nullptr;
    if (!types)
        return false;
    t0 = clock_type::now();
    if (!idl_translate(src, types))
        return false;
    const double translate = seconds_since(t0) - parse_time;
    keep_best(st.translate, translate > 0 ? translate : 0);

    t0 = clock_type::now();
    owned<char, free_text> text{xmltree_toxml_beautify(doc.get())};
    if (!text)
        return false;
    keep_best(st.write, seconds_since(t0));
    st.out_bytes = std::strlen(text.get());
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pipeline_bench FILE.idl [repeat]\n");
        return 2;
    }
    const int repeat = argc > 2 ? std::atoi(argv[2]) : 3;
    stage_times st;
    for (int i = 0; i < (repeat > 0 ? repeat : 1); ++i)
        if (!run_once(argv[1], st)) {
            std::fprintf(stderr, "a stage failed\n");
            return 1;
        }
    const double total = st.clean + st.directives + st.expand + st.parse + st.translate + st.write;
    std::printf("input %zu bytes, preprocessed %zu bytes, output %zu bytes\n", st.in_bytes,
                st.pp_bytes, st.out_bytes);
    std::printf("%-12s %10s %8s %12s\n", "stage", "seconds", "share", "MB/s");
    const struct {
        const char *name;
        double t;
    } rows[] = {{"cleaning", st.clean}, {"directives", st.directives}, {"expansion", st.expand},
                {"parse", st.parse},    {"translation", st.translate}, {"writing", st.write}};
    for (const auto &r : rows)
        std::printf("%-12s %10.4f %7.1f%% %12.1f\n", r.name, r.t, 100.0 * r.t / total,
                    r.t > 0 ? st.in_bytes / r.t / 1e6 : 0.0);
    std::printf("%-12s %10.4f %7.1f%% %12.1f\n", "total", total, 100.0, st.in_bytes / total / 1e6);
    std::printf("read (base)  %10.4f  total/read = %.0f\n", st.read,
                st.read > 0 ? total / st.read : 0.0);
    return 0;
}
