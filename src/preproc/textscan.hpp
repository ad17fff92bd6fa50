// Tokenizer of macro expansion: cuts a text into the items the expander looks at and matches
// the argument list after a macro name, in time linear in the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

/// Kinds of one text item.
enum textscan_kind : int32_t {
    TEXTSCAN_OTHER = 0,      ///< a run of numbers, line ends and other characters, or nothing
    TEXTSCAN_IDENTIFIER = 1, ///< `[A-Za-z_][0-9A-Za-z_]*`
    TEXTSCAN_FUNC = 2,       ///< optional blanks and line ends, then a closed argument list
    TEXTSCAN_STRING = 3,     ///< a double-quoted literal closed on its line
    TEXTSCAN_CHAR = 4,       ///< a single-quoted literal closed on its line
};

/// One item: its kind and the position just after it (the start when at the end of the text).
struct textscan_item {
    textscan_kind kind;
    size_t end;
};

/// One argument of an argument list: `[start, end)`, empty for an empty argument.
struct textscan_span {
    size_t start;
    size_t end;
};

/// An argument list matched after a macro name.
struct textscan_call {
    bool matched = false;            ///< an argument list stands at the position
    size_t end = 0;                  ///< position just after its `)` (when matched)
    std::vector<textscan_span> args; ///< its arguments in order; none for `()` (when matched)
};

/// What the scanner knows about a `(` of the untouched text: its `)` or that it never closes.
struct textscan_close {
    uint64_t close; ///< distance of the `)` from the end of the text; `UINT64_MAX`: never closes
    bool clean;     ///< the answer depends on the list's own text only, wherever it is copied
};

/// What the scanner remembers about one text, so that repeated questions about the same tail
/// are answered without rescanning it. Positions are kept as distances from the end of the
/// text, which stay valid while the text changes only before them. Text written by
/// `textscan_replace` is "fresh": it carries one mark per byte, copied along with the bytes.
/// Default-initialised it is empty; use one per text.
struct textscan_memo {
    std::map<uint64_t, textscan_close> close; ///< `(` of the untouched text by distance
    uint64_t fresh_from = UINT64_MAX;         ///< distances above this are fresh text
    /// Marks of the fresh text, the one just above `fresh_from` first: 0 unknown, `k` (below
    /// 2^31) a clean `(` whose `)` is k bytes on, `k | 2^31` the same but not clean,
    /// `UINT32_MAX` a `(` that never closes.
    std::vector<uint32_t> marks;
    /// Per quote kind (`"`, `'`): quotes at distances in (fail_stop, fail_from) open no literal.
    uint64_t fail_from[2] = {0, 0};
    uint64_t fail_stop[2] = {0, 0};
    std::vector<size_t> stack; ///< scratch: open parentheses of the current scan
    uint64_t scanned = 0;      ///< bytes the list and literal scans have stepped over so far
};

/// The item that starts at `pos` of `text` (`len` bytes) into `*out`. False only when memory
/// runs out (logged).
[[nodiscard]] bool textscan_next(textscan_memo *memo, const char *text, size_t len, size_t pos,
                                 textscan_item *out);

/// Matches the argument list at `pos` (blanks and line ends may come first) into `*out`:
/// `matched` false when none stands there or it does not close. False only when memory runs
/// out (logged).
[[nodiscard]] bool textscan_func(textscan_memo *memo, const char *text, size_t len, size_t pos,
                                 textscan_call *out);

/// Appends to `out` one mark per byte of [from, to) of a text `len` bytes long, the last byte
/// first: the argument lists closed inside the stretch whose answer holds wherever it is
/// copied (0 elsewhere). False only when memory runs out (logged).
[[nodiscard]] bool textscan_copy_marks(const textscan_memo *memo, size_t len, size_t from,
                                       size_t to, std::vector<uint32_t> *out);

/// Records that [at, end) of the text, now `len` bytes long, was just written, with `marks`
/// (one per byte, the last byte first, as `textscan_copy_marks` gives them; null for none
/// known). What `memo` knew about positions before `end` is dropped; the text before `at`
/// must not be asked about again, the text after `end` must be as it was. False only when
/// memory runs out (logged).
[[nodiscard]] bool textscan_replace(textscan_memo *memo, size_t len, size_t at, size_t end,
                                    const uint32_t *marks);
