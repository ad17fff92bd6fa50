// The checking stage: a symbol table over every file of a model, names resolved by the IDL
// scoping rules, and the checks a parse alone cannot make. Runs between parsing and translation.
#pragma once

#include <vector>

struct idl_unit;
struct sema_facts;

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
/// once, in model order, so that a run can refuse just the files whose model holds an error.
[[nodiscard]] bool sema_check(const std::vector<const idl_unit *> &units,
                              const sema_options &options,
                              std::vector<const idl_unit *> *failed = nullptr);

/// Takes from a file's parse tree what the checks need of it, so that the tree can be released
/// long before the whole model is checked. The unit (its paths, text and includes) must outlive
/// the facts. Null when memory runs out (reported).
[[nodiscard]] sema_facts *sema_facts_new(const idl_unit *unit);
/// Releases facts; accepts null.
void sema_facts_delete(sema_facts *facts);

/// sema_check over facts taken from each file of the model, in the same order.
[[nodiscard]] bool sema_check_facts(const std::vector<const sema_facts *> &units,
                                    const sema_options &options,
                                    std::vector<const idl_unit *> *failed = nullptr);
