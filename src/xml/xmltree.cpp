// The XML element tree: creation, ordered insertion, attributes with ownership marks, release
// and the pretty writer.
#include "xml/xmltree.hpp"

#include "base/arch.hpp"
#include "base/glog.hpp"
#include "base/teardown.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

char *XMLTREE_NIL[1] = {nullptr};

namespace {

void log_out_of_memory(const char *what) {
    glog_fatal("Out of memory: %s", what);
}

void log_error(const char *what) {
    glog_error("%s", what);
}

char empty_text[] = "";

//=== document storage ===//

// The elements of a document, their attribute lists and the texts copied for them live in
// blocks owned by the document root and released with it in one sweep: no allocation per
// element, no allocator header per piece. Element blocks are aligned to their size, so the
// storage an element belongs to is found from its address alone, whatever its depth.
constexpr std::size_t block_size = std::size_t{64} * 1024;
// Texts longer than this get a block of their own rather than wasting the rest of a shared one.
constexpr std::size_t big_text = block_size / 4;
// Short texts (attribute names, type names, flags) are looked up before they are copied.
constexpr std::size_t short_text = 32;
constexpr std::size_t short_slots = 256;

struct storage;

// Element blocks are carved from chunks that grow from one block to chunk_most bytes, so that a
// large document takes a few allocations, filled through huge pages where the kernel offers
// them.
constexpr std::size_t chunk_most = std::size_t{4} * 1024 * 1024;
constexpr std::size_t huge_chunk_align = std::size_t{2} * 1024 * 1024;

// Header of an element block; the pieces follow it. The first block of a chunk links the chunks
// for release.
struct alignas(16) record_block {
    record_block *next_chunk;
    storage *owner;
};

// Header of a text block (or of one big piece); the bytes follow it.
struct alignas(16) text_block {
    text_block *next;
    std::size_t payload; // bytes after the header
};

// The first blocks of a released document, kept for the next document of the same thread: a
// document made per definition would otherwise allocate and release them each time. Released
// when the thread ends.
struct spare_blocks {
    record_block *chunk = nullptr; // a first element chunk: block_size bytes, aligned to it
    text_block *text = nullptr;    // a text block of block_size bytes
    spare_blocks() = default;
    spare_blocks(const spare_blocks &) = delete;
    spare_blocks &operator=(const spare_blocks &) = delete;
    ~spare_blocks() {
        std::free(chunk);
        std::free(text);
    }
};

thread_local spare_blocks spares;

// One recently copied short text.
struct recent_text {
    const char *text;
    std::size_t len;
};

struct storage {
    char *rec_top;
    char *rec_end;
    record_block *records; // the chunks, newest first
    char *chunk_top;       // the next unused block of the newest chunk
    char *chunk_end;
    std::size_t next_chunk; // size of the next chunk
    char *txt_top;
    char *txt_end;
    text_block *texts;
    // Set once anything in the document owns heap memory (handed-over texts, owned names or
    // contents, an inserted document): only then does its release need a walk over the tree.
    bool needs_walk;
    // The last short text copied per hash slot, so that repeated values share one copy; a slot
    // counts only once its bit is set, so a new document clears the bits, not the slots.
    std::uint64_t recent_set[short_slots / 64];
    recent_text recent[short_slots];
};

// Makes a storage empty: everything before the slots of recent texts, which its bits disown.
void storage_clear(storage *s) {
    std::memset(static_cast<void *>(s), 0, offsetof(storage, recent));
}

void storage_release(storage *s) {
    for (record_block *b = s->records; b != nullptr;) {
        record_block *next = b->next_chunk;
        if (next == nullptr && spares.chunk == nullptr) {
            spares.chunk = b; // the oldest chunk is the first, of one block
        } else {
            std::free(b);
        }
        b = next;
    }
    for (text_block *b = s->texts; b != nullptr;) {
        text_block *next = b->next;
        if (b->payload == block_size && spares.text == nullptr) {
            spares.text = b;
        } else {
            std::free(b);
        }
        b = next;
    }
    storage_clear(s);
}

// A fresh text block of `payload` bytes, chained for release; null when memory runs out.
char *storage_text_block(storage *s, std::size_t payload) {
    text_block *block = nullptr;
    if (payload == block_size && spares.text != nullptr) {
        block = spares.text;
        spares.text = nullptr;
    } else {
        block = static_cast<text_block *>(std::malloc(sizeof(text_block) + payload));
        if (block == nullptr) {
            return nullptr;
        }
    }
    block->payload = payload;
    block->next = s->texts;
    s->texts = block;
    return reinterpret_cast<char *>(block + 1);
}

// `n` bytes aligned for pointers from the element blocks; pieces too large for a block come from
// a text block of their own (they are never looked up by address). Null when memory runs out.
void *storage_record(storage *s, std::size_t n) {
    constexpr std::size_t align = alignof(xmltree);
    if (n > block_size - sizeof(record_block)) {
        return storage_text_block(s, n);
    }
    auto top = reinterpret_cast<std::uintptr_t>(s->rec_top);
    top = (top + align - 1) & ~static_cast<std::uintptr_t>(align - 1);
    if (s->rec_top == nullptr || top + n > reinterpret_cast<std::uintptr_t>(s->rec_end)) {
        if (s->chunk_top == s->chunk_end) {
            const std::size_t size = s->next_chunk == 0 ? block_size : s->next_chunk;
            const std::size_t align = size >= huge_chunk_align ? huge_chunk_align : block_size;
            record_block *chunk = nullptr;
            if (size == block_size && spares.chunk != nullptr) {
                chunk = spares.chunk;
                spares.chunk = nullptr;
            } else {
                chunk = static_cast<record_block *>(std::aligned_alloc(align, size));
                if (chunk == nullptr) {
                    return nullptr;
                }
            }
            if (size >= huge_chunk_align) {
                arch_hint_huge_pages(chunk, size);
            }
            chunk->next_chunk = s->records;
            s->records = chunk;
            s->chunk_top = reinterpret_cast<char *>(chunk);
            s->chunk_end = s->chunk_top + size;
            s->next_chunk = size < chunk_most ? size * 2 : chunk_most;
        }
        auto *block = reinterpret_cast<record_block *>(s->chunk_top);
        s->chunk_top += block_size;
        block->owner = s;
        s->rec_top = reinterpret_cast<char *>(block + 1);
        s->rec_end = reinterpret_cast<char *>(block) + block_size;
        top = reinterpret_cast<std::uintptr_t>(s->rec_top);
    }
    char *piece = reinterpret_cast<char *>(top);
    s->rec_top = piece + n;
    return piece;
}

// Hash slot of a short text from its length and its first and last eight bytes (all of it when
// shorter): cheap, and it tells apart the names and values a document repeats. Whole-word loads
// only; a word assembled from a few bytes through memory stalls the load that follows.
std::size_t short_slot(const char *text, std::size_t len) {
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    if (len >= 8) {
        std::memcpy(&head, text, 8);
        std::memcpy(&tail, text + len - 8, 8);
    } else {
        for (std::size_t i = 0; i < len; ++i) {
            head = (head << 8) | static_cast<unsigned char>(text[i]);
        }
    }
    const std::uint64_t h = (head * 0x9E3779B97F4A7C15u) ^ ((tail + len) * 0xC2B2AE3D27D4EB4Fu);
    return static_cast<std::size_t>(h >> 56) % short_slots;
}

// A NUL-terminated copy of `len` bytes owned by the storage; a short text equal to one copied
// recently is shared. Null when memory runs out.
const char *storage_text(storage *s, const char *text, std::size_t len) {
    std::size_t slot = 0;
    if (len == 0) {
        return empty_text;
    }
    if (len <= short_text) {
        slot = short_slot(text, len);
        const recent_text &seen = s->recent[slot];
        if (((s->recent_set[slot >> 6] >> (slot & 63)) & 1) != 0 && seen.len == len &&
            std::memcmp(seen.text, text, len) == 0) {
            return seen.text;
        }
    }
    char *copy = nullptr;
    if (len + 1 > big_text) {
        copy = storage_text_block(s, len + 1);
    } else {
        if (s->txt_top == nullptr || static_cast<std::size_t>(s->txt_end - s->txt_top) < len + 1) {
            s->txt_top = storage_text_block(s, block_size);
            if (s->txt_top == nullptr) {
                s->txt_end = nullptr;
                return nullptr;
            }
            s->txt_end = s->txt_top + block_size;
        }
        copy = s->txt_top;
        s->txt_top += len + 1;
    }
    if (copy == nullptr) {
        return nullptr;
    }
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    if (len <= short_text) {
        s->recent[slot] = {copy, len};
        s->recent_set[slot >> 6] |= std::uint64_t{1} << (slot & 63);
    }
    return copy;
}

//=== document-only data ===//

struct attr_default {
    std::string element;
    std::string attr;
    std::string value;
};

struct instruction {
    std::string target;
    std::string content;
    bool after_root;
};

struct document_data {
    std::vector<attr_default> defaults;
    std::vector<instruction> instructions;
};

// A document root is an element record followed by a pointer to its document-only data, which
// stays null while the document declares no defaults and no processing instructions, and by the
// storage of the document's elements.
struct xmltree_root {
    xmltree element;
    document_data *data;
    storage store;
};

xmltree_root *root_of_record(xmltree *xml) {
    // `element` is the first member of a standard-layout record, so the addresses coincide.
    return reinterpret_cast<xmltree_root *>(xml);
}

// The storage an element's pieces come from: its own for a root, else its block's owner.
storage *storage_of(xmltree *xml) {
    if ((xml->flags & XMLTREE_DOCUMENT) != 0) {
        return &root_of_record(xml)->store;
    }
    const auto at = reinterpret_cast<std::uintptr_t>(xml) & ~(std::uintptr_t{block_size} - 1);
    return reinterpret_cast<record_block *>(at)->owner;
}

const document_data *document_of(const xmltree *xml) {
    while (xml->parent != nullptr) {
        xml = xml->parent;
    }
    if ((xml->flags & XMLTREE_DOCUMENT) == 0) {
        return nullptr;
    }
    return reinterpret_cast<const xmltree_root *>(xml)->data;
}

//=== attribute list ===//

// A list of capacity c is 2c + 2 pointers (the pairs, the null that ends them, the mark pointer)
// followed by c + 1 mark bytes. The marks always start right after the pointers, so the capacity
// follows from where the mark pointer points and needs no field of its own.
std::size_t list_bytes(std::size_t capacity) {
    return (2 * capacity + 2) * sizeof(char *) + capacity + 1;
}

char *list_marks_at(char **attr, std::size_t capacity) {
    return reinterpret_cast<char *>(attr + 2 * capacity + 2);
}

// Number of name/value pairs in a list; the entry after them is null.
std::size_t attr_pairs(char *const *attr) {
    std::size_t n = 0;
    while (attr[2 * n] != nullptr) {
        ++n;
    }
    return n;
}

// The mark text sits right after the null that ends the pairs.
char *attr_marks(char **attr, std::size_t pairs) {
    return attr[2 * pairs + 1];
}

std::size_t list_capacity(char **attr, std::size_t pairs) {
    const auto offset =
        static_cast<std::size_t>(attr_marks(attr, pairs) - reinterpret_cast<char *>(attr));
    return (offset / sizeof(char *) - 2) / 2;
}

// Appends one pair with its mark byte. A list at the top of its block grows in place (the
// translator sets all attributes of an element before it adds the next one, so this is the
// usual case); any other list moves to one of twice the capacity. False when memory runs out.
bool list_append(xmltree *xml, char *name, char *value, char mark) {
    storage *s = storage_of(xml);
    char **attr = xml->attr;
    std::size_t pairs = 0;
    std::size_t capacity = 0;
    if (attr != XMLTREE_NIL) {
        pairs = attr_pairs(attr);
        capacity = list_capacity(attr, pairs);
    }
    if (pairs == capacity) {
        char *end =
            attr == XMLTREE_NIL ? nullptr : reinterpret_cast<char *>(attr) + list_bytes(capacity);
        if (end != nullptr && end == s->rec_top &&
            static_cast<std::size_t>(s->rec_end - end) >=
                list_bytes(capacity + 1) - list_bytes(capacity)) {
            // In place: the marks move up by the two new pointers.
            char *marks = attr_marks(attr, pairs);
            std::memmove(list_marks_at(attr, capacity + 1), marks, pairs + 1);
            capacity += 1;
            s->rec_top = reinterpret_cast<char *>(attr) + list_bytes(capacity);
        } else {
            const std::size_t grown_capacity = capacity == 0 ? 1 : 2 * capacity;
            auto **grown = static_cast<char **>(storage_record(s, list_bytes(grown_capacity)));
            if (grown == nullptr) {
                return false;
            }
            if (pairs != 0) {
                std::memcpy(grown, attr, 2 * pairs * sizeof(char *));
                std::memcpy(list_marks_at(grown, grown_capacity), attr_marks(attr, pairs), pairs);
            }
            attr = grown;
            capacity = grown_capacity;
        }
    }
    char *marks = list_marks_at(attr, capacity);
    attr[2 * pairs] = name;
    attr[2 * pairs + 1] = value;
    attr[2 * pairs + 2] = nullptr;
    attr[2 * pairs + 3] = marks;
    marks[pairs] = mark;
    marks[pairs + 1] = '\0';
    xml->attr = attr;
    return true;
}

// Index of the pair named `name` (`len` bytes), or the pair count when there is none.
std::size_t list_find(char *const *attr, const char *name, std::size_t len) {
    std::size_t i = 0;
    for (; attr[2 * i] != nullptr; ++i) {
        // Names are short and mostly differ early: compare in place rather than call out.
        const char *have = attr[2 * i];
        std::size_t k = 0;
        while (k < len && have[k] == name[k]) {
            ++k;
        }
        if (k == len && have[len] == '\0') {
            break;
        }
    }
    return i;
}

// Releases the texts the tree owns in a list; the list itself belongs to the storage.
void attr_list_release(char **attr) {
    if (attr == nullptr || attr == XMLTREE_NIL) {
        return;
    }
    const std::size_t pairs = attr_pairs(attr);
    char *marks = attr_marks(attr, pairs);
    for (std::size_t i = 0; i < pairs; ++i) {
        const auto mark = static_cast<unsigned char>(marks[i]);
        if ((mark & XMLTREE_MARK_NAME) != 0) {
            std::free(attr[2 * i]);
        }
        if ((mark & XMLTREE_MARK_VALUE) != 0) {
            std::free(attr[2 * i + 1]);
        }
        marks[i] = ' ';
    }
}

// Releases what one record owns apart from its children and siblings; a root's record and
// storage wait until the walk is over (its elements live there).
void release_owned(xmltree *xml) {
    attr_list_release(xml->attr);
    xml->attr = XMLTREE_NIL;
    if ((xml->flags & XMLTREE_TEXT_OWNED) != 0) {
        std::free(xml->txt);
        xml->txt = empty_text;
    }
    if ((xml->flags & XMLTREE_NAME_OWNED) != 0) {
        std::free(xml->name);
        xml->name = nullptr;
    }
    xml->flags &= static_cast<std::uint16_t>(~(XMLTREE_TEXT_OWNED | XMLTREE_NAME_OWNED));
}

void release_root(xmltree *xml) {
    xmltree_root *root = root_of_record(xml);
    delete root->data;
    storage_release(&root->store);
    delete root;
}

xmltree *new_element(xmltree *parent, const char *name) {
    void *piece = storage_record(storage_of(parent), sizeof(xmltree));
    if (piece == nullptr) {
        return nullptr;
    }
    auto *xml = new (piece) xmltree{};
    xml->name = const_cast<char *>(name);
    xml->attr = XMLTREE_NIL;
    xml->txt = empty_text;
    return xml;
}

//=== writer ===//

// Bytes the writer escapes: bit 0 in attribute mode, bit 1 in text mode.
struct escape_table {
    unsigned char mode[256];
    constexpr escape_table() : mode() {
        mode[static_cast<unsigned char>('&')] = 3;
        mode[static_cast<unsigned char>('<')] = 3;
        mode[static_cast<unsigned char>('>')] = 3;
        mode[static_cast<unsigned char>('\r')] = 3;
        mode[static_cast<unsigned char>('"')] = 1;
        mode[static_cast<unsigned char>('\n')] = 1;
        mode[static_cast<unsigned char>('\t')] = 1;
        mode[0] = 3; // a zero byte ends the text
    }
};
constexpr escape_table escapes;

const char *escape_of(char c) {
    switch (c) {
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    case '\r':
        return "&#xD;";
    case '"':
        return "&quot;";
    case '\n':
        return "&#xA;";
    default:
        return "&#x9;";
    }
}

// Builds the whole text in one heap block that doubles when full (large blocks grow by
// remapping, without copying); after a failed allocation it stays failed and drops the rest.
class grow_out {
public:
    grow_out()
        : data_(static_cast<char *>(std::malloc(start))), cap_(data_ != nullptr ? start : 0) {}
    ~grow_out() { std::free(data_); }
    grow_out(const grow_out &) = delete;
    grow_out &operator=(const grow_out &) = delete;

