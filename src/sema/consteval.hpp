// Constant expressions: their values, worked out from the steps the facts keep, and whether a
// value fits the type it must have.
#pragma once

#include "sema/facts.hpp"

#include <cstdint>
#include <string>
#include <string_view>

/// Integers of IDL reach from the least `long long` to the greatest `unsigned long long`: one
/// wider type holds them all, and every step's result before its range is checked.
__extension__ using sema_int = __int128;

/// The value of a constant expression.
struct sema_value {
    enum class kind : std::uint8_t {
        unknown,    ///< nothing to check: an error reported elsewhere, or not worked out
        unresolved, ///< a name that nothing declares (name: as written)
        integer,
        floating,
        fixed,
        boolean,
        character,
        wide_character,
        string,
        wide_string,
        enumerator, ///< name: the enumerator's simple name; owner: its enumeration
    };
    kind k = kind::unknown;
    sema_int i = 0;         ///< integer; boolean 0 or 1; a character's code
    long double f = 0;      ///< floating and fixed
    std::size_t length = 0; ///< string: its characters
    bool bit_value = false; ///< enumerator: a bitmask's value
    std::string_view text;  ///< the literal or name as written, when the value is one
    std::string_view name;
    std::uint32_t owner = 0; ///< a number the model gives each enumeration
};

/// What the names of a constant expression stand for.
class sema_names {
public:
    virtual ~sema_names() = default;
    /// The value of the constant or enumerator name stands for, seen from where it is used:
    /// unresolved when nothing declares it, unknown when it names something else or a
    /// constant whose value is not known.
    [[nodiscard]] virtual sema_value value_of(std::string_view name) const = 0;
};

/// A fault of an expression: where, and what.
struct sema_fault {
    std::uint64_t pos = 0;
    std::string message;
};

/// The value of the steps range of facts.exprs, names looked up through names. `~` takes the
/// complement within the integer type `width` (for unsigned kinds 2^bits - 1 - x, else
/// -x - 1). A fault (division by zero, an operator on values it does not take, a result beyond
/// 64 bits) gives unknown and is described in fault.
[[nodiscard]] sema_value sema_evaluate(const sema_facts &facts, fact_range range,
                                       const sema_names &names, prim_kind width, sema_fault *fault);

/// What a value must be: a type's values, an enumeration's, or integers of a range.
struct sema_target {
    prim_kind prim = prim_kind::none;
    std::string_view enumeration; ///< simple name: only the enumerators of
    std::uint32_t owner = 0;      ///< the enumeration numbered so (as sema_value::owner) fit
    bool integer_range = false;   ///< only integers from min to max fit
    sema_int min = 0;
    sema_int max = 0;
};

/// The values of a base type (none: anything fits).
[[nodiscard]] sema_target sema_target_of(prim_kind prim);
/// Integers from min to max.
[[nodiscard]] sema_target sema_integers(sema_int min, sema_int max);
/// Empty when v fits t, or when v is unknown; else what t requires ("an integer from 0 to 255",
/// "TRUE or FALSE", "an enumerator of 'Color'").
[[nodiscard]] std::string sema_requirement(const sema_value &v, const sema_target &t);
/// v as a message names it: `256`, `the string "ab"`, `the enumerator 'RED'`.
[[nodiscard]] std::string sema_describe(const sema_value &v);
/// A text equal for equal values (labels that are the same value), empty for values that do
/// not compare (floating, strings, unknown).
[[nodiscard]] std::string sema_value_key(const sema_value &v);
/// Bits of an integer kind (octet 8, long 32, ...); 0 for other kinds.
[[nodiscard]] unsigned sema_prim_bits(prim_kind prim);
/// How IDL writes a base type ("unsigned short", "octet"); "" for none.
[[nodiscard]] const char *sema_prim_name(prim_kind prim);
/// The decimal text of an integer.
[[nodiscard]] std::string sema_int_text(sema_int v);
