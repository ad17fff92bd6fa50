// Grammar generator core: grammar text -> checked rules -> epsilon-free automata -> C++ text.
#include "peggen.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <utility>

#include "peg/grammar_analysis.hpp"

namespace {

//=== grammar model ===//

enum class expr_kind { literal, cls, any, ref, not_pred, voided, seq, choice, star, opt, plus };

struct expr {
    expr_kind kind = expr_kind::literal;
    int line = 0;
    int col = 0;
    std::string text;                         // literal bytes, or the called rule's name
    peggen_class cls;                         // class contents
    std::vector<std::unique_ptr<expr>> items; // sub-expressions; plus holds {lead, loop}
    std::uint64_t target = 0;                 // resolved automaton of a call or predicate
};

struct rule {
    std::string name;
    int line = 0;
    int col = 0;
    std::int32_t mode = PEGGEN_MODE_TREE;
    std::unique_ptr<expr> body;
};

std::unique_ptr<expr> expr_clone(const expr &e) {
    auto c = std::make_unique<expr>();
    c->kind = e.kind;
    c->line = e.line;
    c->col = e.col;
    c->text = e.text;
    c->cls = e.cls;
    c->target = e.target;
    for (const auto &item : e.items)
        c->items.push_back(expr_clone(*item));
    return c;
}

//=== diagnostics ===//

struct reporter {
    std::string_view label;
    std::vector<std::string> *out;
    int errors = 0;

    void error(int line, int col, const std::string &msg) {
        ++errors;
        out->push_back(std::string(label) + ":" + std::to_string(line) + ":" + std::to_string(col) +
                       ": " + msg);
    }
    void warning(int line, int col, const std::string &msg) {
        out->push_back(std::string(label) + ":" + std::to_string(line) + ":" + std::to_string(col) +
                       ": warning: " + msg);
    }
};

//=== reading grammar text ===//

// Deep nesting in a grammar file is refused instead of exhausting the native stack.
constexpr int max_nesting = 256;

bool is_ident_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_ident_char(char c) {
    return is_ident_start(c) || (c >= '0' && c <= '9');
}

std::string printable(unsigned char c) {
    if (c >= 0x21 && c <= 0x7e && c != '\'')
        return std::string(1, static_cast<char>(c));
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(c));
    return buf;
}

struct reader {
    std::string_view text;
    reporter *rep;
    std::size_t pos = 0;
    int line = 1;
    int col = 1;
    bool failed = false;

