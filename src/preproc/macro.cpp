// Macro table, `#define`/`#undef` handling and in-place macro expansion of a text.
#include "preproc/macro.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/arraylist.hpp"
#include "base/glog.hpp"
#include "base/hashmap.hpp"
#include "base/linkedlist.hpp"
#include "base/owned.hpp"
#include "grammars/directive_parser.hpp"
#include "preproc/place.hpp"
#include "preproc/pptree.hpp"
#include "preproc/textscan.hpp"

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

// Where bytes of the text being expanded came from: the line they count as standing on, and
// the set of macros whose own expansion produced them (never expanded again inside them).
struct byte_tag {
    uint32_t line;
    uint32_t hide;
};

constexpr uint32_t k_hide_none = 0;
constexpr uint32_t k_hide_all = UINT32_MAX; // stringized text: never expanded

// Hard bounds that turn a runaway expansion (mutual recursion through arguments, exponential
// growth) into an error instead of a hang or memory exhaustion. The text may grow to
// `k_growth_factor` times the input plus `k_growth_allowance` bytes, and never past
// `k_max_text`.
constexpr uint64_t k_min_replacements = uint64_t{1} << 18;
constexpr uint64_t k_max_without_output = uint64_t{1} << 16;
constexpr uint64_t k_max_text = uint64_t{1} << 28;
constexpr uint64_t k_growth_factor = 64;
constexpr uint64_t k_growth_allowance = uint64_t{1} << 20;
// Rescanning bound: argument lists whose answer cannot be remembered (a quote inside fails to
// close) are scanned again at every use, so a few hundred bytes of nested, self-feeding
// invocations can cost seconds while staying under every other bound. The scans may step over
// this many times the largest text allowed; ordinary models use a small fraction of it.
constexpr uint64_t k_scan_factor = 16;

// A stretch of one tag in an expansion being built, in text order.
struct tag_piece {
    uint64_t len;
    byte_tag tag;
};

// A stretch of one tag in the text being expanded. Positions are distances from the end of
// the buffer, which do not move when the buffer grows at the front: the stretch covers the
// distances from `start` down to (not including) the start of the stretch before it in the
// stack, or the untouched input for the first one.
struct tag_run {
    uint64_t start;
    byte_tag tag;
};

// Quick test of whether a name may be a macro: one bit per hash of its length and end bytes,
// so most names of a text skip the table look-up.
unsigned name_slot(const char *s, size_t n) {
    const auto first = static_cast<unsigned char>(s[0]);
    const auto last = static_cast<unsigned char>(s[n - 1]);
    return static_cast<unsigned>(n * 31u + first * 7u + last) & 4095u;
}

struct name_filter {
    preproc_names names{};
    bool all = true; // no filter built: every name may be one

