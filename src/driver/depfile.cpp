// Make rules for the documents and the include lookup behind them.
#include "driver/depfile.hpp"

#include "base/linkedlist.hpp"
#include "driver/driver.hpp"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

bool is_regular_file(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The name of an include line ("#include "a.idl"" or "#include <a.idl>"), with whether it is
// quoted; false for any other line.
bool include_name(const std::string &line, std::string &name, bool &quoted) {
    std::size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] != '#') {
        return false;
    }
    i = line.find_first_not_of(" \t", i + 1);
    if (i == std::string::npos || line.compare(i, 7, "include") != 0) {
        return false;
    }
    i = line.find_first_not_of(" \t", i + 7);
    if (i == std::string::npos || (line[i] != '"' && line[i] != '<')) {
        return false;
    }
    quoted = line[i] == '"';
    const std::size_t end = line.find(quoted ? '"' : '>', i + 1);
    if (end == std::string::npos || end == i + 1) {
        return false;
    }
    name = line.substr(i + 1, end - i - 1);
    return true;
}

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

std::vector<std::string> depfile_included_files(const char *idl_path,
                                                const pn_linkedlist *include_dirs) {
    std::vector<std::string> found;
    // Plain C streams: the driver keeps the C++ stream library (and its start-up cost) out.
    FILE *in = std::fopen(idl_path, "rb");
    if (in == nullptr) {
        return found;
    }
    struct closer {
        FILE *f;
        ~closer() { std::fclose(f); }
    } close_in{in};
    std::vector<std::string> dirs;
    if (include_dirs != nullptr) {
        for (const pn_linkedlist_node *n = include_dirs->head; n != nullptr; n = n->next) {
            dirs.emplace_back(static_cast<const char *>(n->element));
        }
    }
    const std::string here = driver_parent_folder(idl_path);
    std::string line;
    for (;;) {
        line.clear();
        int c = 0;
        while ((c = std::fgetc(in)) != EOF && c != '\n') {
            line.push_back(static_cast<char>(c));
        }
        if (c == EOF && line.empty()) {
            break;
        }
        std::string name;
        bool quoted = false;
        if (!include_name(line, name, quoted)) {
            continue;
        }
        std::string hit;
        if (!name.empty() && name[0] == '/') {
            hit = is_regular_file(name) ? name : std::string();
        } else {
            if (quoted && is_regular_file(driver_join_path(here, name))) {
                hit = driver_join_path(here, name);
            }
            for (std::size_t d = 0; hit.empty() && d < dirs.size(); ++d) {
                if (is_regular_file(driver_join_path(dirs[d], name))) {
                    hit = driver_join_path(dirs[d], name);
                }
            }
        }
        bool seen = false;
        for (const std::string &f : found) {
            seen = seen || f == hit;
        }
        if (!hit.empty() && !seen) {
            found.push_back(hit);
        }
    }
    return found;
}

std::string depfile_rule(const std::string &target, const std::string &input,
                         const std::vector<std::string> &included) {
    std::string out;
    append_escaped(out, target);
    out += ':';
    std::size_t column = out.size();
    std::vector<std::string> names{input};
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
    return out;
}
