// Command-line options of the compiler form: parsed once into a plain record that the rest of
// the driver reads; nothing below the driver ever sees the argument vector.
#pragma once

#include <string>
#include <vector>

/// When diagnostics on standard error are coloured.
enum class colour_mode { automatic, always, never };

/// How the `file` of an `include` element is spelt.
enum class include_refs_mode {
    written,  ///< the include's name as written, ".idl" turned into ".xml" (the default)
    document, ///< relative to the holding document's folder, to the document of the included file
};

/// One `-D` or `-U`, kept in command-line order.
struct macro_option {
    bool define = true; ///< true for -D, false for -U
    std::string name;   ///< the macro name
    std::string value;  ///< -D: the replacement text ("1" when no '=' was given)
};

/// Everything the compiler form was asked to do.
struct driver_options {
    std::vector<std::string> inputs;       ///< files and folders, in command-line order
    std::string output_dir = ".";          ///< -o; "-" writes the one document to stdout
    bool output_given = false;             ///< -o was given (-E writes files only then)
    std::string base_dir;                  ///< -b; empty when not given
    std::vector<macro_option> macros;      ///< -D and -U in order
    std::vector<std::string> include_dirs; ///< -I in order
    bool preprocess_only = false; ///< -E: the preprocessed text of each input, includes in place
    unsigned jobs = 0;            ///< -j; 0 means the number of cores
    bool quiet = false;           ///< -q
    bool warnings_are_errors = false;            ///< -Werror
    bool permissive = false;                     ///< --permissive: undeclared names only warn
    bool from_xml = false;                       ///< --from-xml: DDS-XML documents back to IDL
    colour_mode colour = colour_mode::automatic; ///< --color
    bool dependencies = false;                   ///< -MD or -MF: write a make rule per document
    std::string dependency_file;                 ///< -MF; empty: `<output>.d` beside each document
    bool phony_targets = false;                  ///< -MP: an empty rule for each included file
    bool check_only = false; ///< --check: read, check and convert, but write nothing
    bool list_only = false;  ///< --list: print the files a run would write, write nothing
    std::string stdin_name;  ///< --stdin-name: the output name for input `-`; empty: default
    std::vector<std::string> silenced_warnings; ///< -Wno-NAME, each a known warning name
    include_refs_mode include_refs = include_refs_mode::written; ///< --include-refs
};

/// The output name of the input `-` (standard input): --stdin-name, else "stdin.xml"
/// ("stdin.idl" with --from-xml or -E).
[[nodiscard]] std::string options_stdin_name(const driver_options &opts);

/// What the parse decided.
enum class options_outcome {
    run,         ///< convert (or preprocess) the inputs
    help,        ///< -h/--help: print `options_help_text` and exit 0
    version,     ///< -v/--version: print `vandrel <version>` and exit 0
    usage_error, ///< the message says what is wrong; exit 2
};

/// True when some argument after the program name begins with '-': the call is then the
/// compiler form; otherwise it is the two-argument form.
[[nodiscard]] bool options_compiler_form(int argc, char *const *argv);

/// Parses argv (getopt_long conventions: options and inputs mixed, `--` ends options, attached
/// or separate option values) into `opts`; on `usage_error` `message` says why. Never prints.
[[nodiscard]] options_outcome options_parse(int argc, char *const *argv, driver_options &opts,
                                            std::string &message);

/// The option summary printed by -h/--help.
[[nodiscard]] const char *options_help_text();
