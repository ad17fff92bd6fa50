// Output files and folders: names, folders made with their parents, files written whole.
#include "driver/output.hpp"

#include "base/arch.hpp"
#include "base/glog.hpp"
#include "base/owned.hpp"
#include "xml/xmltree.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <set>
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

// Whether file-system messages name the path and the system's reason (the compiler form) or
// keep the two-argument form's texts.
std::atomic<bool> naming_causes{false};

// Logs that `what` failed for `path` with `err`, in the compiler form's words; false when the
// two-argument form's text is to be logged instead.
bool log_cause(const char *what, const std::string &path, int err) {
    if (!naming_causes.load(std::memory_order_relaxed)) {
        return false;
    }
    if (err != 0) {
        DRIVER_LOG(GLOG_ERROR, "%s '%s': %s", what, path.c_str(), std::strerror(err));
    } else {
        DRIVER_LOG(GLOG_ERROR, "%s '%s'", what, path.c_str());
    }
    return true;
}

// The folders this process made, in the order made, for removing those a failed run left empty.
std::mutex made_lock;
std::vector<std::string> made;

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
        if (!log_cause("cannot create folder", path, ENOTDIR)) {
            glog_error("Directory preempted by filename. failed to create directory: %s",
                       path.c_str());
        }
        return false;
    case kind::missing:
        break;
    }
    if (err == ENAMETOOLONG) {
        if (!log_cause("cannot create folder", path, err)) {
            log_too_long(path);
        }
        return false;
    }
    if (::mkdir(path.c_str(), 0755) == 0) {
        const std::lock_guard<std::mutex> hold(made_lock);
        made.push_back(path);
        return true;
    }
    err = errno;
    int now = 0;
    if (err == EEXIST && stat_kind(path, now) == kind::directory) {
        return true; // made by someone else in the meantime
    }
    if (log_cause("cannot create folder", path, err)) {
        return false;
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

void driver_output_name_causes() {
    naming_causes = true;
    // A file-size limit then fails the write with its reason instead of killing the run with
    // its temporary files in place.
    std::signal(SIGXFSZ, SIG_IGN);
}

void driver_remove_made_folders() {
    const std::lock_guard<std::mutex> hold(made_lock);
    // The deepest first: a folder is made after its parent. Only empty ones go.
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        (void)::rmdir(it->c_str());
    }
    made.clear();
}

