// Tokenizer of macro expansion: items, argument lists and the memo that keeps both linear.
//
// The items are those of the text grammar (grammars/non_directive.peg) at an item boundary:
// an argument list (optional blanks and line ends, then `(` ... `)`), an identifier, a string
// or character literal closed on its line, or a run of numbers, line ends and other
// characters. Whether `(` opens an argument list comes down to ordinary bracket matching over
// the text with literals skipped: a nested `(` that never closes makes every enclosing one
// unclosed too, and any other stop ends an argument rather than the list. Bracket results are
// remembered by distance from the end of the text, so an unclosed tail is scanned once however
// often it is asked about, and a literal that fails to close is remembered the same way.
#include "preproc/textscan.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "base/glog.hpp"

namespace {

constexpr uint64_t k_never = UINT64_MAX; // memo value of a `(` that never closes
constexpr size_t k_none = SIZE_MAX;      // result position of a `(` that never closes

inline bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
inline bool is_nl(char c) {
    return c == '\n' || c == '\r';
}
inline bool is_ws(char c) {
    return is_blank(c) || is_nl(c);
}
inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
inline bool is_octal(char c) {
    return c >= '0' && c <= '7';
}
inline bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline bool is_ident_start(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
inline bool is_ident_char(char c) {
    return is_ident_start(c) || is_digit(c);
}

//=== literals ===//

// End of the literal opened by the quote at `pos`, or `pos` when it does not close on its line.
// A literal closes at the first quote of its kind that no backslash escapes, before a line end;
// a backslash before a line end ends the attempt. Whether a quote is escaped depends only on
// the backslashes right before it, so when the attempt at `pos` fails at `stop`, every later
// quote of the same kind before `stop` fails too: that range is remembered.
size_t literal_end(textscan_memo *memo, const char *text, size_t len, size_t pos) {
    const char quote = text[pos];
    const int kind = quote == '"' ? 0 : 1;
    const uint64_t d = len - pos;
    if (d < memo->fail_from[kind] && d > memo->fail_stop[kind]) {
        return pos;
    }
    size_t z = pos + 1;
    while (z < len) {
        const char c = text[z];
        if (c == '\\') {
            if (z + 1 >= len || is_nl(text[z + 1])) {
                break;
            }
            z += 2;
            continue;
        }
        if (is_nl(c)) {
            break;
        }
        if (c == quote) {
            memo->scanned += z + 1 - pos;
            return z + 1;
        }
        ++z;
    }
    memo->scanned += z - pos;
    memo->fail_from[kind] = d;
    memo->fail_stop[kind] = len - (z < len ? z : len);
    return pos;
}

//=== numbers ===//

// End of the number at `pos` (a digit, or `.` before a digit). Integers come first, so a
// float is only reached at `.`: `1.5` is `1` then `.5`, and `1e5` is `1` then a name.
size_t number_end(const char *text, size_t len, size_t pos) {
    size_t x = pos;
    auto at = [&](size_t i) { return i < len ? text[i] : '\0'; };
    if (text[x] == '.') {
        ++x;
        while (x < len && is_digit(text[x])) {
            ++x;
        }
        if (at(x) == 'e' || at(x) == 'E') {
            size_t z = x + 1;
            size_t s = z;
            while (s < len && is_blank(text[s])) {
                ++s;
            }
            if (at(s) == '+' || at(s) == '-') {
                ++s;
                while (s < len && is_blank(text[s])) {
                    ++s;
                }
                z = s;
            }
            if (is_digit(at(z))) {
                while (z < len && is_digit(text[z])) {
                    ++z;
                }
                x = z;
            }
        }
        const char f = at(x);
        if (f == 'f' || f == 'F' || f == 'd' || f == 'D') {
            ++x;
        }
        return x;
    }
    if (text[x] == '0') {
        if ((at(x + 1) == 'x' || at(x + 1) == 'X') && is_hex(at(x + 2))) {
            x += 2;
            while (x < len && is_hex(text[x])) {
                ++x;
            }
        } else if (is_octal(at(x + 1))) {
            ++x;
            while (x < len && is_octal(text[x])) {
                ++x;
            }
        } else {
            return x + 1; // a bare 0 takes no suffix
        }
    } else {
        while (x < len && is_digit(text[x])) {
            ++x;
        }
    }
    if (at(x) == 'l' || at(x) == 'L') {
        ++x;
    }
    return x;
}

//=== brackets ===//

constexpr uint32_t k_mark_never = UINT32_MAX;
constexpr uint32_t k_mark_dirty = uint32_t{1} << 31;

// What is known about the `(` at `pos`.
struct known {
    enum { UNKNOWN, NEVER, CLOSED } state;
    size_t close; // CLOSED: position of its `)`
    bool clean;   // CLOSED: the answer holds wherever the list is copied
};

known look_up(const textscan_memo *memo, size_t len, size_t pos) {
    const uint64_t d = len - pos;
    if (d > memo->fresh_from) {
        const uint64_t i = d - memo->fresh_from - 1;
        if (i >= memo->marks.size()) {
            return {known::UNKNOWN, 0, false};
        }
        const uint32_t v = memo->marks[i];
        if (v == 0) {
            return {known::UNKNOWN, 0, false};
        }
        if (v == k_mark_never) {
            return {known::NEVER, 0, false};
        }
        return {known::CLOSED, pos + (v & ~k_mark_dirty), (v & k_mark_dirty) == 0};
    }
    const std::map<uint64_t, textscan_close> &close = memo->close;
    // Only a `(` within the remembered range can be known; most scans skip the look-up.
    if (close.empty() || d < close.begin()->first || d > close.rbegin()->first) {
        return {known::UNKNOWN, 0, false};
    }
    auto it = close.find(d);
    if (it == close.end()) {
        return {known::UNKNOWN, 0, false};
    }
    if (it->second.close == k_never) {
        return {known::NEVER, 0, false};
    }
    return {known::CLOSED, static_cast<size_t>(len - it->second.close), it->second.clean};
}

// Remembers the `(` at `open`: closed at `close` (`k_none`: never). Fresh text keeps every
// answer (a mark costs nothing); the untouched text keeps closed lists only with `keep_closed`.
void remember(textscan_memo *memo, size_t len, size_t open, size_t close, bool clean,
              bool keep_closed) {
    const uint64_t d = len - open;
    if (d > memo->fresh_from) {
        const uint64_t i = d - memo->fresh_from - 1;
        if (i >= memo->marks.size()) {
            return;
        }
        if (close == k_none) {
            memo->marks[i] = k_mark_never;
        } else if (close - open < k_mark_dirty) {
            memo->marks[i] = static_cast<uint32_t>(close - open) | (clean ? 0 : k_mark_dirty);
        }
        return;
    }
    if (close == k_none) {
        memo->close[d] = {k_never, false};
    } else if (keep_closed) {
        memo->close[d] = {len - close, clean};
    }
}

// Position of the `)` that closes the `(` at `open`, or `k_none` when the text ends first.
// With `commas`, the commas at the list's own level are collected there as empty spans. Every
// unclosed `(` met is remembered; closed ones too in fresh text, and with `keep_closed` in the
// untouched text (worth it when the text stays: a caller about to replace the list does not
// want them). A list is clean when no quote inside it failed to close: a failed quote looked
// beyond the list, to the end of its line. Throws `std::bad_alloc`.
size_t find_close(textscan_memo *memo, const char *text, size_t len, size_t open, bool keep_closed,
                  std::vector<textscan_span> *commas) {
    if (!commas) {
        const known k = look_up(memo, len, open);
        if (k.state == known::NEVER) {
            return k_none;
        }
        if (k.state == known::CLOSED) {
            return k.close;
        }
    }
    std::vector<size_t> &stack = memo->stack;
    stack.clear();
    stack.push_back(open);
    size_t dirty = 0; // stack[0, dirty) are not clean
    size_t x = open + 1;
    uint64_t steps = 0; // bytes looked at; a remembered inner list is one step
    while (x < len) {
        ++steps;
        const char c = text[x];
        if (c == '(') {
            const known k = look_up(memo, len, x);
            if (k.state == known::NEVER) {
                break; // an unclosed inner `(` leaves every enclosing one unclosed
            }
            if (k.state == known::CLOSED) {
                if (!k.clean) {
                    dirty = stack.size();
                }
                x = k.close + 1;
                continue;
            }
            stack.push_back(x);
            ++x;
        } else if (c == ')') {
            const size_t top = stack.back();
            stack.pop_back();
            const size_t depth = stack.size();
            const bool clean = depth >= dirty;
            if (dirty > depth) {
                dirty = depth;
            }
            remember(memo, len, top, x, clean, keep_closed);
            if (depth == 0) {
                memo->scanned += steps;
                return x;
            }
            ++x;
        } else if (c == '"' || c == '\'') {
            const size_t e = literal_end(memo, text, len, x);
            if (e > x) {
                x = e;
            } else {
                dirty = stack.size();
                ++x;
            }
        } else {
            if (c == ',' && commas && stack.size() == 1) {
                commas->push_back({x, x});
            }
            ++x;
        }
    }
    memo->scanned += steps;
    for (size_t s : stack) {
        remember(memo, len, s, k_none, false, keep_closed);
    }
    return k_none;
}

// Whether an argument list stands at `pos`: blanks and line ends, then a `(` that closes.
// Throws `std::bad_alloc`.
bool func_at(textscan_memo *memo, const char *text, size_t len, size_t pos, size_t *end) {
    size_t x = pos;
    while (x < len && is_ws(text[x])) {
        ++x;
    }
    if (x >= len || text[x] != '(') {
        return false;
    }
    const size_t c = find_close(memo, text, len, x, true, nullptr);
    if (c == k_none) {
        return false;
    }
    *end = c + 1;
    return true;
}

// The argument spans of the closed list `(` at `open` ... `)` at `close`, whose top-level
// commas are in `args` as empty spans; replaced by the arguments. An argument starts at its
// first character that is not a blank or line end and runs up to its comma or `)`, keeping
// trailing blanks but stopping at a line end followed only by blanks and line ends.
void split_args(const char *text, size_t open, size_t close, std::vector<textscan_span> *args) {
    if (args->empty()) {
        size_t x = open + 1;
        while (x < close && is_ws(text[x])) {
            ++x;
        }
        if (x == close) {
            return; // `()`: no argument at all
        }
    }
    const size_t commas = args->size();
    args->push_back({close, close});
    size_t from = open + 1;
    for (size_t i = 0; i <= commas; ++i) {
        const size_t sep = (*args)[i].start;
        size_t s = from;
        while (s < sep && is_ws(text[s])) {
            ++s;
        }
        size_t w = sep;
        while (w > s && is_ws(text[w - 1])) {
            --w;
        }
        while (w < sep && is_blank(text[w])) {
            ++w;
        }
        (*args)[i] = {s, s == sep ? sep : w};
        from = sep + 1;
    }
}

// Runs body, turning an allocation failure of the standard containers into a logged false.
template <class Body> bool guarded(Body &&body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
    } catch (const std::length_error &) {
    }
    glog_fatal("Out of memory: Unable to allocate memory");
    return false;
}

} // namespace

