// Shared pieces of the translator: parse-tree access, node texts, positions and attributes.
#include "idl/idl_node.hpp"

#include "base/diag.hpp"
#include "base/glog.hpp"
#include "grammars/idl_parser.hpp"
#include "peg/ast.hpp"
#include "peg/vector.hpp"
#include "xml/xmltree.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

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

idl_place idl_place_of(const idl_source &src, std::uint64_t pos) {
    const std::uint64_t end = pos < src.text.size() ? pos : src.text.size();
    std::uint64_t line = 1;
    for (std::uint64_t i = 0; i < end; ++i) {
        line += src.text[i] == '\n' ? 1 : 0;
    }
    return idl_place_of_line(src, pos, line);
}

namespace {

// A diagnostic of level placed at byte position pos of src.text: file, line and column (from
// 1, in bytes) found through the file records.
diagnostic diagnostic_at(const idl_source &src, diag_level level, std::uint64_t pos) {
    // Warnings can come by the thousand: lines are found through an index, not by a scan each.
    if (src.line_starts.empty()) {
        src.line_starts.push_back(0);
        for (std::size_t i = 0; i < src.text.size(); ++i) {
            if (src.text[i] == '\n') {
                src.line_starts.push_back(i + 1);
            }
        }
    }
    if (pos > src.text.size()) {
        pos = src.text.size();
    }
    const auto after = std::upper_bound(src.line_starts.begin(), src.line_starts.end(), pos);
    const auto line = static_cast<std::uint64_t>(after - src.line_starts.begin());
    const idl_place place = idl_place_of_line(src, pos, line);
    diagnostic d;
    d.level = level;
    d.file = place.path;
    d.line = place.line;
    d.column = static_cast<unsigned long>(pos - *(after - 1) + 1);
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

void idl_warn(const idl_source &src, std::uint64_t pos, const std::string &summary) {
    diagnostic d = diagnostic_at(src, DIAG_WARNING, pos);
    d.summary = summary;
    d.place_in_record = false;
    diag_report(d);
}

xmltree *idl_add_element(const idl_source &src, xmltree *parent, const char *tag) {
    if (parent == nullptr) {
        glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "Failed to generate XML");
        return nullptr;
    }
    xmltree *element = xmltree_add_child(parent, tag, 0);
    if (element == nullptr) {
        src.out_of_memory = true; // the only way a child of a real parent fails; reported
    }
    return element;
}

bool idl_xml_text_ok(std::string_view text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Eight printable ASCII bytes at a time: no byte below 0x20 and none from 0x80 up.
        constexpr std::uint64_t ones = 0x0101010101010101u;
        constexpr std::uint64_t highs = 0x8080808080808080u;
        if (n - i >= 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, p + i, 8);
            if (((word | (word - 0x20 * ones)) & highs) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = p[i];
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                return false;
            }
            ++i;
            continue;
        }
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07u;
        } else {
            return false; // continuation byte, overlong lead or beyond U+10FFFF
        }
        if (i + len > n) {
            return false;
        }
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0u) != 0x80u) {
                return false;
            }
            cp = (cp << 6) | (p[i + k] & 0x3Fu);
        }
        const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
        const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
        if (overlong || surrogate || cp > 0x10FFFF || cp == 0xFFFE || cp == 0xFFFF) {
            return false;
        }
        i += len;
    }
    return true;
}

bool idl_set_attr(const idl_source &src, xmltree *element, std::string_view name,
                  std::string_view value, std::uint64_t pos) {
    // String literals side by side are one literal: the value holds it joined.
    std::string joined;
    if (!value.empty() &&
        (value[0] == '"' || (value[0] == 'L' && value.size() > 1 && value[1] == '"'))) {
        joined = idl_joined_literals(value);
        value = joined;
    }
    if (!idl_xml_text_ok(value)) {
        idl_report(src, DIAG_ERROR, pos,
                   "Value of '" + std::string(name) + "' holds a character XML cannot carry", "");
        return false;
    }
    // The document keeps its own copies of both texts, in its storage.
    if (element == nullptr) {
        glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "Failed to generate XML");
        return false;
    }
    if (xmltree_set_attr_copy(element, name.data(), name.size(), value.data(), value.size()) ==
        nullptr) {
        src.out_of_memory = true; // reported by the tree
        return false;
    }
    return true;
}