    bool eof() const { return pos >= text.size(); }
    char peek(std::size_t ahead = 0) const {
        return pos + ahead < text.size() ? text[pos + ahead] : '\0';
    }
    void advance() {
        if (eof())
            return;
        if (text[pos] == '\n') {
            ++line;
            col = 1;
        } else {
            ++col;
        }
        ++pos;
    }
    void fail(int l, int c, const std::string &msg) {
        if (!failed)
            rep->error(l, c, msg);
        failed = true;
    }
    // Blanks, line ends and comments between tokens.
    void skip_space() {
        while (!eof()) {
            char c = peek();
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
                advance();
            } else if (c == '#') {
                while (!eof() && peek() != '\n')
                    advance();
            } else {
                break;
            }
        }
    }
    std::string read_ident() {
        std::string s;
        while (!eof() && is_ident_char(peek())) {
            s += peek();
            advance();
        }
        return s;
    }
    // Looks ahead for `(tree)`, `(pruning)` or `(voiding)`; returns the mode or -1.
    int peek_mode_marker(std::size_t *length) const {
        std::size_t p = pos;
        if (p >= text.size() || text[p] != '(')
            return -1;
        ++p;
        while (p < text.size() && (text[p] == ' ' || text[p] == '\t'))
            ++p;
        std::size_t b = p;
        while (p < text.size() && is_ident_char(text[p]))
            ++p;
        std::string_view word = text.substr(b, p - b);
        while (p < text.size() && (text[p] == ' ' || text[p] == '\t'))
            ++p;
        if (p >= text.size() || text[p] != ')')
            return -1;
        *length = p + 1 - pos;
        if (word == "tree")
            return PEGGEN_MODE_TREE;
        if (word == "pruning")
            return PEGGEN_MODE_PRUNE;
        if (word == "voiding")
            return PEGGEN_MODE_VOID;
        return -1;
    }
    // True when an identifier followed by `<-` starts here: the next rule's head.
    bool at_rule_head() const {
        std::size_t p = pos;
        if (p >= text.size() || !is_ident_start(text[p]))
            return false;
        while (p < text.size() && is_ident_char(text[p]))
            ++p;
        while (p < text.size() &&
               (text[p] == ' ' || text[p] == '\t' || text[p] == '\r' || text[p] == '\n'))
            ++p;
        return p + 1 < text.size() && text[p] == '<' && text[p + 1] == '-';
    }

    int hex_value(char c) const {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // One character of a quoted text or class, escapes resolved; in_class allows \] \[ \-.
    bool read_char(bool in_class, unsigned char *out) {
        int l = line, c = col;
        char ch = peek();
        if (ch == '\n' || ch == '\r' || eof()) {
            fail(l, c, in_class ? "unterminated character class" : "unterminated quoted text");
            return false;
        }
        if (ch != '\\') {
            *out = static_cast<unsigned char>(ch);
            advance();
            return true;
        }
        advance();
        char e = peek();
        switch (e) {
        case 't':
            *out = '\t';
            break;
        case 'n':
            *out = '\n';
            break;
        case 'r':
            *out = '\r';
            break;
        case '\\':
            *out = '\\';
            break;
        case '\'':
            *out = '\'';
            break;
        case ']':
        case '[':
        case '-':
            if (!in_class) {
                fail(l, c, std::string("unknown escape '\\") + e + "' in quoted text");
                return false;
            }
            *out = static_cast<unsigned char>(e);
            break;
        case 'x': {
            advance();
            int h1 = hex_value(peek());
            int h2 = hex_value(peek(1));
            if (h1 < 0 || h2 < 0) {
                fail(l, c, "escape '\\x' needs two hexadecimal digits");
                return false;
            }
            advance();
            *out = static_cast<unsigned char>(h1 * 16 + h2);
            break;
        }
        default:
            if (eof() || e == '\n' || e == '\r') {
                fail(l, c, in_class ? "unterminated character class" : "unterminated quoted text");
            } else {
                fail(l, c, std::string("unknown escape '\\") + e + "'");
            }
            return false;
        }
        advance();
        return true;
    }

    std::unique_ptr<expr> make(expr_kind k, int l, int c) {
        auto e = std::make_unique<expr>();
        e->kind = k;
        e->line = l;
        e->col = c;
        return e;
    }

    std::unique_ptr<expr> parse_literal() {
        auto e = make(expr_kind::literal, line, col);
        advance(); // opening quote
        while (true) {
            if (peek() == '\'' && !eof()) {
                advance();
                return e;
            }
            unsigned char ch = 0;
            if (!read_char(false, &ch)) {
                return nullptr;
            }
            e->text += static_cast<char>(ch);
        }
    }

    std::unique_ptr<expr> parse_class() {
        auto e = make(expr_kind::cls, line, col);
        advance(); // [
        bool first = true;
        while (true) {
            if (eof() || peek() == '\n' || peek() == '\r') {
                fail(e->line, e->col, "unterminated character class");
                return nullptr;
            }
            if (peek() == ']' && !first)
                break;
            if (peek() == ']') { // `[]` has nothing to match
                fail(e->line, e->col, "empty character class");
                return nullptr;
            }
            first = false;
            int l = line, c = col;
            unsigned char lo = 0;
            if (!read_char(true, &lo))
                return nullptr;
            // A '-' between two characters makes a range; at either end it is literal.
            if (peek() == '-' && peek(1) != ']' && pos + 1 < text.size()) {
                advance();
                unsigned char hi = 0;
                if (!read_char(true, &hi))
                    return nullptr;
                if (static_cast<signed char>(lo) > static_cast<signed char>(hi)) {
                    fail(l, c,
                         "range '" + printable(lo) + "-" + printable(hi) +
                             "' is empty (bytes compare as signed values)");
                    return nullptr;
                }
                e->cls.mins.push_back(lo);
                e->cls.maxs.push_back(hi);
            } else {
                e->cls.singles.push_back(lo);
            }
        }
        advance(); // ]
        return e;
    }

    std::unique_ptr<expr> parse_primary(int depth) {
        skip_space();
        int l = line, c = col;
        char ch = peek();
        if (eof()) {
            fail(l, c, "expected an item, found the end of the file");
            return nullptr;
        }
        if (ch == '\'')
            return parse_literal();
        if (ch == '[')
            return parse_class();
        if (ch == '.') {
            advance();
            return make(expr_kind::any, l, c);
        }
        if (is_ident_start(ch)) {
            auto e = make(expr_kind::ref, l, c);
            e->text = read_ident();
            return e;
        }
        if (ch == '(') {
            advance();
            auto inner = parse_choice(depth + 1);
            if (!inner)
                return nullptr;
            skip_space();
            if (peek() != ')') {
                fail(line, col,
                     "expected ')' to close the group opened at " + std::to_string(l) + ":" +
                         std::to_string(c));
                return nullptr;
            }
            advance();
            return inner;
        }
        if (ch == '"') {
            fail(l, c, "texts are quoted with ' (write \\x22 for a double quote)");
            return nullptr;
        }
        fail(l, c, std::string("unexpected '") + printable(static_cast<unsigned char>(ch)) + "'");
        return nullptr;
    }

    std::unique_ptr<expr> parse_suffixed(int depth) {
        auto e = parse_primary(depth);
        if (!e)
            return nullptr;
        skip_space();
        char ch = peek();
        if (ch != '?' && ch != '*' && ch != '+')
            return e;
        int l = line, c = col;
        advance();
        std::unique_ptr<expr> r;
        if (ch == '?') {
            r = make(expr_kind::opt, l, c);
            r->items.push_back(std::move(e));
        } else if (ch == '*') {
            r = make(expr_kind::star, l, c);
            r->items.push_back(std::move(e));
        } else {
            // x+ is x x*: the leading copy and the loop copy are separate items, each with
            // predicate automata of its own.
            r = make(expr_kind::plus, l, c);
            auto loop = expr_clone(*e);
            r->items.push_back(std::move(e));
            r->items.push_back(std::move(loop));
        }
        skip_space();
        if (peek() == '?' || peek() == '*' || peek() == '+') {
            fail(line, col, "a repetition or option cannot be repeated again; use a group");
            return nullptr;
        }
        return r;
    }

    std::unique_ptr<expr> parse_prefixed(int depth) {
        if (depth > max_nesting) {
            fail(line, col, "items nested too deeply");
            return nullptr;
        }
        skip_space();
        int l = line, c = col;
        if (peek() == '!' || peek() == ':') {
            char ch = peek();
            advance();
            auto inner = parse_prefixed(depth + 1);
            if (!inner)
                return nullptr;
            auto e = make(ch == '!' ? expr_kind::not_pred : expr_kind::voided, l, c);
            e->items.push_back(std::move(inner));
            return e;
        }
        return parse_suffixed(depth);
    }

    // A sequence ends at '/', ')', a mode marker or the end of the file.
    std::unique_ptr<expr> parse_sequence(int depth) {
        skip_space();
        auto e = make(expr_kind::seq, line, col);
        while (true) {
            skip_space();
            std::size_t len = 0;
            if (eof() || peek() == '/' || peek() == ')' || peek_mode_marker(&len) >= 0)
                break;
            if (at_rule_head()) {
                fail(line, col,
                     "expected a mode (tree), (pruning) or (voiding) before the next rule");
                return nullptr;
            }
            auto item = parse_prefixed(depth);
            if (!item)
                return nullptr;
            e->items.push_back(std::move(item));
        }
        if (e->items.empty()) {
            fail(line, col, "empty alternative");
            return nullptr;
        }
        if (e->items.size() == 1)
            return std::move(e->items.front());
        return e;
    }

    std::unique_ptr<expr> parse_choice(int depth) {
        if (depth > max_nesting) {
            fail(line, col, "items nested too deeply");
            return nullptr;
        }
        skip_space();
        auto e = make(expr_kind::choice, line, col);
        while (true) {
            auto alt = parse_sequence(depth);
            if (!alt)
                return nullptr;
            e->items.push_back(std::move(alt));
            skip_space();
            if (peek() != '/')
                break;
            advance();
        }
        if (e->items.size() == 1)
            return std::move(e->items.front());
        return e;
    }

    // The whole file: one %eof_check line and the rules.
    bool parse_file(std::vector<rule> *rules, bool *eof_check) {
        bool have_eof = false;
        while (true) {
            skip_space();
            if (eof())
                break;
            int l = line, c = col;
            if (peek() == '%') {
                advance();
                std::string word = read_ident();
                if (word != "eof_check") {
                    fail(l, c, "unknown directive '%" + word + "'");
                    return false;
                }
                while (peek() == ' ' || peek() == '\t')
                    advance();
                int vl = line, vc = col;
                std::string value = read_ident();
                if (value != "on" && value != "off") {
                    fail(vl, vc, "'%eof_check' takes 'on' or 'off'");
                    return false;
                }
                if (have_eof) {
                    fail(l, c, "'%eof_check' is given twice");
                    return false;
                }
                have_eof = true;
                *eof_check = value == "on";
                continue;
            }
            if (!is_ident_start(peek())) {
                fail(l, c, "expected a rule name");
                return false;
            }
            rule r;
            r.line = l;
            r.col = c;
            r.name = read_ident();
            skip_space();
            if (peek() != '<' || peek(1) != '-') {
                fail(line, col, "expected '<-' after the rule name '" + r.name + "'");
                return false;
            }
            advance();
            advance();
            r.body = parse_choice(0);
            if (!r.body)
                return false;
            skip_space();
            std::size_t len = 0;
            int mode = peek_mode_marker(&len);
            if (mode < 0) {
                if (eof())
                    fail(line, col,
                         "rule '" + r.name +
                             "' ends without a mode (tree), (pruning) or (voiding)");
                else
                    fail(line, col, "unexpected ')'");
                return false;
            }
            for (std::size_t i = 0; i < len; ++i)
                advance();
            r.mode = mode;
            rules->push_back(std::move(r));
        }
        if (!have_eof) {
            fail(1, 1, "missing '%eof_check on' or '%eof_check off'");
            return false;
        }
        if (rules->empty()) {
            fail(line, col, "the grammar has no rules");
            return false;
        }
        return true;
    }
};

