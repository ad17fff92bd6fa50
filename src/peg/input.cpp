// Inputs: the byte text a parse reads, with the position of the next byte.
#include "peg/input.hpp"

#include <cstring>

#include "peg/memory.hpp"
#include "peg/peg_log.hpp"

void input_init(input *in, const char *data, std::uint64_t size) {
    in->data = data;
    in->size = size;
    in->pos = 0;
}

input *input_new(const char *data, std::uint64_t size) {
    auto *in = static_cast<input *>(peg_malloc(sizeof(input)));
    if (!in) {
        peg_log_oom("input");
        return nullptr;
    }
    input_init(in, data, size);
    return in;
}

input *input_from_file_new(std::FILE *stream) {
    if (!stream) {
        peg_log_error("cannot read input: no stream");
        return nullptr;
    }
    // One buffer grown by doubling: the bytes are copied O(size) times in total.
    std::size_t capacity = 1024;
    std::size_t size = 0;
    auto *buffer = static_cast<char *>(peg_malloc(capacity));
    if (!buffer) {
        peg_log_oom("input text");
        return nullptr;
    }
    for (;;) {
        if (size == capacity) {
            auto *grown = static_cast<char *>(peg_realloc(buffer, capacity * 2));
            if (!grown) {
                peg_free(buffer);
                peg_log_oom("input text");
                return nullptr;
            }
            buffer = grown;
            capacity *= 2;
        }
        std::size_t got = std::fread(buffer + size, 1, capacity - size, stream);
        size += got;
        if (got == 0)
            break;
    }
    // A failed read must not pass for a short file: the caller would parse truncated text.
    if (std::ferror(stream)) {
        peg_free(buffer);
        peg_log_error("cannot read input: read error after %zu bytes", size);
        return nullptr;
    }
    input *in = input_new(buffer, size);
    if (!in) {
        peg_free(buffer);
        return nullptr;
    }
    return in;
}

void input_delete(input *in) {
    peg_free(in);
}

void input_and_data_clear(input *in) {
    if (!in)
        return;
    peg_free(const_cast<char *>(in->data));
    in->data = nullptr;
    in->size = 0;
    in->pos = 0;
}

void input_and_data_delete(input *in) {
    input_and_data_clear(in);
    peg_free(in);
}

bool input_eof(const input *in) {
    return in->pos >= in->size;
}

char input_peek(const input *in) {
    return in->pos < in->size ? in->data[in->pos] : '\0';
}

char input_consume(input *in) {
    if (in->pos >= in->size)
        return '\0';
    return in->data[in->pos++];
}
