// The compiler form: plans the jobs, converts them on worker threads, prints each file's
// diagnostics together in input order, and ends with a summary line.
#include "driver/compile.hpp"

#include "base/diag.hpp"
#include "base/glog.hpp"
#include "base/linkedlist.hpp"
#include "base/owned.hpp"
#include "base/path.hpp"
#include "driver/depfile.hpp"
#include "driver/driver.hpp"
#include "driver/options.hpp"
#include "driver/reverse.hpp"
#include "idl/idl_load.hpp"
#include "preproc/preproc.hpp"
#include "sema/sema.hpp"
#include "xml/xmltree.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {

//=== diagnostics of one file ===//

// The working folder; empty when it cannot be found out.
std::string working_folder() {
    std::vector<char> cwd(4096);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE || cwd.size() > (1u << 20)) {
            return std::string();
        }
        cwd.resize(cwd.size() * 2);
    }
    return cwd.data();
}


// Collects, for the file being worked on by this thread, the diagnostics and the plain log
// records that stages still write, both in the gcc layout.
class file_sink final : public diag_consumer {
public:
    explicit file_sink(bool colour) : colour_(colour) {
        previous_consumer_ = diag_set_consumer(this);
        previous_hook_ = glog_set_thread_hook({&file_sink::record, this});
    }
    ~file_sink() override {
        (void)glog_set_thread_hook(previous_hook_);
        (void)diag_set_consumer(previous_consumer_);
    }
    file_sink(const file_sink &) = delete;
    file_sink &operator=(const file_sink &) = delete;

    void consume(const diagnostic &d) override {
        if (d.level >= DIAG_ERROR) {
            ++errors;
        } else if (d.level == DIAG_WARNING) {
            ++warnings;
        }
        try {
            text += diag_gcc_text(shown(d), colour_);
        } catch (const std::bad_alloc &) {
            // the text is lost, but the count above still fails the file
        }
    }

    // A plain record: warnings and worse are shown as "vandrel: error: text"; progress records
    // have no place in this form.
    static void record(void *context, int32_t level, const char *message) {
        if (level < GLOG_WARN) {
            return;
        }
        diagnostic d;
        d.level = level >= GLOG_FATAL   ? DIAG_FATAL
                  : level >= GLOG_ERROR ? DIAG_ERROR
                                        : DIAG_WARNING;
        try {
            d.summary = message;
        } catch (const std::bad_alloc &) {
            // still counted below, without its text
        }
        static_cast<file_sink *>(context)->consume(d);
    }

    std::string text;
    unsigned errors = 0;
    unsigned warnings = 0;

private:
    // The stages name files by their resolved paths; below the working folder they are shown
    // relative to it, as the user most likely named them.
    static std::string shown_path(const std::string &path) {
        static const std::string prefix = [] {
            const std::string cwd = working_folder();
            return cwd.empty() ? cwd : cwd + "/";
        }();
        if (prefix.size() > 1 && path.size() > prefix.size() &&
            path.compare(0, prefix.size(), prefix) == 0) {
            return path.substr(prefix.size());
        }
        return path;
    }
    static diagnostic shown(const diagnostic &d) {
        diagnostic copy = d;
        copy.file = shown_path(d.file);
        for (diag_note &note : copy.notes) {
            note.file = shown_path(note.file);
        }
        return copy;
    }

    bool colour_;
    diag_consumer *previous_consumer_ = nullptr;
    glog_thread_hook previous_hook_{};
};

// A diagnostic without a place, as gcc writes its own ("vandrel: error: ...").
std::string plain_line(diag_level level, const std::string &message, bool colour) {
    diagnostic d;
    d.level = level;
    d.summary = message;
    return diag_gcc_text(d, colour);
}

//=== planning ===//

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
    std::string cwd = working_folder();
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
    job.output_dir =
        opts.output_dir == "-" ? opts.output_dir : driver_join_path(opts.output_dir, rel);
    const char *from = opts.from_xml ? ".xml" : ".idl";
    if (!driver_output_name_as(input, from, opts.from_xml ? ".idl" : ".xml", job.output_name) &&
        job.error.empty()) {
        // Appended piece by piece: GCC 12 misreads `string + literal` here at -O3 (-Wrestrict).
        job.error = input;
        job.error += ": no \"";
        job.error += from;
        job.error += "\" in the file name to make the output name from";
    }
    jobs.push_back(std::move(job));
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
}

//=== one job ===//