//=== checks ===//

using rule_index = std::map<std::string, std::size_t, std::less<>>;

// Resolves calls and numbers predicates: named rules keep their file order, each `!x` takes
// the next number in the order the bodies use them; the loop copy of x+ is numbered before
// its leading copy.
void resolve(expr &e, const rule_index &names, std::uint64_t *next_pred, reporter *rep,
             std::vector<const expr *> *preds) {
    switch (e.kind) {
    case expr_kind::ref: {
        auto it = names.find(e.text);
        if (it == names.end())
            rep->error(e.line, e.col, "'" + e.text + "' is not defined");
        else
            e.target = it->second;
        return;
    }
    case expr_kind::not_pred:
        e.target = (*next_pred)++;
        preds->push_back(&e);
        resolve(*e.items[0], names, next_pred, rep, preds);
        return;
    case expr_kind::plus:
        resolve(*e.items[1], names, next_pred, rep, preds);
        resolve(*e.items[0], names, next_pred, rep, preds);
        return;
    default:
        for (auto &item : e.items)
            resolve(*item, names, next_pred, rep, preds);
        return;
    }
}

bool nullable(const expr &e, const std::vector<char> &rule_nullable) {
    switch (e.kind) {
    case expr_kind::literal:
        return e.text.empty();
    case expr_kind::cls:
    case expr_kind::any:
        return false;
    case expr_kind::ref:
        return rule_nullable[e.target] != 0;
    case expr_kind::not_pred:
    case expr_kind::star:
    case expr_kind::opt:
        return true;
    case expr_kind::voided:
    case expr_kind::plus:
        return nullable(*e.items[0], rule_nullable);
    case expr_kind::seq:
        return std::all_of(e.items.begin(), e.items.end(),
                           [&](const auto &i) { return nullable(*i, rule_nullable); });
    case expr_kind::choice:
        return std::any_of(e.items.begin(), e.items.end(),
                           [&](const auto &i) { return nullable(*i, rule_nullable); });
    }
    return false;
}

