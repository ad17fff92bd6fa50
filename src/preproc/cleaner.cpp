// Cleaning pass: comments removed, continuations joined, blanks folded, line count kept.
#include "preproc/cleaner.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>

#include "base/arch.hpp"
#include "base/glog.hpp"
#include "base/owned.hpp"
#include "grammars/idlcleaner_parser.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "preproc/pptree.hpp"

namespace {

void close_file(std::FILE *f) {
    if (f) {
        std::fclose(f);
    }
}

void free_bytes(char *p) {
    std::free(p);
}

// Stack the grammar-driven parse is given per input byte (the one-pass cleaner needs none).
constexpr uint64_t k_stack_per_byte = 80;

//=== one-pass cleaner ===//
//
// The pieces of the grammar start with distinct bytes, so the ordered choice of the grammar is
// a dispatch on the byte at hand, and a text run is every byte where no piece starts:
//   line end      CR LF, LF or a lone CR
//   blanks        a run of blanks and tabs
//   continuation  a backslash, blanks and tabs, a line end
//   line comment  "//" up to a line end or a continuation
//   block comment "/*" up to the first "*/" after it; without one the bytes are text
//   literal       '"' or '\'' closing on its line; a backslash escapes any byte but a line end

enum byte_class : uint8_t { PLAIN, LINE_END, BLANK, BACKSLASH, SLASH, QUOTE };

struct class_table {
    uint8_t of[256];
    constexpr class_table() : of{} {
        of[static_cast<uint8_t>('\r')] = LINE_END;
        of[static_cast<uint8_t>('\n')] = LINE_END;
        of[static_cast<uint8_t>(' ')] = BLANK;
        of[static_cast<uint8_t>('\t')] = BLANK;
        of[static_cast<uint8_t>('\\')] = BACKSLASH;
        of[static_cast<uint8_t>('/')] = SLASH;
        of[static_cast<uint8_t>('"')] = QUOTE;
        of[static_cast<uint8_t>('\'')] = QUOTE;
    }
};

constexpr class_table k_classes{};

uint8_t class_of(char c) {
    return k_classes.of[static_cast<uint8_t>(c)];
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// What starts at a position; TEXT_BYTE: nothing, the byte belongs to a text run.
enum piece_kind : uint8_t {
    TEXT_BYTE,
    NEW_LINE,
    BLANKS,
    CONTINUATION,
    LINE_COMMENT,
    BLOCK_COMMENT,
    LITERAL
};

struct piece {
    piece_kind kind;
    uint64_t end; ///< just after the piece
};

// The text being cleaned and what lookahead has learnt about it. Questions are asked at
// positions that only move forward, so every remembered answer holds for all later ones; that
// keeps an unclosed "/*" or quote from rescanning the rest of the text at each occurrence.
struct clean_scan {
    const char *src;
    uint64_t size;
    // The first "*/" at or after close_from is at close_at (size when there is none).
    uint64_t close_from = 0;
    uint64_t close_at = 0;
    bool close_known = false;
    // A quote ('"' index 0, '\'' index 1) before this position does not close on its line: it
    // lies inside a failed scan of the same kind, where it was escaped, so a scan from it
    // would pair the same escapes and stop at the same place.
    uint64_t dead_before[2] = {0, 0};
};

uint64_t line_end_length(const clean_scan &s, uint64_t p) {
    if (p >= s.size) {
        return 0;
    }
    if (s.src[p] == '\n') {
        return 1;
    }
    if (s.src[p] == '\r') {
        return (p + 1 < s.size && s.src[p + 1] == '\n') ? 2 : 1;
    }
    return 0;
}

// End of the continuation whose backslash is at p, or 0 when the backslash is plain text.
uint64_t continuation_end(const clean_scan &s, uint64_t p) {
    uint64_t j = p + 1;
    while (j < s.size && is_blank(s.src[j])) {
        ++j;
    }
    const uint64_t nl = line_end_length(s, j);
    return nl > 0 ? j + nl : 0;
}

// Position of the first "*/" at or after `from`, or size when there is none.
uint64_t close_mark(clean_scan &s, uint64_t from) {
    if (s.close_known && s.close_from <= from && s.close_at >= from) {
        return s.close_at;
    }
    uint64_t at = s.size;
    uint64_t i = from;
    while (i + 1 < s.size) {
        const void *star = std::memchr(s.src + i, '*', s.size - 1 - i);
        if (!star) {
            break;
        }
        i = static_cast<uint64_t>(static_cast<const char *>(star) - s.src);
        if (s.src[i + 1] == '/') {
            at = i;
            break;
        }
        ++i;
    }
    s.close_from = from;
    s.close_at = at;
    s.close_known = true;
    return at;
}

// End of the literal whose opening quote is at p, or 0 when it does not close on its line.
uint64_t literal_end(clean_scan &s, uint64_t p) {
    const char quote = s.src[p];
    const int kind = quote == '"' ? 0 : 1;
    if (p < s.dead_before[kind]) {
        return 0;
    }
    uint64_t i = p + 1;
    while (i < s.size) {
        const char c = s.src[i];
        if (c == quote) {
            return i + 1;
        }
        if (c == '\\') {
            if (i + 1 < s.size && s.src[i + 1] != '\r' && s.src[i + 1] != '\n') {
                i += 2;
                continue;
            }
            break;
        }
        if (c == '\r' || c == '\n') {
            break;
        }
        ++i;
    }
    s.dead_before[kind] = i;
    return 0;
}

// End of the line comment starting at p: the next line end or continuation, or the end.
uint64_t line_comment_end(const clean_scan &s, uint64_t p) {
    uint64_t i = p + 2;
    while (i < s.size) {
        const char c = s.src[i];
        if (c == '\n' || c == '\r' || (c == '\\' && continuation_end(s, i) > 0)) {
            break;
        }
        ++i;
    }
    return i;
}

piece piece_at(clean_scan &s, uint64_t p) {
    const char *src = s.src;
    switch (class_of(src[p])) {
    case LINE_END:
        return {NEW_LINE, p + line_end_length(s, p)};
    case BLANK: {
        uint64_t j = p + 1;
        while (j < s.size && is_blank(src[j])) {
            ++j;
        }
        return {BLANKS, j};
    }
    case BACKSLASH:
        if (const uint64_t end = continuation_end(s, p)) {
            return {CONTINUATION, end};
        }
        break;
    case SLASH:
        if (p + 1 < s.size && src[p + 1] == '/') {
            return {LINE_COMMENT, line_comment_end(s, p)};
        }
        if (p + 1 < s.size && src[p + 1] == '*') {
            const uint64_t at = close_mark(s, p + 2);
            if (at < s.size) {
                return {BLOCK_COMMENT, at + 2};
            }
        }
        break;
    case QUOTE:
        if (const uint64_t end = literal_end(s, p)) {
            return {LITERAL, end};
        }
        break;
    default:
        break;
    }
    return {TEXT_BYTE, p + 1};
}

// The output side. At every piece boundary, written + spaces + newlines <= bytes consumed,
// and a piece is read whole before its bytes are written, so the output may overwrite the
// input it comes from.
struct clean_writer {
    char *dst;
    uint64_t len = 0;        // bytes written
    uint64_t spaces = 0;     // blanks owed before the next text on this line
    uint64_t newlines = 0;   // line ends eaten by continuations, owed at the end of the line
    bool in_comment = false; // a line comment (and lines continued from it) until a line end
};

void put_text(clean_writer &w, const char *from, uint64_t n) {
    if (w.in_comment) {
        return;
    }
    std::memset(w.dst + w.len, ' ', w.spaces);
    w.len += w.spaces;
    w.spaces = 0;
    std::memmove(w.dst + w.len, from, n);
    w.len += n;
}

void put_block_comment(clean_writer &w, const char *src, uint64_t start, uint64_t end) {
    uint64_t line_ends = 0;
    uint64_t last_end = start;
    for (uint64_t i = start + 2; i + 2 < end; ++i) {
        if (src[i] == '\n' || src[i] == '\r') {
            if (src[i] == '\r' && src[i + 1] == '\n') {
                ++i;
            }
            ++line_ends;
            last_end = i + 1;
        }
    }
    if (line_ends == 0) {
        w.spaces += end - start;
        return;
    }
    // Blanks before the comment would end their line: dropped like any trailing blanks. The
    // comment's last line keeps its width in blanks.
    std::memset(w.dst + w.len, '\n', line_ends);
    w.len += line_ends;
    w.spaces = end - last_end;
}

// Cleans src[0, size) into dst, which has room for size bytes and may be src itself. Returns
// the number of bytes written.
uint64_t clean_into(const char *src, uint64_t size, char *dst) {
    clean_scan s{src, size};
    clean_writer w{dst};
    uint64_t p = 0;
    while (p < size) {
        const uint64_t text = p;
        piece pc{TEXT_BYTE, p};
        while (p < size) {
            if (class_of(src[p]) == PLAIN) {
                ++p;
                continue;
            }
            pc = piece_at(s, p);
            if (pc.kind != TEXT_BYTE) {
                break;
            }
            p = pc.end;
        }
        if (p > text) {
            put_text(w, src + text, p - text);
        }
        if (p == size) {
            break;
        }
        switch (pc.kind) {
        case NEW_LINE:
            std::memset(w.dst + w.len, '\n', w.newlines + 1);
            w.len += w.newlines + 1;
            w.spaces = 0;
            w.newlines = 0;
            w.in_comment = false;
            break;
        case BLANKS:
            w.spaces += pc.end - p;
            break;
        case CONTINUATION:
            w.newlines += 1;
            break;
        case LINE_COMMENT:
            w.in_comment = true;
            break;
        case BLOCK_COMMENT:
            put_block_comment(w, src, p, pc.end);
            break;
        case LITERAL:
            // Kept whole, with its blanks and comment marks.
            put_text(w, src + p, pc.end - p);
            break;
        case TEXT_BYTE:
            break;
        }
        p = pc.end;
    }
    // Line ends eaten by a continuation on the last line still count as lines.
    std::memset(w.dst + w.len, '\n', w.newlines);
    w.len += w.newlines;
    return w.len;
}

//=== reading a file ===//

// Spare bytes after the text: the terminator, and one line end the directive pass adds to a
// last line without one.
constexpr uint64_t k_spare = 2;

// The whole file in one block of *capacity bytes (malloc'ed), *size of them read, with at
// least k_spare bytes after them; null (logged) on a read error or when memory runs out.
char *read_whole(std::FILE *f, const char *path, uint64_t *size, uint64_t *capacity) {
    struct stat st {};
    uint64_t cap = 4096;
    // One more byte than the file holds, so the read that meets the end needs no growth.
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        cap = static_cast<uint64_t>(st.st_size) + k_spare + 1;
    }
    owned<char, free_bytes> buf{static_cast<char *>(std::malloc(cap))};
    if (!buf) {
        glog_fatal("Out of memory: Unable to read file %s (%llu bytes)", path,
                   static_cast<unsigned long long>(cap));
        return nullptr;
    }
    arch_hint_huge_pages(buf.get(), cap);
    uint64_t len = 0;
    for (;;) {
        if (cap - len <= k_spare) {
            // The file is longer than it said, or its size is not known: grow by doubling.
            void *grown = cap <= SIZE_MAX / 2 ? std::realloc(buf.get(), cap * 2) : nullptr;
            if (!grown) {
                glog_fatal("Out of memory: Unable to read file %s (more than %llu bytes)", path,
                           static_cast<unsigned long long>(len));
                return nullptr;
            }
            static_cast<void>(buf.release());
            buf.reset(static_cast<char *>(grown));
            cap *= 2;
        }
        const uint64_t want = cap - k_spare - len;
        const size_t got = std::fread(buf.get() + len, 1, want, f);
        len += got;
        if (got < want) {
            break;
        }
    }
    if (std::ferror(f)) { // a directory, or a device that fails
        glog_error("Failed to create input");
        return nullptr;
    }
    *size = len;
    *capacity = cap;
    return buf.release();
}

} // namespace

