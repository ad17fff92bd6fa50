// Renders parse trees as one-line text so tests can compare whole trees as strings.
#include "support/tree_text.hpp"

#include <cstdio>
#include <vector>

#include "peg/ast.hpp"
#include "peg/vector.hpp"

namespace {

void append_quoted_byte(std::string &out, unsigned char c) {
    switch (c) {
    case '\\':
        out += "\\\\";
        break;
    case '"':
        out += "\\\"";
        break;
    case '\n':
        out += "\\n";
        break;
    case '\r':
        out += "\\r";
        break;
    case '\t':
        out += "\\t";
        break;
    default:
        if (c >= 0x20 && c <= 0x7E) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
}

std::string type_text(const char *const *names, std::uint64_t count, std::uint64_t type) {
    if (names && type < count && names[type])
        return names[type];
    std::string out(1, '#');
    out += std::to_string(type);
    return out;
}

// Work items: a node to render, or (node null) a finished piece of text to emit.
struct item {
    const ast *node;
    std::string text;
};

} // namespace

std::string tree_text(const ast *node, const char *const *names, std::uint64_t name_count,
                      std::string_view text) {
    if (!node)
        return "<null>";
    std::string out;
    if (node->kind == AST_CHAR) {
        out += '"';
        append_quoted_byte(out, static_cast<unsigned char>(node->data));
        out += '"';
        return out;
    }
    std::vector<item> work;
    work.push_back({node, {}});
    while (!work.empty()) {
        item it = std::move(work.back());
        work.pop_back();
        const ast *n = it.node;
        if (!n) {
            out += it.text;
        } else if (n->kind == AST_EMPTY) {
            out += "<empty>";
        } else if (n->kind == AST_CHAR) {
            out += '"';
            append_quoted_byte(out, static_cast<unsigned char>(n->data));
            out += '"';
        } else if (const ast_error *e = ast_as_error(n)) {
            out += "(error ";
            out += type_text(names, name_count, e->type);
            out += " line=";
            out += std::to_string(e->line);
            out += " col=";
            out += std::to_string(e->column);
            out += " pos=";
            out += std::to_string(e->pos);
            out += ')';
        } else if (const ast_tree *t = ast_as_tree(n)) {
            out += '(';
            out += type_text(names, name_count, t->type);
            std::uint64_t count = t->children ? t->children->count : 0;
            if (count == 0) {
                if (t->end > t->start) {
                    out += " \"";
                    for (std::uint64_t i = t->start; i < t->end && i < text.size(); ++i)
                        append_quoted_byte(out, static_cast<unsigned char>(text[i]));
                    out += '"';
                }
                out += ")";
                continue;
            }
            // Pieces in input order; runs of character children become one quoted piece.
            std::vector<item> pieces;
            std::uint64_t i = 0;
            while (i < count) {
                auto *c = static_cast<const ast *>(t->children->items[i]);
                if (c && c->kind == AST_CHAR) {
                    std::string run = " \"";
                    for (; i < count; ++i) {
                        auto *d = static_cast<const ast *>(t->children->items[i]);
                        if (!d || d->kind != AST_CHAR)
                            break;
                        append_quoted_byte(run, static_cast<unsigned char>(d->data));
                    }
                    run += '"';
                    pieces.push_back({nullptr, std::move(run)});
                } else {
                    pieces.push_back({nullptr, " "});
                    pieces.push_back({c ? c : nullptr, c ? std::string{} : "<null>"});
                    ++i;
                }
            }
            work.push_back({nullptr, ")"});
            for (auto p = pieces.rbegin(); p != pieces.rend(); ++p)
                work.push_back(std::move(*p));
        } else {
            out += '#';
            out += std::to_string(n->kind);
        }
    }
    return out;
}