struct first_call {
    std::uint64_t rule;
    int line;
    int col;
};

// Rules that e may call at the position where e starts (a predicate calls its item there).
void first_calls(const expr &e, const std::vector<char> &rule_nullable,
                 std::vector<first_call> *out) {
    switch (e.kind) {
    case expr_kind::ref:
        out->push_back({e.target, e.line, e.col});
        return;
    case expr_kind::literal:
    case expr_kind::cls:
    case expr_kind::any:
        return;
    case expr_kind::seq:
        for (const auto &item : e.items) {
            first_calls(*item, rule_nullable, out);
            if (!nullable(*item, rule_nullable))
                return;
        }
        return;
    case expr_kind::plus:
        first_calls(*e.items[0], rule_nullable, out);
        return;
    default:
        for (const auto &item : e.items)
            first_calls(*item, rule_nullable, out);
        return;
    }
}

void check_repetitions(const expr &e, const std::vector<char> &rule_nullable, reporter *rep) {
    if ((e.kind == expr_kind::star || e.kind == expr_kind::plus) &&
        nullable(*e.items[0], rule_nullable))
        rep->warning(e.line, e.col,
                     "the repeated item can match empty text, so the repetition may never end");
    // The loop copy of x+ repeats the leading copy's checks; look at the leading one only.
    if (e.kind == expr_kind::plus) {
        check_repetitions(*e.items[0], rule_nullable, rep);
        return;
    }
    for (const auto &item : e.items)
        check_repetitions(*item, rule_nullable, rep);
}

// Finds cycles in the "calls at the same position" graph with an explicit stack.
void check_left_recursion(const std::vector<rule> &rules,
                          const std::vector<std::vector<first_call>> &calls, reporter *rep) {
    const std::size_t n = rules.size();
    std::vector<int> colour(n, 0); // 0 new, 1 on the stack, 2 done
    std::set<std::uint64_t> reported;
    for (std::size_t root = 0; root < n; ++root) {
        if (colour[root] != 0)
            continue;
        struct frame {
            std::uint64_t rule;
            std::size_t next;
        };
        std::vector<frame> stack{{root, 0}};
        colour[root] = 1;
        while (!stack.empty()) {
            frame &f = stack.back();
            if (f.next >= calls[f.rule].size()) {
                colour[f.rule] = 2;
                stack.pop_back();
                continue;
            }
            const first_call &c = calls[f.rule][f.next++];
            if (colour[c.rule] == 0) {
                colour[c.rule] = 1;
                stack.push_back({c.rule, 0});
            } else if (colour[c.rule] == 1) {
                // The stack from c.rule to the top is the cycle.
                std::size_t from = 0;
                while (stack[from].rule != c.rule)
                    ++from;
                if (reported.count(c.rule) != 0)
                    continue;
                std::string path;
                for (std::size_t i = from; i < stack.size(); ++i) {
                    path += "'" + rules[stack[i].rule].name + "' -> ";
                    reported.insert(stack[i].rule);
                }
                path += "'" + rules[c.rule].name + "'";
                const rule &head = rules[stack[from].rule];
                rep->error(head.line, head.col, "left recursion: " + path);
            }
        }
    }
}

//=== automaton construction ===//

struct nfa_trans {
    bool eps;
    std::int32_t kind;
    std::uint64_t data;
    bool voided;
    std::size_t target;
};

struct nfa {
    std::vector<std::vector<nfa_trans>> out;
    std::size_t add() {
        out.emplace_back();
        return out.size() - 1;
    }
    void eps(std::size_t from, std::size_t to) { out[from].push_back({true, 0, 0, false, to}); }
    void edge(std::size_t from, std::int32_t kind, std::uint64_t data, bool voided,
              std::size_t to) {
        out[from].push_back({false, kind, data, voided, to});
    }
};

struct fragment {
    std::size_t start;
    std::size_t end;
};

struct builder {
    nfa *g;
    std::vector<peggen_class> *classes;
    std::map<std::vector<unsigned char>, std::uint64_t> class_ids;

    std::uint64_t class_id(const peggen_class &c) {
        // Equal classes share one table row; every edge still gets a set of its own.
        std::vector<unsigned char> key;
        key.push_back(static_cast<unsigned char>(c.singles.size() & 0xff));
        key.push_back(static_cast<unsigned char>(c.mins.size() & 0xff));
        key.insert(key.end(), c.singles.begin(), c.singles.end());
        key.insert(key.end(), c.mins.begin(), c.mins.end());
        key.insert(key.end(), c.maxs.begin(), c.maxs.end());
        auto it = class_ids.find(key);
        if (it != class_ids.end())
            return it->second;
        classes->push_back(c);
        class_ids.emplace(key, classes->size() - 1);
        return classes->size() - 1;
    }