struct job_result {
    bool ok = false;
    std::string diagnostics; // gcc-layout text for standard error
    std::string text;        // -E: the preprocessed text for standard output
};

// Include folders and macros for the preprocessor, built from the options by each thread.
struct job_lists {
    argparse lists{};
    bool ok = false;
    explicit job_lists(const driver_options &opts) {
        lists.include_dirs = pn_linkedlist_create(5, 0);
        lists.macros = pn_linkedlist_create(5, 0);
        ok = lists.include_dirs != nullptr && lists.macros != nullptr;
        for (std::size_t i = 0; ok && i < opts.include_dirs.size(); ++i) {
            char *copy = strdup(opts.include_dirs[i].c_str());
            ok = copy != nullptr && lists.include_dirs->add_last(lists.include_dirs, copy);
            if (!ok) {
                std::free(copy);
            }
        }
        // -D and -U apply in order: an -U drops what earlier -D options defined.
        for (std::size_t i = 0; ok && i < opts.macros.size(); ++i) {
            const macro_option &m = opts.macros[i];
            bool later = false;
            for (std::size_t j = i + 1; j < opts.macros.size(); ++j) {
                later = later || opts.macros[j].name == m.name;
            }
            if (!m.define || later) {
                continue;
            }
            preproc_macro *record = preproc_macro_create_object(m.name.c_str(), m.value.c_str());
            ok = record != nullptr && lists.macros->add_last(lists.macros, record);
            if (!ok) {
                preproc_macro_destroy(record);
            }
        }
    }
    ~job_lists() { argparse_fini(&lists); }
    job_lists(const job_lists &) = delete;
    job_lists &operator=(const job_lists &) = delete;
};

// Output folders already made by this run: each is checked on disk once, not once per file.
class made_folders {
public:
    bool make(const std::string &dir) {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            if (done_.count(dir) != 0) {
                return true;
            }
        }
        if (!driver_make_directories(dir)) {
            return false; // reported
        }
        const std::lock_guard<std::mutex> guard(lock_);
        done_.insert(dir);
        return true;
    }

private:
    std::mutex lock_;
    std::set<std::string> done_;
};

