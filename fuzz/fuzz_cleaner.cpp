// The cleaning pass on one input text, checked against the grammar-driven reference cleaner.
#include <cstring>
#include <cstdint>
#include <cstdlib>

#include "base/idlstring.hpp"
#include "preproc/cleaner.hpp"

namespace {

constexpr size_t k_reference_limit = 1024;

// Line ends as the cleaner sees them: CR LF, LF, or a lone CR.
uint64_t count_line_ends(const char *p, uint64_t n) {
    uint64_t lines = 0;
    for (uint64_t i = 0; i < n; ++i) {
        if (p[i] == '\r') {
            ++lines;
            i += (i + 1 < n && p[i + 1] == '\n') ? 1 : 0;
        } else if (p[i] == '\n') {
            ++lines;
        }
    }
    return lines;
}

uint64_t count_lf(const char *p, uint64_t n) {
    uint64_t lines = 0;
    for (uint64_t i = 0; i < n; ++i) {
        lines += p[i] == '\n';
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    idl_string out = idl_string_strdup("", 0);
    if (out.data == nullptr) {
        return 0;
    }
    const char *text = reinterpret_cast<const char *>(data);
    if (idlpreproc_clean_text(text, size, "fuzz.idl", &out)) {
        // Cleaning keeps the line count, so positions still map to the input's lines; the
        // result is terminated.
        if (out.data[out.len] != '\0') {
            std::abort();
        }
        if (count_lf(out.data, out.len) != count_line_ends(text, size)) {
            std::abort();
        }
        // The one-pass cleaner must give exactly the bytes of the grammar-driven one. The
        // reference builds a tree node per piece, so it only checks short inputs, where the
        // fuzzer spends most of its mutations anyway.
        idl_string ref = size <= k_reference_limit ? idl_string_strdup("", 0) : idl_string{};
        if (ref.data != nullptr && idlpreproc_clean_text_by_grammar(text, size, "fuzz.idl", &ref)) {
            if (ref.len != out.len || std::memcmp(ref.data, out.data, out.len) != 0) {
                std::abort();
            }
        }
        idl_string_free(&ref);
    }
    idl_string_free(&out);
    return 0;
}
