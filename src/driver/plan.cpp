// Planning the compiler form's jobs: the inputs in command-line order, the `*.idl` files below
// a folder sorted by path, each with the folder and name of its output; refusals found before
// any work starts.
#include "driver/plan.hpp"

#include "base/path.hpp"
#include "driver/options.hpp"
#include "driver/output.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// `path` made absolute (against the working folder `cwd`) and tidied: no ".", "..", or
// repeated slashes; a component list, empty for the root. False when the working folder is
// unknown.
bool absolute_parts(const std::string &path, const std::string &cwd,
                    std::vector<std::string> &parts) {
    parts.clear();
    std::string full = path;
    if (full.empty() || full[0] != '/') {
        if (cwd.empty()) {
            return false;
        }
        full = cwd + "/" + full;
    }
    for (const std::string_view part : path_components(full)) {
        parts.emplace_back(part);
    }
    return true;
}

// The folder below the output that mirrors `folder` relative to `root` ("" for root itself);
// false when `folder` is not below `root`. Compared by name, as the user wrote the paths.
bool mirrored(const std::string &folder, const std::string &root, const std::string &cwd,
              std::string &rel) {
    std::vector<std::string> a;
    std::vector<std::string> b;
    if (!absolute_parts(folder, cwd, a) || !absolute_parts(root, cwd, b) || a.size() < b.size() ||
        !std::equal(b.begin(), b.end(), a.begin())) {
        return false;
    }
    rel.clear();
    for (std::size_t i = b.size(); i < a.size(); ++i) {
        rel += (rel.empty() ? "" : "/") + a[i];
    }
    return true;
}

// What planning asks of paths, asked once: the working folder, and the answers for the folder
// of the file before (a folder walk gives the files of one folder one after another).
struct planner {
    std::string cwd = driver_working_folder();
    std::string folder;
    std::string root;
    bool below = false;
    std::string rel;

    bool mirror(const std::string &of, const std::string &base, std::string &out) {
        if (of != folder || base != root) {
            folder = of;
            root = base;
            below = mirrored(folder, root, cwd, rel);
        }
        out = rel;
        return below;
    }
};

void plan_file(const driver_options &opts, const std::string &input, const std::string &root,
               planner &paths, std::vector<compile_job> &jobs) {
    compile_job job;
    job.input = input;
    std::string rel;
    if (!root.empty() && !paths.mirror(driver_parent_folder(input), root, rel)) {
        job.error = input + ": not below the base folder " + root;
    }
    // -E writes to standard output unless given an output folder.
    const bool to_stdout = opts.output_dir == "-" || (opts.preprocess_only && !opts.output_given);
    job.output_dir = to_stdout ? std::string("-") : driver_join_path(opts.output_dir, rel);
    if (opts.preprocess_only) {
        job.output_name = driver_base_name(input); // the text is IDL again, under its name
    } else if (const char *from = opts.from_xml ? ".xml" : ".idl";
               !driver_output_name_as(input, from, opts.from_xml ? ".idl" : ".xml",
                                      job.output_name) &&
               job.error.empty()) {
        // Appended piece by piece: GCC 12 misreads `string + literal` here at -O3 (-Wrestrict).
        job.error = input;
        job.error += ": no \"";
        job.error += from;
        job.error += "\" in the file name to make the output name from";
    }
    jobs.push_back(std::move(job));
}

// True when both paths name one existing file.
bool same_file(const std::string &a, const std::string &b) {
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// True for a name ending in `extension` (".idl", or ".xml" for documents read back).
bool ends_with(const char *name, const char *extension) {
    const std::size_t n = std::strlen(name);
    const std::size_t e = std::strlen(extension);
    return n > e && std::strcmp(name + n - e, extension) == 0;
}

// A file found by a folder walk; `plain` when it is a regular file itself, not a link to one.
struct found_file {
    std::string path;
    bool plain;
    bool operator<(const found_file &other) const { return path < other.path; }
};

// Collects the files below `folder` whose names end in `extension` (symbolic links to folders
// are not followed, so the walk always ends); the first folder that cannot be read is named in
// `failure`.
void walk(const std::string &folder, const char *extension, std::vector<found_file> &found,
          std::string &failure) {
    DIR *d = ::opendir(folder.c_str());
    if (d == nullptr) {
        if (failure.empty()) {
            failure = folder + ": " + std::strerror(errno);
        }
        return;
    }
    std::vector<std::string> folders;
    while (const struct dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) {
            continue;
        }
        const std::string path =
            folder.back() == '/' ? folder + e->d_name : folder + "/" + e->d_name;
        // The entry's type comes with it on most file systems; asked for only where not.
        const bool idl = ends_with(e->d_name, extension);
        if (e->d_type == DT_REG) {
            if (idl) {
                found.push_back({path, true});
            }
            continue;
        }
        if (e->d_type == DT_DIR) {
            folders.push_back(path);
            continue;
        }
        if (e->d_type != DT_UNKNOWN && e->d_type != DT_LNK) {
            continue; // a device, a pipe or a socket
        }
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            folders.push_back(path);
        } else if (idl && S_ISREG(st.st_mode)) {
            found.push_back({path, true});
        } else if (idl && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            found.push_back({path, false});
        }
    }
    ::closedir(d);
    for (const std::string &sub : folders) {
        walk(sub, extension, found, failure);
    }
}

