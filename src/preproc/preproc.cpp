// The C-style preprocessor: state, entry, the directive pass and include markers.
#include "preproc/preproc.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "base/arch.hpp"
#include "base/diag.hpp"
#include "base/glog.hpp"
#include "base/hashmap.hpp"
#include "base/linkedlist.hpp"
#include "base/owned.hpp"
#include "base/suggest.hpp"
#include "grammars/directive_parser.hpp"
#include "grammars/ifexpr_parser.hpp"
#include "grammars/non_directive_parser.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "preproc/cleaner.hpp"
#include "preproc/cond.hpp"
#include "preproc/macro.hpp"
#include "preproc/place.hpp"
#include "preproc/pptree.hpp"

namespace {

constexpr const char *k_oom = "Out of memory: Unable to allocate memory";
constexpr size_t k_suffix_len = sizeof(PREPROC_MARKER_SUFFIX) - 1;

bool is_alnum(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

//=== directive pass ===//

// Whether the whole file stands inside one `#ifndef NAME` ... `#endif` (an include guard), as
// the scan has seen it so far.
enum class guard_state { before, inside, after, none };

struct line_scan {
    preproc_root *root;
    const char *path;
    preproc_cond_stack stack;
    uint64_t line_no = 1;    // line of the file being read (line markers may set it)
    std::string marker_path; // the file a line marker named, when one did
    guard_state guard = guard_state::before;
    std::string guard_name;
};

// Follows the shape of the file for its include guard: `type` is the directive of the line (0
// for a text line) and the stack is as the line left it.
void follow_guard(line_scan &sc, uint64_t type, const ast *tree, const char *line) {
    switch (sc.guard) {
    case guard_state::before:
        // An #ifndef whose name is defined opens no guard: its group is skipped.
        if (type == DIRECTIVE_IFNDEFDIRECTIVE && !preproc_cond_skipping(sc.stack)) {
            const ast_tree *id = ast_as_tree(pptree_child(tree, 0));
            if (id != nullptr) {
                sc.guard_name.assign(line + id->start, id->end - id->start);
                sc.guard = guard_state::inside;
                return;
            }
        }
        sc.guard = guard_state::none;
        return;
    case guard_state::inside:
        if (sc.stack.empty()) {
            sc.guard = guard_state::after; // its #endif
        } else if (sc.stack.size() == 1 &&
                   (type == DIRECTIVE_ELSEDIRECTIVE || type == DIRECTIVE_ELIFDIRECTIVE)) {
            sc.guard = guard_state::none;
        }
        return;
    case guard_state::after:
        sc.guard = guard_state::none;
        return;
    case guard_state::none:
        return;
    }
}

void blank(preproc_root *root, uint64_t at, uint64_t len) {
    if (len > 1) {
        memset(root->output.data + at, ' ', len - 1);
    }
}

// The directive as a message names it: '#' and the word after it (`#incldue`), or the first
// characters after '#' when no word follows.
std::string directive_name(const char *line, uint64_t len) {
    uint64_t i = 1;
    while (i < len && (line[i] == ' ' || line[i] == '\t')) {
        ++i;
    }
    uint64_t end = i;
    while (end < len && end - i < 32 &&
           (is_alnum(static_cast<unsigned char>(line[end])) || line[end] == '_')) {
        ++end;
    }
    if (end == i) {
        while (end < len && end - i < 8 && !isspace(static_cast<unsigned char>(line[end]))) {
            ++end;
        }
    }
    std::string name = "#" + std::string(line + i, end - i);
    for (char &c : name) {
        const auto u = static_cast<unsigned char>(c);
        c = u < 0x20 || u >= 0x7F ? '?' : c; // the record stays printable
    }
    return name;
}

// The directives this preprocessor knows, by the word after '#'.
constexpr std::string_view known_directives[] = {
    "include", "define", "undef", "if", "ifdef", "ifndef", "elif", "else", "endif", "pragma",
};

// Reports a line the directive grammar refuses, naming the known directive nearest to a word
// that is none of them (`#incldue`).
void report_invalid_directive(const char *line, uint64_t len) {
    std::string detail = directive_name(line, len);
    detail += suggest_did_you_mean(
        suggest_nearest(std::string_view(detail).substr(1), known_directives), "#");
    preproc_report(PREPROC_RECORD_PLACE, "Invalid directive", detail);
}

// Word after the '#' of a directive line starting at line[0]: its length, written to *word.
uint64_t directive_word(const char *line, uint64_t len, const char **word) {
    uint64_t i = 1;
    while (i < len && (line[i] == ' ' || line[i] == '\t')) {
        ++i;
    }
    uint64_t end = i;
    while (end < len && (is_alnum(static_cast<unsigned char>(line[end])) || line[end] == '_')) {
        ++end;
    }
    *word = line + i;
    return end - i;
}

// Restores the previous reading place when a line has been handled.
struct place_guard {
    preproc_place previous;
    ~place_guard() { preproc_set_place(previous); }
};

// Replaces the quoted include line at [at, at + len) by its marker line; `*next` is set to the
// offset after the marker line.
bool make_marker(preproc_root *root, const ast *tree, uint64_t at, uint64_t len, uint64_t *next) {
    const ast_tree *t = ast_as_tree(tree);
    if (t->end <= t->start) {
        preproc_report(PREPROC_RECORD_PLACE, "Empty include path");
        return false;
    }
    idl_string marker = idl_string_strdup("module ", 7);
    if (!marker.data) {
        return false;
    }
    const char *line = root->output.data + at;
    bool ok = preproc_include_marker_encode(line + t->start, t->end - t->start, &marker) &&
              idl_string_append_string(&marker, " {};\n", 5) &&
              idl_string_overwrite(&root->output, at, at + len, marker.data, marker.len);
    if (ok) {
        *next = at + marker.len;
    }
    idl_string_free(&marker);
    return ok;
}

// Hands an include directive to the state's include hook, when one is set. The path node's
// positions are offsets into the directive line.
bool call_include_hook(const line_scan &sc, const ast *tree, const char *line, bool angle,
                       uint64_t line_no) {
    preproc_root *root = sc.root;
    const ast_tree *t = ast_as_tree(tree);
    if (root->include_hook == nullptr || t == nullptr || t->end <= t->start) {
        return true;
    }
    const preproc_include_request request{line + t->start, t->end - t->start, angle,
                                          sc.path,         line_no,           t->start};
    return root->include_hook(root->include_context, root, request);
}

//=== pragmas ===//

bool is_pragma_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void pragma_destroy(preproc_pragma *p) {
    if (p) {
        free(p->text);
        free(p->path);
        free(p);
    }
}

// A pragma that declares keys is recorded for the translator, which knows the types; any other
// is ignored with a warning. `line` is the directive line the tree was parsed from.
bool keep_pragma(line_scan &sc, const ast *tree, const char *line, uint64_t line_no) {
    const ast_tree *body = ast_as_tree(pptree_child(tree, 0));
    uint64_t start = body ? body->start : 0;
    uint64_t end = body ? body->end : 0;
    while (end > start && is_pragma_blank(line[end - 1])) {
        --end;
    }
    if (!preproc_pragma_declares_keys(line + start, end - start)) {
        diag_warn_at(DIAG_W_UNKNOWN_PRAGMA, sc.path, static_cast<unsigned long>(line_no),
                     "Ignoring #pragma");
        return true;
    }
    auto *rec = static_cast<preproc_pragma *>(calloc(1, sizeof(preproc_pragma)));
    if (rec) {
        rec->text = static_cast<char *>(malloc(end - start + 1));
        rec->path = strdup(sc.path);
    }
    if (!rec || !rec->text || !rec->path) {
        glog_fatal("%s", k_oom);
        pragma_destroy(rec);
        return false;
    }
    memcpy(rec->text, line + start, end - start);
    rec->text[end - start] = 0;
    rec->line = line_no;
    rec->column = start + 1;
    rec->output_line = sc.root->line;
    if (!sc.root->pragmas->add(sc.root->pragmas, rec)) {
        glog_error("Failed to add item to linkedlist");
        pragma_destroy(rec);
        return false;
    }
    return true;
}

// Macro expansion keeps the lines of the text but not its byte offsets: each pragma learns
// where its line starts once the output is final. The records are in line order.
void locate_pragmas(preproc_root *root) {
    const char *text = root->output.data;
    const uint64_t len = root->output.len;
    uint64_t line = 1;
    uint64_t pos = 0;
    for (pn_linkedlist_node *n = root->pragmas->head; n; n = n->next) {
        auto *p = static_cast<preproc_pragma *>(n->element);
        while (line < p->output_line && pos < len) {
            const void *nl = memchr(text + pos, '\n', len - pos);
            pos = nl ? static_cast<uint64_t>(static_cast<const char *>(nl) - text) + 1 : len;
            ++line;
        }
        p->offset = pos;
    }
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A line marker as `-E` writes them (`# 12 "types.idl" 2`): the next line is line 12 of
// types.idl. False when the line (from its '#', `len` bytes with the line end) is no line
// marker; true after it is recorded.
bool line_marker(line_scan &sc, const char *line, uint64_t len, bool *ok) {
    uint64_t i = 1;
    const auto blanks = [&] {
        while (i < len && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
    };
    blanks();
    uint64_t number = 0;
    const uint64_t digits = i;
    while (i < len && is_digit(line[i]) && number < (uint64_t{1} << 40)) {
        number = number * 10 + static_cast<uint64_t>(line[i++] - '0');
    }
    if (i == digits || number == 0 || (i < len && is_digit(line[i]))) {
        return false;
    }
    blanks();
    std::string name;
    const bool named = i < len && line[i] == '"';
    if (named) {
        for (++i; i < len && line[i] != '"' && line[i] != '\n'; ++i) {
            if (line[i] == '\\' && i + 1 < len && line[i + 1] != '\n') {
                ++i;
            }
            name.push_back(line[i]);
        }
        if (i >= len || line[i] != '"' || name.empty()) {
            return false;
        }
        ++i;
    }
    while (i < len && (line[i] == ' ' || line[i] == '\t' || is_digit(line[i]))) {
        ++i; // the flags that say a file starts or ends
    }
    if (i < len && line[i] != '\n' && line[i] != '\r') {
        return false;
    }
    if (named) {
        sc.marker_path = name;
        sc.path = sc.marker_path.c_str();
    }
    preproc_root *root = sc.root;
    auto *rec = static_cast<preproc_file *>(calloc(1, sizeof(preproc_file)));
    if (rec) {
        rec->path = strdup(sc.path);
    }
    if (!rec || !rec->path) {
        glog_fatal("%s", k_oom);
        free(rec);
        *ok = false;
        return true;
    }
    rec->first_line = static_cast<int32_t>(number);
    rec->start_line = static_cast<int32_t>(root->line + 1);
    if (!root->files->add(root->files, rec)) {
        glog_error("Failed to add item linkedlist");
        free(rec->path);
        free(rec);
        *ok = false;
        return true;
    }
    sc.line_no = number - 1; // the scan counts the next line as `number`
    *ok = true;
    return true;
}

// The file records line markers made, and the key pragmas, learn where their lines start.
void locate_lines(preproc_root *root) {
    locate_pragmas(root);
    const char *text = root->output.data;
    const uint64_t len = root->output.len;
    uint64_t line = 1;
    uint64_t pos = 0;
    const pn_linkedlist_node *n = root->files->head;
    for (n = n != nullptr ? n->next : nullptr; n != nullptr; n = n->next) {
        auto *f = static_cast<preproc_file *>(n->element);
        while (line < static_cast<uint64_t>(f->start_line) && pos < len) {
            const void *nl = memchr(text + pos, '\n', len - pos);
            pos = nl ? static_cast<uint64_t>(static_cast<const char *>(nl) - text) + 1 : len;
            ++line;
        }
        f->text_offset = static_cast<int32_t>(pos);
    }
}

bool scan_line(line_scan &sc, uint64_t at, uint64_t len, uint64_t *next) {
    preproc_root *root = sc.root;
    const uint64_t line_no = sc.line_no;
    *next = at + len;
    const char *line = root->output.data + at;
    uint64_t i = 0;
    while (i < len && isspace(static_cast<unsigned char>(line[i]))) {
        ++i;
    }
    if (i == len) {
        return true;
    }
    if (line[i] != '#') {
        follow_guard(sc, 0, nullptr, line);
        if (preproc_cond_skipping(sc.stack)) {
            blank(root, at, len);
        }
        return true;
    }
    const place_guard restore{preproc_set_place({sc.path, line_no, i + 1})};
    if (preproc_cond_skipping(sc.stack)) {
        // Inside a skipped group only the conditional directives are read, and only as far
        // as the nesting needs: any other line is skipped unread, whatever it holds.
        const char *word = nullptr;
        const uint64_t n = directive_word(line + i, len - i, &word);
        const uint64_t type = preproc_cond_word_type(word, n);
        if (type == 0 || preproc_cond_skip(sc.stack, type)) {
            blank(root, at, len);
            return true;
        }
    }
    if (!preproc_cond_skipping(sc.stack)) {
        bool ok = true;
        if (line_marker(sc, line + i, len - i, &ok)) {
            sc.guard = guard_state::none;
            blank(root, at, len);
            return ok;
        }
    }
    input in;
    input_init(&in, line, len);
    owned<ast, ast_recursive_delete> tree{parse(root->directive_parser, &in)};
    if (!tree) {
        glog_error("Failed to create ast");
        return false;
    }
    if (pptree_aborted(tree.get())) {
        return false;
    }
    if (tree->kind == AST_ERROR) {
        report_invalid_directive(line + i, len - i);
        return false;
    }
    const uint64_t type = pptree_type(tree.get());
    if (preproc_cond_is_conditional(type)) {
        if (!preproc_cond_apply(root, sc.stack, tree.get(), line)) {
            return false;
        }
        follow_guard(sc, type, tree.get(), line);
        blank(root, at, len);
        return true;
    }
    follow_guard(sc, type, tree.get(), line);
    if (preproc_cond_skipping(sc.stack)) {
        blank(root, at, len);
        return true;
    }
    switch (type) {
    case DIRECTIVE_DEFINEDIRECTIVE:
    case DIRECTIVE_DEFINEDIRECTIVEARG:
        if (!preproc_define(root, tree.get(), line)) {
            return false;
        }
        blank(root, at, len);
        return true;
    case DIRECTIVE_UNDEFINEGROUP:
        if (!preproc_undef(root, tree.get(), line)) {
            return false;
        }
        blank(root, at, len);
        return true;
    case DIRECTIVE_INCLUDERELATIVEPATH:
    case DIRECTIVE_INCLUDEABSOLUTEPATH:
        // "file" and <file> alike become a reference to the file's XML counterpart.
        if (!call_include_hook(sc, tree.get(), line, type == DIRECTIVE_INCLUDEABSOLUTEPATH,
                               line_no)) {
            return false;
        }
        return make_marker(root, tree.get(), at, len, next);
    case DIRECTIVE_PRAGMADIRECTIVE:
        if (!keep_pragma(sc, tree.get(), line, line_no)) {
            return false;
        }
        blank(root, at, len);
        return true;
    default:
        report_invalid_directive(line + i, len - i);
        return false;
    }
}

} // namespace

//=== include markers ===//

bool preproc_include_marker_encode(const char *path, size_t len, idl_string *out) {
    if (!path || len == 0 || !out) {
        glog_error("Empty include path");
        return false;
    }
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < len; ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        // Letters and digits stand for themselves, except 'I' (so the suffix can never occur
        // inside the encoded path) and a leading digit (not allowed to start a name).
        const bool plain = is_alnum(c) && c != 'I' && !(i == 0 && c >= '0' && c <= '9');
        bool ok;
        if (plain) {
            ok = idl_string_append_char(out, static_cast<char>(c));
        } else {
            const char esc[3] = {'_', hex[c >> 4], hex[c & 15]};
            ok = idl_string_append_string(out, esc, 3);
        }
        if (!ok) {
            return false;
        }
    }
    return idl_string_append_string(out, PREPROC_MARKER_SUFFIX, k_suffix_len);
}

int64_t preproc_include_marker_decode(const char *name, size_t len, char *out) {
    if (!name || !out) {
        return -1;
    }
    size_t stem = SIZE_MAX;
    for (size_t i = 0; i + k_suffix_len <= len; ++i) {
        if (memcmp(name + i, PREPROC_MARKER_SUFFIX, k_suffix_len) == 0) {
            stem = i;
            break;
        }
    }
    if (stem == SIZE_MAX || stem == 0) {
        return -1;
    }
    size_t n = 0;
    for (size_t i = 0; i < stem; ++i) {
        const char c = name[i];
        if (c == '_') {
            if (i + 2 >= stem) {
                return -1;
            }
            const int hi = hex_value(name[i + 1]);
            const int lo = hex_value(name[i + 2]);
            if (hi < 0 || lo < 0) {
                return -1;
            }
            out[n++] = static_cast<char>((hi << 4) | lo);
            i += 2;
        } else if (is_alnum(static_cast<unsigned char>(c)) && c != 'I') {
            out[n++] = c;
        } else {
            return -1;
        }
    }
    out[n] = 0;
    return static_cast<int64_t>(n);
}

//=== state ===//

bool preproc_pragma_declares_keys(const char *text, size_t len) {
    size_t word = 0;
    while (word < len && !is_pragma_blank(text[word])) {
        ++word;
    }
    const std::string_view first(text, word);
    return first == "keylist" || first == "DCPS_DATA_TYPE" || first == "DCPS_DATA_KEY";
}

bool preproc_root_init(preproc_root *root, pn_linkedlist *macros, pn_linkedlist *include_dirs) {
    if (!root) {
        return false;
    }
    *root = preproc_root{};
    root->macros = pn_hashmap_create(PN_TYPE_STRING, 0, 32);
    if (!root->macros) {
        glog_fatal("%s", k_oom);
        preproc_root_fini(root);
        return false;
    }
    if (macros) {
        for (pn_linkedlist_node *n = macros->head; n; n = n->next) {
            const auto *src = static_cast<const preproc_macro *>(n->element);
            if (!src) {
                continue;
            }
            preproc_macro *m = preproc_macro_copy(src);
            if (!m) {
                preproc_root_fini(root);
                return false;
            }
            if (!preproc_add_macro(root->macros, m)) {
                glog_debug("Failed to add macro: <id: %s>", m->name.data);
                preproc_macro_destroy(m);
                preproc_root_fini(root);
                return false;
            }
        }
    }
    root->include_dirs = pn_linkedlist_create(PN_TYPE_UINTPTR, 0);
    if (!root->include_dirs) {
        glog_fatal("%s", k_oom);
        preproc_root_fini(root);
        return false;
    }
    if (include_dirs) {
        for (pn_linkedlist_node *n = include_dirs->head; n; n = n->next) {
            const char *dir = static_cast<const char *>(n->element);
            char *copy = strdup(dir ? dir : "");
            if (!copy) {
                glog_fatal("Unable to duplicate string");
                preproc_root_fini(root);
                return false;
            }
            if (!root->include_dirs->add(root->include_dirs, copy)) {
                glog_error("Failed to add item to linkedlist");
                free(copy);
                preproc_root_fini(root);
                return false;
            }
        }
    }
    root->files = pn_linkedlist_create(PN_TYPE_UINTPTR, 0);
    if (!root->files) {
        glog_fatal("%s", k_oom);
        preproc_root_fini(root);
        return false;
    }
    root->pragmas = pn_linkedlist_create(PN_TYPE_UINTPTR, 0);
    if (!root->pragmas) {
        glog_fatal("%s", k_oom);
        preproc_root_fini(root);
        return false;
    }
    root->line = 1;
    root->output.data = static_cast<char *>(calloc(10240, 1));
    if (!root->output.data) {
        glog_fatal("%s", k_oom);
        preproc_root_fini(root);
        return false;
    }
    root->output.capacity = 10240;
    root->directive_parser = directive_parser_new();
    if (!root->directive_parser) {
        glog_error("Failed to create directive parser");
        preproc_root_fini(root);
        return false;
    }
    root->text_parser = non_directive_parser_new();
    if (!root->text_parser) {
        glog_error("Failed to create non_directive parser");
        preproc_root_fini(root);
        return false;
    }
    root->condition_parser = ifexpr_parser_new();
    if (!root->condition_parser) {
        glog_error("Failed to create if expression parser");
        preproc_root_fini(root);
        return false;
    }
    return true;
}

void preproc_root_fini(preproc_root *root) {
    if (!root) {
        return;
    }
    parser_delete(root->text_parser);
    parser_delete(root->directive_parser);
    parser_delete(root->condition_parser);
    idl_string_free(&root->output);
    if (root->files) {
        while (root->files->size > 0) {
            auto *f = static_cast<preproc_file *>(root->files->remove_first(root->files));
            if (f) {
                free(f->path);
                free(f);
            }
        }
        pn_linkedlist_destroy(root->files);
    }
    if (root->pragmas) {
        while (root->pragmas->size > 0) {
            pragma_destroy(
                static_cast<preproc_pragma *>(root->pragmas->remove_first(root->pragmas)));
        }
        pn_linkedlist_destroy(root->pragmas);
    }
    if (!root->macros_borrowed) {
        preproc_macro_table_destroy(root->macros);
    }
    free(root->shifts);
    free(root->guard);
    if (root->include_dirs) {
        while (root->include_dirs->size > 0) {
            free(root->include_dirs->remove_first(root->include_dirs));
        }
        pn_linkedlist_destroy(root->include_dirs);
    }
    *root = preproc_root{};
}

bool idlpreproc_include_file(preproc_root *root, const char *path, uint64_t *cursor) {
    auto *rec = static_cast<preproc_file *>(calloc(1, sizeof(preproc_file)));
    if (!rec) {
        glog_fatal("%s", k_oom);
        return false;
    }
    rec->path = strdup(path);
    if (!rec->path) {
        glog_fatal("Out of memory: Unable to duplicate string");
        free(rec);
        return false;
    }
    rec->text_offset = static_cast<int32_t>(*cursor);
    rec->first_line = 1;
    rec->start_line = static_cast<int32_t>(root->line);
    if (!root->files->add(root->files, rec)) {
        glog_error("Failed to add item linkedlist");
        free(rec->path);
        free(rec);
        return false;
    }
    if (!idlpreproc_clean_file(path, &root->output)) {
        return false;
    }
    // A last line without a line end is handled like any other: give it one for the scan and
    // take it away afterwards.
    const bool added_newline =
        root->output.len > *cursor && root->output.data[root->output.len - 1] != '\n';
    if (added_newline && !idl_string_append_char(&root->output, '\n')) {
        return false;
    }
    try {
        line_scan sc{root, path, {}, 1, {}, guard_state::before, {}};
        while (*cursor < root->output.len) {
            const char *start = root->output.data + *cursor;
            const void *nl = memchr(start, '\n', root->output.len - *cursor);
            const uint64_t len = static_cast<const char *>(nl) - start + 1;
            uint64_t next = 0;
            if (!scan_line(sc, *cursor, len, &next)) {
                return false;
            }
            *cursor = next;
            ++root->line;
            ++sc.line_no;
        }
        if (sc.guard == guard_state::after && root->guard == nullptr) {
            root->guard = strdup(sc.guard_name.c_str());
            if (root->guard == nullptr) {
                glog_fatal("Out of memory: Unable to duplicate string");
                return false;
            }
        }
        if (!sc.stack.empty()) {
            // Named at the innermost chain left open.
            const preproc_cond &open = sc.stack.back();
            const char *opener = open.opened_by == DIRECTIVE_IFNDEFDIRECTIVE  ? "#ifndef"
                                 : open.opened_by == DIRECTIVE_IFDEFDIRECTIVE ? "#ifdef"
                                                                              : "#if";
            preproc_report_at({open.path, open.line, 0}, PREPROC_RECORD_PLACE,
                              std::string("unterminated ") +
                                  (root->record_wording ? "#if" : opener));
            return false;
        }
    } catch (const std::bad_alloc &) {
        glog_fatal("%s", k_oom);
        return false;
    }
    if (added_newline) {
        idl_string_remove_from_end(&root->output, 1);
    }
    return true;
}

bool zadozeda_preproc(preproc_root *root, const char *path) {
    if (!root || !path) {
        glog_error("Failed to find file: %s", path ? path : "(null)");
        return false;
    }
    owned_text resolved{arch_realpath(path, nullptr)};
    if (!resolved) {
        glog_error("Failed to find file: %s", path);
        return false;
    }
    root->record_wording = true;
    return preproc_run(root, resolved.get());
}

bool preproc_run(preproc_root *root, const char *path) {
    uint64_t cursor = 0;
    if (!idlpreproc_include_file(root, path, &cursor)) {
        return false;
    }
    // A file whose every line a condition skipped (one read again behind its include guard)
    // has nothing to expand.
    const char *text = root->output.data;
    const bool blank =
        std::all_of(text, text + root->output.len, [](char c) { return c == ' ' || c == '\n'; });
    if (!blank && !preproc_normalize_string(root, &root->output)) {
        return false;
    }
    locate_lines(root);
    return true;
}

void preproc_root_share_table(preproc_root *root, pn_hashmap *table, uint64_t line_base) {
    if (!root->macros_borrowed) {
        preproc_macro_table_destroy(root->macros);
    }
    root->macros = table;
    root->macros_borrowed = true;
    root->line_base = line_base;
}

uint64_t preproc_table_line_at(const preproc_root *root, uint64_t line) {
    // Lines after an include directive come after the table lines the included file took.
    const preproc_shift *first = root->shifts;
    const preproc_shift *after =
        std::lower_bound(first, first + root->shift_count, line,
                         [](const preproc_shift &s, uint64_t l) { return s.line < l; });
    return root->line_base + line + (after == root->shifts ? 0 : (after - 1)->total);
}

uint64_t preproc_table_line(const preproc_root *root) {
    return root->line_base + root->line +
           (root->shift_count == 0 ? 0 : root->shifts[root->shift_count - 1].total);
}

bool preproc_take_lines(preproc_root *root, uint64_t count) {
    if (count == 0) {
        return true;
    }
    if (root->shift_count == root->shift_room) {
        const uint64_t room = root->shift_room == 0 ? 8 : root->shift_room * 2;
        auto *grown =
            static_cast<preproc_shift *>(realloc(root->shifts, room * sizeof(preproc_shift)));
        if (!grown) {
            glog_fatal("%s", k_oom);
            return false;
        }
        root->shifts = grown;
        root->shift_room = room;
    }
    const uint64_t before = root->shift_count == 0 ? 0 : root->shifts[root->shift_count - 1].total;
    root->shifts[root->shift_count++] = {root->line, before + count};
    return true;
}
