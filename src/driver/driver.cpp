// Command-line driver: checks the arguments, has the translator build the document, creates the
// output directory and writes the pretty-printed document there.
#include "driver/driver.hpp"

#include "base/arch.hpp"
#include "base/glog.hpp"
#include "base/linkedlist.hpp"
#include "base/owned.hpp"
#include "base/teardown.hpp"
#include "driver/compile.hpp"
#include "driver/options.hpp"
#include "idl/idl.hpp"
#include "preproc/preproc.hpp"
#include "xml/xmltree.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace {

// Driver messages go to the default logger; the directory walk and out-of-memory messages go
// through the tool logger, which falls back to it.
#define DRIVER_LOG(level, ...) glog_at(GLOG_GLOBAL_INSTANCE, (level), __VA_ARGS__)

void log_too_long(const std::string &path) {
    glog_error("Path is too long for this platform: %s", path.c_str());
}

enum class kind { missing, directory, other };

kind stat_kind(const std::string &path, int &err) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        err = errno;
        return kind::missing;
    }
    err = 0;
    return S_ISDIR(st.st_mode) ? kind::directory : kind::other;
}

// One component of the walk: accept an existing directory, create a missing one.
bool ensure_directory(const std::string &path) {
    int err = 0;
    switch (stat_kind(path, err)) {
    case kind::directory:
        return true;
    case kind::other:
        glog_error("Directory preempted by filename. failed to create directory: %s", path.c_str());
        return false;
    case kind::missing:
        break;
    }
    if (err == ENAMETOOLONG) {
        log_too_long(path);
        return false;
    }
    if (::mkdir(path.c_str(), 0755) == 0) {
        return true;
    }
    err = errno;
    if (err == EEXIST && stat_kind(path, err) == kind::directory) {
        return true; // made by someone else in the meantime
    }
    if (err == ENAMETOOLONG) {
        log_too_long(path);
    } else {
        glog_error("Unable to create directory: %s", path.c_str());
    }
    return false;
}

std::string base_name(const std::string &path) {
    std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) {
        return path.empty() ? std::string(".") : std::string("/");
    }
    std::size_t start = path.rfind('/', end);
    start = start == std::string::npos ? 0 : start + 1;
    return path.substr(start, end + 1 - start);
}

// Distinguishes the temporary files of one process (several threads may write at once).
std::atomic<unsigned long> temp_counter{0};

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
            log_too_long(args.idl_path);
        } else {
            DRIVER_LOG(GLOG_ERROR, "IDL file is not exist");
        }
        return 1;
    }

    owned<xmltree, xmltree_free> doc{zadozeda_parse(args.idl_path, args.macros, args.include_dirs)};
    if (!doc) {
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
    owned_text resolved{arch_realpath(args.output_path, nullptr)};
    if (!resolved) {
        if (errno == ENAMETOOLONG) {
            log_too_long(output_path);
        } else {
            DRIVER_LOG(GLOG_ERROR, "Failed to get realpath");
        }
        return 1;
    }
    const std::string dir = resolved.get();
    int err = 0;
    switch (stat_kind(dir, err)) {
    case kind::directory:
        break;
    case kind::other:
        DRIVER_LOG(GLOG_ERROR,
                   "Include directory preempted by filename. failed to create directory: %s",
                   dir.c_str());
        return 1;
    case kind::missing:
        if (::mkdir(dir.c_str(), 0755) != 0) {
            DRIVER_LOG(GLOG_ERROR, "Unable to create directory: %s", dir.c_str());
            return 1;
        }
        break;
    }

    if (!driver_write_document(dir, name, doc.get())) {
        return 1;
    }
    teardown_skip_at_exit(); // the document is written: exiting frees it faster than a walk
    doc.reset();
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
               "  -h, --help              Display this help message and exit.\n",
               stdout);
}

bool driver_make_directories(const std::string &path) {
    // Parents first, from the root outwards; the root itself is never tested or created.
    std::size_t pos = !path.empty() && path[0] == '/' ? 1 : 0;
    for (;;) {
        std::size_t slash = path.find('/', pos);
        if (slash == std::string::npos) {
            break;
        }
        if (!ensure_directory(path.substr(0, slash))) {
            return false;
        }
        pos = slash + 1;
    }
    return ensure_directory(path);
}

std::string driver_join_path(const std::string &dir, const std::string &name) {
    if (dir.empty() || dir == ".") {
        return name.empty() ? std::string(".") : name;
    }
    if (name.empty()) {
        return dir;
    }
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string driver_parent_folder(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool driver_output_name(const std::string &idl_path, std::string &name) {
    return driver_output_name_as(idl_path, ".idl", ".xml", name);
}

bool driver_output_name_as(const std::string &path, const char *from, const char *to,
                           std::string &name) {
    name = base_name(path);
    const std::size_t at = name.find(from);
    if (at == std::string::npos) {
        return false;
    }
    name.replace(at, std::strlen(from), to);
    return true;
}

namespace {

// Writes every piece to the file descriptor, resuming after interruptions and short writes.
bool write_all(void *context, const char *data, std::size_t len) {
    const int fd = *static_cast<const int *>(context);
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false; // an error, or a file that takes nothing more
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// Creates a temporary file beside `dir`/`name`, has `fill` write it, and renames it into place;
// any failure removes the temporary file and is logged once.
template <class Fill>
bool write_through_temp(const std::string &dir, const std::string &name, const Fill &fill) {
    const std::string target = dir.back() == '/' ? dir + name : dir + "/" + name;
    // The temporary file lives beside the target so that the rename stays on one file system.
    // Created with mode 0666 under the umask, as `fopen(path, "w")` would, and exclusively: a
    // name taken by another process or an old leftover is skipped for the next one.
    // The process id is asked once: a run writes hundreds of documents.
    static const std::string pid = std::to_string(::getpid());
    const std::string stem = (dir.back() == '/' ? dir : dir + "/") + "." + name + "." + pid + "-";
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = stem + std::to_string(temp_counter.fetch_add(1));
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        if (errno == ENAMETOOLONG) {
            log_too_long(target);
        } else {
            DRIVER_LOG(GLOG_ERROR, "Failed to create file");
        }
        return false;
    }
    bool ok = fill(fd);
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(temp.c_str());
        DRIVER_LOG(GLOG_ERROR, "Failed to write data to file");
        return false;
    }
    if (std::rename(temp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        if (err == ENAMETOOLONG) {
            log_too_long(target);
        } else {
            DRIVER_LOG(GLOG_ERROR, "Failed to create file");
        }
        return false;
    }
    return true;
}

} // namespace

bool driver_write_document(const std::string &dir, const std::string &name, const xmltree *doc) {
    // The text goes to the file piece by piece as it is produced; the whole document is never
    // held in memory.
    return write_through_temp(dir, name, [doc](int fd) {
        int target = fd;
        return xmltree_write_beautify(doc, write_all, &target);
    });
}

bool driver_write_text(const std::string &dir, const std::string &name, const std::string &text) {
    return write_through_temp(dir, name, [&text](int fd) {
        int target = fd;
        return write_all(&target, text.data(), text.size());
    });
}

bool driver_write_pieces(const std::string &dir, const std::string &name,
                         const std::function<bool(driver_piece_writer, void *)> &produce) {
    return write_through_temp(dir, name, [&produce](int fd) {
        int target = fd;
        return produce(write_all, &target);
    });
}

int driver_main(int argc, char **argv) {
    if (options_compiler_form(argc, argv)) {
        return compile_main(argc, argv);
    }
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
