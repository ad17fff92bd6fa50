// One directive line, then macro expansion of the rest of the input under it.
#include <cstdint>
#include <cstring>
#include <string>

#include "base/idlstring.hpp"
#include "fuzz_support.hpp"
#include "preproc/macro.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    const void *nl = std::memchr(text, '\n', size);
    const size_t line_len = nl ? static_cast<size_t>(static_cast<const char *>(nl) - text) : size;
    std::string line(text, line_len);
    line += '\n';

    // One state for the whole run; each input starts from an empty macro table.
    static fuzz_preproc pp;
    if (!fuzz_reset_macros(pp) || !fuzz_apply_directive(pp, line)) {
        return 0;
    }
    // Expand the remaining lines with whatever the directive defined.
    const size_t rest = nl ? line_len + 1 : size;
    idl_string body = idl_string_strdup(text + rest, size - rest);
    if (body.data == nullptr) {
        return 0;
    }
    pp.root.line = 2;
    (void)preproc_normalize_string(&pp.root, &body);
    idl_string_free(&body);
    return 0;
}
