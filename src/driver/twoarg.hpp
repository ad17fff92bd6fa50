// The two-argument form `vandrel idl_path output_path`, kept exactly as it always was.
#pragma once

struct pn_linkedlist;

/// Arguments of one run; zero-filled before use, released with `argparse_fini`.
struct argparse {
    const char *idl_path;        ///< first positional argument (borrowed)
    const char *output_path;     ///< second positional argument (borrowed)
    pn_linkedlist *include_dirs; ///< heap texts (released with `free`) owned by the list
    pn_linkedlist *macros;       ///< `preproc_macro` records owned by the list
};

/// Releases both lists with their elements (an absent list is skipped) and zero-fills `args`.
void argparse_fini(argparse *args);

/// Writes the usage text to standard output.
void driver_print_usage();

/// The two-argument form for `argc`/`argv` as given to `main`: returns the exit status (0 when
/// the document was written, 1 otherwise).
[[nodiscard]] int twoarg_main(int argc, char **argv);
