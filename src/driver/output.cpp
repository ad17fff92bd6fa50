// Output files and folders: names, folders made with their parents, files written whole.
#include "driver/output.hpp"

#include "base/arch.hpp"
#include "base/glog.hpp"
#include "base/owned.hpp"
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

} // namespace

std::string driver_working_folder() {
    std::vector<char> cwd(4096);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE || cwd.size() > (1u << 20)) {
            return std::string();
        }
        cwd.resize(cwd.size() * 2);
    }
    return cwd.data();
}

std::string driver_base_name(const std::string &path) {
    return base_name(path);
}

void driver_log_too_long(const std::string &path) {
    log_too_long(path);
}

bool driver_resolve_folder(const std::string &path, std::string &dir) {
    owned_text resolved{arch_realpath(path.c_str(), nullptr)};
    if (!resolved) {
        if (errno == ENAMETOOLONG) {
            log_too_long(path);
        } else {
            DRIVER_LOG(GLOG_ERROR, "Failed to get realpath");
        }
        return false;
    }
    dir = resolved.get();
    int err = 0;
    switch (stat_kind(dir, err)) {
    case kind::directory:
        return true;
    case kind::other:
        DRIVER_LOG(GLOG_ERROR,
                   "Include directory preempted by filename. failed to create directory: %s",
                   dir.c_str());
        return false;
    case kind::missing:
        break;
    }
    if (::mkdir(dir.c_str(), 0755) != 0) {
        DRIVER_LOG(GLOG_ERROR, "Unable to create directory: %s", dir.c_str());
        return false;
    }
    return true;
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
