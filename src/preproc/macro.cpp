// Macro table, `#define`/`#undef` handling and in-place macro expansion of a text.
#include "preproc/macro.hpp"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/arraylist.hpp"
#include "base/glog.hpp"
#include "base/hashmap.hpp"
#include "base/linkedlist.hpp"
#include "grammars/directive_parser.hpp"
#include "grammars/non_directive_parser.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "preproc/pptree.hpp"
#include "base/owned.hpp"

namespace {

constexpr const char *k_oom = "Out of memory: Unable to allocate memory";

std::string node_text(const ast *node, const char *text) {
    const ast_tree *t = ast_as_tree(node);
    if (!t || t->end < t->start) {
        return {};
    }
    return std::string(text + t->start, t->end - t->start);
}

//=== replacement items ===//

void item_destroy(preproc_macro_item *item) {
    if (!item) {
        return;
    }
    idl_string_free(&item->text);
    free(item);
}

void item_list_destroy(pn_linkedlist *list) {
    if (!list) {
        return;
    }
    while (list->size > 0) {
        item_destroy(static_cast<preproc_macro_item *>(list->remove_first(list)));
    }
    pn_linkedlist_destroy(list);
}

// Appends one item to `list`; the item is released on failure.
bool item_append(pn_linkedlist *list, int32_t kind, const char *text, size_t len, uint64_t index) {
    auto *item = static_cast<preproc_macro_item *>(calloc(1, sizeof(preproc_macro_item)));
    if (!item) {
        glog_fatal("%s", k_oom);
        return false;
    }
    item->kind = kind;
    item->index = index;
    if (kind == ITEM_TEXT) {
        item->text = idl_string_strdup(text, len);
        if (!item->text.data) {
            free(item);
            return false; // logged by the string module
        }
    }
    if (!list->add(list, item)) {
        glog_error("Failed to add item to linkedlist");
        item_destroy(item);
        return false;
    }
    return true;
}

void param_map_destroy(pn_hashmap *map) {
    if (!map) {
        return;
    }
    pn_iterator_state st{};
    pn_hashmap_value_iterator_ops.init(&st, map->value_view);
    while (pn_hashmap_value_iterator_ops.has_next(&st)) {
        auto *p = static_cast<preproc_macro_param *>(pn_hashmap_value_iterator_ops.next(&st));
        if (p) {
            idl_string_free(&p->name);
            free(p);
        }
    }
    pn_hashmap_destroy(map);
}

//=== expansion ===//

// Where one byte of the text being expanded came from: the line it counts as standing on, and
// the set of macros whose own expansion produced it (never expanded again inside it).
struct byte_tag {
    uint32_t line;
    uint32_t hide;
};

constexpr uint32_t k_hide_none = 0;
constexpr uint32_t k_hide_all = UINT32_MAX; // stringized text: never expanded

// Hard bounds that turn a runaway expansion (mutual recursion through arguments, exponential
// growth) into an error instead of a hang or memory exhaustion.
constexpr uint64_t k_min_replacements = uint64_t{1} << 18;
constexpr uint64_t k_max_without_output = uint64_t{1} << 16;
constexpr uint64_t k_max_text = uint64_t{1} << 28;

struct expander {
    preproc_root *root = nullptr;
    bool condition = false;
    std::vector<char> buf;
    std::vector<byte_tag> tags;
    size_t head = 0;
    idl_string out{};
    // Hide sets as shared chains: node i holds a macro name and the index of the rest.
    std::vector<std::pair<uint32_t, const char *>> hide_nodes{{0, nullptr}};
    std::map<std::pair<uint32_t, const char *>, uint32_t> hide_memo;
    uint64_t replacements = 0;
    uint64_t since_output = 0;
    uint64_t max_replacements = k_min_replacements;

    ~expander() { idl_string_free(&out); }

    bool hidden(uint32_t hide, const char *name) const {
        if (hide == k_hide_all) {
            return true;
        }
        while (hide != k_hide_none) {
            if (strcmp(hide_nodes[hide].second, name) == 0) {
                return true;
            }
            hide = hide_nodes[hide].first;
        }
        return false;
    }

