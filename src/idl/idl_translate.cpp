// Parsing the preprocessed text and walking its top-level definitions into the `types` element.
#include "idl/idl_translate.hpp"

#include "base/glog.hpp"
#include "base/linkedlist.hpp"
#include "base/owned.hpp"
#include "grammars/idl_parser.hpp"
#include "idl/idl_module.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_pragma.hpp"
#include "peg/ast.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "preproc/preproc.hpp"

#include <memory>

namespace {

// Bytes of a source line shown before and after the error column.
constexpr unsigned long long caret_before = 120;
constexpr unsigned long long caret_after = 60;

void report_parse_error(const idl_source &src, const ast_error &error) {
    const idl_place place = idl_place_of_line(src, error.pos, error.line);
    glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "Failed to parse: %s:%lu", place.path, place.line);
    // The source line and the caret line are records of their own: both then start after a
    // header of the same width, so the caret stands under the byte where the parse failed.
    const idl_caret caret = idl_caret_text(src, error.pos, error.column);
    glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "%s", caret.line.c_str());
    glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "%s", caret.marks.c_str());
}

} // namespace

idl_caret idl_caret_text(const idl_source &src, unsigned long long pos, unsigned long long column) {
    const std::string_view text = src.text;
    if (pos > text.size()) {
        pos = text.size();
    }
    unsigned long long begin = pos;
    while (begin > 0 && text[begin - 1] != '\n' && text[begin - 1] != '\r') {
        --begin;
    }
    unsigned long long end = pos;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r') {
        ++end;
    }
    // The column counts characters from the line start; keep the caret under the error byte.
    const unsigned long long at = pos - begin < column ? pos - begin : column;
    const unsigned long long from = at > caret_before ? begin + at - caret_before : begin;
    const unsigned long long to = end - pos > caret_after ? pos + caret_after : end;
    idl_caret caret;
    for (unsigned long long i = from; i < to; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        // Control bytes would garble the record; show them as '?'.
        const char shown = c == '\t' ? '\t' : (c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
        caret.line.push_back(shown);
        if (i < pos) {
            caret.marks.push_back(shown == '\t' ? '\t' : ' ');
        }
    }
    caret.marks.push_back('^');
    return caret;
}

idl_source idl_source_of(const preproc_root &state, const char *fallback_path) {
    idl_source src;
    if (state.output.data != nullptr) {
        src.text = std::string_view(state.output.data, state.output.len);
    }
    src.fallback_path = fallback_path == nullptr ? "" : fallback_path;
    if (state.files != nullptr) {
        for (const pn_linkedlist_node *n = state.files->head; n != nullptr; n = n->next) {
            const auto *file = static_cast<const preproc_file *>(n->element);
            if (file == nullptr) {
                continue;
            }
            src.files.push_back(
                {file->path == nullptr ? src.fallback_path : file->path,
                 static_cast<std::uint64_t>(file->text_offset < 0 ? 0 : file->text_offset),
                 file->first_line, file->start_line});
        }
    }
    if (state.pragmas != nullptr) {
        for (const pn_linkedlist_node *n = state.pragmas->head; n != nullptr; n = n->next) {
            const auto *pragma = static_cast<const preproc_pragma *>(n->element);
            if (pragma == nullptr || pragma->text == nullptr) {
                continue;
            }
            src.pragmas.push_back({pragma->text,
                                   pragma->path == nullptr ? src.fallback_path : pragma->path,
                                   static_cast<unsigned long>(pragma->line),
                                   static_cast<unsigned long>(pragma->column), pragma->offset});
        }
    }
    return src;
}

ast *idl_parse_source(const idl_source &src) {
    owned<ast, ast_recursive_delete> tree;
    {
        owned<parser, parser_delete> grammar{idl_parser_new()};
        if (!grammar) {
            return nullptr; // the grammar constructor has logged
        }
        input in{};
        input_init(&in, src.text.data(), src.text.size());
        tree.reset(parse(grammar.get(), &in));
    }
    if (const ast_error *error = ast_as_error(tree.get())) {
        if (error->type != AST_ERROR_ABORTED)
            report_parse_error(src, *error);
        return nullptr;
    }
    return tree.release();
}

bool idl_translate_tree(const ast *tree, const idl_source &src, xmltree *types) {
    if (!idl_pragma_resolve_keys(tree, src)) {
        return false; // reported
    }
    const std::size_t count = idl_child_count(tree);
    for (std::size_t i = 0; i < count; ++i) {
        if (!idl_visit_definition(idl_child(tree, i), src, types)) {
            if (!src.out_of_memory) {
                glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "Failed to generate XML");
            }
            return false;
        }
    }
    return true;
}

bool idl_translate(const idl_source &src, xmltree *types) {
    owned<ast, ast_recursive_delete> tree;
    {
        owned<parser, parser_delete> grammar{idl_parser_new()};
        if (!grammar) {
            return false; // the grammar constructor has logged
        }
        input in{};
        input_init(&in, src.text.data(), src.text.size());
        tree.reset(parse(grammar.get(), &in));
        // The tree does not refer to the grammar, which goes before the walk adds elements.
    }
    if (const ast_error *error = ast_as_error(tree.get())) {
        // An aborted parse (out of memory) has been reported by the engine, once.
        if (error->type != AST_ERROR_ABORTED)
            report_parse_error(src, *error);
        return false;
    }
    if (!idl_pragma_resolve_keys(tree.get(), src)) {
        return false; // reported
    }
    const std::size_t count = idl_child_count(tree.get());
    for (std::size_t i = 0; i < count; ++i) {
        if (!idl_visit_definition(idl_child(tree.get(), i), src, types)) {
            // Running out of memory has been reported where it happened, once.
            if (!src.out_of_memory) {
                glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "Failed to generate XML");
            }
            return false;
        }
    }
    return true;
}
