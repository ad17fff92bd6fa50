// Growable NUL-terminated byte string with non-owning views.
#include "base/idlstring.hpp"

#include "base/arch.hpp"
#include "base/glog.hpp"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t view_capacity = UINT64_MAX;
constexpr uint32_t convert_limit = 254;
// Buffers this large hold whole texts: they are filled through huge pages where possible.
constexpr uint64_t huge_buffer = uint64_t{4} << 20;

void *default_realloc(void *p, size_t size) {
    return std::realloc(p, size);
}

idl_string_realloc_fn resize_fn = default_realloc;

void log_no_memory() {
    glog_error("Unable to allocate memory");
}
void log_out_of_memory() {
    glog_fatal("Out of memory: Unable to allocate memory");
}
void log_borrowed() {
    glog_error("Unable to change a borrowed string");
}
void log_bad_range() {
    glog_error("String position out of range");
}

idl_string empty_result() {
    return idl_string{nullptr, 0, 0, false};
}

idl_string view_of(char *data, uint64_t len) {
    return idl_string{data, len, view_capacity, true};
}

// Allocates a new owning string of n bytes copied from `bytes` (capacity n + 1); logs at the
// fatal level and returns the empty result when memory runs out.
idl_string owned_copy(const char *bytes, uint64_t n) {
    if (n >= SIZE_MAX) {
        log_out_of_memory();
        return empty_result();
    }
    auto *data = static_cast<char *>(resize_fn(nullptr, static_cast<size_t>(n + 1)));
    if (data == nullptr) {
        log_out_of_memory();
        return empty_result();
    }
    if (n > 0)
        std::memcpy(data, bytes, n);
    data[n] = 0;
    return idl_string{data, n, n + 1, false};
}

// Makes room for n more bytes and the terminator. Grows to 2 x capacity + extra bytes, where
// extra is n + 1 (2 for a single byte, which is the same). False, logged once, with the string
// unchanged when the string is a view, the size overflows or the reallocation fails.
bool reserve(idl_string *s, uint64_t n) {
    if (s->borrowed) {
        log_borrowed();
        return false;
    }
    if (n > UINT64_MAX - 1 - s->len) {
        log_no_memory();
        return false;
    }
    const uint64_t needed = s->len + n + 1;
    if (needed <= s->capacity)
        return true;
    if (s->capacity > (UINT64_MAX - n - 1) / 2) {
        log_no_memory();
        return false;
    }
    const uint64_t capacity = 2 * s->capacity + n + 1;
    if (capacity > SIZE_MAX) {
        log_no_memory();
        return false;
    }
    auto *data = static_cast<char *>(resize_fn(s->data, static_cast<size_t>(capacity)));
    if (data == nullptr) {
        log_no_memory();
        return false;
    }
    // A fresh buffer (from the all-zero record) needs its terminator before bytes are appended.
    if (s->data == nullptr)
        data[0] = 0;
    if (capacity >= huge_buffer)
        arch_hint_huge_pages(data, static_cast<size_t>(capacity)); // a whole file's text
    s->data = data;
    s->capacity = capacity;
    return true;
}

bool valid_source(const char *bytes, uint64_t n) {
    if (bytes == nullptr && n > 0) {
        glog_error("Unable to copy from a null text");
        return false;
    }
    return true;
}

void terminate(idl_string *s) {
    s->data[s->len] = 0;
}

uint64_t clamp(uint64_t v, uint64_t limit) {
    return v < limit ? v : limit;
}

} // namespace

idl_string_realloc_fn idl_string_set_realloc(idl_string_realloc_fn fn) {
    idl_string_realloc_fn previous = resize_fn;
    resize_fn = fn != nullptr ? fn : default_realloc;
    return previous;
}

bool idl_string_append_set(idl_string *s, char fill, uint64_t n) {
    if (!reserve(s, n))
        return false;
    if (n > 0)
        std::memset(s->data + s->len, fill, n);
    s->len += n;
    terminate(s);
    return true;
}

bool idl_string_append_char(idl_string *s, char c) {
    if (!reserve(s, 1))
        return false;
    s->data[s->len++] = c;
    terminate(s);
    return true;
}

bool idl_string_reserve(idl_string *s, uint64_t n) {
    return reserve(s, n);
}

