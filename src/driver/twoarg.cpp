// The two-argument form `vandrel idl_path output_path`: the file read alone, its document made
// and written into the output folder, every step reported as log records on standard output.
#include "driver/twoarg.hpp"

#include "base/glog.hpp"
#include "base/linkedlist.hpp"
#include "base/teardown.hpp"
#include "driver/memory.hpp"
#include "driver/output.hpp"
#include "driver/version.hpp"
#include "idl/idl.hpp"
#include "preproc/preproc.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Driver messages go to the default logger; the out-of-memory messages go through the tool
// logger, which falls back to it.
#define DRIVER_LOG(level, ...) glog_at(GLOG_GLOBAL_INSTANCE, (level), __VA_ARGS__)

int run(argparse &args, int argc, char **argv) {
    DRIVER_LOG(GLOG_INFO, "OrvathDDS VANDREL v%s is running, please wait...", DRIVER_VERSION);

    args.include_dirs = pn_linkedlist_create(5, 0);
    if (args.include_dirs != nullptr) {
        args.macros = pn_linkedlist_create(5, 0);
    }
    if (args.include_dirs == nullptr || args.macros == nullptr) {
        glog_fatal("Out of memory: Unable to allocate memory for linkedlist");
        return 1;
    }
    if (argc != 3) {
        driver_print_usage();
        return 1;
    }
    args.idl_path = argv[1];
    args.output_path = argv[2];

    if (args.idl_path == nullptr || std::strstr(args.idl_path, ".idl") == nullptr) {
        driver_print_usage();
        DRIVER_LOG(GLOG_ERROR, "Wrong IDL Path Extension");
        return 1;
    }
    // An empty output path names no directory at all, so it counts as absent.
    if (args.output_path == nullptr || args.output_path[0] == '\0') {
        driver_print_usage();
        DRIVER_LOG(GLOG_ERROR, "Wrong Output_Path Extension");
        return 1;
    }
    if (::access(args.idl_path, F_OK) != 0) {
        if (errno == ENAMETOOLONG) {
            driver_log_too_long(args.idl_path);
        } else {
            DRIVER_LOG(GLOG_ERROR, "IDL file is not exist");
        }
        return 1;
    }

    struct stat input {};
    if (::stat(args.idl_path, &input) == 0 && S_ISREG(input.st_mode)) {
        driver_memory_expect(static_cast<std::uint64_t>(input.st_size));
    }
    // The document is made as its text, part by part: its elements are never held all at once.
    std::vector<std::string> text;
    if (!zadozeda_parse_text(args.idl_path, args.macros, args.include_dirs, &text)) {
        return 1; // the translator logged the cause
    }

    // The file name is worked out before any directory is made, so that a run that cannot
    // name its output leaves nothing behind.
    std::string name;
    if (!driver_output_name(args.idl_path, name)) {
        DRIVER_LOG(GLOG_ERROR, "Wrong IDL extension.Suspended to create file");
        return 1;
    }
    const std::string output_path = args.output_path;
    if (!driver_make_directories(output_path)) {
        return 1;
    }
    std::string dir;
    if (!driver_resolve_folder(output_path, dir)) {
        return 1;
    }

    const bool written =
        driver_write_pieces(dir, name, [&text](driver_piece_writer write, void *target) {
            for (const std::string &piece : text) {
                if (!write(target, piece.data(), piece.size())) {
                    return false;
                }
            }
            return true;
        });
    if (!written) {
        return 1;
    }
    teardown_skip_at_exit(); // the document is written: exiting frees what is left at once
    argparse_fini(&args);
    DRIVER_LOG(GLOG_INFO, "Done");
    return 0;
}

} // namespace

void argparse_fini(argparse *args) {
    if (args == nullptr) {
        return;
    }
    if (args->include_dirs != nullptr) {
        while (args->include_dirs->size > 0) {
            std::free(args->include_dirs->remove_first(args->include_dirs));
        }
        pn_linkedlist_destroy(args->include_dirs);
    }
    if (args->macros != nullptr) {
        while (args->macros->size > 0) {
            preproc_macro_destroy(
                static_cast<preproc_macro *>(args->macros->remove_first(args->macros)));
        }
        pn_linkedlist_destroy(args->macros);
    }
    *args = argparse{};
}

void driver_print_usage() {
    std::fputs("Usage: ./vandrel idl_path output_path \n"
               "\n"
               "positional arguments:\n"
               "  <idl_path>              Specify the idl to parse.\n"
               "  <output_path>           Specify the output location where the code will be "
               "generated.\n"
               "\n"
               "optional arguments:\n"
               "  -h, --help              Display this help message and exit.\n"
               "See 'vandrel --help' for the compiler form (vandrel -o DIR FILE...).\n",
               stdout);
}

int twoarg_main(int argc, char **argv) {
    argparse args{};
    int status = 1;
    try {
        status = run(args, argc, argv);
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to allocate memory for paths");
        status = 1;
    }
    argparse_fini(&args);
    return status;
}
