// The standard annotations of IDL 4.2 and DDS-XTypes 1.3: where each may stand, its parameters
// and the values they take.
#pragma once

#include "sema/consteval.hpp"
#include "sema/facts.hpp"

#include <string>
#include <string_view>
#include <vector>

/// What one application of a standard annotation comes to.
struct sema_anno_result {
    bool checked = false; ///< a standard annotation, checked (else: a custom or unknown one)
    bool ok = true;       ///< no fault found
    /// Applications of one family on one element contradict when their values differ:
    /// `@final`, `@mutable` and `@extensibility(...)` are one family.
    std::string_view family;
    std::string values;       ///< its parameters' values, defaults filled in, as compared
    bool has_integer = false; ///< the integer of `@id`, `@value`, `@position`, `@bit_bound`
    sema_int integer = 0;
};

/// True for the name of an annotation IDL 4.2 or DDS-XTypes 1.3 defines.
[[nodiscard]] bool sema_is_standard_annotation(std::string_view name);

/// Checks appl (an `annotation` check of facts naming a standard annotation): the place it
/// stands in, its parameters, and their values, whose names are looked up through names. Each
/// fault is added to faults.
[[nodiscard]] sema_anno_result sema_check_annotation(const sema_facts &facts,
                                                     const check_fact &appl,
                                                     const sema_names &names,
                                                     std::vector<sema_fault> *faults);

/// How a message names a place ("a member of a structure").
[[nodiscard]] const char *sema_place_text(anno_place place);
