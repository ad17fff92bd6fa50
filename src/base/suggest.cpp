// Suggestions for misspelt words: near misses, the nearest of a set of known words, and the IDL
// words that C and C++ names stand for.
#include "base/suggest.hpp"

namespace {

char folded(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Optimal string alignment distance, stopped once it exceeds one.
bool within_one_edit(std::string_view a, std::string_view b) {
    if (a.size() > b.size() + 1 || b.size() > a.size() + 1) {
        return false;
    }
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) {
        ++i;
    }
    const std::string_view ra = a.substr(i);
    const std::string_view rb = b.substr(i);
    if (ra.size() == rb.size()) {
        if (ra.substr(ra.empty() ? 0 : 1) == rb.substr(rb.empty() ? 0 : 1)) {
            return true; // one replaced (or none)
        }
        return ra.size() >= 2 && ra[0] == rb[1] && ra[1] == rb[0] && ra.substr(2) == rb.substr(2);
    }
    if (ra.size() > rb.size()) {
        return ra.substr(1) == rb;
    }
    return rb.substr(1) == ra;
}

constexpr std::string_view type_keywords[] = {
    "boolean", "char",  "double",   "float",    "int16",   "int32",  "int64",  "int8",
    "long",    "map",   "octet",    "sequence", "short",   "string", "uint16", "uint32",
    "uint64",  "uint8", "unsigned", "wchar",    "wstring", "fixed",  "any",
};

struct c_type {
    std::string_view c;
    std::string_view idl;
};

// C and C++ spellings of the types IDL names otherwise. A C `int` is 32 bits wide, as an IDL
// `long`; `long int` is taken as `long` too (the width IDL users mean by it).
constexpr c_type c_types[] = {
    {"int", "long"},
    {"signed int", "long"},
    {"long int", "long"},
    {"unsigned", "unsigned long"},
    {"unsigned int", "unsigned long"},
    {"unsigned long int", "unsigned long"},
    {"short int", "short"},
    {"unsigned short int", "unsigned short"},
    {"long long int", "long long"},
    {"unsigned long long int", "unsigned long long"},
    {"signed char", "int8"},
    {"unsigned char", "octet"},
    {"byte", "octet"},
    {"std::byte", "octet"},
    {"bool", "boolean"},
    {"wchar_t", "wchar"},
    {"int8_t", "int8"},
    {"uint8_t", "uint8"},
    {"int16_t", "int16"},
    {"uint16_t", "uint16"},
    {"int32_t", "int32"},
    {"uint32_t", "uint32"},
    {"int64_t", "int64"},
    {"uint64_t", "uint64"},
    {"std::string", "string"},
    {"std::wstring", "wstring"},
    {"std::vector", "sequence"},
    {"std::map", "map"},
};

} // namespace

bool suggest_case_variant(std::string_view a, std::string_view b) {
    if (a.size() != b.size() || a == b) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (folded(a[i]) != folded(b[i])) {
            return false;
        }
    }
    return true;
}

bool suggest_near_miss(std::string_view a, std::string_view b) {
    if (a == b) {
        return false;
    }
    if (suggest_case_variant(a, b)) {
        return true;
    }
    if (a.size() < 3 || b.size() < 3) {
        return false;
    }
    return within_one_edit(a, b);
}

void suggest_offer(suggest_choice &choice, std::string_view candidate) {
    if (choice.rank == 2 || !suggest_near_miss(choice.word, candidate)) {
        return;
    }
    const int rank = suggest_case_variant(choice.word, candidate) ? 2 : 1;
    if (rank > choice.rank) {
        choice.best = candidate;
        choice.rank = rank;
    }
}

std::string_view suggest_nearest(std::string_view word,
                                 std::span<const std::string_view> candidates) {
    suggest_choice choice{word, {}, 0};
    for (const std::string_view candidate : candidates) {
        if (candidate == word) {
            return {};
        }
        suggest_offer(choice, candidate);
    }
    return choice.best;
}

std::string suggest_did_you_mean(std::string_view what, std::string_view prefix) {
    if (what.empty()) {
        return {};
    }
    return std::string("; did you mean '").append(prefix).append(what).append("'?");
}

std::span<const std::string_view> suggest_type_keywords() {
    return type_keywords;
}

std::string_view suggest_idl_type(std::string_view name) {
    for (const c_type &t : c_types) {
        if (t.c == name) {
            return t.idl;
        }
    }
    return {};
}