bool textscan_next(textscan_memo *memo, const char *text, size_t len, size_t pos,
                   textscan_item *out) {
    return guarded([&] {
        if (pos >= len) {
            *out = {TEXTSCAN_OTHER, pos};
            return true;
        }
        const char c = text[pos];
        size_t end = 0;
        if ((is_ws(c) || c == '(') && func_at(memo, text, len, pos, &end)) {
            *out = {TEXTSCAN_FUNC, end};
            return true;
        }
        if (is_ident_start(c)) {
            size_t x = pos + 1;
            while (x < len && is_ident_char(text[x])) {
                ++x;
            }
            *out = {TEXTSCAN_IDENTIFIER, x};
            return true;
        }
        if (c == '"' || c == '\'') {
            const size_t e = literal_end(memo, text, len, pos);
            if (e > pos) {
                *out = {c == '"' ? TEXTSCAN_STRING : TEXTSCAN_CHAR, e};
                return true;
            }
        }
        // A run of numbers, line ends and other characters. It stops before a name, a literal
        // that closes, or a blank or `(` where an argument list begins; a line end before such
        // a list is still taken. One answer serves a whole stretch of blanks and line ends.
        size_t x = pos;
        size_t ws_until = 0;  // the answer below holds for blanks before this position
        bool ws_func = false; // an argument list begins at the end of that stretch
        while (x < len) {
            const char ch = text[x];
            if (is_digit(ch) || (ch == '.' && x + 1 < len && is_digit(text[x + 1]))) {
                x = number_end(text, len, x);
                continue;
            }
            if (is_nl(ch)) {
                ++x;
                continue;
            }
            if (is_ident_start(ch)) {
                break;
            }
            if (ch == '"' || ch == '\'') {
                if (x != pos && literal_end(memo, text, len, x) > x) {
                    break;
                }
                ++x;
                continue;
            }
            if (is_blank(ch) || ch == '(') {
                if (x >= ws_until) {
                    size_t w = x;
                    while (w < len && is_ws(text[w])) {
                        ++w;
                    }
                    size_t e = 0;
                    ws_func = w < len && text[w] == '(' && func_at(memo, text, len, w, &e);
                    ws_until = w + 1;
                }
                if (ws_func && x != pos) {
                    break;
                }
            }
            ++x;
        }
        *out = {TEXTSCAN_OTHER, x};
        return true;
    });
}