bool write_stdout(void *, const char *data, std::size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, data, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool preprocess(const compile_job &job, const job_lists &lists, std::string &text) {
    preproc_root state{};
    bool ok = preproc_root_init(&state, lists.lists.macros, lists.lists.include_dirs) &&
              zadozeda_preproc(&state, job.input.c_str());
    if (ok) {
        text.assign(state.output.data, state.output.len);
    }
    preproc_root_fini(&state);
    return ok;
}

bool write_rule(const driver_options &opts, const compile_job &job,
                const std::vector<std::string> &included) {
    const bool to_stdout = job.output_dir == "-";
    const std::string target =
        to_stdout ? job.output_name : driver_join_path(job.output_dir, job.output_name);
    const std::string rule = depfile_rule(target, job.input, included);
    if (!opts.dependency_file.empty()) {
        const std::string &file = opts.dependency_file;
        const std::size_t slash = file.rfind('/');
        const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
        return !name.empty() && driver_write_text(driver_parent_folder(file), name, rule);
    }
    return driver_write_text(job.output_dir, job.output_name + ".d", rule);
}

// What the reading round keeps of each file it read: the facts the name check needs and, for a
// file some job converts, its document, made while the parse tree was fresh, with the
// diagnostics of making it (shown once the check lets the file through).
struct unit_result {
    owned<sema_facts, sema_facts_delete> facts;
    bool document_ok = false;
    std::string document;    // the pretty text of the document
    std::string diagnostics; // gcc-layout text of making it
    unsigned errors = 0;
    unsigned warnings = 0;
    std::atomic<unsigned> jobs_left{0}; // jobs still to write the document
};

// The whole model of a run: each input read with its includes by the workers, then checked as
// one on the main thread before any document is written.
struct run_model {
    idl_loader *loader = nullptr;
    bool colour = false;
    std::unordered_set<std::string> inputs; // resolved paths of the files the jobs convert
    std::vector<const idl_unit *> units;    // per job; null when it was not read
    std::vector<std::string> read_text;     // per job: diagnostics of its reading
    std::vector<char> read_failed;          // per job: an error while reading
    std::vector<char> blocked;              // per job: its model holds a checking error
    std::mutex results_lock;
    std::unordered_map<const idl_unit *, unit_result> results; // per file read
    ~run_model() { idl_loader_delete(loader); }

    // The jobs of each file: once the last is done with its document, the memory goes back.
    void count_jobs() {
        for (const idl_unit *unit : units) {
            auto found = results.find(unit);
            if (found != results.end()) {
                ++found->second.jobs_left;
            }
        }
    }

    void job_done(std::size_t index) {
        const idl_unit *unit = units[index];
        if (unit == nullptr) {
            return;
        }
        unit_result *r = nullptr;
        {
            const std::lock_guard<std::mutex> hold(results_lock);
            auto found = results.find(unit);
            r = found == results.end() ? nullptr : &found->second;
        }
        if (r != nullptr && r->jobs_left.fetch_sub(1) == 1) {
            r->facts.reset();
            std::string().swap(r->document);
        }
    }

    const unit_result *result_of(const idl_unit *unit) {
        const std::lock_guard<std::mutex> hold(results_lock);
        auto found = results.find(unit);
        return found == results.end() ? nullptr : &found->second;
    }
};

bool append_text(void *context, const char *data, std::size_t len) {
    try {
        static_cast<std::string *>(context)->append(data, len);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

// Runs on a reading thread once a file is parsed, before its tree is released. A file it cannot
// finish (memory ran out, reported) has no result and is refused by the check.
void on_parsed(void *context, idl_unit *unit) {
    auto &model = *static_cast<run_model *>(context);
    try {
        unit_result made;
        made.facts.reset(sema_facts_new(unit));
        if (!made.facts) {
            return; // reported
        }
        if (model.inputs.count(unit->resolved) != 0) {
            // The diagnostics of making the document belong to the job converting this file,
            // not to the one whose include brought it in.
            file_sink sink(model.colour);
            const owned<xmltree, xmltree_free> doc{idl_unit_document(unit)};
            // All that is wanted of the tree is made: its memory goes back before the text of
            // the document takes more.
            idl_unit_release_tree(unit);
            made.document_ok =
                doc && xmltree_write_beautify(doc.get(), append_text, &made.document);
            if (doc && !made.document_ok) {
                glog_fatal("Out of memory: Unable to write the document of %s", unit->path.c_str());
            }
            made.diagnostics = std::move(sink.text);
            made.errors = sink.errors;
            made.warnings = sink.warnings;
        }
        const std::lock_guard<std::mutex> hold(model.results_lock);
        unit_result &kept = model.results[unit];
        kept.facts = std::move(made.facts);
        kept.document_ok = made.document_ok;
        kept.document = std::move(made.document);
        kept.diagnostics = std::move(made.diagnostics);
        kept.errors = made.errors;
        kept.warnings = made.warnings;
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to convert %s", unit->path.c_str());
    }
}

bool convert(const driver_options &opts, const compile_job &job, const job_lists &lists,
             made_folders &folders, file_sink &sink, job_result &result, run_model &model,
             std::size_t index) {
    if (!job.error.empty()) {
        sink.consume([&] {
            diagnostic d;
            d.summary = job.error;
            return d;
        }());
        return false;
    }
    if (!lists.ok) {
        glog_fatal("Out of memory: Unable to allocate memory for linkedlist");
        return false;
    }
    // An error reported by a stage that still went on fails the file, as does a warning under
    // -Werror; either way before anything is written.
    const auto clean = [&] {
        return sink.errors == 0 && !(opts.warnings_are_errors && sink.warnings > 0);
    };
    if (opts.preprocess_only) {
        return preprocess(job, lists, result.text) && clean();
    }
    const idl_unit *unit = model.units[index];
    if (unit == nullptr || model.read_failed[index] != 0 || model.blocked[index] != 0) {
        return false; // reported while reading or checking
    }
    const unit_result *made = model.result_of(unit);
    if (made == nullptr) {
        return false; // reported while reading
    }
    sink.text += made->diagnostics;
    sink.errors += made->errors;
    sink.warnings += made->warnings;
    if (!made->document_ok) {
        return false; // reported while reading
    }
    std::vector<std::string> included;
    if (opts.dependencies) {
        included = idl_loader_dependencies(model.loader, unit);
    }
    if (!clean()) {
        return false; // the caller says why for -Werror
    }
    if (job.output_dir == "-") {
        if (!write_stdout(nullptr, made->document.data(), made->document.size())) {
            glog_error("Failed to write data to file");
            return false;
        }
    } else if (!folders.make(job.output_dir) ||
               !driver_write_text(job.output_dir, job.output_name, made->document)) {
        return false; // reported
    }
    return !opts.dependencies || write_rule(opts, job, included);
}

job_result run_job(const driver_options &opts, const compile_job &job, const job_lists &lists,
                   made_folders &folders, bool colour, run_model &model, std::size_t index) {
    job_result result;
    file_sink sink(colour);
    bool ok = false;
    try {
        ok = convert(opts, job, lists, folders, sink, result, model, index);
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to convert %s", job.input.c_str());
    }
    if (!ok && opts.warnings_are_errors && sink.warnings > 0 && sink.errors == 0) {
        sink.text += plain_line(DIAG_ERROR, "warnings are treated as errors (-Werror)", colour);
    }
    const bool reported_before =
        !opts.preprocess_only && (model.read_failed[index] != 0 || model.blocked[index] != 0);
    if (!ok && !reported_before && sink.errors == 0 && sink.warnings == 0 &&
        sink.text.empty()) {
        // Every failure is reported where it is found; this is only a safety net.
        sink.text += plain_line(DIAG_ERROR, job.input + ": conversion failed", colour);
    }
    if (!opts.preprocess_only) {
        model.job_done(index);
    }
    result.ok = ok && sink.errors == 0;
    result.diagnostics = std::move(sink.text);
    if (!result.ok) {
        result.text.clear();
    }
    return result;
}

//=== running the jobs ===//

// Sends the calling thread's records to `record` while it lives.
class hook_guard {
public:
    hook_guard(void (*record)(void *, int32_t, const char *), void *context)
        : previous_(glog_set_thread_hook({record, context})) {}
    ~hook_guard() { (void)glog_set_thread_hook(previous_); }
    hook_guard(const hook_guard &) = delete;
    hook_guard &operator=(const hook_guard &) = delete;

private:
    glog_thread_hook previous_;
};

// Records written outside any job go straight to standard error.
void immediate_record(void *context, int32_t level, const char *message) {
    if (level < GLOG_WARN) {
        return;
    }
    const bool colour = *static_cast<const bool *>(context);
    const diag_level l = level >= GLOG_ERROR ? DIAG_ERROR : DIAG_WARNING;
    try {
        std::fputs(plain_line(l, message, colour).c_str(), stderr);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "vandrel: error: %s\n", message);
    }
}

// Hands out jobs to the threads and prints finished files strictly in input order.
struct scheduler {
    const driver_options &opts;
    const std::vector<compile_job> &jobs;
    bool colour;
    std::atomic<std::size_t> next{0};
    std::mutex lock;
    std::vector<job_result> results;
    std::vector<bool> done;
    std::size_t printed = 0;
    std::size_t failed = 0;
    made_folders folders;
    run_model &model;
    bool reading = false; // the first round: read the inputs, convert nothing
    unsigned threads = 1;

    scheduler(const driver_options &o, const std::vector<compile_job> &j, bool c, run_model &m)
        : opts(o), jobs(j), colour(c), results(j.size()), done(j.size(), false), model(m) {}

    // Reads job i's input and its includes into the model; its diagnostics are kept for later.
    void read(std::size_t i) {
        const compile_job &job = jobs[i];
        if (opts.preprocess_only || !job.error.empty()) {
            return;
        }
        file_sink sink(colour);
        const idl_unit *unit = idl_loader_read(model.loader, job.input.c_str());
        model.units[i] = unit;
        const bool werror = opts.warnings_are_errors && sink.warnings > 0;
        if (werror && sink.errors == 0) {
            sink.text += plain_line(DIAG_ERROR, "warnings are treated as errors (-Werror)", colour);
        }
        model.read_failed[i] = unit == nullptr || sink.errors > 0 || werror ? 1 : 0;
        if (unit == nullptr && sink.text.empty()) {
            sink.text += plain_line(DIAG_ERROR, job.input + ": conversion failed", colour);
        }
        model.read_text[i] = std::move(sink.text);
    }

    // The next job to take: the threads start spread over the list, each in a part of its own,
    // so that they seldom want the same included file or write into the same folder at once.
    // Past the end once every job is taken.
    std::size_t take() {
        const std::size_t n = jobs.size();
        const std::size_t part = (n + threads - 1) / threads;
        for (std::size_t k = next.fetch_add(1); k < part * threads; k = next.fetch_add(1)) {
            const std::size_t i = (k % threads) * part + k / threads;
            if (i < n) {
                return i;
            }
        }
        return n;
    }

    void publish(std::size_t i, job_result r) {
        const std::lock_guard<std::mutex> guard(lock);
        results[i] = std::move(r);
        done[i] = true;
        while (printed < jobs.size() && done[printed]) {
            job_result &out = results[printed];
            failed += out.ok ? 0 : 1;
            if (!out.text.empty()) {
                std::fwrite(out.text.data(), 1, out.text.size(), stdout);
                std::fflush(stdout);
            }
            if (!out.diagnostics.empty()) {
                std::fwrite(out.diagnostics.data(), 1, out.diagnostics.size(), stderr);
                std::fflush(stderr);
            }
            out = job_result{};
            ++printed;
        }
    }

    void work() {
        // Records outside a job (building the lists) go straight to standard error, never to
        // the default logger's standard output.
        const hook_guard to_stderr(immediate_record, &colour);
        if (reading) {
            for (std::size_t i = take(); i < jobs.size(); i = take()) {
                try {
                    read(i);
                } catch (const std::bad_alloc &) {
                    model.read_failed[i] = 1;
                }
            }
            return;
        }
        const job_lists lists(opts);
        for (std::size_t i = take(); i < jobs.size(); i = take()) {
            job_result r;
            try {
                r = run_job(opts, jobs[i], lists, folders, colour, model, i);
            } catch (const std::bad_alloc &) {
                r.ok = false;
            }
            publish(i, std::move(r));
        }
    }
};

// Checks the names of every file read; a job whose input or any file it includes holds an
// error (or a warning under -Werror) is refused before its document is made.
void check_model(const driver_options &opts, bool colour, unsigned threads, run_model &model) {
    std::vector<const idl_unit *> roots;
    for (const idl_unit *unit : model.units) {
        if (unit != nullptr) {
            roots.push_back(unit);
        }
    }
    // Each included file comes before the files that include it.
    const std::vector<const idl_unit *> order = idl_loader_model(model.loader, roots);
    std::vector<const idl_unit *> failed;
    bool werror = false;
    {
        file_sink sink(colour);
        sema_options options;
        options.permissive = opts.permissive;
        options.threads = threads;
        std::vector<const sema_facts *> facts;
        for (const idl_unit *unit : order) {
            auto found = model.results.find(unit);
            if (found != model.results.end()) {
                facts.push_back(found->second.facts.get());
            } else {
                failed.push_back(unit); // not finished while reading (reported)
            }
        }
        static_cast<void>(sema_check_facts(facts, options, &failed));
        werror = opts.warnings_are_errors && sink.warnings > 0;
        if (werror && sink.errors == 0) {
            sink.text += plain_line(DIAG_ERROR, "warnings are treated as errors (-Werror)", colour);
        }
        std::fwrite(sink.text.data(), 1, sink.text.size(), stderr);
        std::fflush(stderr);
    }
    // A file is refused when it or any file it reads holds an error: in model order, the
    // verdicts of its includes are known when a file's turn comes.
    std::unordered_set<const idl_unit *> bad(failed.begin(), failed.end());
    std::unordered_map<std::string_view, const idl_unit *> by_resolved;
    for (const idl_unit *unit : order) {
        by_resolved.emplace(unit->resolved, unit);
    }
    for (const idl_unit *unit : order) {
        for (const idl_include_edge &edge : unit->includes) {
            auto found = by_resolved.find(edge.resolved);
            if (found != by_resolved.end() && bad.count(found->second) != 0) {
                bad.insert(unit);
                break;
            }
        }
    }
    for (std::size_t i = 0; i < model.units.size(); ++i) {
        if (model.units[i] != nullptr) {
            model.blocked[i] = werror || bad.count(model.units[i]) != 0 ? 1 : 0;
        }
    }
}

int usage_error(const std::string &message) {
    std::fprintf(stderr, "vandrel: error: %s\nTry 'vandrel --help' for more information.\n",
                 message.c_str());
    return 2;
}

int run(int argc, char **argv) {
    driver_options opts;
    std::string message;
    switch (options_parse(argc, argv, opts, message)) {
    case options_outcome::help:
        std::fputs(options_help_text(), stdout);
        return 0;
    case options_outcome::version:
        std::printf("vandrel %s\n", DRIVER_VERSION);
        return 0;
    case options_outcome::usage_error:
        return usage_error(message);
    case options_outcome::run:
        break;
    }
    bool colour = opts.colour == colour_mode::always ||
                  (opts.colour == colour_mode::automatic && ::isatty(STDERR_FILENO) == 1);
    const hook_guard to_stderr(immediate_record, &colour);

    std::vector<compile_job> jobs;
    if (!compile_plan(opts, jobs, message)) {
        return usage_error(message);
    }
    if (opts.from_xml) {
        return reverse_run(opts, jobs, colour); // documents back to IDL: a run of its own
    }
    const auto start = std::chrono::steady_clock::now();
#if defined(__GLIBC__)
    if (jobs.size() > 1) {
        // Many files in one process: the big buffers of one file are reused for the next
        // rather than mapped and unmapped each time (every unmapping interrupts the other
        // threads' cores to flush their address translations).
        mallopt(M_MMAP_THRESHOLD, 64 * 1024 * 1024);
        mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
    }
#endif

    unsigned threads = opts.jobs != 0 ? opts.jobs : std::thread::hardware_concurrency();
    threads = std::max(1u, threads);
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, jobs.size()));
    // The loader's macro list lives as long as the model; the threads only read it.
    const job_lists model_lists(opts);
    run_model model;
    model.units.assign(jobs.size(), nullptr);
    model.read_text.assign(jobs.size(), std::string());
    model.read_failed.assign(jobs.size(), 0);
    model.blocked.assign(jobs.size(), 0);
    if (!opts.preprocess_only) {
        model.loader = model_lists.ok
                           ? idl_loader_new(model_lists.lists.macros, opts.include_dirs)
                           : nullptr;
        if (model.loader == nullptr) {
            glog_fatal("Out of memory: Unable to allocate memory");
            return 1;
        }
        model.colour = colour;
        for (const compile_job &job : jobs) {
            if (job.error.empty()) {
                model.inputs.insert(idl_loader_resolve(model.loader, job.input, job.plain));
            }
        }
        idl_loader_on_parsed(model.loader, on_parsed, &model);
    }
    scheduler s(opts, jobs, colour, model);
    s.threads = threads;
    const auto round = [&s, threads] {
        s.next = 0;
        std::vector<std::thread> workers;
        for (unsigned t = 1; t < threads; ++t) {
            try {
                workers.emplace_back([&s] { s.work(); });
            } catch (const std::system_error &) {
                break; // fewer threads then; the ones running take the remaining jobs
            }
        }
        s.work(); // the main thread works too
        for (std::thread &w : workers) {
            w.join();
        }
    };
    if (!opts.preprocess_only) {
        // Every input with its includes first, then the names of the whole model, then the
        // documents: a name may be declared in any file the run reads.
        s.reading = true;
        round();
        s.reading = false;
        for (const std::string &text : model.read_text) {
            std::fwrite(text.data(), 1, text.size(), stderr);
        }
        check_model(opts, colour, threads, model);
        model.count_jobs();
    }
    round();

    if (!opts.quiet && jobs.size() > 1) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::size_t good = jobs.size() - s.failed;
        std::fprintf(stderr, "%zu file%s %s, %zu failed in %.2f s\n", good, good == 1 ? "" : "s",
                     opts.preprocess_only ? "preprocessed" : "converted", s.failed, seconds);
    }
    return s.failed == 0 ? 0 : 1;
}

} // namespace

