// A reading shown as one text with its includes in place and gcc-style line markers.
#include "model/render.hpp"

#include "model/unit.hpp"
#include "preproc/preproc.hpp"

#include <string_view>
#include <unordered_set>

namespace {

// Blank lines written out rather than replaced by a line marker, at most (as gcc does).
constexpr unsigned long k_max_blank_run = 8;

// The text line an include directive left: `module <encoded path><suffix> {};`.
bool is_include_line(std::string_view line) {
    static const std::string end = std::string(PREPROC_MARKER_SUFFIX) + " {};";
    return line.size() > 7 + end.size() && line.substr(0, 7) == "module " &&
           line.substr(line.size() - end.size()) == end;
}

std::string_view trimmed(std::string_view line) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    return line;
}

struct writer {
    const std::vector<idl_listing_node> &nodes;
    std::string out;
    std::string_view path;  // file the next line written belongs to
    unsigned long line = 0; // and its line there
    std::unordered_set<const idl_unit *> shown;

    void marker(unsigned long at, std::string_view file, const char *flag) {
        out += "# " + std::to_string(at) + " \"";
        for (const char c : file) {
            if (c == '"' || c == '\\') {
                out += '\\';
            }
            out += c;
        }
        out += '"';
        out += flag;
        out += '\n';
        path = file;
        line = at;
    }

    // Writes text as line `at` of `file`: blank lines up to it, or a line marker when it is
    // elsewhere.
    void put(std::string_view file, unsigned long at, std::string_view text) {
        if (file != path || at < line || at - line > k_max_blank_run) {
            marker(at, file, "");
        }
        for (; line < at; ++line) {
            out += '\n';
        }
        out += text;
        out += '\n';
        ++line;
    }

    void file(std::size_t index) {
        const idl_listing_node &node = nodes[index];
        const idl_unit *unit = node.unit;
        const std::string_view text = unit->text;
        std::size_t include = 0;
        std::size_t pragma = 0;
        std::uint64_t pos = 0;
        for (unsigned long k = 1; pos < text.size(); ++k) {
            std::size_t end = text.find('\n', pos);
            end = end == std::string_view::npos ? text.size() : end;
            const std::string_view l = trimmed(text.substr(pos, end - pos));
            const idl_place place = idl_place_of_line(unit->src, pos, k);
            // The file's own lines are named as the reading named the file; lines a line
            // marker placed elsewhere keep that name. Both live as long as the unit.
            const std::string_view at_path =
                place.path == unit->resolved ? node.path : std::string_view(place.path);
            while (pragma < unit->src.pragmas.size() && unit->src.pragmas[pragma].offset < pos) {
                ++pragma;
            }
            if (include < node.includes.size() && is_include_line(l)) {
                const idl_listing_include &inc = node.includes[include++];
                const idl_listing_node *child =
                    inc.node < nodes.size() ? &nodes[inc.node] : nullptr;
                if (child != nullptr && child->unit != nullptr &&
                    shown.insert(child->unit).second) {
                    marker(1, child->path, " 1");
                    file(inc.node);
                    marker(place.line + 1, at_path, " 2");
                } else if (child == nullptr && !inc.directive.empty()) {
                    put(at_path, place.line, inc.directive);
                }
            } else if (pragma < unit->src.pragmas.size() &&
                       unit->src.pragmas[pragma].offset == pos) {
                put(at_path, place.line, "#pragma " + unit->src.pragmas[pragma].text);
            } else if (!l.empty()) {
                put(at_path, place.line, l);
            }
            pos = end + 1;
        }
    }
};

} // namespace

std::string idl_render_listing(const std::vector<idl_listing_node> &nodes, std::size_t root) {
    writer w{nodes, {}, {}, 0, {}};
    if (root >= nodes.size() || nodes[root].unit == nullptr) {
        return {};
    }
    w.shown.insert(nodes[root].unit);
    w.marker(1, nodes[root].path, "");
    w.file(root);
    return std::move(w.out);
}
