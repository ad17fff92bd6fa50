// peggen command line: grammars/<name>.peg in, <name>_parser.hpp and .cpp out.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "peggen.hpp"

namespace {

[[nodiscard]] bool read_file(const std::string &path, std::string *out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return !in.bad();
}

[[nodiscard]] bool write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out << text;
    out.close();
    return !out.fail();
}

std::string base_name(const std::string &path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool valid_grammar_name(const std::string &name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9'))
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_'))
            return false;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: peggen grammar.peg output_dir [source_label]\n");
        return 2;
    }
    const std::string path = argv[1];
    const std::string out_dir = argv[2];
    const std::string file = base_name(path);
    if (file.size() <= 4 || file.compare(file.size() - 4, 4, ".peg") != 0) {
        std::fprintf(stderr, "peggen: %s: the grammar file name must end in .peg\n", path.c_str());
        return 1;
    }
    const std::string name = file.substr(0, file.size() - 4);
    if (!valid_grammar_name(name)) {
        std::fprintf(stderr, "peggen: %s: '%s' is not usable as a C++ name\n", path.c_str(),
                     name.c_str());
        return 1;
    }
    const std::string label = argc == 4 ? argv[3] : "grammars/" + file;
    std::string text;
    if (!read_file(path, &text)) {
        std::fprintf(stderr, "peggen: cannot read %s\n", path.c_str());
        return 1;
    }
    peggen_grammar grammar;
    std::vector<std::string> diagnostics;
    const bool ok = peggen_compile(text, file, name, &grammar, &diagnostics);
    for (const std::string &d : diagnostics)
        std::fprintf(stderr, "%s\n", d.c_str());
    if (!ok)
        return 1;
    const std::string header = out_dir + "/" + name + "_parser.hpp";
    const std::string source = out_dir + "/" + name + "_parser.cpp";
    if (!write_file(header, peggen_emit_header(grammar, label)) ||
        !write_file(source, peggen_emit_source(grammar, label))) {
        std::fprintf(stderr, "peggen: cannot write the output files in %s\n", out_dir.c_str());
        return 1;
    }
    return 0;
}