    uint32_t hide_add(uint32_t hide, const char *name) {
        if (hidden(hide, name)) {
            return hide;
        }
        auto key = std::make_pair(hide, name);
        auto it = hide_memo.find(key);
        if (it != hide_memo.end()) {
            return it->second;
        }
        auto id = static_cast<uint32_t>(hide_nodes.size());
        hide_nodes.emplace_back(hide, name);
        hide_memo.emplace(key, id);
        return id;
    }

    bool emit(size_t from, size_t to) {
        if (to <= from) {
            return true;
        }
        since_output = 0;
        return idl_string_append_string(&out, buf.data() + from, to - from);
    }

    // Parses one text item at `pos`; null (logged) on a failed parse.
    ast *parse_at(size_t pos, size_t *end, const char *failure) {
        input in;
        input_init(&in, buf.data(), buf.size());
        in.pos = pos;
        ast *node = parse(root->text_parser, &in);
        if (!node || node->kind == AST_ERROR) {
            glog_error("%s", failure);
            ast_recursive_delete(node);
            return nullptr;
        }
        *end = in.pos;
        return node;
    }

    bool is_ident_start(char c) const {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    }
    bool is_ident_char(char c) const { return is_ident_start(c) || (c >= '0' && c <= '9'); }
    bool is_blank(char c) const { return c == ' ' || c == '\t'; }

    // End of the operand of `defined` that starts at `p`: a name or a parenthesised name;
    // `p` itself when neither follows (the condition parser then reports the fault).
    size_t defined_operand_end(size_t p) const {
        size_t n = buf.size();
        while (p < n && is_blank(buf[p])) {
            ++p;
        }
        if (p < n && is_ident_start(buf[p])) {
            while (p < n && is_ident_char(buf[p])) {
                ++p;
            }
            return p;
        }
        if (p < n && buf[p] == '(') {
            size_t q = p + 1;
            while (q < n && is_blank(buf[q])) {
                ++q;
            }
            if (q < n && is_ident_start(buf[q])) {
                while (q < n && is_ident_char(buf[q])) {
                    ++q;
                }
                while (q < n && is_blank(buf[q])) {
                    ++q;
                }
                if (q < n && buf[q] == ')') {
                    return q + 1;
                }
            }
        }
        return p;
    }

    // Puts the expansion in place of [head, inv_end) and moves head to its start, so that it
    // is scanned again together with the rest of the text.
    void splice(size_t inv_end, const std::vector<char> &eb, const std::vector<byte_tag> &et) {
        size_t len = eb.size();
        if (len > inv_end) {
            // Room before the invocation is what has already been emitted; grow it with slack
            // so that repeated growth stays linear.
            size_t extra = (len - inv_end) + buf.size() / 2 + 64;
            buf.insert(buf.begin(), extra, ' ');
            tags.insert(tags.begin(), extra, byte_tag{0, k_hide_all});
            inv_end += extra;
        }
        size_t at = inv_end - len;
        if (len > 0) {
            memcpy(buf.data() + at, eb.data(), len);
            memcpy(tags.data() + at, et.data(), len * sizeof(byte_tag));
        }
        head = at;
    }