    void put(const char *s, std::size_t n) {
        if (room(n)) {
            std::memcpy(data_ + len_, s, n);
            len_ += n;
        }
    }
    void blanks(std::size_t n) {
        if (room(n)) {
            std::memset(data_ + len_, ' ', n);
            len_ += n;
        }
    }
    // The terminated text, shrunk to its length; null after a failed allocation.
    char *release() {
        if (data_ == nullptr || !room(0)) {
            return nullptr;
        }
        data_[len_] = '\0';
        char *out = static_cast<char *>(std::realloc(data_, len_ + 1));
        if (out == nullptr) {
            out = data_; // shrinking failed: the larger block is still valid
        }
        data_ = nullptr;
        return out;
    }

private:
    static constexpr std::size_t start = 1024;

    // True when n more bytes and the terminator fit, growing if needed.
    bool room(std::size_t n) {
        if (data_ == nullptr) {
            return false;
        }
        if (cap_ - len_ > n) {
            return true;
        }
        std::size_t want = cap_ * 2;
        if (want - len_ <= n) {
            want = len_ + n + start;
        }
        char *grown = static_cast<char *>(std::realloc(data_, want));
        if (grown == nullptr) {
            std::free(data_);
            data_ = nullptr;
            return false;
        }
        data_ = grown;
        cap_ = want;
        return true;
    }

