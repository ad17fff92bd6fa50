// Command-line options of the compiler form, parsed with getopt_long.
#include "driver/options.hpp"

#include "base/diag.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace {

// Long-only codes, above every character.
enum : int {
    opt_version = 256,
    opt_color,
    opt_permissive,
    opt_md,
    opt_mf,
    opt_werror,
    opt_from_xml,
    opt_mp,
    opt_wno,
    opt_check,
    opt_list,
    opt_stdin_name,
    opt_include_refs,
};

const struct option long_options[] = {
    {"output", required_argument, nullptr, 'o'},
    {"base", required_argument, nullptr, 'b'},
    {"jobs", required_argument, nullptr, 'j'},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, opt_version},
    {"color", optional_argument, nullptr, opt_color},
    {"permissive", no_argument, nullptr, opt_permissive},
    {"MD", no_argument, nullptr, opt_md},
    {"MF", required_argument, nullptr, opt_mf},
    {"Werror", no_argument, nullptr, opt_werror},
    {"from-xml", no_argument, nullptr, opt_from_xml},
    {"MP", no_argument, nullptr, opt_mp},
    {"Wno", required_argument, nullptr, opt_wno},
    {"check", no_argument, nullptr, opt_check},
    {"list", no_argument, nullptr, opt_list},
    {"stdin-name", required_argument, nullptr, opt_stdin_name},
    {"include-refs", required_argument, nullptr, opt_include_refs},
    {nullptr, 0, nullptr, 0},
};

constexpr const char short_options[] = ":o:b:D:U:I:Ej:qhv";

// Short options whose value may stand in the next argument.
bool takes_value(const std::string &arg) {
    return arg.size() == 2 && arg[0] == '-' && std::strchr("obDUIj", arg[1]) != nullptr;
}

// gcc spells a few options with one dash and several letters; getopt_long knows them only as
// long options, so those words get a second dash before parsing. Values are left alone.
std::vector<std::string> gcc_spellings(int argc, char *const *argv) {
    std::vector<std::string> words;
    bool value_next = false;
    bool options_ended = false;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i] != nullptr ? argv[i] : "";
        if (i > 0 && !value_next && !options_ended) {
            if (arg == "--") {
                options_ended = true;
            } else if (arg == "-MD" || arg == "-Werror" || arg == "-MF" || arg == "-MP") {
                arg.insert(0, "-");
            } else if (arg.rfind("-Wno-", 0) == 0) {
                arg = "--Wno=" + arg.substr(5);
            } else if (arg.rfind("-MF", 0) == 0) {
                arg = "--MF=" + arg.substr(3);
            } else if (arg.rfind("-W", 0) == 0 || arg.rfind("-M", 0) == 0) {
                arg.insert(0, "-"); // reported as an unknown long option below
            }
        }
        value_next = i > 0 && !value_next && !options_ended && (takes_value(arg) || arg == "--MF");
        words.push_back(std::move(arg));
    }
    return words;
}

bool is_identifier(const std::string &name) {
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) {
        return false;
    }
    for (char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) {
            return false;
        }
    }
    return true;
}

bool parse_jobs(const char *text, unsigned &jobs) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long n = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || n == 0 || n > 1024) {
        return false;
    }
    jobs = static_cast<unsigned>(n);
    return true;
}

