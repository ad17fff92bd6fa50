// A parsed source: parse-tree access, node texts, and positions for messages.
#include "model/source.hpp"

#include "base/diag.hpp"
#include "base/glog.hpp"
#include "grammars/idl_parser.hpp"
#include "peg/ast.hpp"
#include "peg/vector.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// The walk asks for node types and children all the time: read the record directly (a tree
// node's data is its tree record) rather than through a call per question.
inline const ast_tree *tree_of(const ast *node) {
    if (node == nullptr || node->kind != AST_TREE) {
        return nullptr;
    }
    return reinterpret_cast<const ast_tree *>(static_cast<std::uintptr_t>(node->data));
}

// The white space of the grammar: tab, line feed, carriage return and blank.
bool is_grammar_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Length of a literal starting at text[i] (a quote), through its closing quote; the rest of the
// text when it is not closed.
std::size_t literal_length(std::string_view text, std::size_t i) {
    const char quote = text[i];
    std::size_t j = i + 1;
    while (j < text.size() && text[j] != quote) {
        j += text[j] == '\\' ? 2 : 1;
    }
    return (j < text.size() ? j + 1 : text.size()) - i;
}

bool is_word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Text with its character and string literals copied whole and every other byte i through
// keep(i), which says whether it stays.
template <class Keep> std::string outside_literals(std::string_view text, const Keep &keep) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\'' || c == '"') {
            const std::size_t n = literal_length(text, i);
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        if (keep(i)) {
            out.push_back(c);
        }
        ++i;
    }
    return out;
}

} // namespace

std::uint64_t idl_type_of(const ast *node) {
    const ast_tree *tree = tree_of(node);
    return tree == nullptr ? IDL_NOT_A_TREE : tree->type;
}

std::size_t idl_child_count(const ast *node) {
    const ast_tree *tree = tree_of(node);
    if (tree == nullptr || tree->children == nullptr) {
        return 0;
    }
    return static_cast<std::size_t>(tree->children->count);
}

const ast *idl_child(const ast *node, std::size_t i) {
    const ast_tree *tree = tree_of(node);
    if (tree == nullptr || tree->children == nullptr || i >= tree->children->count) {
        return nullptr;
    }
    return static_cast<const ast *>(tree->children->items[i]);
}

std::uint64_t idl_start_of(const ast *node) {
    const ast_tree *tree = tree_of(node);
    return tree == nullptr ? 0 : tree->start;
}

bool idl_is_char(const ast *node) {
    return node != nullptr && node->kind == AST_CHAR;
}

std::size_t idl_first_non_annotation(const ast *node) {
    const ast_tree *tree = tree_of(node);
    if (tree == nullptr || tree->children == nullptr) {
        return 0;
    }
    const std::size_t count = static_cast<std::size_t>(tree->children->count);
    std::size_t i = 0;
    while (i < count) {
        const ast_tree *child = tree_of(static_cast<const ast *>(tree->children->items[i]));
        if (child == nullptr || child->type != IDL_ANNOTATION_APPL) {
            break;
        }
        ++i;
    }
    return i;
}

bool idl_anno_is_scoped(const ast *appl) {
    // The name's identifier stands right after the '@' unless a scope was written before it.
    return idl_start_of(idl_child(appl, 0)) != idl_start_of(appl) + 1;
}

std::string_view idl_text_of(const idl_source &src, const ast *node) {
    const ast_tree *tree = tree_of(node);
    if (tree == nullptr) {
        return {};
    }
    std::uint64_t start = tree->start;
    std::uint64_t end = tree->end;
    if (end > src.text.size()) {
        end = src.text.size();
    }
    if (start > end) {
        start = end;
    }
    while (start < end && is_grammar_blank(src.text[start])) {
        ++start;
    }
    while (end > start && is_grammar_blank(src.text[end - 1])) {
        --end;
    }
    return src.text.substr(start, end - start);
}

