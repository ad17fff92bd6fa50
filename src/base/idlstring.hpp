// Growable NUL-terminated byte string with non-owning views, used to rewrite source text in place.
#pragma once

#include <cstddef>
#include <cstdint>

/// Byte string: owning (frees `data`) or a borrowed view into another string's bytes.
struct idl_string {
    char *data;        ///< the bytes; data[len] == 0 for strings this module builds or changes
    uint64_t len;      ///< bytes before the terminator
    uint64_t capacity; ///< allocation size, terminator included; UINT64_MAX for a view
    bool borrowed;     ///< true for a view, which owns nothing and is never grown or freed here
};

/// Resize function every allocation of this module goes through (realloc semantics; blocks are
/// released with `free`).
using idl_string_realloc_fn = void *(*)(void *p, size_t size);
/// Replaces the resize function (null restores `realloc`); returns the previous one.
idl_string_realloc_fn idl_string_set_realloc(idl_string_realloc_fn fn);

/// Appends n copies of `fill`, growing as needed; false (logged, string unchanged) on failure.
[[nodiscard]] bool idl_string_append_set(idl_string *s, char fill, uint64_t n);
/// Makes room for n more bytes, so that appending them does not move the text; false (logged)
/// when memory runs out or s is a view.
[[nodiscard]] bool idl_string_reserve(idl_string *s, uint64_t n);
/// Appends one byte, growing as needed; false (logged, string unchanged) on failure.
[[nodiscard]] bool idl_string_append_char(idl_string *s, char c);
/// Appends n bytes, growing as needed; false (logged, string unchanged) on failure.
[[nodiscard]] bool idl_string_append_string(idl_string *s, const char *bytes, uint64_t n);
/// Appends `other`'s data and len; false (logged, string unchanged) on failure.
[[nodiscard]] bool idl_string_append_string2(idl_string *s, const idl_string *other);
/// Appends printf-style text, growing as needed; false (logged, string unchanged) on failure.
[[nodiscard]] bool idl_string_append_format(idl_string *s, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
/// Copies n bytes to the start and terminates (no growth); `data`, or null (logged, unchanged)
/// when n + 1 exceeds the capacity or the string is a view.
[[nodiscard]] char *idl_string_copy(idl_string *s, const char *bytes, uint64_t n);
/// Overwrites all len bytes with `fill`, then stores "\n" at `position` when position < len;
/// works on views too (len unchanged); returns `data`.
char *idl_string_set(idl_string *s, char fill, uint64_t position);
/// View of `s` without leading white space (length 0 at the end when all blank).
[[nodiscard]] idl_string idl_string_lstrip(const idl_string *s);
/// View from data + *offset up to and including the next byte c, *offset moved past it; the
/// all-zero result and *offset unchanged when no c follows.
[[nodiscard]] idl_string idl_string_token_by_char2(const idl_string *s, char c, uint64_t *offset);
/// View up to and including the next byte c from `s`->data, or from `cont`->data when `s` is
/// null; on success `cont` becomes a length-0 view just after c. All-zero result when not found.
[[nodiscard]] idl_string idl_string_token_by_char(const idl_string *s, char c, idl_string *cont);
/// Moves the bytes from `position` (clamped to len) into a new owning string and truncates `s`
/// there; the all-zero result (logged, `s` unchanged) on failure.
[[nodiscard]] idl_string idl_string_divide(idl_string *s, uint64_t position);
/// New owning string a + "/" + b; the all-zero result (logged) on failure.
[[nodiscard]] idl_string idl_string_concat_path(const idl_string *a, const idl_string *b);
/// New owning copy of n bytes; the all-zero result (logged) on failure.
[[nodiscard]] idl_string idl_string_strdup(const char *bytes, uint64_t n);
/// New owning copy with every byte upper-cased; the all-zero result (logged) on failure.
[[nodiscard]] idl_string idl_string_upper(const idl_string *s);
/// Replaces the bytes in [from, to) by n bytes, growing as needed; false (logged, unchanged) on
/// failure or a range outside the string.
[[nodiscard]] bool idl_string_overwrite(idl_string *s, uint64_t from, uint64_t to,
                                        const char *bytes, uint64_t n);
/// Inserts n bytes at `position`, growing as needed; false (logged, unchanged) on failure or a
/// position past len.
[[nodiscard]] bool idl_string_insert(idl_string *s, uint64_t position, const char *bytes,
                                     uint64_t n);
/// Removes the bytes in [from, to), both clamped to len; views are left unchanged.
void idl_string_remove(idl_string *s, uint64_t from, uint64_t to);
/// Removes the first n bytes (clamped to len); views are left unchanged.
void idl_string_remove_from_start(idl_string *s, uint64_t n);
/// Removes the last n bytes (clamped to len); views are left unchanged.
void idl_string_remove_from_end(idl_string *s, uint64_t n);
/// Sets len 0 and the first byte 0; views are left unchanged.
void idl_string_clear(idl_string *s);
/// Gives back the capacity beyond the terminator of an owning string; the string keeps its
/// bytes, and stays as it was when the block cannot be resized. Views are left unchanged.
void idl_string_shrink_to_fit(idl_string *s);
/// Frees `data` of an owning string (never of a view) and zeroes the record; accepts null.
void idl_string_free(idl_string *s);
/// Heap record with a zero-filled buffer of `capacity` bytes (at least 1), len 0; null (logged)
/// on failure. Release with `idl_string_destroy`.
[[nodiscard]] idl_string *idl_string_create(uint64_t capacity);
/// Frees an owning record's `data`, then the record; accepts null.
void idl_string_destroy(idl_string *s);
/// Copies n <= 254 bytes into `dest` with strncpy semantics and returns true; longer texts copy
/// nothing, log "String Buffer Overflow" and return false.
[[nodiscard]] bool idl_convert_to_string(const char *bytes, uint32_t n, char *dest);