namespace {

// The file a piece writer writes to, and the reason its last write failed.
struct write_target {
    int fd = -1;
    int err = 0;
};

// Writes every piece to the file descriptor, resuming after interruptions and short writes.
bool write_all(void *context, const char *data, std::size_t len) {
    auto &target = *static_cast<write_target *>(context);
    while (len > 0) {
        const ssize_t n = ::write(target.fd, data, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            target.err = n < 0 ? errno : ENOSPC; // a file that takes nothing more
            return false;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// Temporary files are named `.vandrel-PID-N.tmp`: short whatever the document's name, so that
// any name the file system takes for a document works, and recognisable as this program's.
constexpr char temp_prefix[] = ".vandrel-";
constexpr char temp_suffix[] = ".tmp";

// The process that made the temporary file `name`; 0 when the name is not of that pattern.
pid_t temp_owner(const char *name) {
    const std::size_t n = std::strlen(name);
    const std::size_t p = sizeof temp_prefix - 1;
    const std::size_t x = sizeof temp_suffix - 1;
    if (n <= p + x || std::strncmp(name, temp_prefix, p) != 0 ||
        std::strcmp(name + n - x, temp_suffix) != 0) {
        return 0;
    }
    long pid = 0;
    std::size_t i = p;
    for (; i < n && name[i] >= '0' && name[i] <= '9' && pid < 1000000000L; ++i) {
        pid = pid * 10 + (name[i] - '0');
    }
    if (i == p || name[i] != '-') {
        return 0;
    }
    for (++i; i < n - x; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
    }
    return static_cast<pid_t>(pid);
}

// Removes, once per folder and run, the temporary files of runs that ended before renaming them
// (killed, or out of power): those whose process no longer exists.
void remove_stale_temps(const std::string &dir) {
    static std::mutex lock;
    static std::set<std::string> swept;
    {
        const std::lock_guard<std::mutex> hold(lock);
        if (!swept.insert(dir).second) {
            return;
        }
    }
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return; // the write that follows says why
    }
    const pid_t self = ::getpid();
    while (const struct dirent *e = ::readdir(d)) {
        const pid_t owner = temp_owner(e->d_name);
        if (owner > 0 && owner != self && ::kill(owner, 0) != 0 && errno == ESRCH) {
            (void)::unlinkat(::dirfd(d), e->d_name, 0);
        }
    }
    ::closedir(d);
}

// Logs that the file `target` cannot be made for `err`.
void log_cannot_create(const std::string &target, int err) {
    if (log_cause("cannot create", target, err)) {
        return;
    }
    if (err == ENAMETOOLONG) {
        log_too_long(target);
    } else {
        DRIVER_LOG(GLOG_ERROR, "Failed to create file");
    }
}

// Writes a temporary file beside `dir`/`name` with `fill`; false after logging, with nothing
// left behind.
template <class Fill>
bool stage(const std::string &dir, const std::string &name, const Fill &fill,
           driver_staged_file &out) {
    out.target = dir.back() == '/' ? dir + name : dir + "/" + name;
    out.temp.clear();
    remove_stale_temps(dir);
    // The temporary file lives beside the target so that the rename stays on one file system.
    // Created with mode 0666 under the umask, as `fopen(path, "w")` would, and exclusively: a
    // name taken by another process or an old leftover is skipped for the next one.
    // The process id is asked once: a run writes hundreds of documents.
    static const std::string pid = std::to_string(::getpid());
    const std::string stem = (dir.back() == '/' ? dir : dir + "/") + temp_prefix + pid + "-";
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = stem + std::to_string(temp_counter.fetch_add(1)) + temp_suffix;
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        log_cannot_create(out.target, errno);
        return false;
    }
    write_target target{fd, 0};
    bool ok = fill(target);
    if (::close(fd) != 0 && ok) {
        ok = false;
        target.err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        if (!log_cause("cannot write", out.target, target.err)) {
            DRIVER_LOG(GLOG_ERROR, "Failed to write data to file");
        }
        return false;
    }
    out.temp = std::move(temp);
    return true;
}

// Writes `dir`/`name` through a temporary file renamed into place; false after logging.
template <class Fill>
bool write_through_temp(const std::string &dir, const std::string &name, const Fill &fill) {
    driver_staged_file file;
    return stage(dir, name, fill, file) && driver_publish(file);
}

} // namespace

bool driver_stage_text(const std::string &dir, const std::string &name, const std::string &text,
                       driver_staged_file &out) {
    return stage(
        dir, name,
        [&text](write_target &target) { return write_all(&target, text.data(), text.size()); },
        out);
}

bool driver_publish(driver_staged_file &file) {
    if (file.temp.empty()) {
        return false;
    }
    const std::string temp = std::move(file.temp);
    file.temp.clear();
    if (std::rename(temp.c_str(), file.target.c_str()) == 0) {
        return true;
    }
    const int err = errno;
    ::unlink(temp.c_str());
    log_cannot_create(file.target, err);
    return false;
}

void driver_discard(driver_staged_file &file) {
    if (!file.temp.empty()) {
        ::unlink(file.temp.c_str());
        file.temp.clear();
    }
}

bool driver_write_document(const std::string &dir, const std::string &name, const xmltree *doc) {
    // The text goes to the file piece by piece as it is produced; the whole document is never
    // held in memory.
    return write_through_temp(dir, name, [doc](write_target &target) {
        return xmltree_write_beautify(doc, write_all, &target);
    });
}

bool driver_write_text(const std::string &dir, const std::string &name, const std::string &text) {
    return write_through_temp(dir, name, [&text](write_target &target) {
        return write_all(&target, text.data(), text.size());
    });
}

bool driver_write_pieces(const std::string &dir, const std::string &name,
                         const std::function<bool(driver_piece_writer, void *)> &produce) {
    return write_through_temp(
        dir, name, [&produce](write_target &target) { return produce(write_all, &target); });
}
