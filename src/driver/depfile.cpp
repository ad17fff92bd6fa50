// Make rules for the documents: each names its input and the files the input includes.
#include "driver/depfile.hpp"

namespace {

void append_escaped(std::string &out, const std::string &name) {
    for (char c : name) {
        if (c == ' ' || c == '\t' || c == '#') {
            out += '\\';
        } else if (c == '$') {
            out += '$';
        }
        out += c;
    }
}

} // namespace

std::string depfile_rule(const std::string &target, const std::string &input,
                         const std::vector<std::string> &included, bool phony) {
    std::string out;
    append_escaped(out, target);
    out += ':';
    std::size_t column = out.size();
    std::vector<std::string> names;
    if (!input.empty()) {
        names.push_back(input);
    }
    names.insert(names.end(), included.begin(), included.end());
    for (const std::string &name : names) {
        std::string word;
        append_escaped(word, name);
        if (column + 1 + word.size() > 78 && column > 0) {
            out += " \\\n";
            column = 0;
        }
        out += ' ';
        out += word;
        column += 1 + word.size();
    }
    out += '\n';
    for (std::size_t i = 0; phony && i < included.size(); ++i) {
        out += '\n';
        append_escaped(out, included[i]);
        out += ":\n";
    }
    return out;
}