bool idl_string_append_string(idl_string *s, const char *bytes, uint64_t n) {
    if (!valid_source(bytes, n))
        return false;
    // The source may lie inside this string's own buffer, which growth can move.
    const bool inside = bytes != nullptr && s->data != nullptr && bytes >= s->data &&
                        bytes < s->data + s->capacity && !s->borrowed;
    const uint64_t at = inside ? static_cast<uint64_t>(bytes - s->data) : 0;
    if (!reserve(s, n))
        return false;
    if (inside)
        bytes = s->data + at;
    if (n > 0)
        std::memmove(s->data + s->len, bytes, n);
    s->len += n;
    terminate(s);
    return true;
}

bool idl_string_append_string2(idl_string *s, const idl_string *other) {
    return idl_string_append_string(s, other->data, other->len);
}

bool idl_string_append_format(idl_string *s, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int measured = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (measured < 0) {
        glog_error("Unable to format text");
        return false;
    }
    const auto n = static_cast<uint64_t>(measured);
    if (!reserve(s, n))
        return false;
    va_start(args, format);
    std::vsnprintf(s->data + s->len, static_cast<size_t>(n + 1), format, args);
    va_end(args);
    s->len += n;
    return true;
}

char *idl_string_copy(idl_string *s, const char *bytes, uint64_t n) {
    if (s->borrowed) {
        log_borrowed();
        return nullptr;
    }
    if (n >= s->capacity) {
        log_bad_range();
        return nullptr;
    }
    if (!valid_source(bytes, n))
        return nullptr;
    if (n > 0)
        std::memmove(s->data, bytes, n);
    s->len = n;
    terminate(s);
    return s->data;
}

char *idl_string_set(idl_string *s, char fill, uint64_t position) {
    if (s->len == 0)
        return s->data;
    std::memset(s->data, fill, s->len);
    // The line break goes only inside the string, so an empty line never writes before its data.
    if (position < s->len)
        s->data[position] = '\n';
    return s->data;
}

idl_string idl_string_lstrip(const idl_string *s) {
    uint64_t i = 0;
    while (i < s->len && std::isspace(static_cast<unsigned char>(s->data[i])) != 0)
        ++i;
    return view_of(s->data + i, s->len - i);
}

idl_string idl_string_token_by_char2(const idl_string *s, char c, uint64_t *offset) {
    if (s->data == nullptr)
        return empty_result();
    const char *start = s->data + *offset;
    const char *found = nullptr;
    if (s->borrowed) {
        // A view's bytes run on past its length up to the owner's terminator.
        found = c == 0 ? nullptr : std::strchr(start, c);
    } else if (*offset < s->len) {
        found = static_cast<const char *>(std::memchr(start, c, s->len - *offset));
    }
    if (found == nullptr)
        return empty_result();
    const auto n = static_cast<uint64_t>(found - start) + 1;
    idl_string line = view_of(s->data + *offset, n);
    *offset += n;
    return line;
}

idl_string idl_string_token_by_char(const idl_string *s, char c, idl_string *cont) {
    char *start = s != nullptr ? s->data : cont->data;
    if (start == nullptr || c == 0)
        return empty_result();
    char *found = std::strchr(start, c);
    if (found == nullptr)
        return empty_result();
    const auto n = static_cast<uint64_t>(found - start) + 1;
    *cont = view_of(found + 1, 0);
    return view_of(start, n);
}

idl_string idl_string_divide(idl_string *s, uint64_t position) {
    position = clamp(position, s->len);
    idl_string tail = owned_copy(s->data + position, s->len - position);
    if (tail.data == nullptr)
        return tail;
    if (!s->borrowed) {
        s->len = position;
        terminate(s);
    }
    return tail;
}

idl_string idl_string_concat_path(const idl_string *a, const idl_string *b) {
    if (a->len > UINT64_MAX - 2 || b->len > UINT64_MAX - 2 - a->len ||
        a->len + b->len + 2 > SIZE_MAX) {
        log_out_of_memory();
        return empty_result();
    }
    const uint64_t len = a->len + 1 + b->len;
    auto *data = static_cast<char *>(resize_fn(nullptr, static_cast<size_t>(len + 1)));
    if (data == nullptr) {
        log_out_of_memory();
        return empty_result();
    }
    if (a->len > 0)
        std::memcpy(data, a->data, a->len);
    data[a->len] = '/';
    if (b->len > 0)
        std::memcpy(data + a->len + 1, b->data, b->len);
    data[len] = 0;
    return idl_string{data, len, len + 1, false};
}