// Edit distance (insertions, deletions, substitutions) between two short words.
std::size_t distance(const std::string &a, const std::string &b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The candidate nearest to word, when near enough to be a misspelling of it; "" otherwise.
std::string nearest(const std::string &word, const std::vector<std::string> &candidates) {
    std::string best;
    std::size_t best_distance = 0;
    for (const std::string &c : candidates) {
        const std::size_t d = distance(word, c);
        // At most a third of the name wrong, and never more than three letters.
        if (d * 3 < c.size() && d <= 3 && (best.empty() || d < best_distance)) {
            best = c;
            best_distance = d;
        }
    }
    return best;
}

// "unrecognized option 'W'", with the nearest option when one is near.
std::string unrecognized(std::string word) {
    word = word.substr(0, word.find('='));
    // Every option as it is typed: gcc's one-dash words (-MD, -Werror) begin with a capital.
    std::vector<std::string> candidates;
    for (const struct option &o : long_options) {
        if (o.name != nullptr && std::strcmp(o.name, "Wno") != 0) {
            candidates.push_back(
                (std::isupper(static_cast<unsigned char>(o.name[0])) ? "-" : "--") +
                std::string(o.name));
        }
    }
    for (int k = DIAG_W_NONE + 1; k < DIAG_W_COUNT; ++k) {
        candidates.push_back(std::string("-Wno-") +
                             diag_warning_name(static_cast<diag_warning>(k)));
    }
    const std::string near = nearest(word, candidates);
    return "unrecognized option '" + word + "'" +
           (near.empty() ? std::string() : "; did you mean '" + near + "'?");
}

// The warning kind named by -Wno-NAME, or a usage message naming the nearest kind.
bool silenced_kind(const std::string &name, std::string &message) {
    if (diag_warning_by_name(name) != DIAG_W_NONE) {
        return true;
    }
    std::vector<std::string> names;
    for (int k = DIAG_W_NONE + 1; k < DIAG_W_COUNT; ++k) {
        names.emplace_back(diag_warning_name(static_cast<diag_warning>(k)));
    }
    const std::string near = nearest(name, names);
    message = "unknown warning '-Wno-" + name + "'" +
              (near.empty() ? std::string() : "; did you mean '-Wno-" + near + "'?");
    return false;
}

// The word as the user typed it, for messages about it.
std::string as_typed(const std::string &word) {
    if (word.rfind("--", 0) == 0 && word.size() > 2 &&
        (word.compare(2, 1, "M") == 0 || word.compare(2, 1, "W") == 0)) {
        return word.substr(1);
    }
    return word;
}

} // namespace

bool options_compiler_form(int argc, char *const *argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr && argv[i][0] == '-') {
            return true;
        }
    }
    return false;
}