    bool expand_invocation(preproc_macro *m, size_t name_start, size_t name_end, const ast *func,
                           size_t inv_end) {
        if (++replacements > max_replacements || ++since_output > k_max_without_output ||
            (buf.size() - head) + out.len > k_max_text) {
            glog_error("Macro expansion of '%s' does not end", m->name.data);
            return false;
        }
        const byte_tag at = tags[name_start];
        const uint32_t hide = hide_add(at.hide, m->name.data);
        std::vector<char> eb;
        std::vector<byte_tag> et;
        auto put_text = [&](const char *s, size_t n, uint32_t h) {
            eb.insert(eb.end(), s, s + n);
            et.insert(et.end(), n, byte_tag{at.line, h});
        };
        (void)name_end;
        if (m->replacement) {
            for (pn_linkedlist_node *n = m->replacement->head; n; n = n->next) {
                const auto *item = static_cast<const preproc_macro_item *>(n->element);
                if (item->kind == ITEM_TEXT || m->kind == MACRO_OBJECT) {
                    put_text(item->text.data ? item->text.data : "", item->text.len, hide);
                    continue;
                }
                const ast_tree *arg = ast_as_tree(pptree_child(func, item->index));
                if (!arg) {
                    continue;
                }
                size_t as = arg->start;
                size_t ae = arg->end;
                if (item->kind == ITEM_STRINGIZE) {
                    put_text("'", 1, k_hide_all);
                    put_text(buf.data() + as, ae - as, k_hide_all);
                    put_text("'", 1, k_hide_all);
                } else {
                    // Argument bytes keep their own history, so a nested use of the same
                    // macro in an argument (`F(F(1))`) is still expanded.
                    eb.insert(eb.end(), buf.begin() + as, buf.begin() + ae);
                    et.insert(et.end(), tags.begin() + as, tags.begin() + ae);
                }
            }
        }
        splice(inv_end, eb, et);
        return true;
    }

    bool run() {
        while (head < buf.size()) {
            // A '(' here (after blanks and line ends) follows no macro name: the text up to
            // and including it is copied and scanning goes on inside, whether or not the
            // group closes. Deciding this without a parse matters: parsing the group would
            // scan to its closing ')' at every level, quadratic in the nesting depth.
            size_t p = head;
            while (p < buf.size() &&
                   (buf[p] == ' ' || buf[p] == '\t' || buf[p] == '\n' || buf[p] == '\r')) {
                ++p;
            }
            if (p < buf.size() && buf[p] == '(') {
                if (!emit(head, p + 1)) {
                    return false;
                }
                head = p + 1;
                continue;
            }
            size_t end = head;
            owned<ast, ast_recursive_delete> node{parse_at(head, &end, "Failed to create ast")};
            if (!node) {
                return false;
            }
            const uint64_t type = pptree_type(node.get());
            if (end <= head && type == UINT64_MAX) {
                end = head + 1; // the grammar always moves; never loop in place
            }
            if (type != NON_DIRECTIVE_IDENTIFIER) {
                if (!emit(head, end)) {
                    return false;
                }
                head = end;
                continue;
            }
            const ast_tree *t = ast_as_tree(node.get());
            const size_t ns = t->start;
            const size_t ne = t->end;
            std::string name(buf.data() + ns, ne - ns);
            if (condition && name == "defined") {
                size_t oe = defined_operand_end(ne);
                if (!emit(head, oe)) {
                    return false;
                }
                head = oe;
                continue;
            }
            const byte_tag tag = tags[ns];
            preproc_macro *m = preproc_find_macro(name.c_str(), root->macros, tag.line);
            if (!m || hidden(tag.hide, m->name.data)) {
                if (!emit(head, ne)) {
                    return false;
                }
                head = ne;
                continue;
            }
            if (m->kind == MACRO_OBJECT) {
                if (!expand_invocation(m, ns, ne, nullptr, ne)) {
                    return false;
                }
                continue;
            }
            size_t fe = ne;
            owned<ast, ast_recursive_delete> func{parse_at(ne, &fe, "Failed to parse expression")};
            if (!func) {
                return false;
            }
            if (pptree_type(func.get()) != NON_DIRECTIVE_FUNC) {
                if (!emit(head, ne)) {
                    return false;
                }
                head = ne;
                continue;
            }
            const uint64_t want = m->parameters ? m->parameters->size : 0;
            const uint64_t given = pptree_count(func.get());
            if (want != given) {
                glog_error("Macro '%s' requires %lu arguments, but only %lu given", m->name.data,
                           static_cast<unsigned long>(want), static_cast<unsigned long>(given));
                return false;
            }
            if (!expand_invocation(m, ns, ne, func.get(), fe)) {
                return false;
            }
        }
        return true;
    }
};

bool expand_text(preproc_root *root, idl_string *text, bool condition, uint64_t first_line) {
    try {
        expander ex;
        ex.root = root;
        ex.condition = condition;
        const size_t n = text->len;
        ex.buf.assign(text->data, text->data + n);
        ex.tags.resize(n);
        uint64_t line = first_line;
        for (size_t i = 0; i < n; ++i) {
            ex.tags[i] = byte_tag{static_cast<uint32_t>(line), k_hide_none};
            if (!condition && text->data[i] == '\n') {
                ++line;
            }
        }
        if (4 * n > ex.max_replacements) {
            ex.max_replacements = 4 * n;
        }
        ex.out = idl_string_strdup("", 0);
        if (!ex.out.data || !idl_string_append_string(&ex.out, "", 0)) {
            return false; // logged by the string module
        }
        if (!ex.run()) {
            return false;
        }
        idl_string_free(text);
        *text = ex.out;
        ex.out = idl_string{};
        return true;
    } catch (const std::bad_alloc &) {
        glog_fatal("%s", k_oom);
        return false;
    } catch (const std::length_error &) {
        glog_fatal("%s", k_oom);
        return false;
    }
}

} // namespace