    // Thompson construction with ordered epsilon moves: the order of a state's moves is the
    // priority order the matcher must follow.
    fragment build(const expr &e, bool voided) {
        switch (e.kind) {
        case expr_kind::literal: {
            std::size_t s = g->add();
            std::size_t cur = s;
            for (char ch : e.text) {
                std::size_t next = g->add();
                g->edge(cur, PEGGEN_TRANS_CHAR, static_cast<unsigned char>(ch), voided, next);
                cur = next;
            }
            return {s, cur};
        }
        case expr_kind::cls: {
            std::size_t s = g->add(), t = g->add();
            g->edge(s, PEGGEN_TRANS_CLASS, class_id(e.cls), voided, t);
            return {s, t};
        }
        case expr_kind::any: {
            std::size_t s = g->add(), t = g->add();
            g->edge(s, PEGGEN_TRANS_WILD, 0, voided, t);
            return {s, t};
        }
        case expr_kind::ref:
        case expr_kind::not_pred: {
            std::size_t s = g->add(), t = g->add();
            g->edge(s, PEGGEN_TRANS_AUTOMATON, e.target, voided, t);
            return {s, t};
        }
        case expr_kind::voided:
            return build(*e.items[0], true);
        case expr_kind::seq: {
            fragment f = build(*e.items[0], voided);
            for (std::size_t i = 1; i < e.items.size(); ++i) {
                fragment n = build(*e.items[i], voided);
                g->eps(f.end, n.start);
                f.end = n.end;
            }
            return f;
        }
        case expr_kind::choice: {
            std::size_t s = g->add();
            std::vector<fragment> alts;
            for (const auto &item : e.items) {
                alts.push_back(build(*item, voided));
                g->eps(s, alts.back().start);
            }
            std::size_t t = g->add();
            for (const fragment &a : alts)
                g->eps(a.end, t);
            return {s, t};
        }
        case expr_kind::star: {
            std::size_t s = g->add();
            fragment body = build(*e.items[0], voided);
            std::size_t t = g->add();
            g->eps(s, body.start); // into the item first
            g->eps(s, t);          // then past it
            g->eps(body.end, s);
            return {s, t};
        }
        case expr_kind::opt: {
            std::size_t s = g->add();
            fragment body = build(*e.items[0], voided);
            std::size_t t = g->add();
            g->eps(s, body.start);
            g->eps(s, t);
            g->eps(body.end, t);
            return {s, t};
        }
        case expr_kind::plus: {
            fragment lead = build(*e.items[0], voided);
            std::size_t s = g->add();
            fragment body = build(*e.items[1], voided);
            std::size_t t = g->add();
            g->eps(lead.end, s);
            g->eps(s, body.start);
            g->eps(s, t);
            g->eps(body.end, s);
            return {lead.start, t};
        }
        }
        return {g->add(), g->add()};
    }
};

// Removes epsilon moves: a state's edges are the consuming moves reachable through epsilon
// moves, in depth-first priority order (first reach wins); it accepts when the end is
// reachable. States are numbered in breadth-first order from the start, so output is stable.
peggen_automaton make_automaton(const nfa &g, std::size_t start, std::size_t final_state,
                                std::int32_t mode, std::uint64_t type) {
    peggen_automaton a;
    a.mode = mode;
    a.type = type;
    std::map<std::size_t, std::uint64_t> number;
    std::vector<std::size_t> order{start};
    number[start] = 0;
    std::vector<char> seen(g.out.size(), 0);
    for (std::size_t i = 0; i < order.size(); ++i) {
        peggen_state st{{}, false};
        std::fill(seen.begin(), seen.end(), 0);
        struct frame {
            std::size_t state;
            std::size_t next;
        };
        std::vector<frame> stack{{order[i], 0}};
        seen[order[i]] = 1;
        std::vector<nfa_trans> moves;
        while (!stack.empty()) {
            frame &f = stack.back();
            if (f.next == 0 && f.state == final_state)
                st.match = true;
            if (f.next >= g.out[f.state].size()) {
                stack.pop_back();
                continue;
            }
            const nfa_trans &t = g.out[f.state][f.next++];
            if (!t.eps) {
                moves.push_back(t);
            } else if (!seen[t.target]) {
                seen[t.target] = 1;
                stack.push_back({t.target, 0});
            }
        }
        for (const nfa_trans &t : moves) {
            auto it = number.find(t.target);
            std::uint64_t target = 0;
            if (it == number.end()) {
                target = order.size();
                number[t.target] = target;
                order.push_back(t.target);
            } else {
                target = it->second;
            }
            st.edges.push_back({t.kind, t.data, target, t.voided});
        }
        a.states.push_back(std::move(st));
    }
    return a;
}

// Merges states with the same accepting flag and the same edges (same targets), repeatedly,
// then renumbers breadth-first. Merged states match exactly the same paths, so the matcher's
// results do not change; the tables only get smaller.
void merge_equal_states(peggen_automaton *a) {
    using signature =
        std::pair<bool, std::vector<std::tuple<std::int32_t, std::uint64_t, std::uint64_t, bool>>>;
    for (bool changed = true; changed;) {
        changed = false;
        std::map<signature, std::uint64_t> first;
        std::vector<std::uint64_t> rep(a->states.size());
        for (std::uint64_t i = 0; i < a->states.size(); ++i) {
            signature sig{a->states[i].match, {}};
            for (const peggen_edge &e : a->states[i].edges)
                sig.second.emplace_back(e.kind, e.data, e.target, e.voided);
            auto [it, fresh] = first.emplace(std::move(sig), i);
            rep[i] = it->second;
            if (!fresh)
                changed = true;
        }
        if (!changed)
            break;
        for (peggen_state &st : a->states)
            for (peggen_edge &e : st.edges)
                e.target = rep[e.target];
        // Renumber the states still reachable, breadth-first from the start.
        std::vector<std::int64_t> number(a->states.size(), -1);
        std::vector<std::uint64_t> order{0};
        number[0] = 0;
        for (std::size_t i = 0; i < order.size(); ++i)
            for (const peggen_edge &e : a->states[order[i]].edges)
                if (number[e.target] < 0) {
                    number[e.target] = static_cast<std::int64_t>(order.size());
                    order.push_back(e.target);
                }
        std::vector<peggen_state> states;
        for (std::uint64_t old : order) {
            peggen_state st = a->states[old];
            for (peggen_edge &e : st.edges)
                e.target = static_cast<std::uint64_t>(number[e.target]);
            states.push_back(std::move(st));
        }
        a->states = std::move(states);
    }
}

