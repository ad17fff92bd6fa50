// Debugging dump: parses a text with one of the tool's grammars and prints its tree or error.
#include "astdump.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/glog.hpp"
#include "base/owned.hpp"
#include "peg/ast.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"

#include "grammars/idl_parser.hpp"
#include "grammars/idlcleaner_parser.hpp"
#include "grammars/directive_parser.hpp"
#include "grammars/non_directive_parser.hpp"
#include "grammars/ifexpr_parser.hpp"

namespace {

void close_file(std::FILE *f) {
    static_cast<void>(std::fclose(f));
}

// One row per grammar: its command-line name, constructor and type-name table.
struct grammar_entry {
    const char *name;
    parser *(*make)();
    const char *const *type_strings;
};

const grammar_entry grammar_table[astdump_grammar_count] = {
    {"idl", idl_parser_new, idl_type_strings},
    {"idlcleaner", idlcleaner_parser_new, idlcleaner_type_strings},
    {"directive", directive_parser_new, directive_type_strings},
    {"non_directive", non_directive_parser_new, non_directive_type_strings},
    {"ifexpr", ifexpr_parser_new, ifexpr_type_strings},
};

// Parses one input and prints the result; the input stays the caller's.
bool dump_input(const grammar_entry &g, input *in) {
    owned<parser, parser_delete> grammar{g.make()};
    if (!grammar) {
        glog_error("astdump: could not build the %s grammar", g.name);
        return false;
    }
    owned<ast, ast_recursive_delete> tree{parse(grammar.get(), in)};
    if (tree->kind == AST_ERROR) {
        display_parse_error(tree.get(), g.type_strings);
        std::fflush(stdout);
        glog_error("astdump: the %s grammar rejected the input", g.name);
        return false;
    }
    display_ast(tree.get(), g.type_strings);
    std::fflush(stdout);
    return true;
}

// The row of a grammar, or null (logged) for a number out of range.
const grammar_entry *usable_grammar(int grammar) {
    if (grammar < 0 || grammar >= astdump_grammar_count) {
        glog_error("astdump: no grammar numbered %d", grammar);
        return nullptr;
    }
    return &grammar_table[grammar];
}

} // namespace

const char *astdump_grammar_name(int grammar) {
    if (grammar < 0 || grammar >= astdump_grammar_count)
        return nullptr;
    return grammar_table[grammar].name;
}

int astdump_grammar_from_name(const char *name) {
    if (name != nullptr) {
        for (int i = 0; i < astdump_grammar_count; ++i)
            if (std::strcmp(name, grammar_table[i].name) == 0)
                return i;
    }
    glog_error("astdump: unknown grammar '%s' (idl, idlcleaner, directive, non_directive, "
               "ifexpr)",
               name != nullptr ? name : "");
    return -1;
}

bool astdump_text(int grammar, const char *data, std::size_t size) {
    const grammar_entry *g = usable_grammar(grammar);
    if (g == nullptr)
        return false;
    if (data == nullptr && size != 0) {
        glog_error("astdump: no text to parse");
        return false;
    }
    input in{};
    input_init(&in, data, size);
    return dump_input(*g, &in);
}

bool astdump_file(int grammar, const char *path) {
    const grammar_entry *g = usable_grammar(grammar);
    if (g == nullptr)
        return false;
    if (path == nullptr) {
        glog_error("astdump: no file to parse");
        return false;
    }
    owned<std::FILE, close_file> file{std::fopen(path, "rb")};
    if (!file) {
        glog_error("astdump: cannot open '%s': %s", path, std::strerror(errno));
        return false;
    }
    owned<input, input_and_data_delete> in{input_from_file_new(file.get())};
    if (!in) {
        glog_error("astdump: cannot read '%s'", path);
        return false;
    }
    return dump_input(*g, in.get());
}

int astdump_main(int argc, const char *const *argv) {
    if (argc != 3) {
        std::printf("usage: vandrel-astdump GRAMMAR FILE\n"
                    "  GRAMMAR: idl, idlcleaner, directive, non_directive or ifexpr\n");
        return 2;
    }
    const int grammar = astdump_grammar_from_name(argv[1]);
    if (grammar < 0)
        return 2;
    return astdump_file(grammar, argv[2]) ? 0 : 1;
}