//=== table ===//

preproc_macro *preproc_find_macro(const char *name, pn_hashmap *table, uint64_t line) {
    if (!name || !table) {
        return nullptr;
    }
    auto *list = static_cast<pn_arraylist *>(table->get(table, const_cast<char *>(name)));
    if (!list) {
        return nullptr;
    }
    for (uint64_t i = list->size; i > 0; --i) {
        auto *m = static_cast<preproc_macro *>(list->items[i - 1]);
        if (m && m->def_line <= line && line <= m->undef_line) {
            return m;
        }
    }
    return nullptr;
}

bool preproc_add_macro(pn_hashmap *table, preproc_macro *macro) {
    if (!table || !macro || !macro->name.data) {
        glog_error("Failed to add item to hashmap");
        return false;
    }
    auto *list = static_cast<pn_arraylist *>(table->get(table, macro->name.data));
    bool fresh = false;
    if (!list) {
        list = pn_arraylist_create(PN_TYPE_UINTPTR, 0, 8);
        if (!list) {
            glog_fatal("Unable to allocate memory");
            return false;
        }
        if (!table->put(table, macro->name.data, list)) {
            glog_error("Failed to add item to hashmap");
            pn_arraylist_destroy(list);
            return false;
        }
        fresh = true;
    }
    if (!list->add(list, macro)) {
        glog_error("Failed to add item to arraylist");
        if (fresh) {
            // The key is this record's name, which the caller is about to release.
            table->remove(table, macro->name.data);
            pn_arraylist_destroy(list);
        }
        return false;
    }
    return true;
}

void preproc_macro_table_destroy(pn_hashmap *table) {
    if (!table) {
        return;
    }
    // Collect the lists first: the keys are names owned by the records being released.
    std::vector<pn_arraylist *> lists;
    pn_iterator_state st{};
    pn_hashmap_value_iterator_ops.init(&st, table->value_view);
    while (pn_hashmap_value_iterator_ops.has_next(&st)) {
        auto *list = static_cast<pn_arraylist *>(pn_hashmap_value_iterator_ops.next(&st));
        if (list) {
            try {
                lists.push_back(list);
            } catch (...) {
                // Cannot happen for small tables in practice; release what is reachable now.
                for (uint64_t i = 1; i < list->size; ++i) {
                    preproc_macro_destroy(static_cast<preproc_macro *>(list->items[i]));
                }
            }
        }
    }
    pn_hashmap_destroy(table);
    for (pn_arraylist *list : lists) {
        for (uint64_t i = 0; i < list->size; ++i) {
            preproc_macro_destroy(static_cast<preproc_macro *>(list->items[i]));
        }
        pn_arraylist_destroy(list);
    }
}

//=== records ===//