idl_unannotated::idl_unannotated(const ast *node) : node_(node) {
    const ast_tree *tree = tree_of(node);
    const std::size_t first = idl_first_non_annotation(node);
    if (tree == nullptr || tree->children == nullptr || first == 0) {
        return;
    }
    const std::uint64_t rest = tree->children->count - first;
    children_ = vector{tree->children->items + first, rest, rest};
    tree_ = ast_tree{tree->type, &children_, tree->start, tree->end};
    view_ = ast{AST_TREE, reinterpret_cast<std::uint64_t>(&tree_)};
    node_ = &view_;
}

std::string_view idl_unescaped(std::string_view name) {
    return name.size() > 1 && name[0] == '_' ? name.substr(1) : name;
}

std::string_view idl_identifier_text(const idl_source &src, const ast *id) {
    return idl_unescaped(idl_text_of(src, id));
}

std::string_view idl_unescaped_expression(std::string_view text, std::string *room) {
    // A '_' that begins a word and has a word character after it escapes a name (numbers
    // begin with a digit); most texts have none (`MAX_LEN` has one inside a word only).
    const auto escape = [text](std::size_t i) {
        return text[i] == '_' && (i == 0 || !is_word_char(text[i - 1])) && i + 1 < text.size() &&
               is_word_char(text[i + 1]);
    };
    std::size_t at = text.find('_');
    while (at != std::string_view::npos && !escape(at)) {
        at = text.find('_', at + 1);
    }
    if (at == std::string_view::npos) {
        return text;
    }
    *room = outside_literals(text, [&escape](std::size_t i) { return !escape(i); });
    return *room;
}

std::string idl_joined_literals(std::string_view text) {
    // Only a value made of string literals alone is joined: at least two pieces, blanks
    // between them, nothing around them.
    auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::string body;
    bool wide = false;
    std::size_t pieces = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const bool prefixed = text[i] == 'L';
        const std::size_t q = i + (prefixed ? 1 : 0);
        if (q >= text.size() || text[q] != '"') {
            return std::string(text);
        }
        const std::size_t n = literal_length(text, q);
        if (n < 2 || text[q + n - 1] != '"') {
            return std::string(text);
        }
        wide = wide || prefixed;
        body.append(text.substr(q + 1, n - 2));
        ++pieces;
        i = q + n;
        while (i < text.size() && is_blank(text[i])) {
            ++i;
        }
    }
    if (pieces < 2) {
        return std::string(text);
    }
    return (wide ? "L\"" : "\"") + body + "\"";
}

std::string idl_blank_stripped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != '\n' && c != ' ' && c != '"' && c != '@') {
            out.push_back(c);
        }
    }
    return out;
}

std::string idl_blank_trimmed(std::string_view text) {
    const auto dropped = [](char c) { return c == '\n' || c == ' ' || c == '"' || c == '@'; };
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '"') {
            if (!dropped(text[i])) {
                out.push_back(text[i]);
            }
            ++i;
            continue;
        }
        const std::size_t n = literal_length(text, i);
        std::string_view body = text.substr(i + 1, n - 1);
        if (!body.empty() && text[i + n - 1] == '"') {
            body.remove_suffix(1); // the closing quote
        }
        body = body.substr(std::min(body.find_first_not_of(' '), body.size()));
        body = body.substr(0, body.find_last_not_of(' ') + 1);
        for (const char c : body) {
            if (c == ' ' || !dropped(c)) {
                out.push_back(c);
            }
        }
        i += n;
    }
    return out;
}

std::string idl_blank_stripped_outside_literals(std::string_view text) {
    return outside_literals(text, [text](std::size_t i) {
        return text[i] != '\n' && text[i] != ' ' && text[i] != '@';
    });
}

std::string idl_scoped_name_text(const idl_source &src, const ast *node) {
    if (idl_type_of(node) != IDL_SCOPED_NAME) {
        return std::string(idl_text_of(src, node));
    }
    std::string name;
    const std::size_t count = idl_child_count(node);
    std::size_t i = 0;
    if (count > 0 && idl_is_char(idl_child(node, 0))) {
        name = "::";
        while (i < count && idl_is_char(idl_child(node, i))) {
            ++i;
        }
    }
    bool first = true;
    for (; i < count; ++i) {
        if (!first) {
            name += "::";
        }
        name += idl_identifier_text(src, idl_child(node, i));
        first = false;
    }
    return name;
}

