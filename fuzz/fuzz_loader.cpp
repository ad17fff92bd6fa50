// The include loader on a few small files that include one another: guards, cycles, macros
// handed on through includes, files read again under other macros. Each file is read as an
// input the way the compiler form reads a model; reading again with a fresh loader, or the
// files in the other order, must give each file the same text and diagnostics.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "model/load.hpp"

namespace {

// What one reading of a file gave, as text to compare.
std::string outcome(const idl_reading &r) {
    std::string out = r.unit != nullptr ? "ok\n" : "failed\n";
    for (const diagnostic &d : r.diagnostics) {
        out += d.file + ":" + std::to_string(d.line) + ": " + d.summary + "\n";
        for (const diag_include &from : d.included_from) {
            out += "  from " + from.file + ":" + std::to_string(from.line) + "\n";
        }
    }
    for (const std::string_view dep : r.dependencies) {
        out += "dep ";
        out += dep;
        out += "\n";
    }
    return out + r.text;
}

// Reads every file with a fresh loader, in the order given; the outcomes by file.
std::vector<std::string> read_model(const std::vector<std::string> &paths,
                                    const std::vector<std::size_t> &order) {
    std::vector<std::string> out(paths.size());
    idl_loader *loader = idl_loader_new(nullptr, {fuzz_scratch_folder()});
    if (loader == nullptr) {
        std::abort(); // memory ran out on a few small files
    }
    for (const std::size_t i : order) {
        idl_reading r;
        (void)idl_loader_read_all(loader, paths[i].c_str(), IDL_READ_TEXT | IDL_READ_DEPENDENCIES,
                                  &r);
        out[i] = outcome(r);
    }
    idl_loader_delete(loader);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> paths;
    if (!fuzz_write_files(data, size, paths)) {
        std::abort(); // the scratch folder is unusable: no result would mean anything
    }
    std::vector<std::size_t> forward;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        forward.push_back(i);
    }
    const std::vector<std::size_t> backward(forward.rbegin(), forward.rend());
    // A file's reading does not depend on what was read before it.
    if (read_model(paths, forward) != read_model(paths, backward)) {
        std::abort();
    }
    return 0;
}