    char *data_;
    std::size_t cap_;
    std::size_t len_ = 0;
};

// Gathers the text in pieces of one fixed buffer and hands each full piece to the sink; after a
// sink failure every further write is dropped.
class sink_out {
public:
    static constexpr std::size_t piece = std::size_t{64} * 1024;

    sink_out(xmltree_sink sink, void *context) : sink_(sink), context_(context) {}
    void put(const char *s, std::size_t n) {
        while (n > 0 && ok_) {
            if (len_ == piece) {
                flush();
                continue;
            }
            const std::size_t room = piece - len_;
            const std::size_t take = n < room ? n : room;
            std::memcpy(buf_ + len_, s, take);
            len_ += take;
            s += take;
            n -= take;
        }
    }
    void blanks(std::size_t n) {
        static const char spaces[64] = {
            ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
            ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
            ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
            ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
        while (n > 0 && ok_) {
            const std::size_t take = n < sizeof spaces ? n : sizeof spaces;
            put(spaces, take);
            n -= take;
        }
    }
    bool finish() {
        if (ok_ && len_ > 0) {
            flush();
        }
        return ok_;
    }

private:
    void flush() {
        ok_ = sink_(context_, buf_, len_);
        len_ = 0;
    }

    xmltree_sink sink_;
    void *context_;
    bool ok_ = true;
    std::size_t len_ = 0;
    char buf_[piece];
};

template <class Out> void put_text(Out &out, const char *s) {
    out.put(s, std::strlen(s));
}

// Escapes bytes [s, s + n), stopping at a zero byte; attribute mode also escapes the double
// quote, tab and newline so that values survive attribute-value normalisation.
template <class Out> void put_escaped(Out &out, const char *s, std::size_t n, bool attribute) {
    const unsigned char bit = attribute ? 1 : 2;
    const char *end = s + n;
    const char *run = s;
    const char *p = s;
    for (; p < end; ++p) {
        if ((escapes.mode[static_cast<unsigned char>(*p)] & bit) == 0) {
            continue;
        }
        if (*p == '\0') {
            break;
        }
        out.put(run, static_cast<std::size_t>(p - run));
        put_text(out, escape_of(*p));
        run = p + 1;
    }
    out.put(run, static_cast<std::size_t>(p - run));
}

template <class Out> void put_escaped(Out &out, const char *s, bool attribute) {
    put_escaped(out, s, std::strlen(s), attribute);
}

template <class Out> void put_attribute(Out &out, const char *name, const char *value) {
    out.put(" ", 1);
    put_text(out, name);
    out.put("=\"", 2);
    put_escaped(out, value, true);
    out.put("\"", 1);
}

// Part [from, to) of a parent's character content, clamped to the content's length.
template <class Out> void put_content(Out &out, const char *txt, std::size_t from, std::size_t to) {
    if (txt[0] == '\0') {
        return; // the usual case: no content at all
    }
    const std::size_t len = std::strlen(txt);
    if (to > len) {
        to = len;
    }
    if (from >= to) {
        return;
    }
    put_escaped(out, txt + from, to - from, false);
}

// True when an earlier pair carries the same name with another value: the value a lookup gives
// is that earlier one, so this pair is not written.
bool shadowed(char *const *attr, std::size_t i) {
    for (std::size_t j = 0; j < i; ++j) {
        if (attr[2 * j + 1] != attr[2 * i + 1] && std::strcmp(attr[2 * j], attr[2 * i]) == 0) {
            return true;
        }
    }
    return false;
}

template <class Out>
void put_open_tag(Out &out, const xmltree *xml, std::size_t depth, const document_data *doc,
                  bool open) {
    out.blanks(4 * depth);
    out.put("<", 1);
    put_text(out, xml->name);
    for (std::size_t i = 0; xml->attr[2 * i] != nullptr; ++i) {
        // A repeated name is written once, with the value a lookup gives.
        if (!shadowed(xml->attr, i)) {
            put_attribute(out, xml->attr[2 * i], xml->attr[2 * i + 1]);
        }
    }
    if (doc != nullptr) {
        for (const attr_default &d : doc->defaults) {
            if (d.element != xml->name || xmltree_attr(xml, d.attr.c_str()) != d.value.c_str()) {
                continue;
            }
            put_attribute(out, d.attr.c_str(), d.value.c_str());
        }
    }
    if (open) {
        out.put(">\n", 2);
    } else {
        out.put("/>\n", 3);
        put_escaped(out, xml->txt, false);
    }
}

template <class Out> void put_close_tag(Out &out, const xmltree *xml, std::size_t depth) {
    out.blanks(4 * depth);
    out.put("</", 2);
    put_text(out, xml->name);
    out.put(">\n", 2);
}

// Writes `top` and its descendants (not its following siblings), top at depth `base`, without
// recursion, so that a deeply nested document cannot exhaust the stack.
template <class Out>
void put_subtree(Out &out, const xmltree *top, const document_data *doc, std::size_t base = 0) {
    const xmltree *xml = top;
    std::size_t depth = base;
    std::size_t content_from = 0; // where the parent's content not yet written starts
    for (;;) {
        if (xml != top) {
            put_content(out, xml->parent->txt, content_from, xml->off);
            content_from = xml->off;
        }
        put_open_tag(out, xml, depth, doc, xml->child != nullptr);
        if (xml->child != nullptr) {
            xml = xml->child;
            ++depth;
            content_from = 0;
            continue;
        }
        for (;;) {
            if (xml == top) {
                return;
            }
            if (xml->ordered != nullptr) {
                xml = xml->ordered;
                break;
            }
            const xmltree *parent = xml->parent;
            put_content(out, parent->txt, content_from, static_cast<std::size_t>(-1));
            --depth;
            put_close_tag(out, parent, depth);
            xml = parent;
            content_from = (xml != top && xml->parent != nullptr) ? xml->off : 0;
        }
    }
}

template <class Out> void put_instruction(Out &out, const instruction &pi) {
    put_text(out, pi.target.c_str());
    if (!pi.content.empty()) {
        out.put(" ", 1);
    }
    put_text(out, pi.content.c_str());
}

// The whole text: a root's instructions around its tree, or a subtree alone.
template <class Out> void put_document(Out &out, const xmltree *xml) {
    if (xml == nullptr || xml->name == nullptr) {
        return;
    }
    const document_data *doc = document_of(xml);
    const bool is_root = xml->parent == nullptr;
    if (is_root && doc != nullptr) {
        for (const instruction &pi : doc->instructions) {
            if (!pi.after_root) {
                out.put("<?", 2);
                put_instruction(out, pi);
                out.put("?>\n", 3);
            }
        }
    }
    put_subtree(out, xml, doc);
    if (is_root && doc != nullptr) {
        for (const instruction &pi : doc->instructions) {
            if (pi.after_root) {
                out.put("\n<?", 3);
                put_instruction(out, pi);
                out.put("?>", 2);
            }
        }
    }
}

bool contains(const xmltree *outer, const xmltree *inner) {
    if (outer == inner) {
        return true;
    }
    if (outer->child == nullptr) {
        return false; // a childless element has nothing below it: no walk up a deep chain
    }
    for (; inner != nullptr; inner = inner->parent) {
        if (inner == outer) {
            return true;
        }
    }
    return false;
}

} // namespace

//=== creation and insertion ===//

xmltree *xmltree_new(const char *name) {
    // Left uninitialised (4 KB of recent-text slots) but for what storage_clear clears.
    auto *root = new (std::nothrow) xmltree_root;
    if (root == nullptr) {
        log_out_of_memory("Unable to allocate memory for xml document");
        return nullptr;
    }
    root->element = xmltree{};
    root->element.name = const_cast<char *>(name);
    root->element.attr = XMLTREE_NIL;
    root->element.txt = empty_text;
    root->element.flags = XMLTREE_DOCUMENT;
    root->data = nullptr;
    storage_clear(&root->store);
    return &root->element;
}

xmltree *xmltree_add_child(xmltree *parent, const char *name, std::size_t off) {
    if (parent == nullptr) {
        return nullptr;
    }
    xmltree *xml = new_element(parent, name);
    if (xml == nullptr) {
        log_out_of_memory("Unable to allocate memory for xml element");
        return nullptr;
    }
    return xmltree_insert(xml, parent, off);
}

xmltree *xmltree_insert(xmltree *xml, xmltree *dest, std::size_t off) {
    if (xml == nullptr || dest == nullptr) {
        return nullptr;
    }
    if (xml->parent != nullptr || contains(xml, dest)) {
        // Linking an element twice, or under itself, would make the tree a cycle.
        log_error("Unable to insert xml element: it already has a parent or contains the target");
        return nullptr;
    }
    if ((xml->flags & XMLTREE_DOCUMENT) != 0) {
        // Once inside another document, a root's own defaults no longer apply.
        xmltree_root *root = root_of_record(xml);
        delete root->data;
        root->data = nullptr;
        // The document it joins must find it when it is released.
        storage_of(dest)->needs_walk = true;
    }
    xml->next = nullptr;
    xml->sibling = nullptr;
    xml->ordered = nullptr;
    xml->group_last = nullptr;
    xml->off = off;
    xml->parent = dest;

    xml->group_last = xml;
    xmltree *head = dest->child;
    if (head == nullptr) {
        dest->child = xml;
        dest->last = xml;
        return xml;
    }

    // Document order: after the last child whose offset is at most `off`. Appending (the usual
    // case, offsets never decreasing) goes straight to the end, so building is linear.
    if (head->off > off) {
        xml->ordered = head;
        dest->child = xml;
    } else if (dest->last != nullptr && dest->last->off <= off) {
        dest->last->ordered = xml;
        dest->last = xml;
    } else {
        xmltree *cur = head;
        while (cur->ordered != nullptr && cur->ordered->off <= off) {
            cur = cur->ordered;
        }
        xml->ordered = cur->ordered;
        cur->ordered = xml;
        if (xml->ordered == nullptr) {
            dest->last = xml;
        }
    }

    // Same-name groups: the chain of group heads starts at the old first child.
    xmltree *groups = head;
    xmltree *prev = nullptr;
    xmltree *cur = groups;
    while (cur != nullptr && std::strcmp(cur->name, xml->name) != 0) {
        prev = cur;
        cur = cur->sibling;
    }
    if (cur != nullptr && cur->off <= off) {
        xmltree *group = cur;
        xml->group_last = nullptr;
        if (group->group_last != nullptr && group->group_last->off <= off) {
            cur = group->group_last;
        } else {
            while (cur->next != nullptr && cur->next->off <= off) {
                cur = cur->next;
            }
        }
        xml->next = cur->next;
        cur->next = xml;
        if (xml->next == nullptr) {
            group->group_last = xml;
        }
        return xml;
    }
    if (cur != nullptr) {
        // The old head moves into the group's next chain and leaves the chain of heads.
        if (prev != nullptr) {
            prev->sibling = cur->sibling;
        } else {
            groups = cur->sibling;
        }
        cur->sibling = nullptr;
        xml->next = cur;
        xml->group_last = cur->group_last != nullptr ? cur->group_last : cur;
        cur->group_last = nullptr;
    }
    prev = nullptr;
    cur = groups;
    while (cur != nullptr && cur->off <= off) {
        prev = cur;
        cur = cur->sibling;
    }
    xml->sibling = cur;
    if (prev != nullptr) {
        prev->sibling = xml;
    }
    return xml;
}

//=== flags and attributes ===//

xmltree *xmltree_set_flag(xmltree *xml, std::uint16_t flags) {
    if (xml == nullptr) {
        return nullptr;
    }
    // The document bit describes how the record was allocated; callers cannot change it.
    xml->flags |= static_cast<std::uint16_t>(flags & ~XMLTREE_DOCUMENT);
    if ((flags & (XMLTREE_TEXT_OWNED | XMLTREE_NAME_OWNED)) != 0) {
        storage_of(xml)->needs_walk = true;
    }
    return xml;
}

xmltree *xmltree_set_attr(xmltree *xml, const char *name, const char *value) {
    if (xml == nullptr) {
        return nullptr;
    }
    const bool handover = (xml->flags & XMLTREE_HANDOVER) != 0;
    xml->flags &= static_cast<std::uint16_t>(~XMLTREE_HANDOVER);
    if (handover) {
        storage_of(xml)->needs_walk = true; // the tree may now own heap texts
    }
    if (name == nullptr) {
        if (handover) {
            std::free(const_cast<char *>(value));
        }
        return xml;
    }

    const std::size_t pairs = xml->attr == XMLTREE_NIL ? 0 : attr_pairs(xml->attr);
    const std::size_t i = pairs == 0 ? 0 : list_find(xml->attr, name, std::strlen(name));

    if (i == pairs) {
        if (value == nullptr) {
            if (handover) {
                std::free(const_cast<char *>(name));
            }
            return xml;
        }
        const char mark =
            static_cast<char>(handover ? XMLTREE_MARK_VALUE | XMLTREE_MARK_NAME : ' ');
        if (!list_append(xml, const_cast<char *>(name), const_cast<char *>(value), mark)) {
            if (handover) {
                std::free(const_cast<char *>(name));
                std::free(const_cast<char *>(value));
            }
            log_out_of_memory("Unable to allocate memory for xml attribute");
            return nullptr;
        }
        return xml;
    }

    char *marks = attr_marks(xml->attr, pairs);
    auto owned = static_cast<unsigned char>(static_cast<unsigned char>(marks[i]) &
                                            (XMLTREE_MARK_NAME | XMLTREE_MARK_VALUE));
    if (handover) {
        // The existing name stays; the handed-over copy is not needed.
        std::free(const_cast<char *>(name));
    }
    if ((owned & XMLTREE_MARK_VALUE) != 0 && xml->attr[2 * i + 1] != value) {
        std::free(xml->attr[2 * i + 1]);
    }
    owned = static_cast<unsigned char>(handover ? (owned | XMLTREE_MARK_VALUE)
                                                : (owned & ~XMLTREE_MARK_VALUE));
    const unsigned char mark = owned != 0 ? owned : static_cast<unsigned char>(' ');
    if (value != nullptr) {
        xml->attr[2 * i + 1] = const_cast<char *>(value);
        marks[i] = static_cast<char>(mark);
        return xml;
    }

    // Removal: release the name if owned, close the gap in the pairs and in the mark text (the
    // marks stay where the list's capacity puts them).
    if ((owned & XMLTREE_MARK_NAME) != 0) {
        std::free(xml->attr[2 * i]);
    }
    std::memmove(&xml->attr[2 * i], &xml->attr[2 * i + 2],
                 (2 * (pairs - i - 1) + 2) * sizeof(char *));
    std::memmove(&marks[i], &marks[i + 1], pairs - i); // includes the terminator
    if (pairs == 1) {
        xml->attr = XMLTREE_NIL; // the list's bytes go with the document
    }
    return xml;
}

xmltree *xmltree_set_attr_copy(xmltree *xml, const char *name, std::size_t name_len,
                               const char *value, std::size_t value_len) {
    if (xml == nullptr || (name == nullptr && name_len != 0) ||
        (value == nullptr && value_len != 0)) {
        return nullptr;
    }
    // An empty text may come as a null pointer (an empty view).
    name = name == nullptr ? empty_text : name;
    value = value == nullptr ? empty_text : value;
    storage *s = storage_of(xml);
    const char *value_copy = storage_text(s, value, value_len);
    if (value_copy == nullptr) {
        log_out_of_memory("Unable to allocate memory for xml attribute");
        return nullptr;
    }
    const std::size_t pairs = xml->attr == XMLTREE_NIL ? 0 : attr_pairs(xml->attr);
    const std::size_t i = pairs == 0 ? 0 : list_find(xml->attr, name, name_len);
    if (i < pairs) {
        char *marks = attr_marks(xml->attr, pairs);
        auto mark = static_cast<unsigned char>(marks[i]);
        if ((mark & XMLTREE_MARK_VALUE) != 0) {
            std::free(xml->attr[2 * i + 1]);
            mark = static_cast<unsigned char>(mark & ~XMLTREE_MARK_VALUE);
        }
        xml->attr[2 * i + 1] = const_cast<char *>(value_copy);
        marks[i] = static_cast<char>((mark & XMLTREE_MARK_NAME) != 0 ? mark : ' ');
        return xml;
    }
    const char *name_copy = storage_text(s, name, name_len);
    if (name_copy == nullptr ||
        !list_append(xml, const_cast<char *>(name_copy), const_cast<char *>(value_copy), ' ')) {
        log_out_of_memory("Unable to allocate memory for xml attribute");
        return nullptr;
    }
    return xml;
}

const char *xmltree_attr(const xmltree *xml, const char *name) {
    if (xml == nullptr || name == nullptr || xml->attr == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; xml->attr[2 * i] != nullptr; ++i) {
        if (std::strcmp(xml->attr[2 * i], name) == 0) {
            return xml->attr[2 * i + 1];
        }
    }
    const document_data *doc = document_of(xml);
    if (doc == nullptr || xml->name == nullptr) {
        return nullptr;
    }
    for (const attr_default &d : doc->defaults) {
        if (d.element == xml->name && d.attr == name) {
            return d.value.c_str();
        }
    }
    return nullptr;
}

//=== document-only data ===//

bool xmltree_add_default(xmltree *root, const char *element, const char *attr, const char *value) {
    if (root == nullptr || root->parent != nullptr || (root->flags & XMLTREE_DOCUMENT) == 0 ||
        element == nullptr || attr == nullptr || value == nullptr) {
        return false;
    }
    try {
        xmltree_root *r = root_of_record(root);
        if (r->data == nullptr) {
            r->data = new document_data{};
        }
        r->data->defaults.push_back(attr_default{element, attr, value});
    } catch (const std::bad_alloc &) {
        log_out_of_memory("Unable to allocate memory for xml attribute default");
        return false;
    }
    return true;
}

bool xmltree_add_instruction(xmltree *root, const char *target, const char *content,
                             bool after_root) {
    if (root == nullptr || root->parent != nullptr || (root->flags & XMLTREE_DOCUMENT) == 0 ||
        target == nullptr) {
        return false;
    }
    try {
        xmltree_root *r = root_of_record(root);
        if (r->data == nullptr) {
            r->data = new document_data{};
        }
        r->data->instructions.push_back(
            instruction{target, content != nullptr ? content : "", after_root});
    } catch (const std::bad_alloc &) {
        log_out_of_memory("Unable to allocate memory for xml processing instruction");
        return false;
    }
    return true;
}

//=== release ===//

void xmltree_free(xmltree *xml) {
    if (teardown_skipped()) {
        return; // the process is exiting: its pages go back all at once
    }
    // Walk the document-order chain; each element's children are spliced in right after it, so
    // the whole forest goes without recursion or extra memory. Roots met on the way (the start
    // and any inserted document) keep their records and storage until the walk is over, chained
    // through their no longer needed parent links.
    if (xml != nullptr && xml->parent == nullptr && (xml->flags & XMLTREE_DOCUMENT) != 0 &&
        !root_of_record(xml)->store.needs_walk) {
        // Nothing in the document owns memory of its own: its storage goes in one sweep.
        release_root(xml);
        return;
    }
    xmltree *roots = nullptr;
    while (xml != nullptr) {
        if (xml->child != nullptr) {
            xmltree *last = xml->child;
            while (last->ordered != nullptr) {
                last = last->ordered;
            }
            last->ordered = xml->ordered;
            xml->ordered = xml->child;
            xml->child = nullptr;
        }
        xmltree *following = xml->ordered;
        release_owned(xml);
        if ((xml->flags & XMLTREE_DOCUMENT) != 0) {
            xml->parent = roots;
            roots = xml;
        }
        xml = following;
    }
    while (roots != nullptr) {
        xmltree *next = roots->parent;
        release_root(roots);
        roots = next;
    }
}

//=== writer ===//

bool xmltree_write_beautify(const xmltree *xml, xmltree_sink sink, void *context) {
    if (sink == nullptr) {
        return false;
    }
    // The one piece buffer of the run lives on the stack: nothing to allocate, nothing to fail.
    sink_out out(sink, context);
    put_document(out, xml);
    return out.finish();
}

bool xmltree_write_beautify_at(const xmltree *xml, std::size_t depth, xmltree_sink sink,
                               void *context) {
    if (sink == nullptr) {
        return false;
    }
    sink_out out(sink, context);
    if (xml != nullptr && xml->name != nullptr) {
        put_subtree(out, xml, nullptr, depth);
    }
    return out.finish();
}

bool xmltree_write_start_tag(const xmltree *xml, std::size_t depth, bool open, xmltree_sink sink,
                             void *context) {
    if (sink == nullptr || xml == nullptr || xml->name == nullptr) {
        return false;
    }
    sink_out out(sink, context);
    put_open_tag(out, xml, depth, nullptr, open);
    return out.finish();
}

bool xmltree_write_end_tag(const xmltree *xml, std::size_t depth, xmltree_sink sink,
                           void *context) {
    if (sink == nullptr || xml == nullptr || xml->name == nullptr) {
        return false;
    }
    sink_out out(sink, context);
    put_close_tag(out, xml, depth);
    return out.finish();
}

char *xmltree_toxml_beautify(const xmltree *xml) {
    grow_out out;
    put_document(out, xml);
    char *text = out.release();
    if (text == nullptr) {
        log_out_of_memory("Unable to allocate memory for xml text");
    }
    return text;
}