preproc_macro *preproc_macro_create_object(const char *name, const char *text) {
    auto *m = static_cast<preproc_macro *>(calloc(1, sizeof(preproc_macro)));
    if (!m) {
        glog_fatal("Out of memory: Unable to allocate memory");
        return nullptr;
    }
    m->kind = MACRO_OBJECT;
    m->def_line = 1;
    m->undef_line = PREPROC_LINE_MAX;
    const char *nm = name ? name : "";
    m->name = idl_string_strdup(nm, strlen(nm));
    if (!m->name.data) {
        glog_fatal("Out of memory: Unable to duplicate string");
        preproc_macro_destroy(m);
        return nullptr;
    }
    if (text) {
        m->replacement = pn_linkedlist_create(PN_TYPE_UINTPTR, 0);
        if (!m->replacement) {
            glog_fatal("Out of memory: Unable to create linkedlist");
            preproc_macro_destroy(m);
            return nullptr;
        }
        auto *item = static_cast<preproc_macro_item *>(calloc(1, sizeof(preproc_macro_item)));
        if (!item) {
            glog_fatal("Out of memory: Unable to allocate memory");
            preproc_macro_destroy(m);
            return nullptr;
        }
        item->kind = ITEM_TEXT;
        item->text = idl_string_strdup(text, strlen(text));
        if (!item->text.data) {
            glog_fatal("Out of memory: Unable to duplicate string");
            free(item);
            preproc_macro_destroy(m);
            return nullptr;
        }
        if (!m->replacement->add(m->replacement, item)) {
            glog_fatal("Out of memory: Unable to add item to linkedlist");
            item_destroy(item);
            preproc_macro_destroy(m);
            return nullptr;
        }
    }
    return m;
}

void preproc_macro_destroy(preproc_macro *macro) {
    if (!macro) {
        return;
    }
    param_map_destroy(macro->parameters);
    item_list_destroy(macro->replacement);
    idl_string_free(&macro->name);
    free(macro);
}

//=== definitions ===//

pn_linkedlist *preproc_visit_replacement_list(const ast *list_node, const char *line_text,
                                              pn_hashmap *parameters) {
    pn_linkedlist *list = pn_linkedlist_create(PN_TYPE_UINTPTR, 0);
    if (!list) {
        glog_fatal("%s", k_oom);
        return nullptr;
    }
    const uint64_t count = pptree_count(list_node);
    for (uint64_t i = 0; i < count; ++i) {
        const ast *child = pptree_child(list_node, i);
        const ast *prev = i > 0 ? pptree_child(list_node, i - 1) : nullptr;
        const ast *next = i + 1 < count ? pptree_child(list_node, i + 1) : nullptr;
        const ast_tree *t = ast_as_tree(child);
        if (!t) {
            continue;
        }
        const char *s = line_text + t->start;
        const size_t len = t->end - t->start;
        bool ok = true;
        switch (t->type) {
        case DIRECTIVE_TOKENCONCAT:
            if (!prev || !next) {
                glog_error("'##' cannot appear at either end of a macro expansion");
                ok = false;
            }
            break;
        case DIRECTIVE_TOKEN2STRING:
            if (!next) {
                glog_error("'#' is not followed by a macro parameter");
                ok = false;
            }
            break;
        case DIRECTIVE_IDENTIFIER: {
            std::string name(s, len);
            const auto *p = parameters ? static_cast<const preproc_macro_param *>(parameters->get(
                                             parameters, const_cast<char *>(name.c_str())))
                                       : nullptr;
            if (p) {
                const bool str = pptree_type(prev) == DIRECTIVE_TOKEN2STRING;
                ok = item_append(list, str ? ITEM_STRINGIZE : ITEM_PARAM, nullptr, 0, p->index);
            } else {
                ok = item_append(list, ITEM_TEXT, s, len, 0);
            }
            break;
        }
        default: // PPNumber, Extra: text as written
            ok = item_append(list, ITEM_TEXT, s, len, 0);
            break;
        }
        if (!ok) {
            item_list_destroy(list);
            return nullptr;
        }
    }
    return list;
}