peggen_automaton compile_body(const expr &body, std::int32_t mode, std::uint64_t type, builder *b) {
    nfa g;
    b->g = &g;
    fragment f = b->build(body, false);
    peggen_automaton a = make_automaton(g, f.start, f.end, mode, type);
    merge_equal_states(&a);
    return a;
}

//=== emission helpers ===//

std::string c_string(std::string_view s) {
    std::string r = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            r += '\\';
        r += c;
    }
    return r + "\"";
}

std::string upper(std::string_view s) {
    std::string r(s);
    for (char &c : r)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return r;
}

} // namespace

//=== public operations ===//

std::string peggen_enumerator(std::string_view grammar_name, std::string_view rule_name) {
    return upper(grammar_name) + "_" + upper(rule_name);
}

bool peggen_compile(std::string_view text, std::string_view file_label,
                    std::string_view grammar_name, peggen_grammar *out,
                    std::vector<std::string> *diagnostics) {
    reporter rep{file_label, diagnostics};
    reader rd{text, &rep};
    std::vector<rule> rules;
    bool eof_check = false;
    if (!rd.parse_file(&rules, &eof_check))
        return false;

    rule_index names;
    std::map<std::string, std::size_t> enumerators;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const rule &r = rules[i];
        if (r.name == "tree" || r.name == "pruning" || r.name == "voiding") {
            rep.error(r.line, r.col, "'" + r.name + "' names a rule mode and cannot name a rule");
            continue;
        }
        auto [it, fresh] = names.emplace(r.name, i);
        if (!fresh) {
            rep.error(r.line, r.col,
                      "'" + r.name + "' is already defined at line " +
                          std::to_string(rules[it->second].line));
            continue;
        }
        auto [eit, efresh] = enumerators.emplace(upper(r.name), i);
        if (!efresh)
            rep.error(r.line, r.col,
                      "'" + r.name + "' and '" + rules[eit->second].name +
                          "' give the same node-type name " +
                          peggen_enumerator(grammar_name, r.name));
    }
    std::uint64_t next_pred = rules.size();
    std::vector<const expr *> preds;
    for (rule &r : rules)
        resolve(*r.body, names, &next_pred, &rep, &preds);
    if (rep.errors != 0)
        return false;

    // Which rules can match empty text: iterate to a fixed point.
    std::vector<char> rule_nullable(rules.size(), 0);
    for (bool changed = true; changed;) {
        changed = false;
        for (std::size_t i = 0; i < rules.size(); ++i) {
            if (!rule_nullable[i] && nullable(*rules[i].body, rule_nullable)) {
                rule_nullable[i] = 1;
                changed = true;
            }
        }
    }
    std::vector<std::vector<first_call>> calls(rules.size());
    for (std::size_t i = 0; i < rules.size(); ++i)
        first_calls(*rules[i].body, rule_nullable, &calls[i]);
    check_left_recursion(rules, calls, &rep);
    if (rep.errors != 0)
        return false;
    for (const rule &r : rules)
        check_repetitions(*r.body, rule_nullable, &rep);

    peggen_grammar g;
    g.name = std::string(grammar_name);
    g.eof_check = eof_check;
    builder b{nullptr, &g.classes, {}};
    for (std::size_t i = 0; i < rules.size(); ++i) {
        g.rule_names.push_back(rules[i].name);
        g.automata.push_back(compile_body(*rules[i].body, rules[i].mode, i, &b));
    }
    for (const expr *p : preds)
        g.automata.push_back(compile_body(*p->items[0], PEGGEN_MODE_NOT, 0, &b));
    *out = std::move(g);
    return true;
}

std::string peggen_emit_header(const peggen_grammar &grammar, std::string_view source_label) {
    const std::string &n = grammar.name;
    std::string s;
    s += "// Generated by peggen from " + std::string(source_label) + ". Do not edit.\n";
    s += "#pragma once\n\n#include <cstdint>\n\nstruct parser;\n\n";
    s += "/// Builds the " + n +
         " grammar; null after an allocation failure (logged); release with parser_delete.\n";
    s += "[[nodiscard]] parser* " + n + "_parser_new();\n\n";
    s += "/// Node-type names indexed by node type (named rules only).\n";
    s += "extern const char* const " + n + "_type_strings[];\n\n";
    s += "/// Number of named rules.\n";
    s += "inline constexpr std::uint64_t " + n +
         "_type_count = " + std::to_string(grammar.rule_names.size()) + ";\n\n";
    s += "/// Number of automata: the named rules, then one per negative predicate.\n";
    s += "inline constexpr std::uint64_t " + n +
         "_automaton_count = " + std::to_string(grammar.automata.size()) + ";\n\n";
    s += "/// Node types of the named rules (node type = automaton index).\n";
    s += "enum " + n + "_node_type : std::uint64_t {\n";
    for (std::size_t i = 0; i < grammar.rule_names.size(); ++i)
        s += "    " + peggen_enumerator(n, grammar.rule_names[i]) + " = " + std::to_string(i) +
             ",\n";
    s += "};\n";
    return s;
}