//=== the grammar-driven definition ===//

bool idlpreproc_reserve_stack(uint64_t bytes) {
    struct rlimit lim {};
    if (getrlimit(RLIMIT_STACK, &lim) != 0) {
        glog_error("Failed to read stack value");
        return false;
    }
    if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= bytes) {
        return true;
    }
    // Only the soft limit is raised; the hard limit is never lowered, so a later, larger file
    // in the same process can still raise it again.
    struct rlimit want = lim;
    want.rlim_cur = bytes;
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < bytes) {
        want.rlim_max = bytes; // needs privilege; refused otherwise
    }
    if (setrlimit(RLIMIT_STACK, &want) != 0) {
        glog_error("Failed to read stack value");
        return false;
    }
    return true;
}

// One parse of the whole text with the line-cleaner grammar, then a walk over the pieces under
// its root. The one-pass cleaner above must write exactly what this writes, for every text.
bool idlpreproc_clean_text_by_grammar(const char *data, uint64_t size, const char *path,
                                      idl_string *out) {
    if (size > UINT64_MAX / k_stack_per_byte ||
        !idlpreproc_reserve_stack(size * k_stack_per_byte)) {
        if (size > UINT64_MAX / k_stack_per_byte) {
            glog_error("Failed to read stack value");
        }
        return false;
    }
    owned<parser, parser_delete> cleaner{idlcleaner_parser_new()};
    if (!cleaner) {
        glog_error("Failed to create parser");
        return false;
    }
    input in;
    input_init(&in, data, size);
    owned<ast, ast_recursive_delete> tree{parse(cleaner.get(), &in)};
    if (!tree) {
        glog_error("Failed to create ast from %s", path);
        return false;
    }
    if (pptree_aborted(tree.get())) {
        return false;
    }
    if (const ast_error *err = ast_as_error(tree.get())) {
        glog_error("Failed to parse file: %s:%lu:%lu", path, static_cast<unsigned long>(err->line),
                   static_cast<unsigned long>(err->column));
        return false;
    }
    uint64_t spaces = 0;
    uint64_t newlines = 0;
    bool in_comment = false;
    const uint64_t count = pptree_count(tree.get());
    for (uint64_t i = 0; i < count; ++i) {
        const ast_tree *t = ast_as_tree(pptree_child(tree.get(), i));
        if (!t) {
            glog_error("Failed to parse file: %s", path);
            return false;
        }
        const uint64_t len = t->end - t->start;
        bool ok = true;
        switch (t->type) {
        case IDLCLEANER_S:
            spaces += len;
            break;
        case IDLCLEANER_NEWLINE:
            ok = idl_string_append_set(out, '\n', newlines + 1);
            spaces = 0;
            newlines = 0;
            in_comment = false;
            break;
        case IDLCLEANER_MULTILINE:
            newlines += 1;
            break;
        case IDLCLEANER_SINGLE_COMMENT:
            in_comment = true;
            break;
        case IDLCLEANER_MULTI_COMMENT: {
            uint64_t inner = 0;
            uint64_t last_end = t->start;
            for (uint64_t c = 0; c < pptree_count(pptree_child(tree.get(), i)); ++c) {
                const ast_tree *ct = ast_as_tree(pptree_child(pptree_child(tree.get(), i), c));
                if (ct && ct->type == IDLCLEANER_NEWLINE) {
                    ++inner;
                    last_end = ct->end;
                }
            }
            if (inner == 0) {
                spaces += len;
            } else {
                // Blanks before the comment would end the line: they are dropped like any
                // other trailing blanks.
                ok = idl_string_append_set(out, '\n', inner);
                spaces = t->end - last_end;
            }
            break;
        }
        default:
            if (t->type == IDLCLEANER_TEXT ||
                (t->type > IDLCLEANER_MULTI_COMMENT_END && t->type < idlcleaner_type_count)) {
                // Text, and literals kept whole with their blanks and comment marks.
                if (!in_comment) {
                    ok = idl_string_append_set(out, ' ', spaces) &&
                         idl_string_append_string(out, data + t->start, len);
                    spaces = 0;
                }
                break;
            }
            glog_error("Failed to parse file: %s", path);
            return false;
        }
        if (!ok) {
            return false; // logged by the string module
        }
    }
    // Line ends eaten by a continuation on the last line still count as lines.
    if (newlines > 0 && !idl_string_append_set(out, '\n', newlines)) {
        return false;
    }
    return true;
}

