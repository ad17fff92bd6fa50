// One `#if` condition: expansion, parse and evaluation, with a few macros in force.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.hpp"

namespace {

// Definitions in force for every condition: plain numbers, an empty macro, a chain, a
// function-like macro and a self-reference.
constexpr const char *k_prelude[] = {
    "#define ONE 1\n",         "#define BIG 0xFFFFFFFFFFFFFFFF\n", "#define EMPTY\n",
    "#define TWO ONE+ONE\n",   "#define SQ(x) ((x)*(x))\n",        "#define SELF SELF\n",
    "#define PAIR(a,b) a b\n",
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    const void *nl = std::memchr(text, '\n', size);
    const size_t len = nl ? static_cast<size_t>(static_cast<const char *>(nl) - text) : size;

    // One state for the whole run, holding the definitions; a condition defines nothing, so
    // inputs cannot influence each other through it.
    static fuzz_preproc pp;
    static const bool ready = [] {
        for (const char *def : k_prelude) {
            if (!fuzz_apply_directive(pp, def)) {
                return false;
            }
            ++pp.root.line;
        }
        return true;
    }();
    if (!ready) {
        std::abort(); // the definitions above are valid: failing them is a fault
    }
    pp.stack.clear();
    std::string line = "#if ";
    line.append(text, len);
    line += '\n';
    (void)fuzz_apply_directive(pp, line);
    return 0;
}
