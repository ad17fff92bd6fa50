// The checking stage: a symbol table over every file of a model, names resolved by the IDL
// scoping rules, and the checks a parse alone cannot make. Runs between parsing and translation.
#pragma once

#include <string_view>
#include <vector>

struct idl_unit;

/// How strictly names are checked.
struct sema_options {
    /// Names that nothing declares are warned about instead of refused, for models whose
    /// types live in files the user does not have.
    bool permissive = false;
    /// Threads the per-file checks may run on (the calling one included); the reports and
    /// the result do not depend on it.
    unsigned threads = 1;
};

/// Checks the units as one model: each included file before its includers (as
/// idl_loader_model orders them). Every problem is reported through diag_report at the
/// offending name, with the earlier declaration as a note. True when no error was reported
/// (warnings allowed). When failed is given, each unit an error was reported in is added to it
/// once, so that a run can refuse just the files whose model holds an error.
[[nodiscard]] bool sema_check(const std::vector<const idl_unit *> &units,
                              const sema_options &options,
                              std::vector<const idl_unit *> *failed = nullptr);

/// True when a and b differ only in case, or by one inserted, removed or replaced character, or
/// by two neighbouring characters swapped (names of three characters or more); false when equal.
[[nodiscard]] bool sema_near_miss(std::string_view a, std::string_view b);