bool textscan_func(textscan_memo *memo, const char *text, size_t len, size_t pos,
                   textscan_call *out) {
    return guarded([&] {
        out->matched = false;
        out->args.clear();
        size_t x = pos;
        while (x < len && is_ws(text[x])) {
            ++x;
        }
        if (x >= len || text[x] != '(') {
            return true;
        }
        if (look_up(memo, len, x).state == known::NEVER) {
            return true;
        }
        const size_t c = find_close(memo, text, len, x, true, &out->args);
        if (c == k_none) {
            out->args.clear();
            return true;
        }
        split_args(text, x, c, &out->args);
        out->matched = true;
        out->end = c + 1;
        return true;
    });
}

bool textscan_copy_marks(const textscan_memo *memo, size_t len, size_t from, size_t to,
                         std::vector<uint32_t> *out) {
    return guarded([&] {
        const size_t base = out->size();
        out->resize(base + (to - from), 0);
        uint32_t *dst = out->data() + base; // dst[k] is the mark of byte to - 1 - k
        const size_t fresh_end = memo->fresh_from >= len ? 0 : len - memo->fresh_from;
        const size_t split = std::min(std::max(from, fresh_end), to); // untouched from here
        // Untouched text: the remembered clean closed lists.
        const std::map<uint64_t, textscan_close> &close = memo->close;
        if (split < to) {
            for (auto it = close.lower_bound(len - to + 1);
                 it != close.end() && it->first <= len - split; ++it) {
                const size_t at = len - it->first;
                if (it->second.clean && it->second.close != k_never) {
                    const size_t c = len - it->second.close;
                    if (c < to && c - at < k_mark_dirty) {
                        dst[to - 1 - at] = static_cast<uint32_t>(c - at);
                    }
                }
            }
        }
        // Fresh text: the marks of clean closed lists that end inside the stretch. The marks
        // run in the same direction as `dst`, so this is a filtered copy.
        if (from < split) {
            const uint64_t i0 = (len - split) - memo->fresh_from; // mark of byte split - 1
            const size_t n = split - from;
            const size_t have =
                i0 >= memo->marks.size() ? 0 : std::min<size_t>(n, memo->marks.size() - i0);
            const uint32_t *src = memo->marks.data() + i0;
            uint32_t *d = dst + (to - split);
            // Byte split - 1 - k may keep its mark when its list ends before `to`, that is
            // when 0 < mark < room + k; below 2^31 that also leaves out the other kinds.
            const uint64_t room = to - split + 1;
            if (room + have < k_mark_dirty) {
                const auto r = static_cast<uint32_t>(room);
                const auto m = static_cast<uint32_t>(have);
                for (uint32_t k = 0; k < m; ++k) {
                    const uint32_t v = src[k];
                    d[k] = v - 1u < r + k - 1u ? v : 0;
                }
            } else {
                for (size_t k = 0; k < have; ++k) {
                    const uint32_t v = src[k];
                    d[k] = (v != 0 && v < k_mark_dirty && v < room + k) ? v : 0;
                }
            }
        }
        return true;
    });
}

bool textscan_replace(textscan_memo *memo, size_t len, size_t at, size_t end,
                      const uint32_t *marks) {
    return guarded([&] {
        const uint64_t d = len - end; // positions before `end` are at distances above this
        memo->close.erase(memo->close.upper_bound(d), memo->close.end());
        for (int k = 0; k < 2; ++k) {
            if (memo->fail_from[k] > d + 1) {
                memo->fail_from[k] = d + 1;
            }
        }
        if (d <= memo->fresh_from) {
            memo->marks.clear();
            memo->fresh_from = d;
        } else {
            memo->marks.resize(static_cast<size_t>(d - memo->fresh_from));
        }
        // Both run from the end of the text towards its start.
        if (marks) {
            memo->marks.insert(memo->marks.end(), marks, marks + (end - at));
        } else {
            memo->marks.resize(memo->marks.size() + (end - at), 0);
        }
        return true;
    });
}