idl_place idl_place_of_line(const idl_source &src, std::uint64_t pos, std::uint64_t line) {
    // The record in force is the last one whose text starts at or before the position.
    const idl_file_span *in_force = nullptr;
    for (const idl_file_span &file : src.files) {
        if (file.text_offset > pos) {
            break;
        }
        in_force = &file;
    }
    if (in_force == nullptr) {
        return {src.fallback_path.c_str(), static_cast<unsigned long>(line)};
    }
    const std::int64_t file_line =
        static_cast<std::int64_t>(line) + in_force->first_line - in_force->start_line;
    return {in_force->path.c_str(), static_cast<unsigned long>(file_line)};
}

void idl_source_index(const idl_source &src) {
    if (src.lines.built.load(std::memory_order_acquire)) {
        return;
    }
    // Most sources never need their index (no report is made about them): it is built then.
    static std::mutex building;
    const std::lock_guard<std::mutex> hold(building);
    if (src.lines.built.load(std::memory_order_relaxed)) {
        return;
    }
    std::vector<std::uint32_t> &starts = src.lines.starts;
    const char *text = src.text.data();
    const std::size_t n = src.text.size();
    starts.assign(1, 0);
    // Texts stay far below 4 GB: expansion stops them growing past a quarter of that.
    for (std::size_t i = 0; i < n;) {
        const void *nl = std::memchr(text + i, '\n', n - i);
        if (nl == nullptr) {
            break;
        }
        i = static_cast<std::size_t>(static_cast<const char *>(nl) - text) + 1;
        starts.push_back(static_cast<std::uint32_t>(i));
    }
    src.lines.built.store(true, std::memory_order_release);
}

std::uint64_t idl_line_of(const idl_source &src, std::uint64_t pos) {
    idl_source_index(src);
    const std::vector<std::uint32_t> &starts = src.lines.starts;
    const auto after = std::upper_bound(starts.begin(), starts.end(), pos);
    return static_cast<std::uint64_t>(after - starts.begin());
}

idl_place idl_place_of(const idl_source &src, std::uint64_t pos) {
    const std::uint64_t end = pos < src.text.size() ? pos : src.text.size();
    return idl_place_of_line(src, pos, idl_line_of(src, end));
}

namespace {

// A diagnostic of level placed at byte position pos of src.text: file, line and column (from
// 1, in bytes) found through the file records.
diagnostic diagnostic_at(const idl_source &src, diag_level level, std::uint64_t pos) {
    if (pos > src.text.size()) {
        pos = src.text.size();
    }
    const std::uint64_t line = idl_line_of(src, pos);
    const idl_place place = idl_place_of_line(src, pos, line);
    diagnostic d;
    d.level = level;
    d.file = place.path;
    d.line = place.line;
    d.column = static_cast<unsigned long>(pos - src.lines.starts[line - 1] + 1);
    return d;
}

} // namespace

void idl_report(const idl_source &src, diag_level level, std::uint64_t pos, std::string summary,
                std::string detail) {
    diagnostic d = diagnostic_at(src, level, pos);
    d.summary = std::move(summary);
    d.detail = std::move(detail);
    diag_report(d);
}

void idl_report(const idl_source &src, diag_warning kind, std::uint64_t pos, std::string summary,
                std::string detail) {
    diagnostic d = diagnostic_at(src, DIAG_WARNING, pos);
    d.warning = kind;
    d.summary = std::move(summary);
    d.detail = std::move(detail);
    diag_report(d);
}

void idl_warn(const idl_source &src, std::uint64_t pos, const std::string &summary,
              diag_warning kind) {
    diagnostic d = diagnostic_at(src, DIAG_WARNING, pos);
    d.warning = kind;
    d.summary = summary;
    d.place_in_record = false;
    diag_report(d);
}
