// Inputs: the byte text a parse reads, with the position of the next byte.
#pragma once

#include <cstdint>
#include <cstdio>

/// A text and a read position; the text needs no terminator.
struct input {
    const char *data;   ///< text bytes (owned only for inputs from input_from_file_new)
    std::uint64_t size; ///< number of bytes
    std::uint64_t pos;  ///< index of the next byte to read
};

/// Stores data and size, pos 0; the caller keeps the text.
void input_init(input *in, const char *data, std::uint64_t size);
/// Allocated input over a borrowed text; null (logged) on out of memory; input_delete frees.
[[nodiscard]] input *input_new(const char *data, std::uint64_t size);
/// Reads the whole stream into a new owned buffer; null (logged) for a null stream, a read
/// error or out of memory; release with input_and_data_delete.
[[nodiscard]] input *input_from_file_new(std::FILE *stream);
/// Releases the record only; accepts null.
void input_delete(input *in);
/// Releases the text and nulls data (and size); accepts null.
void input_and_data_clear(input *in);
/// Releases the text and the record; accepts null.
void input_and_data_delete(input *in);
/// True when pos >= size.
[[nodiscard]] bool input_eof(const input *in);
/// The byte at pos, or 0 at end of input.
[[nodiscard]] char input_peek(const input *in);
/// The byte at pos and advances, or 0 without moving at end of input.
char input_consume(input *in);
