// Suggestions for misspelt words: near misses, the nearest of a set of known words, and the IDL
// words that C and C++ names stand for. Messages call these only after a failure was found.
#pragma once

#include <span>
#include <string>
#include <string_view>

/// True when a and b differ only in case, or by one inserted, removed or replaced character, or
/// by two neighbouring characters swapped (names of three characters or more); false when equal.
[[nodiscard]] bool suggest_near_miss(std::string_view a, std::string_view b);

/// True when a and b are the same letters written in a different case ("Struct", "struct").
[[nodiscard]] bool suggest_case_variant(std::string_view a, std::string_view b);

/// The nearest of the candidates offered to a word: a case variant wins over another near
/// miss, and among equals the first offered.
struct suggest_choice {
    std::string_view word; ///< the word as written
    std::string_view best; ///< the nearest candidate so far; empty while none is near
    int rank = 0;          ///< 2: best differs in case only, 1: a near miss, 0: none yet
};

/// Offers candidate to choice (suggest_near_miss decides whether it is near at all); the view
/// is kept, so the candidate must outlive the choice.
void suggest_offer(suggest_choice &choice, std::string_view candidate);

/// The nearest of candidates to word; empty when none is near or word is among them.
[[nodiscard]] std::string_view suggest_nearest(std::string_view word,
                                               std::span<const std::string_view> candidates);

/// "; did you mean 'WHAT'?" with prefix written before WHAT inside the quotes; empty when what
/// is.
[[nodiscard]] std::string suggest_did_you_mean(std::string_view what, std::string_view prefix = {});

/// The IDL keywords that name a type or begin one (`long`, `unsigned`, `sequence`, ...).
[[nodiscard]] std::span<const std::string_view> suggest_type_keywords();

/// The IDL type a C or C++ type name stands for as written, words apart by one blank (`int`
/// gives `long`, `unsigned int` gives `unsigned long`, `std::string` gives `string`); empty when
/// the name is no such type.
[[nodiscard]] std::string_view suggest_idl_type(std::string_view c_type);