bool preproc_define(preproc_root *root, const ast *tree, const char *line_text) {
    try {
        const uint64_t type = pptree_type(tree);
        const ast *name_node = pptree_child(tree, 0);
        if (pptree_type(name_node) != DIRECTIVE_IDENTIFIER) {
            glog_error("Failed to add item to hashmap");
            return false;
        }
        auto *m = static_cast<preproc_macro *>(calloc(1, sizeof(preproc_macro)));
        if (!m) {
            glog_fatal("%s", k_oom);
            return false;
        }
        owned<preproc_macro, preproc_macro_destroy> guard{m};
        std::string name = node_text(name_node, line_text);
        m->name = idl_string_strdup(name.data(), name.size());
        if (!m->name.data) {
            return false; // logged by the string module
        }
        m->kind = type == DIRECTIVE_DEFINEDIRECTIVEARG ? MACRO_FUNCTION : MACRO_OBJECT;
        m->def_line = root->line;
        m->undef_line = PREPROC_LINE_MAX;
        if (m->kind == MACRO_FUNCTION) {
            m->parameters = pn_hashmap_create(PN_TYPE_STRING, 0, 4);
            if (!m->parameters) {
                glog_fatal("%s", k_oom);
                return false;
            }
        }
        uint64_t index = 0;
        for (uint64_t i = 1; i < pptree_count(tree); ++i) {
            const ast *child = pptree_child(tree, i);
            const uint64_t ct = pptree_type(child);
            if (ct == DIRECTIVE_IDENTIFIER && m->kind == MACRO_FUNCTION) {
                auto *p =
                    static_cast<preproc_macro_param *>(calloc(1, sizeof(preproc_macro_param)));
                if (!p) {
                    glog_fatal("%s", k_oom);
                    return false;
                }
                std::string pn = node_text(child, line_text);
                p->name = idl_string_strdup(pn.data(), pn.size());
                p->index = index++;
                if (!p->name.data || !m->parameters->put(m->parameters, p->name.data, p)) {
                    // A duplicate parameter name ends the definition without a message.
                    idl_string_free(&p->name);
                    free(p);
                    return false;
                }
            } else if (ct == DIRECTIVE_REPLACEMENTLIST) {
                m->replacement = preproc_visit_replacement_list(child, line_text, m->parameters);
                if (!m->replacement) {
                    return false;
                }
            }
        }
        if (!preproc_add_macro(root->macros, m)) {
            return false;
        }
        (void)guard.release();
        return true;
    } catch (const std::bad_alloc &) {
        glog_fatal("%s", k_oom);
        return false;
    }
}

bool preproc_undef(preproc_root *root, const ast *tree, const char *line_text) {
    try {
        const ast *name_node = pptree_child(tree, 0);
        if (pptree_type(name_node) != DIRECTIVE_IDENTIFIER) {
            glog_error("Failed to create ast");
            return false;
        }
        std::string name = node_text(name_node, line_text);
        auto *list = static_cast<pn_arraylist *>(root->macros->get(root->macros, name.data()));
        if (!list) {
            return true; // nothing to end
        }
        for (uint64_t i = 0; i < list->size; ++i) {
            auto *m = static_cast<preproc_macro *>(list->items[i]);
            if (m && m->def_line <= root->line && root->line <= m->undef_line) {
                m->undef_line = root->line;
            }
        }
        return true;
    } catch (const std::bad_alloc &) {
        glog_fatal("%s", k_oom);
        return false;
    }
}

//=== expansion entries ===//

bool preproc_normalize_string(preproc_root *root, idl_string *text) {
    uint64_t first = 1;
    if (root->files && root->files->head && root->files->head->element) {
        const auto *f = static_cast<const preproc_file *>(root->files->head->element);
        first = f->start_line > 0 ? static_cast<uint64_t>(f->start_line) : 1;
    }
    return expand_text(root, text, false, first);
}

bool preproc_expand_condition(preproc_root *root, idl_string *text) {
    return expand_text(root, text, true, root->line);
}
