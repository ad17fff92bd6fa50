// The checking stage on a small model of a few files that include one another: every file read
// with the include loader, the units checked as one model, strictly and permissively, from the
// parse trees and from facts taken apart from them.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "model/load.hpp"
#include "sema/sema.hpp"

namespace {

// Keeps the diagnostics of the checks as text.
class keep_all final : public diag_consumer {
public:
    std::string text;
    void consume(const diagnostic &d) override {
        text += d.file + ":" + std::to_string(d.line) + ":" + std::to_string(d.column) + ": " +
                d.summary + "\n";
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> paths;
    if (!fuzz_write_files(data, size, paths)) {
        std::abort(); // the scratch folder is unusable: no result would mean anything
    }
    idl_loader *loader = idl_loader_new(nullptr, {});
    if (loader == nullptr) {
        std::abort();
    }
    std::vector<const idl_unit *> roots;
    for (const std::string &path : paths) {
        idl_reading r;
        if (idl_loader_read_all(loader, path.c_str(), 0, &r) && r.unit != nullptr) {
            roots.push_back(r.unit);
        }
    }
    const std::vector<const idl_unit *> model = idl_loader_model(loader, roots);
    std::vector<sema_facts *> facts;
    std::vector<const sema_facts *> views;
    for (const idl_unit *unit : model) {
        facts.push_back(sema_facts_new(unit));
        if (facts.back() == nullptr) {
            std::abort();
        }
        views.push_back(facts.back());
    }
    keep_all seen;
    diag_consumer *before = diag_set_consumer(&seen);
    for (const bool permissive : {false, true}) {
        sema_options options;
        options.permissive = permissive;
        std::vector<const idl_unit *> failed;
        const bool ok = sema_check(model, options, &failed);
        // A check passes exactly when it refuses no file.
        if (ok != failed.empty()) {
            std::abort();
        }
        // The facts taken apart from the trees give the same reports and result; so do two
        // threads.
        const std::string from_trees = std::move(seen.text);
        seen.text.clear();
        options.threads = 2;
        std::vector<const idl_unit *> failed_again;
        if (sema_check_facts(views, options, &failed_again) != ok || failed_again != failed ||
            seen.text != from_trees) {
            std::abort();
        }
        seen.text.clear();
    }
    diag_set_consumer(before);
    for (sema_facts *f : facts) {
        sema_facts_delete(f);
    }
    idl_loader_delete(loader);
    return 0;
}
