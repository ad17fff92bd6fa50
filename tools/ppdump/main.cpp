// ppdump: prints the preprocessed text of one IDL file to standard output, line for line.
#include <cstdio>

#include "preproc/preproc.hpp"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ppdump idl_path\n");
        return 2;
    }
    preproc_root root{};
    if (!preproc_root_init(&root, nullptr, nullptr)) {
        return 1;
    }
    const bool ok = zadozeda_preproc(&root, argv[1]);
    if (ok) {
        std::fwrite(root.output.data, 1, root.output.len, stdout);
    }
    preproc_root_fini(&root);
    return ok ? 0 : 1;
}