    void add(const char *s, size_t n) { preproc_names_add(&names, s, n); }
    bool may_hold(const char *s, size_t n) const {
        const unsigned k = name_slot(s, n);
        return all || ((names.bits[k >> 6] >> (k & 63)) & 1) != 0;
    }
};

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
bool is_ws(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool is_ident_start(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool is_ident_char(char c) {
    return is_ident_start(c) || (c >= '0' && c <= '9');
}

// The text an expander works in: the caller's buffer while each expansion fits into the room
// before it (the bytes already done), a buffer of its own once one needs more room, so that a
// text is copied only when an expansion grows it that far.
class work_text {
public:
    void borrow(char *data, size_t size) {
        data_ = data;
        size_ = size;
    }
    void copy(const char *data, size_t size) {
        own_.assign(data, data + size);
        data_ = own_.data();
        size_ = size;
    }
    char *data() { return data_; }
    const char *data() const { return data_; }
    size_t size() const { return size_; }
    char operator[](size_t i) const { return data_[i]; }
    // Puts `extra` blanks before the text.
    void grow_front(size_t extra) {
        std::vector<char> grown;
        grown.reserve(extra + size_);
        grown.assign(extra, ' ');
        grown.insert(grown.end(), data_, data_ + size_);
        own_.swap(grown);
        data_ = own_.data();
        size_ += extra;
    }

private:
    char *data_ = nullptr;
    size_t size_ = 0;
    std::vector<char> own_;
};

// The text is expanded in one buffer: bytes before `head` are done, the expansion of an
// invocation is put in its place and scanned again. Only bytes that expansions put in carry
// tags (`runs`, from the head up to `boundary`); the untouched input after them has no hide
// set and its line is found by counting line ends.
struct expander {
    preproc_root *root = nullptr;
    bool condition = false;
    uint32_t first_line = 1;
    work_text buf;
    size_t head = 0;
    size_t pending = 0; // [pending, head) is output not yet copied into `out`
    idl_string out{};
    std::vector<tag_run> runs; // the last one is the leftmost
    uint64_t boundary = 0;     // distance of the first untouched input byte
    uint64_t line_d = 0;       // line cursor over the untouched input: a distance ...
    uint32_t line_val = 0;     // ... and the line of the byte there
    textscan_memo memo;
    textscan_call call;
    std::vector<char> eb;      // expansion being built
    std::vector<tag_piece> ep; // its tags
    std::vector<uint32_t> em;  // its bracket marks, one per byte
    std::string name;          // NUL-terminated copy of the name being looked up
    name_filter filter;
    // Hide sets as shared chains: node i holds a macro name and the index of the rest.
    std::vector<std::pair<uint32_t, const char *>> hide_nodes{{0, nullptr}};
    std::map<std::pair<uint32_t, const char *>, uint32_t> hide_memo;
    uint64_t replacements = 0;
    uint64_t since_output = 0;
    uint64_t max_replacements = k_min_replacements;
    uint64_t max_text = k_max_text;

    ~expander() { idl_string_free(&out); }

    bool hidden(uint32_t hide, const char *nm) const {
        if (hide == k_hide_all) {
            return true;
        }
        while (hide != k_hide_none) {
            if (strcmp(hide_nodes[hide].second, nm) == 0) {
                return true;
            }
            hide = hide_nodes[hide].first;
        }
        return false;
    }

    uint32_t hide_add(uint32_t hide, const char *nm) {
        if (hidden(hide, nm)) {
            return hide;
        }
        auto key = std::make_pair(hide, nm);
        auto it = hide_memo.find(key);
        if (it != hide_memo.end()) {
            return it->second;
        }
        auto id = static_cast<uint32_t>(hide_nodes.size());
        hide_nodes.emplace_back(hide, nm);
        hide_memo.emplace(key, id);
        return id;
    }

    //=== tags ===//

    uint64_t dist(size_t p) const { return buf.size() - p; }

    size_t count_lines(size_t from, size_t to) const {
        size_t c = 0;
        const char *p = buf.data() + from;
        const char *e = buf.data() + to;
        while (p < e) {
            const void *nl = memchr(p, '\n', static_cast<size_t>(e - p));
            if (!nl) {
                break;
            }
            ++c;
            p = static_cast<const char *>(nl) + 1;
        }
        return c;
    }

    // Line of the untouched input byte at distance `d`; the cursor mostly moves forward.
    uint32_t input_line(uint64_t d) {
        if (condition) {
            return first_line;
        }
        const size_t n = buf.size();
        if (d <= line_d) {
            line_val += static_cast<uint32_t>(count_lines(n - line_d, n - d));
        } else {
            line_val -= static_cast<uint32_t>(count_lines(n - d, n - line_d));
        }
        line_d = d;
        return line_val;
    }

    // The run holding distance `d` of the tagged region, or end.
    std::vector<tag_run>::const_iterator run_at(uint64_t d) const {
        return std::lower_bound(runs.begin(), runs.end(), d,
                                [](const tag_run &r, uint64_t v) { return r.start < v; });
    }

    byte_tag tag_of(size_t p) {
        const uint64_t d = dist(p);
        if (d <= boundary) {
            return {input_line(d), k_hide_none};
        }
        auto it = run_at(d);
        if (it == runs.end()) {
            return {first_line, k_hide_all}; // before the live text; never asked
        }
        return it->tag;
    }

    void put_tag(uint64_t len, byte_tag tag) {
        if (len == 0) {
            return;
        }
        if (!ep.empty() && ep.back().tag.line == tag.line && ep.back().tag.hide == tag.hide) {
            ep.back().len += len;
        } else {
            ep.push_back({len, tag});
        }
    }

    void put_text(const char *s, size_t n, byte_tag tag) {
        eb.insert(eb.end(), s, s + n);
        put_tag(n, tag);
    }

    // Copies [as, ae) with its own tags, so a nested use of the same macro in an argument
    // (`F(F(1))`) is still expanded.
    void put_argument(size_t as, size_t ae) {
        eb.insert(eb.end(), buf.data() + as, buf.data() + ae);
        size_t p = as;
        while (p < ae) {
            const uint64_t d = dist(p);
            if (d <= boundary) {
                if (condition) {
                    put_tag(ae - p, {first_line, k_hide_none});
                    return;
                }
                while (p < ae) {
                    const void *nl = memchr(buf.data() + p, '\n', ae - p);
                    const size_t e =
                        nl ? static_cast<size_t>(static_cast<const char *>(nl) - buf.data()) + 1
                           : ae;
                    put_tag(e - p, {input_line(dist(p)), k_hide_none});
                    p = e;
                }
                return;
            }
            auto it = run_at(d);
            if (it == runs.end()) {
                put_tag(ae - p, {first_line, k_hide_all});
                return;
            }
            const auto i = static_cast<size_t>(it - runs.begin());
            const uint64_t end_d = i == 0 ? boundary : runs[i - 1].start;
            const size_t stop = std::min(ae, static_cast<size_t>(buf.size() - end_d));
            put_tag(stop - p, it->tag);
            p = stop;
        }
    }

    // The bracket marks of the expansion, last byte first: what is known of the argument
    // lists inside copied arguments travels with them, so a deep nest of invocations is not
    // scanned again at every level. False on failure (logged).
    bool put_marks(const preproc_macro *m, const textscan_call *args) {
        em.clear();
        for (pn_linkedlist_node *n = m->replacement ? m->replacement->tail : nullptr; n;
             n = n->prev) {
            const auto *item = static_cast<const preproc_macro_item *>(n->element);
            if (item->kind == ITEM_TEXT || m->kind == MACRO_OBJECT) {
                em.resize(em.size() + item->text.len, 0);
                continue;
            }
            if (!args || item->index >= args->args.size()) {
                continue;
            }
            const textscan_span &a = args->args[item->index];
            if (item->kind == ITEM_STRINGIZE) {
                em.resize(em.size() + (a.end - a.start) + 2, 0);
            } else if (!textscan_copy_marks(&memo, buf.size(), a.start, a.end, &em)) {
                return false;
            }
        }
        return true;
    }

    //=== output ===//

    void advance(size_t to) {
        if (to > head) {
            since_output = 0;
        }
        head = to;
    }

    bool flush() {
        if (head > pending &&
            !idl_string_append_string(&out, buf.data() + pending, head - pending)) {
            return false; // logged by the string module
        }
        pending = head;
        return true;
    }

    uint64_t text_size() const { return out.len + (buf.size() - pending); }

    // File and file line of counter line `line`.
    preproc_place place_of(uint32_t line) const {
        preproc_place place{"<input>", line, 0};
        for (pn_linkedlist_node *n = root->files ? root->files->head : nullptr; n; n = n->next) {
            const auto *f = static_cast<const preproc_file *>(n->element);
            if (f && f->start_line >= 0 && static_cast<uint64_t>(f->start_line) <= line) {
                place.path = f->path ? f->path : place.path;
                place.line = line - static_cast<uint64_t>(f->start_line) +
                             static_cast<uint64_t>(f->first_line);
            }
        }
        return place;
    }

    // Reports a runaway expansion of `nm` whose invocation stands on line `line`.
    bool runaway(const char *nm, uint32_t line) const {
        preproc_report_at(place_of(line), PREPROC_RECORD_PLACE,
                          std::string("Macro expansion of '") + nm + "' does not end");
        return false;
    }

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
    bool splice(size_t inv_end) {
        if (!flush()) {
            return false;
        }
        const size_t len = eb.size();
        if (len > inv_end) {
            // Room before the invocation is what has already been emitted; grow it with slack
            // so that repeated growth stays linear.
            const size_t extra = (len - inv_end) + buf.size() / 2 + 64;
            buf.grow_front(extra);
            inv_end += extra;
        }
        const size_t at = inv_end - len;
        if (len > 0) {
            memcpy(buf.data() + at, eb.data(), len);
        }
        const uint64_t d_end = dist(inv_end);
        if (d_end <= boundary) {
            runs.clear(); // the invocation reached into the untouched input
            boundary = d_end;
        } else {
            while (!runs.empty()) {
                const size_t k = runs.size() - 1;
                const uint64_t end_d = k == 0 ? boundary : runs[k - 1].start;
                if (end_d < d_end) {
                    break;
                }
                runs.pop_back();
            }
            if (!runs.empty() && runs.back().start > d_end) {
                runs.back().start = d_end;
            }
        }
        uint64_t d = d_end;
        for (auto it = ep.rbegin(); it != ep.rend(); ++it) {
            if (!runs.empty() && runs.back().start == d && runs.back().tag.line == it->tag.line &&
                runs.back().tag.hide == it->tag.hide) {
                d += it->len;
                runs.back().start = d;
            } else {
                d += it->len;
                runs.push_back({d, it->tag});
            }
        }
        if (!textscan_replace(&memo, buf.size(), at, inv_end, em.data())) {
            return false;
        }
        head = at;
        pending = at;
        return true;
    }

    bool expand_invocation(preproc_macro *m, size_t name_start, size_t inv_end,
                           const textscan_call *args) {
        const byte_tag at = tag_of(name_start);
        if (++replacements > max_replacements || ++since_output > k_max_without_output ||
            text_size() > k_max_text || memo.scanned / k_scan_factor > max_text) {
            return runaway(m->name.data, at.line);
        }
        auto arg = [&](uint64_t index) -> const textscan_span * {
            return args && index < args->args.size() ? &args->args[index] : nullptr;
        };
        // Refuse growth past the limit before building anything.
        uint64_t grown = 0;
        if (m->replacement) {
            for (pn_linkedlist_node *n = m->replacement->head; n; n = n->next) {
                const auto *item = static_cast<const preproc_macro_item *>(n->element);
                if (item->kind == ITEM_TEXT || m->kind == MACRO_OBJECT) {
                    grown += item->text.len;
                } else if (const textscan_span *a = arg(item->index)) {
                    grown += (a->end - a->start) + (item->kind == ITEM_STRINGIZE ? 2 : 0);
                }
            }
        }
        if (text_size() - (inv_end - name_start) + grown > max_text) {
            return runaway(m->name.data, at.line);
        }
        const uint32_t hide = hide_add(at.hide, m->name.data);
        eb.clear();
        ep.clear();
        if (m->replacement) {
            for (pn_linkedlist_node *n = m->replacement->head; n; n = n->next) {
                const auto *item = static_cast<const preproc_macro_item *>(n->element);
                if (item->kind == ITEM_TEXT || m->kind == MACRO_OBJECT) {
                    put_text(item->text.data ? item->text.data : "", item->text.len,
                             {at.line, hide});
                    continue;
                }
                const textscan_span *a = arg(item->index);
                if (!a) {
                    continue;
                }
                if (item->kind == ITEM_STRINGIZE) {
                    put_text("'", 1, {at.line, k_hide_all});
                    put_text(buf.data() + a->start, a->end - a->start, {at.line, k_hide_all});
                    put_text("'", 1, {at.line, k_hide_all});
                } else {
                    put_argument(a->start, a->end);
                }
            }
        }
        if (!put_marks(m, args)) {
            return false;
        }
        return splice(inv_end);
    }

    void build_filter() {
        pn_hashmap *table = root->macros;
        filter.all = false;
        if (root->names != nullptr) {
            filter.names = *root->names;
            return;
        }
        if (!table) {
            return;
        }
        pn_iterator_state st{};
        pn_hashmap_value_iterator_ops.init(&st, table->value_view);
        while (pn_hashmap_value_iterator_ops.has_next(&st)) {
            const auto *list =
                static_cast<const pn_arraylist *>(pn_hashmap_value_iterator_ops.next(&st));
            for (uint64_t i = 0; list && i < list->size; ++i) {
                const auto *m = static_cast<const preproc_macro *>(list->items[i]);
                if (m && m->name.data) {
                    filter.add(m->name.data, m->name.len);
                }
            }
        }
    }

    bool run() {
        while (head < buf.size()) {
            const size_t n = buf.size();
            // A '(' here (after blanks and line ends) follows no macro name: the text up to
            // and including it is copied and scanning goes on inside, whether or not the
            // group closes.
            size_t p = head;
            while (p < n && is_ws(buf[p])) {
                ++p;
            }
            if (p < n && buf[p] == '(') {
                advance(p + 1);
                continue;
            }
            textscan_item item{};
            if (!textscan_next(&memo, buf.data(), n, head, &item)) {
                return false;
            }
            if (item.kind != TEXTSCAN_IDENTIFIER) {
                advance(item.end > head ? item.end : head + 1);
                continue;
            }
            const size_t ns = head;
            const size_t ne = item.end;
            const char *s = buf.data() + ns;
            const size_t len = ne - ns;
            if (condition && len == 7 && memcmp(s, "defined", 7) == 0) {
                advance(defined_operand_end(ne));
                continue;
            }
            if (!filter.may_hold(s, len)) {
                if (root->observer != nullptr) {
                    // Nothing of this name is in the table; an observer still learns the text
                    // asked for it (on no line in particular: it stands for itself on all).
                    root->observer->lookup(root->observer->context, root, s, len,
                                           condition ? tag_of(ns).line : 0, nullptr, condition,
                                           false);
                }
                advance(ne);
                continue;
            }
            const byte_tag tag = tag_of(ns);
            name.assign(s, len);
            preproc_macro *m = preproc_look_up(root, name, tag.line, condition);
            if (!m || hidden(tag.hide, m->name.data)) {
                advance(ne);
                continue;
            }
            if (m->kind == MACRO_OBJECT) {
                if (!expand_invocation(m, ns, ne, nullptr)) {
                    return false;
                }
                continue;
            }
            if (!textscan_func(&memo, buf.data(), n, ne, &call)) {
                return false;
            }
            if (!call.matched) {
                advance(ne);
                continue;
            }
            const uint64_t want = m->parameters ? m->parameters->size : 0;
            const uint64_t given = call.args.size();
            if (want != given) {
                preproc_report_at(place_of(tag.line), PREPROC_RECORD_BARE,
                                  "Macro '" + std::string(m->name.data) + "' requires " +
                                      std::to_string(want) + " arguments, but only " +
                                      std::to_string(given) + " given");
                return false;
            }
            if (!expand_invocation(m, ns, call.end, &call)) {
                return false;
            }
        }
        return flush();
    }
};

bool expand_text(preproc_root *root, idl_string *text, bool condition, uint64_t first_line) {
    try {
        expander ex;
        ex.root = root;
        ex.condition = condition;
        ex.first_line = static_cast<uint32_t>(first_line);
        const size_t n = text->len;
        if (text->borrowed || text->data == nullptr) {
            ex.buf.copy(text->data, n);
        } else {
            ex.buf.borrow(text->data, n); // the text is replaced by the expansion's output
        }
        ex.boundary = n;
        ex.line_d = n;
        ex.line_val = ex.first_line;
        if (4 * n > ex.max_replacements) {
            ex.max_replacements = 4 * n;
        }
        ex.max_text = std::min(k_max_text, k_growth_factor * n + k_growth_allowance);
        if (!condition) {
            ex.build_filter();
        }
        // The expanded text is about as long as the text: its room is made once, rather than
        // doubled step by step over fresh memory.
        ex.out = idl_string_strdup("", 0);
        if (!ex.out.data || !idl_string_reserve(&ex.out, n + n / 8)) {
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

// Calls visit(record) for the records of list in force at `line`, the last first, while it
// returns true. Records are added in line order and an #undef ends every one in force, so once
// a record ended before `line`, every record before it did too: a long list (a file included
// many times into one table) is not walked to its start.
template <class Visit>
void for_each_in_force(const pn_arraylist *list, uint64_t line, const Visit &visit) {
    for (uint64_t i = list->size; i > 0; --i) {
        auto *m = static_cast<preproc_macro *>(list->items[i - 1]);
        if (!m || m->def_line > line) {
            continue;
        }
        if (m->undef_line < line || !visit(m)) {
            return;
        }
    }
}

} // namespace

//=== table ===//

void preproc_names_add(preproc_names *names, const char *name, size_t len) {
    if (len > 0) {
        const unsigned k = name_slot(name, len);
        names->bits[k >> 6] |= uint64_t{1} << (k & 63);
    }
}

preproc_macro *preproc_find_macro(const char *name, pn_hashmap *table, uint64_t line) {
    if (!name || !table) {
        return nullptr;
    }
    auto *list = static_cast<pn_arraylist *>(table->get(table, const_cast<char *>(name)));
    if (!list) {
        return nullptr;
    }
    preproc_macro *found = nullptr;
    for_each_in_force(list, line, [&found](preproc_macro *m) {
        found = m;
        return false;
    });
    return found;
}

preproc_macro *preproc_look_up(preproc_root *root, const std::string &name, uint64_t line,
                               bool directive) {
    preproc_macro *m =
        preproc_find_macro(name.c_str(), root->macros, preproc_table_line_at(root, line));
    if (root->observer != nullptr) {
        root->observer->lookup(root->observer->context, root, name.data(), name.size(), line, m,
                               directive, true);
    }
    return m;
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

preproc_macro *preproc_macro_copy(const preproc_macro *src) {
    auto *m = static_cast<preproc_macro *>(calloc(1, sizeof(preproc_macro)));
    if (m == nullptr) {
        glog_fatal("Out of memory: Unable to allocate memory");
        return nullptr;
    }
    owned<preproc_macro, preproc_macro_destroy> guard{m};
    m->kind = src->kind;
    m->def_line = src->def_line;
    m->undef_line = src->undef_line;
    m->name = idl_string_strdup(src->name.data != nullptr ? src->name.data : "", src->name.len);
    if (m->name.data == nullptr) {
        return nullptr;
    }
    if (src->parameters != nullptr) {
        m->parameters = pn_hashmap_create(PN_TYPE_STRING, 0, 4);
        if (m->parameters == nullptr) {
            glog_fatal("Out of memory: Unable to allocate memory");
            return nullptr;
        }
        const pn_hashmap *from = src->parameters;
        for (std::uint64_t b = 0; b < from->capacity; ++b) {
            const pn_arraylist *bucket = from->buckets[b];
            for (std::uint64_t i = 0; bucket != nullptr && i < bucket->size; ++i) {
                const auto *entry = reinterpret_cast<const pn_map_entry *>(bucket->items[i]);
                const auto *sp = reinterpret_cast<const preproc_macro_param *>(entry->value);
                if (sp == nullptr) {
                    continue;
                }
                auto *p =
                    static_cast<preproc_macro_param *>(calloc(1, sizeof(preproc_macro_param)));
                if (p == nullptr) {
                    glog_fatal("Out of memory: Unable to allocate memory");
                    return nullptr;
                }
                p->index = sp->index;
                p->name =
                    idl_string_strdup(sp->name.data != nullptr ? sp->name.data : "", sp->name.len);
                if (p->name.data == nullptr ||
                    !m->parameters->put(m->parameters, reinterpret_cast<pn_elem>(p->name.data),
                                        reinterpret_cast<pn_elem>(p))) {
                    idl_string_free(&p->name);
                    free(p);
                    glog_fatal("Out of memory: Unable to allocate memory");
                    return nullptr;
                }
            }
        }
    }
    if (src->replacement != nullptr) {
        m->replacement = pn_linkedlist_create(PN_TYPE_UINTPTR, 0);
        if (m->replacement == nullptr) {
            glog_fatal("Out of memory: Unable to allocate memory");
            return nullptr;
        }
        for (const pn_linkedlist_node *n = src->replacement->head; n != nullptr; n = n->next) {
            const auto *si = reinterpret_cast<const preproc_macro_item *>(n->element);
            auto *item = static_cast<preproc_macro_item *>(calloc(1, sizeof(preproc_macro_item)));
            if (item == nullptr) {
                glog_fatal("Out of memory: Unable to allocate memory");
                return nullptr;
            }
            item->kind = si->kind;
            item->index = si->index;
            item->text =
                idl_string_strdup(si->text.data != nullptr ? si->text.data : "", si->text.len);
            if (item->text.data == nullptr ||
                !m->replacement->add(m->replacement, reinterpret_cast<pn_elem>(item))) {
                idl_string_free(&item->text);
                free(item);
                glog_fatal("Out of memory: Unable to allocate memory");
                return nullptr;
            }
        }
    }
    return guard.release();
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
                preproc_report(PREPROC_RECORD_BARE,
                               "'##' cannot appear at either end of a macro expansion");
                ok = false;
            }
            break;
        case DIRECTIVE_TOKEN2STRING:
            if (!next) {
                preproc_report(PREPROC_RECORD_BARE, "'#' is not followed by a macro parameter");
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
        m->def_line = preproc_table_line(root);
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
        if (root->observer != nullptr) {
            root->observer->define(root->observer->context, root, m, root->line);
        }
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
        if (root->observer != nullptr) {
            root->observer->undef(root->observer->context, root, name.data(), name.size(),
                                  root->line);
        }
        auto *list = static_cast<pn_arraylist *>(root->macros->get(root->macros, name.data()));
        if (!list) {
            return true; // nothing to end
        }
        const uint64_t at = preproc_table_line(root);
        for_each_in_force(list, at, [at](preproc_macro *m) {
            m->undef_line = at;
            return true;
        });
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