bool compile_plan(const driver_options &opts, std::vector<compile_job> &jobs,
                  std::string &message) {
    jobs.clear();
    planner paths;
    std::set<std::string> outputs;
    for (const std::string &input : opts.inputs) {
        struct stat st {};
        if (::stat(input.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
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
    // Two inputs that would write the same document: the later one fails rather than race.
    // Documents are told apart by the absolute, tidied form of their folder (worked out once
    // for the files of one folder) and their name, which is never "." or "..".
    std::string dir;
    std::string dir_key;
    for (compile_job &job : jobs) {
        if (!job.error.empty() || job.output_dir == "-" || opts.preprocess_only) {
            continue;
        }
        const std::string target = driver_join_path(job.output_dir, job.output_name);
        if (dir_key.empty() || job.output_dir != dir) {
            dir = job.output_dir;
            std::vector<std::string> parts;
            dir_key = "?" + dir; // the folder as written when the working folder is unknown
            if (absolute_parts(dir, paths.cwd, parts)) {
                dir_key.clear();
                for (const std::string &p : parts) {
                    dir_key += "/" + p;
                }
            }
        }
        if (!outputs.insert(dir_key + "/" + job.output_name).second) {
            job.error = job.input + ": another input already writes " + target;
        }
    }
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

int compile_main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("vandrel: error: Out of memory\n", stderr);
        return 1;
    }
}