// A folder that holds no file to convert is a failed job of its own, so that a run never ends
// without work and without a word.
void plan_empty_folder(const driver_options &opts, const std::string &folder,
                       std::vector<compile_job> &jobs) {
    compile_job job;
    job.input = folder;
    job.error = folder + ": no " + (opts.from_xml ? ".xml" : ".idl") + " files in it";
    jobs.push_back(std::move(job));
}

// The input `-`: standard input, written as the --stdin-name document straight into the
// output folder.
void plan_stdin(const driver_options &opts, std::vector<compile_job> &jobs) {
    compile_job job;
    job.input = "-";
    const bool to_stdout = opts.output_dir == "-" || (opts.preprocess_only && !opts.output_given);
    job.output_dir = to_stdout ? std::string("-") : opts.output_dir;
    job.output_name = options_stdin_name(opts);
    jobs.push_back(std::move(job));
}

void plan_folder(const driver_options &opts, const std::string &folder, planner &paths,
                 std::vector<compile_job> &jobs) {
    std::vector<found_file> found;
    std::string failure;
    walk(folder, opts.from_xml ? ".xml" : ".idl", found, failure);
    std::sort(found.begin(), found.end());
    const std::string root = opts.base_dir.empty() ? folder : opts.base_dir;
    for (const found_file &file : found) {
        plan_file(opts, file.path, root, paths, jobs);
        jobs.back().plain = file.plain;
    }
    if (!failure.empty()) {
        compile_job job;
        job.input = folder;
        job.error = failure;
        jobs.push_back(std::move(job));
    }
    if (found.empty() && failure.empty()) {
        plan_empty_folder(opts, folder, jobs);
    }
}

// The folder `dir` as the system reaches it: the device and inode of its deepest folder that
// exists, then the components below it still to be made (no link can stand among those). Two
// spellings through a symbolic link, "..", or repeated slashes give one key. A folder that cannot
// be looked at keeps its spelling.
std::string folder_identity(const std::string &dir) {
    std::string at = dir;
    std::string rest;
    for (;;) {
        while (at.size() > 1 && at.back() == '/') {
            at.pop_back();
        }
        struct stat st {};
        if (::stat(at.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                break;
            }
            // Folders still to be made hold no link: "new/.." is where "new" stands.
            std::string key = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
            for (const std::string_view part :
                 path_components(std::string_view(rest).substr(rest.empty() ? 0 : 1))) {
                key += "/";
                key += part;
            }
            return key;
        }
        if (errno != ENOENT || at == "." || at == "/") {
            break;
        }
        const std::size_t slash = at.rfind('/');
        const std::string name = slash == std::string::npos ? at : at.substr(slash + 1);
        rest = "/" + name + rest;
        at = slash == std::string::npos ? std::string(".") : at.substr(0, slash == 0 ? 1 : slash);
    }
    return "?" + dir;
}

// Two jobs whose documents are one file: the later one fails, naming the earlier input, before
// anything is written; neither may replace the other's document.
void refuse_shared_documents(const driver_options &opts, std::vector<compile_job> &jobs) {
    std::map<std::string, std::string> identity; // folder as written -> its key
    std::map<std::string, std::size_t> writer;   // key and name -> the job writing it
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        compile_job &job = jobs[i];
        if (!job.error.empty() || job.output_dir == "-") {
            continue;
        }
        auto known = identity.find(job.output_dir);
        if (known == identity.end()) {
            known = identity.emplace(job.output_dir, folder_identity(job.output_dir)).first;
        }
        const std::string target = driver_join_path(job.output_dir, job.output_name);
        const auto [first, fresh] = writer.emplace(known->second + "/" + job.output_name, i);
        if (!fresh) {
            const compile_job &other = jobs[first->second];
            const std::string theirs = driver_join_path(other.output_dir, other.output_name);
            job.error = job.input + ": " + other.input + " already writes " + theirs;
            if (theirs != target) {
                job.error += ", the same file as " + target;
            }
        } else if (opts.preprocess_only && same_file(job.input, target)) {
            job.error = job.input + ": the preprocessed text would replace the input";
        }
    }
}

} // namespace

bool compile_plan(const driver_options &opts, std::vector<compile_job> &jobs,
                  std::string &message) {
    jobs.clear();
    planner paths;
    for (const std::string &input : opts.inputs) {
        struct stat st {};
        if (input == "-") {
            plan_stdin(opts, jobs);
        } else if (::stat(input.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            plan_folder(opts, input, paths, jobs);
        } else if (::access(input.c_str(), F_OK) == 0) {
            plan_file(opts, input, opts.base_dir, paths, jobs);
        } else {
            compile_job job;
            job.input = input;
            job.error = input + ": " + std::strerror(errno);
            jobs.push_back(std::move(job));
        }
    }
    refuse_shared_documents(opts, jobs);
    if (opts.output_dir == "-" && !opts.preprocess_only && jobs.size() != 1) {
        message = "-o - writes one document, but the inputs hold " + std::to_string(jobs.size()) +
                  " files";
        return false;
    }
    if (!opts.dependency_file.empty() && jobs.size() != 1) {
        message = "-MF names the rule of one document, but the inputs hold " +
                  std::to_string(jobs.size()) + " files";
        return false;
    }
    return true;
}
