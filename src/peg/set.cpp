// Character classes: single bytes and inclusive ranges compared as signed 8-bit values.
#include "peg/set.hpp"

#include "peg/memory.hpp"
#include "peg/peg_log.hpp"

void set_init(set *s, char *singles, std::uint64_t single_count, char *mins, char *maxs,
              std::uint64_t range_count) {
    s->singles = singles;
    s->single_count = single_count;
    s->mins = mins;
    s->maxs = maxs;
    s->range_count = range_count;
    // One bit per byte, so that matching a class is one lookup whatever its size.
    s->has_bits = false;
    std::uint64_t bits[4] = {0, 0, 0, 0};
    auto put = [&bits](int v) {
        const auto b = static_cast<unsigned char>(static_cast<signed char>(v));
        bits[b >> 6] |= std::uint64_t{1} << (b & 63);
    };
    if (mins && maxs)
        for (std::uint64_t i = 0; i < range_count; ++i)
            for (int v = static_cast<signed char>(mins[i]); v <= static_cast<signed char>(maxs[i]);
                 ++v)
                put(v);
    if (singles)
        for (std::uint64_t i = 0; i < single_count; ++i)
            put(static_cast<signed char>(singles[i]));
    for (int k = 0; k < 4; ++k)
        s->bits[k] = bits[k];
    s->has_bits = true;
}

set *set_new(char *singles, std::uint64_t single_count, char *mins, char *maxs,
             std::uint64_t range_count) {
    auto *s = static_cast<set *>(peg_malloc(sizeof(set)));
    if (!s) {
        peg_log_oom("character class");
        // The arrays were handed over; release them so a failed build leaks nothing.
        peg_free(singles);
        peg_free(mins);
        peg_free(maxs);
        return nullptr;
    }
    set_init(s, singles, single_count, mins, maxs, range_count);
    return s;
}

void set_clear(set *s) {
    if (!s)
        return;
    peg_free(s->singles);
    peg_free(s->mins);
    peg_free(s->maxs);
    s->singles = nullptr;
    s->mins = nullptr;
    s->maxs = nullptr;
    s->single_count = 0;
    s->range_count = 0;
    s->has_bits = false;
    for (int k = 0; k < 4; ++k)
        s->bits[k] = 0;
}

void set_delete(set *s) {
    set_clear(s);
    peg_free(s);
}

bool set_within_set(const set *s, signed char c) {
    if (!s)
        return false;
    if (s->has_bits) {
        const auto b = static_cast<unsigned char>(c);
        return (s->bits[b >> 6] >> (b & 63)) & 1;
    }
    if (s->mins && s->maxs)
        for (std::uint64_t i = 0; i < s->range_count; ++i)
            if (static_cast<signed char>(s->mins[i]) <= c &&
                c <= static_cast<signed char>(s->maxs[i]))
                return true;
    if (s->singles)
        for (std::uint64_t i = 0; i < s->single_count; ++i)
            if (static_cast<signed char>(s->singles[i]) == c)
                return true;
    return false;
}