namespace {

//=== generation-time analysis ===//

// The shared analysis' view of a compiled grammar (grammar_analysis.hpp).
struct model_view {
    const peggen_grammar *g;

    std::uint64_t count() const { return g->automata.size(); }
    std::int32_t mode(std::uint64_t a) const { return g->automata[a].mode; }
    std::uint64_t state_count(std::uint64_t a) const { return g->automata[a].states.size(); }
    const peggen_state &st(std::uint64_t a, std::uint64_t s) const {
        return g->automata[a].states[s];
    }
    bool accepting(std::uint64_t a, std::uint64_t s) const { return st(a, s).match; }
    std::uint64_t edge_count(std::uint64_t a, std::uint64_t s) const {
        return st(a, s).edges.size();
    }
    std::int32_t kind(std::uint64_t a, std::uint64_t s, std::uint64_t e) const {
        return st(a, s).edges[e].kind;
    }
    std::uint64_t datum(std::uint64_t a, std::uint64_t s, std::uint64_t e) const {
        return st(a, s).edges[e].data;
    }
    std::uint64_t target(std::uint64_t a, std::uint64_t s, std::uint64_t e) const {
        return st(a, s).edges[e].target;
    }
    bool voided(std::uint64_t a, std::uint64_t s, std::uint64_t e) const {
        return st(a, s).edges[e].voided;
    }
    bool class_bits(std::uint64_t a, std::uint64_t s, std::uint64_t e, std::uint64_t *out) const {
        class_membership(g->classes[st(a, s).edges[e].data], out);
        return true;
    }
};

void *model_alloc(std::size_t bytes) {
    return std::calloc(bytes, 1);
}

void model_release(void *p) {
    std::free(p);
}

std::string hex_word(std::uint64_t w) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%016llXu", static_cast<unsigned long long>(w));
    return buf;
}

std::string char_literal(unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "'\\x%02X'", static_cast<unsigned>(c));
    return buf;
}

// Items separated by ", ", eight to a line, each line indented by four blanks.
std::string rows_of(const std::vector<std::string> &items, std::size_t per_line) {
    std::string s;
    for (std::size_t i = 0; i < items.size(); ++i) {
        s += i % per_line == 0 ? "    " : " ";
        s += items[i] + ",";
        if (i % per_line == per_line - 1 || i + 1 == items.size())
            s += "\n";
    }
    return s;
}

} // namespace

void class_membership(const peggen_class &c, std::uint64_t *out) {
    for (int k = 0; k < 4; ++k)
        out[k] = 0;
    auto put = [out](int v) {
        const auto b = static_cast<unsigned char>(static_cast<signed char>(v));
        out[b >> 6] |= std::uint64_t{1} << (b & 63);
    };
    for (std::size_t i = 0; i < c.mins.size(); ++i)
        for (int v = static_cast<signed char>(c.mins[i]); v <= static_cast<signed char>(c.maxs[i]);
             ++v)
            put(v);
    for (unsigned char ch : c.singles)
        put(static_cast<signed char>(ch));
}

bool peggen_analyse(const peggen_grammar &grammar, std::vector<std::uint8_t> *memo,
                    std::vector<std::uint64_t> *starts) {
    model_view view{&grammar};
    auto alloc = model_alloc;
    auto release = model_release;
    memo->clear();
    starts->clear();
    std::uint8_t *m = peg_analysis::memo_flags_new(view, alloc, release);
    std::uint64_t *st = m ? peg_analysis::start_table_new(view, alloc, release) : nullptr;
    if (m)
        memo->assign(m, m + grammar.automata.size());
    if (st)
        starts->assign(st, st + grammar.automata.size() * peg_start_words);
    std::free(m);
    std::free(st);
    return m && st;
}