idl_string idl_string_strdup(const char *bytes, uint64_t n) {
    if (!valid_source(bytes, n))
        return empty_result();
    return owned_copy(bytes, n);
}

idl_string idl_string_upper(const idl_string *s) {
    idl_string copy = owned_copy(s->data, s->len);
    for (uint64_t i = 0; i < copy.len; ++i) {
        copy.data[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(copy.data[i])));
    }
    return copy;
}

bool idl_string_overwrite(idl_string *s, uint64_t from, uint64_t to, const char *bytes,
                          uint64_t n) {
    if (from > to || to > s->len) {
        log_bad_range();
        return false;
    }
    if (!valid_source(bytes, n))
        return false;
    const uint64_t r = to - from;
    if (n > r) {
        // Room is asked for all n bytes, as if nothing were replaced.
        if (!reserve(s, n))
            return false;
        std::memmove(s->data + from + n, s->data + to, s->len - to + 1);
        std::memcpy(s->data + from, bytes, n);
    } else {
        if (s->borrowed) {
            log_borrowed();
            return false;
        }
        if (n > 0)
            std::memmove(s->data + from, bytes, n);
        if (n < r)
            std::memmove(s->data + from + n, s->data + to, s->len - to + 1);
    }
    s->len = s->len - r + n;
    terminate(s);
    return true;
}

bool idl_string_insert(idl_string *s, uint64_t position, const char *bytes, uint64_t n) {
    if (position > s->len) {
        log_bad_range();
        return false;
    }
    return idl_string_overwrite(s, position, position, bytes, n);
}

void idl_string_remove(idl_string *s, uint64_t from, uint64_t to) {
    if (s->borrowed || s->data == nullptr)
        return;
    to = clamp(to, s->len);
    from = clamp(from, to);
    std::memmove(s->data + from, s->data + to, s->len - to + 1);
    s->len -= to - from;
}

void idl_string_remove_from_start(idl_string *s, uint64_t n) {
    idl_string_remove(s, 0, n);
}

void idl_string_remove_from_end(idl_string *s, uint64_t n) {
    if (s->borrowed || s->data == nullptr)
        return;
    s->len -= clamp(n, s->len);
    terminate(s);
}

void idl_string_clear(idl_string *s) {
    if (s->borrowed || s->data == nullptr)
        return;
    s->len = 0;
    terminate(s);
}

void idl_string_shrink_to_fit(idl_string *s) {
    if (s == nullptr || s->borrowed || s->data == nullptr || s->capacity <= s->len + 1)
        return;
    // A failed shrink leaves the larger block in place, which is still a valid string.
    if (auto *fit = static_cast<char *>(resize_fn(s->data, static_cast<size_t>(s->len + 1)))) {
        s->data = fit;
        s->capacity = s->len + 1;
    }
}

void idl_string_free(idl_string *s) {
    if (s == nullptr)
        return;
    if (!s->borrowed)
        std::free(s->data);
    *s = empty_result();
}

idl_string *idl_string_create(uint64_t capacity) {
    if (capacity == 0)
        capacity = 1;
    auto *s = static_cast<idl_string *>(resize_fn(nullptr, sizeof(idl_string)));
    char *data = capacity <= SIZE_MAX ? static_cast<char *>(resize_fn(nullptr, capacity)) : nullptr;
    if (s == nullptr || data == nullptr) {
        std::free(s);
        std::free(data);
        log_no_memory();
        return nullptr;
    }
    std::memset(data, 0, static_cast<size_t>(capacity));
    *s = idl_string{data, 0, capacity, false};
    return s;
}

void idl_string_destroy(idl_string *s) {
    if (s == nullptr)
        return;
    idl_string_free(s);
    std::free(s);
}

bool idl_convert_to_string(const char *bytes, uint32_t n, char *dest) {
    if (n > convert_limit) {
        glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "String Buffer Overflow\n");
        return false;
    }
    if (n > 0)
        std::strncpy(dest, bytes, n);
    return true;
}