options_outcome options_parse(int argc, char *const *argv, driver_options &opts,
                              std::string &message) {
    opts = driver_options{};
    message.clear();
    std::vector<std::string> words = gcc_spellings(argc, argv);
    std::vector<char *> args;
    for (std::string &w : words) {
        args.push_back(w.data());
    }
    args.push_back(nullptr);
    const int count = static_cast<int>(words.size());

    bool help = false;
    bool version = false;
    optind = 0; // a full restart of getopt's scan, so the parser can run more than once
    opterr = 0;
    for (;;) {
        const int c = getopt_long(count, args.data(), short_options, long_options, nullptr);
        if (c == -1) {
            break;
        }
        // The word getopt_long has just finished with (for messages about it).
        const std::string current = optind > 0 && optind <= count
                                        ? as_typed(args[static_cast<std::size_t>(optind - 1)])
                                        : std::string();
        switch (c) {
        case 'o':
            opts.output_dir = optarg;
            opts.output_given = true;
            if (opts.output_dir.empty()) {
                message = "-o needs a folder name";
                return options_outcome::usage_error;
            }
            break;
        case 'b':
            opts.base_dir = optarg;
            if (opts.base_dir.empty()) {
                message = "-b needs a folder name";
                return options_outcome::usage_error;
            }
            break;
        case 'D':
        case 'U': {
            macro_option m;
            m.define = c == 'D';
            std::string text = optarg;
            const std::size_t eq = text.find('=');
            if (m.define && eq != std::string::npos) {
                m.name = text.substr(0, eq);
                m.value = text.substr(eq + 1);
            } else {
                m.name = text;
                m.value = m.define ? "1" : "";
            }
            if (!is_identifier(m.name)) {
                message = std::string("macro names must be identifiers: -") + static_cast<char>(c) +
                          " " + text;
                return options_outcome::usage_error;
            }
            opts.macros.push_back(std::move(m));
            break;
        }
        case 'I':
            if (*optarg == '\0') {
                message = "-I needs a folder name";
                return options_outcome::usage_error;
            }
            opts.include_dirs.emplace_back(optarg);
            break;
        case 'E':
            opts.preprocess_only = true;
            break;
        case 'j':
            if (!parse_jobs(optarg, opts.jobs)) {
                message = std::string("-j needs a number from 1 to 1024, not '") + optarg + "'";
                return options_outcome::usage_error;
            }
            break;
        case 'q':
            opts.quiet = true;
            break;
        case 'h':
            help = true;
            break;
        case 'v':
        case opt_version:
            version = true;
            break;
        case opt_color:
            if (optarg == nullptr || std::strcmp(optarg, "always") == 0) {
                opts.colour = colour_mode::always;
            } else if (std::strcmp(optarg, "never") == 0) {
                opts.colour = colour_mode::never;
            } else if (std::strcmp(optarg, "auto") == 0) {
                opts.colour = colour_mode::automatic;
            } else {
                message = std::string("--color takes auto, always or never, not '") + optarg + "'";
                return options_outcome::usage_error;
            }
            break;
        case opt_permissive:
            opts.permissive = true;
            break;
        case opt_md:
            opts.dependencies = true;
            break;
        case opt_mf:
            if (*optarg == '\0') {
                message = "-MF needs a file name";
                return options_outcome::usage_error;
            }
            opts.dependencies = true;
            opts.dependency_file = optarg;
            break;
        case opt_werror:
            opts.warnings_are_errors = true;
            break;
        case opt_from_xml:
            opts.from_xml = true;
            break;
        case opt_mp:
            opts.phony_targets = true;
            break;
        case opt_wno:
            if (!silenced_kind(optarg, message)) {
                return options_outcome::usage_error;
            }
            opts.silenced_warnings.emplace_back(optarg);
            break;
        case opt_check:
            opts.check_only = true;
            break;
        case opt_list:
            opts.list_only = true;
            break;
        case opt_stdin_name:
            opts.stdin_name = optarg;
            if (opts.stdin_name.empty() || opts.stdin_name.find('/') != std::string::npos ||
                opts.stdin_name == "." || opts.stdin_name == "..") {
                message =
                    "--stdin-name needs a file name without '/', not '" + opts.stdin_name + "'";
                return options_outcome::usage_error;
            }
            break;
        case opt_include_refs:
            if (std::strcmp(optarg, "written") == 0) {
                opts.include_refs = include_refs_mode::written;
            } else if (std::strcmp(optarg, "document") == 0) {
                opts.include_refs = include_refs_mode::document;
            } else {
                message =
                    std::string("--include-refs takes written or document, not '") + optarg + "'";
                return options_outcome::usage_error;
            }
            break;
        case ':':
            message = "missing value after '" + current + "'";
            return options_outcome::usage_error;
        default:
            if (optopt != 0) {
                message = std::string("unrecognized option '-") + static_cast<char>(optopt) + "'";
            } else {
                message = unrecognized(current);
            }
            return options_outcome::usage_error;
        }
    }
    if (help) {
        return options_outcome::help;
    }
    if (version) {
        return options_outcome::version;
    }
    for (int i = optind; i < count; ++i) {
        opts.inputs.emplace_back(args[static_cast<std::size_t>(i)]);
    }
    for (const std::string &in : opts.inputs) {
        if (in.empty()) {
            message = "an input name is empty";
            return options_outcome::usage_error;
        }
    }
    if (opts.inputs.empty()) {
        message = "no input files";
        return options_outcome::usage_error;
    }
    if (std::count(opts.inputs.begin(), opts.inputs.end(), "-") > 1) {
        message = "standard input ('-') can be read only once";
        return options_outcome::usage_error;
    }
    if (opts.check_only && opts.list_only) {
        message = "--check and --list cannot be used together";
        return options_outcome::usage_error;
    }
    if (opts.from_xml && opts.include_refs == include_refs_mode::document) {
        message = "--include-refs=document cannot be used with --from-xml";
        return options_outcome::usage_error;
    }
    if (opts.from_xml && (opts.preprocess_only || opts.dependencies || !opts.macros.empty())) {
        // Documents have no preprocessor and no includes of IDL files to list.
        message = "--from-xml cannot be used with -E, -D, -U, -MD or -MF";
        return options_outcome::usage_error;
    }
    if (!opts.dependency_file.empty() && opts.preprocess_only) {
        message = "-MF cannot be used with -E";
        return options_outcome::usage_error;
    }
    if (opts.dependencies && opts.dependency_file.empty() && opts.output_dir == "-") {
        message = "-MD needs an output folder; with -o - name the rule's file with -MF";
        return options_outcome::usage_error;
    }
    return options_outcome::run;
}