std::string peggen_emit_source(const peggen_grammar &grammar, std::string_view source_label) {
    const std::string &n = grammar.name;
    std::string s;
    s += "// Generated by peggen from " + std::string(source_label) + ". Do not edit.\n";
    s += "#include \"grammars/" + n + "_parser.hpp\"\n\n";
    s += "#include <cstdint>\n\n";
    s += "#include \"peg/edge.hpp\"\n#include \"peg/fa.hpp\"\n#include \"peg/parser.hpp\"\n"
         "#include \"peg/set.hpp\"\n#include \"peg/state.hpp\"\n#include \"peg/tables.hpp\"\n"
         "#include \"peg/trans.hpp\"\n\n";
    s += "const char* const " + n + "_type_strings[] = {\n";
    for (const std::string &r : grammar.rule_names)
        s += "    " + c_string(r) + ",\n";
    s += "};\n\n";
    s += "// The grammar is stored as index tables, from which its records are made once, at the\n"
         "// first parser: every parser made by " + n + "_parser_new shares them, and the\n"
         "// analysis the matcher's shortcuts need was done when this file was generated.\n";
    s += "namespace {\n\n";

    // Classes: their bytes (singles, lower bounds, upper bounds), and where each class's are.
    std::vector<std::string> bytes, class_rows;
    for (const peggen_class &c : grammar.classes) {
        const std::size_t singles = bytes.size();
        for (unsigned char ch : c.singles)
            bytes.push_back(char_literal(ch));
        const std::size_t ranges = bytes.size();
        for (unsigned char ch : c.mins)
            bytes.push_back(char_literal(ch));
        for (unsigned char ch : c.maxs)
            bytes.push_back(char_literal(ch));
        class_rows.push_back("{" + std::to_string(singles) + "u, " +
                             std::to_string(c.singles.size()) + "u, " + std::to_string(ranges) +
                             "u, " + std::to_string(c.mins.size()) + "u}");
    }
    const std::size_t byte_count = bytes.size();
    if (bytes.empty())
        bytes.push_back("0"); // arrays cannot be empty; nothing uses it
    if (class_rows.empty())
        class_rows.push_back("{0u, 0u, 0u, 0u}");
    s += "constexpr char class_bytes[] = {\n" + rows_of(bytes, 12) + "};\n\n";
    s += "// Per class: first single, singles, first lower bound, ranges.\n";
    s += "constexpr std::uint32_t class_table[][4] = {\n" + rows_of(class_rows, 4) + "};\n\n";

    // Edges, states and automata, each table in index order.
    std::vector<std::string> edge_rows, state_rows, fa_rows;
    for (const peggen_automaton &a : grammar.automata) {
        fa_rows.push_back("{" + std::to_string(a.mode) + "u, " + std::to_string(a.type) + "u, " +
                          std::to_string(state_rows.size()) + "u, " +
                          std::to_string(a.states.size()) + "u}");
        for (const peggen_state &st : a.states) {
            state_rows.push_back("{" + std::to_string(edge_rows.size()) + "u, " +
                                 std::to_string(st.edges.size()) + "u, " +
                                 (st.match ? "1u" : "0u") + "}");
            for (const peggen_edge &e : st.edges)
                edge_rows.push_back("{{" + std::to_string(e.kind) + ", " +
                                    std::to_string(e.data) + "u}, " + std::to_string(e.target) +
                                    "u, " + (e.voided ? "true" : "false") + "}");
        }
    }
    const std::size_t edge_count = edge_rows.size();
    if (edge_rows.empty())
        edge_rows.push_back("{{0, 0u}, 0u, false}"); // arrays cannot be empty; nothing uses it
    s += "// Edges; a class edge's data is its class's index until the records are made.\n";
    s += "constexpr edge edge_table[] = {\n" + rows_of(edge_rows, 1) + "};\n\n";
    s += "// Per state: first edge, edges, accepting.\n";
    s += "constexpr std::uint32_t state_table[][3] = {\n" + rows_of(state_rows, 4) + "};\n\n";
    s += "// Per automaton: mode, node type, first state, states.\n";
    s += "constexpr std::uint64_t fa_table[][4] = {\n" + rows_of(fa_rows, 2) + "};\n\n";
    s += "constexpr peg_grammar_tables tables{fa_table, " +
         std::to_string(grammar.automata.size()) + ", state_table, " +
         std::to_string(state_rows.size()) + ", edge_table, " +
         std::to_string(edge_count) + ", class_table, " +
         std::to_string(grammar.classes.size()) + ", class_bytes, " +
         std::to_string(byte_count) + "};\n\n";

    std::vector<std::uint8_t> memo;
    std::vector<std::uint64_t> starts;
    const bool analysed = peggen_analyse(grammar, &memo, &starts);
    if (analysed) {
        std::vector<std::string> memo_items, start_items;
        for (std::uint8_t m : memo)
            memo_items.push_back(std::to_string(m));
        for (std::uint64_t w : starts)
            start_items.push_back(hex_word(w));
        s += "// Per automaton, 1 when its results are memoised.\n";
        s += "const std::uint8_t memo_flags[] = {\n" + rows_of(memo_items, 16) + "};\n\n";
        s += "// Per automaton, its first bytes (4 words), \"any\" and \"leaf start\".\n";
        s += "const std::uint64_t start_table[] = {\n" + rows_of(start_items, 3) + "};\n\n";
    }
    s += "fa* records = nullptr; // made at the first parser\n\n";
    s += "} // namespace\n\n";

    s += "parser* " + n + "_parser_new() {\n";
    s += "    fa* automata = peg_grammar_records(tables, &records);\n";
    s += "    if (automata == nullptr)\n";
    s += "        return nullptr;\n";
    s += "    return parser_new_static(0, automata, " + std::to_string(grammar.automata.size()) +
         ", " + (grammar.eof_check ? "true" : "false") + ", " +
         (analysed ? "memo_flags" : "nullptr") + ", " + (analysed ? "start_table" : "nullptr") +
         ");\n}\n";
    return s;
}

std::string peggen_dump_automaton(const peggen_grammar &grammar, std::uint64_t index) {
    const peggen_automaton &a = grammar.automata[index];
    std::string s;
    for (std::size_t i = 0; i < a.states.size(); ++i) {
        const peggen_state &st = a.states[i];
        if (i != 0)
            s += " | ";
        s += std::to_string(i) + (st.match ? "*:" : ":");
        for (const peggen_edge &e : st.edges) {
            s += ' ';
            if (e.voided)
                s += ':';
            switch (e.kind) {
            case PEGGEN_TRANS_WILD:
                s += '.';
                break;
            case PEGGEN_TRANS_CHAR:
                s += "'" + printable(static_cast<unsigned char>(e.data)) + "'";
                break;
            case PEGGEN_TRANS_CLASS: {
                const peggen_class &c = grammar.classes[e.data];
                s += '[';
                for (std::size_t r = 0; r < c.mins.size(); ++r)
                    s += printable(c.mins[r]) + "-" + printable(c.maxs[r]);
                for (unsigned char ch : c.singles)
                    s += printable(ch);
                s += ']';
                break;
            }
            default:
                if (e.data < grammar.rule_names.size())
                    s.append("@").append(grammar.rule_names[e.data]);
                else
                    s.append("!").append(std::to_string(e.data));
            }
            s.append(">").append(std::to_string(e.target));
        }
    }
    return s;
}