//=== entry points ===//

bool idlpreproc_clean_text(const char *data, uint64_t size, const char *path, idl_string *out) {
    static_cast<void>(path); // nothing here can fail but the growth of `out`, which logs itself
    const uint64_t base = out->len;
    // The result is never longer than the text: make room once, then write in place.
    if (!idl_string_append_set(out, ' ', size)) {
        return false;
    }
    out->len = base + clean_into(data, size, out->data + base);
    out->data[out->len] = '\0';
    return true;
}

bool idlpreproc_clean_file(const char *path, idl_string *out) {
    owned<std::FILE, close_file> file{std::fopen(path, "rb")};
    if (!file) {
        glog_error("Unable to open file: %s", path);
        return false;
    }
    uint64_t size = 0;
    uint64_t capacity = 0;
    owned<char, free_bytes> text{read_whole(file.get(), path, &size, &capacity)};
    if (!text) {
        return false;
    }
    file.reset();
    // Cleaned in place: the file's block becomes the output's, so cleaning needs no memory
    // beyond the text itself.
    const uint64_t len = clean_into(text.get(), size, text.get());
    text.get()[len] = '\0';
    if (out->len == 0 && !out->borrowed) {
        std::free(out->data);
        out->data = text.release();
        out->len = len;
        out->capacity = capacity;
        return true;
    }
    return idl_string_append_string(out, text.get(), len);
}