std::string options_stdin_name(const driver_options &opts) {
    if (!opts.stdin_name.empty()) {
        return opts.stdin_name;
    }
    return opts.from_xml || opts.preprocess_only ? "stdin.idl" : "stdin.xml";
}

const char *options_help_text() {
    return "Usage: vandrel [options] INPUT...\n"
           "       vandrel idl_path output_path\n"
           "\n"
           "Converts OMG IDL files to OMG DDS-XML type documents. An INPUT is an IDL file or a\n"
           "folder; a folder means every *.idl below it, its layout mirrored below the output;\n"
           "'-' reads standard input.\n"
           "With --from-xml, converts DDS-XML type documents (*.xml) back to IDL files.\n"
           "\n"
           "Options:\n"
           "  -o, --output DIR      write the documents into DIR (default: the current folder),\n"
           "                        created with its parents when missing; '-o -' writes the\n"
           "                        one document to standard output\n"
           "  -b, --base DIR        mirror each input's folder, relative to DIR, below the output\n"
           "  -D NAME[=VALUE]       define a macro before the input is read (VALUE defaults to 1)\n"
           "  -U NAME               undefine a macro defined by an earlier -D\n"
           "  -I DIR                add an include folder\n"
           "  -E                    write the preprocessed text of each input, includes in\n"
           "                        place, to standard output (or, with -o DIR, below DIR)\n"
           "  -j, --jobs N          convert up to N files at once (default: the number of cores)\n"
           "  -q, --quiet           no summary line; diagnostics still appear\n"
           "      --check           read, check and convert, but write nothing; the exit status\n"
           "                        says whether the model is valid\n"
           "      --list            print the files the run would write, one a line; write\n"
           "                        nothing\n"
           "      --stdin-name NAME the output name for the input '-' (default: stdin.xml)\n"
           "      --include-refs=HOW\n"
           "                        how include elements name their file: written (default:\n"
           "                        the include's name, .idl made .xml) or document (relative\n"
           "                        to the document, naming the included file's document)\n"
           "  -Werror               treat warnings as errors\n"
           "  -Wno-<kind>           silence one kind of warning (the kind each warning ends in)\n"
           "      --permissive      report undeclared names and failed checks as warnings; with\n"
           "                        --from-xml also skip unknown elements and attributes\n"
           "      --from-xml        read DDS-XML type documents and write NAME.idl for each\n"
           "  -MD                   write a make rule OUTPUT.d beside each document\n"
           "  -MF FILE              write the make rule of the one input to FILE\n"
           "  -MP                   add an empty rule for each included file to the make rules\n"
           "      --color[=WHEN]    colour diagnostics: auto (default), always, never\n"
           "  -v, --version         print the version and exit\n"
           "  -h, --help            print this summary and exit\n"
           "\n"
           "Exit status: 0 when every input converted, 1 when any failed, 2 for a usage error.\n";
}
