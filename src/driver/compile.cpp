// The compiler form: reads every input with what it includes on worker threads, checks the names
// of the whole model, then writes the documents (or, with -E, the preprocessed texts), printing
// each file's diagnostics together in input order and ending with a summary line.
#include "driver/compile.hpp"

#include "base/diag.hpp"
#include "base/glog.hpp"
#include "base/linkedlist.hpp"
#include "base/owned.hpp"
#include "base/path.hpp"
#include "base/teardown.hpp"
#include "driver/depfile.hpp"
#include "driver/memory.hpp"
#include "driver/options.hpp"
#include "driver/output.hpp"
#include "driver/report.hpp"
#include "driver/reverse.hpp"
#include "driver/version.hpp"
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
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {

//=== one job ===//

struct job_result {
    bool ok = false;
    std::string diagnostics; // gcc-layout text for standard error
    std::string text;        // -E to standard output: the preprocessed text
};

// The macros -D and -U leave defined, for the loader; lives as long as the model.
struct predefined_macros {
    pn_linkedlist *list = pn_linkedlist_create(5, 0);
    bool ok = list != nullptr;
    explicit predefined_macros(const driver_options &opts) {
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
            ok = record != nullptr && list->add_last(list, record);
            if (!ok) {
                preproc_macro_destroy(record);
            }
        }
    }
    ~predefined_macros() {
        while (list != nullptr && list->size > 0) {
            preproc_macro_destroy(static_cast<preproc_macro *>(list->remove_first(list)));
        }
        pn_linkedlist_destroy(list);
    }
    predefined_macros(const predefined_macros &) = delete;
    predefined_macros &operator=(const predefined_macros &) = delete;
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

bool write_stdout(const char *data, std::size_t len) {
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

// The make rule of a job; `input` is empty for standard input, which make cannot look at.
bool write_rule(const driver_options &opts, const compile_job &job, const std::string &input,
                const std::vector<std::string> &included) {
    const bool to_stdout = job.output_dir == "-";
    const std::string target =
        to_stdout ? job.output_name : driver_join_path(job.output_dir, job.output_name);
    const std::string rule = depfile_rule(target, input, included, opts.phony_targets);
    if (!opts.dependency_file.empty()) {
        const std::string &file = opts.dependency_file;
        const std::size_t slash = file.rfind('/');
        const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
        return !name.empty() && driver_write_text(driver_parent_folder(file), name, rule);
    }
    return driver_write_text(job.output_dir, job.output_name + ".d", rule);
}

// What the reading round keeps of each unit read: the facts the name check needs and, for a
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
    // --include-refs=document: the absolute, tidied path of the document of each such file;
    // and, with -b, the resolved base folder and the absolute output folder, where the files
    // below the base that no job converts would have their documents
    std::unordered_map<std::string, std::string> documents;
    std::string base;   // absolute and tidied; empty without -b
    std::string output; // absolute and tidied
    std::string stdin_file;            // the copy of standard input, when `-` is an input
    std::vector<idl_reading> readings; // per job
    std::vector<char> read_failed;     // per job: an error while reading
    std::vector<char> blocked;         // per job: its model holds a checking error
    std::mutex results_lock;
    std::unordered_map<const idl_unit *, unit_result> results; // per unit read
    ~run_model() { idl_loader_delete(loader); }

    // The jobs of each unit: once the last is done with its document, the memory goes back.
    void count_jobs() {
        for (const idl_reading &r : readings) {
            auto found = results.find(r.unit);
            if (found != results.end()) {
                ++found->second.jobs_left;
            }
        }
    }

    void job_done(std::size_t index) {
        const idl_unit *unit = readings[index].unit;
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

// --include-refs=document: for each include of the unit that found a file some job converts
// (or, with -b, a file below the base folder), the path of that file's document relative to
// the folder of the unit's own document.
// With -b, where the document of a file below the base folder that no job converts would go:
// its place below the base mirrored below the output; empty for a file elsewhere.
std::string below_base_document(const run_model &model, const std::string &resolved) {
    if (model.base.empty()) {
        return {};
    }
    const std::string below = path_relative(resolved, model.base);
    if (below == "." || below == ".." || below.compare(0, 3, "../") == 0) {
        return {};
    }
    const std::size_t slash = below.rfind('/');
    std::string name;
    if (!driver_output_name(slash == std::string::npos ? below : below.substr(slash + 1), name)) {
        return {};
    }
    return path_absolute(slash == std::string::npos ? name : below.substr(0, slash) + "/" + name,
                         model.output);
}

std::vector<std::pair<unsigned long, std::string>> document_refs(const run_model &model,
                                                                 const idl_unit &unit) {
    std::vector<std::pair<unsigned long, std::string>> refs;
    const auto own = model.documents.find(unit.resolved);
    if (own == model.documents.end()) {
        return refs;
    }
    const std::string &own_path = own->second; // absolute and tidied
    const std::string folder = own_path.substr(0, std::max<std::size_t>(own_path.rfind('/'), 1));
    for (const idl_include_edge &edge : unit.includes) {
        const auto target = model.documents.find(edge.resolved);
        const std::string document = target != model.documents.end()
                                         ? target->second
                                         : below_base_document(model, edge.resolved);
        if (document.empty()) {
            continue; // neither converted nor below the base folder: the name as written
        }
        refs.emplace_back(edge.line, path_relative(document, folder));
    }
    return refs;
}

// Runs on a reading thread once a unit is parsed, before its tree is released. A unit it cannot
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
            report_sink sink(model.colour);
            const std::vector<std::pair<unsigned long, std::string>> refs =
                document_refs(model, *unit);
            unit->src.include_refs = model.documents.empty() ? nullptr : &refs;
            const owned<xmltree, xmltree_free> doc{idl_unit_document(unit)};
            unit->src.include_refs = nullptr;
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

// The line markers of a preprocessed text of standard input name it "<stdin>", as gcc's do,
// not its temporary copy.
void stdin_markers(std::string &text, const std::string &input, const std::string &stdin_file) {
    if (stdin_file.empty() || input != stdin_file) {
        return;
    }
    const std::string quoted = "\"" + stdin_file + "\"";
    for (std::size_t at = text.find(quoted); at != std::string::npos;
         at = text.find(quoted, at + 9)) {
        text.replace(at, quoted.size(), "\"<stdin>\"");
    }
}

// The preprocessed text of a job, to standard output (kept for the in-order print) or to its
// file.
bool preprocessed(const driver_options &opts, const compile_job &job, idl_reading &reading,
                  made_folders &folders, job_result &result) {
    if (opts.check_only) {
        return true; // read and checked; nothing is written
    }
    if (job.output_dir == "-") {
        result.text = std::move(reading.text);
        return true;
    }
    return folders.make(job.output_dir) &&
           driver_write_text(job.output_dir, job.output_name, reading.text);
}

bool convert(const driver_options &opts, const compile_job &job, made_folders &folders,
             report_sink &sink, run_model &model, std::size_t index) {
    const idl_unit *unit = model.readings[index].unit;
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
    if (sink.errors != 0 || (opts.warnings_are_errors && sink.warnings > 0)) {
        return false; // the caller says why for -Werror
    }
    if (opts.check_only) {
        return true; // read, checked and converted in memory; nothing is written
    }
    auto write_job_rule = [&] {
        const std::vector<std::string_view> &included = model.readings[index].dependencies;
        return write_rule(opts, job, job.input == model.stdin_file ? std::string() : job.input,
                          std::vector<std::string>(included.begin(), included.end()));
    };
    if (job.output_dir == "-") {
        if (!write_stdout(made->document.data(), made->document.size())) {
            glog_error("cannot write to standard output: %s", std::strerror(errno));
            return false;
        }
        return !opts.dependencies || write_job_rule();
    }
    // The make rule is in place before the document is: a document is never replaced without it.
    driver_staged_file document;
    if (!folders.make(job.output_dir) ||
        !driver_stage_text(job.output_dir, job.output_name, made->document, document)) {
        return false; // reported
    }
    if (opts.dependencies && !write_job_rule()) {
        driver_discard(document);
        return false; // reported
    }
    return driver_publish(document);
}

job_result run_job(const driver_options &opts, const compile_job &job, made_folders &folders,
                   bool colour, run_model &model, std::size_t index) {
    job_result result;
    report_sink sink(colour);
    bool ok = false;
    try {
        ok = convert(opts, job, folders, sink, model, index);
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to convert %s", job.input.c_str());
    }
    if (!ok && opts.warnings_are_errors && sink.warnings > 0 && sink.errors == 0) {
        sink.text += report_line(DIAG_ERROR, "warnings are treated as errors (-Werror)", colour);
    }
    const bool reported_before = model.read_failed[index] != 0 || model.blocked[index] != 0;
    if (!ok && !reported_before && sink.errors == 0 && sink.warnings == 0 && sink.text.empty()) {
        // Every failure is reported where it is found; this is only a safety net.
        sink.text += report_line(DIAG_ERROR, job.input + ": conversion failed", colour);
    }
    model.job_done(index);
    result.ok = ok && sink.errors == 0;
    result.diagnostics = std::move(sink.text);
    return result;
}

//=== running the jobs ===//

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
    std::unordered_set<std::string> shown; // diagnostics of readings printed so far

    scheduler(const driver_options &o, const std::vector<compile_job> &j, bool c, run_model &m)
        : opts(o), jobs(j), colour(c), results(j.size()), done(j.size(), false), model(m) {}

    // The diagnostics of job i's reading not printed for an earlier job, as text, and whether
    // the job fails for them (an error, or a warning under -Werror). A diagnostic of a file
    // many inputs include is shown once, with the include chain of the first.
    bool reading_report(std::size_t i, std::string &text) {
        unsigned errors = 0;
        unsigned warnings = 0;
        for (const diagnostic &d : model.readings[i].diagnostics) {
            if (!diag_shown(d)) {
                continue; // a silenced kind of warning
            }
            errors += d.level >= DIAG_ERROR ? 1 : 0;
            warnings += d.level == DIAG_WARNING ? 1 : 0;
            diagnostic bare = d;
            bare.included_from.clear();
            if (shown.insert(diag_gcc_text(bare, false)).second) {
                text += report_text(d, colour);
            }
        }
        const bool werror = opts.warnings_are_errors && warnings > 0;
        if (werror && errors == 0) {
            text += report_line(DIAG_ERROR, "warnings are treated as errors (-Werror)", colour);
        }
        if (model.readings[i].unit == nullptr && errors == 0 && text.empty()) {
            text += report_line(DIAG_ERROR, jobs[i].input + ": conversion failed", colour);
        }
        return model.readings[i].unit == nullptr || errors > 0 || werror;
    }

    // Reads job i's input and its includes into the model (-E: and writes its text).
    void read(std::size_t i) {
        const compile_job &job = jobs[i];
        job_result r;
        if (!job.error.empty()) {
            model.read_failed[i] = 1;
            diagnostic d;
            d.summary = job.error;
            r.diagnostics = report_text(d, colour);
        } else {
            report_sink sink(colour); // what the stages report outside the reading
            const unsigned parts = (opts.preprocess_only ? unsigned{IDL_READ_TEXT} : 0u) |
                                   (opts.dependencies ? unsigned{IDL_READ_DEPENDENCIES} : 0u);
            (void)idl_loader_read_all(model.loader, job.input.c_str(), parts, &model.readings[i]);
            r.diagnostics = std::move(sink.text);
            model.read_failed[i] = sink.errors > 0 ? 1 : 0;
            if (opts.preprocess_only && model.readings[i].unit != nullptr) {
                stdin_markers(model.readings[i].text, job.input, model.stdin_file);
                r.ok = preprocessed(opts, job, model.readings[i], folders, r) && sink.errors == 0;
                std::string().swap(model.readings[i].text);
            }
        }
        if (opts.preprocess_only) {
            publish(i, std::move(r));
        } else {
            results[i] = std::move(r);
        }
    }

    // The next job to take: the threads start spread over the list, each in a part of its own,
    // so that they seldom want the same included file or write into the same folder at once.
    // Past the end once every job is taken.
    std::size_t take() {
        const std::size_t n = jobs.size();
        if (n == 0 || threads == 0) {
            return n;
        }
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
            if (opts.preprocess_only && jobs[printed].error.empty()) {
                // A reading's own diagnostics come first, in input order like everything else.
                std::string text;
                out.ok = !reading_report(printed, text) && out.ok;
                out.diagnostics = text + out.diagnostics;
            }
            failed += out.ok ? 0 : 1;
            if (!out.text.empty()) {
                (void)write_stdout(out.text.data(), out.text.size());
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
        // Records outside a job go straight to standard error, never to the default logger's
        // standard output.
        const report_to_stderr to_stderr(&colour);
        for (std::size_t i = take(); i < jobs.size(); i = take()) {
            if (reading) {
                try {
                    read(i);
                } catch (const std::bad_alloc &) {
                    model.read_failed[i] = 1;
                    if (opts.preprocess_only) {
                        publish(i, job_result{});
                    }
                }
                continue;
            }
            job_result r;
            try {
                r = run_job(opts, jobs[i], folders, colour, model, i);
            } catch (const std::bad_alloc &) {
                r.ok = false;
            }
            publish(i, std::move(r));
        }
    }

    // After the reading round: each job's reading diagnostics, in input order.
    void print_readings() {
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            std::string text = std::move(results[i].diagnostics);
            results[i] = job_result{};
            if (jobs[i].error.empty() && reading_report(i, text)) {
                model.read_failed[i] = 1;
            }
            std::fwrite(text.data(), 1, text.size(), stderr);
        }
    }
};

// Checks the names of every unit read; a job whose reading met a unit holding an error (or a
// warning under -Werror) is refused before its document is made.
void check_model(const driver_options &opts, bool colour, unsigned threads, run_model &model) {
    std::vector<const idl_unit *> roots;
    for (const idl_reading &r : model.readings) {
        if (r.unit != nullptr) {
            roots.push_back(r.unit);
        }
    }
    // Each included file comes before the files that include it.
    const std::vector<const idl_unit *> order = idl_loader_model(model.loader, roots);
    // A report of a file some include brought in is preceded by the include chain of the first
    // reading that met it.
    struct first_met final : report_chains {
        std::unordered_map<std::string_view, std::pair<const idl_reading *, std::size_t>> met;
        std::vector<diag_include> chain_of(const std::string &path) const override {
            auto found = met.find(path);
            return found == met.end()
                       ? std::vector<diag_include>()
                       : idl_reading_chain(*found->second.first, found->second.second);
        }
    } chains;
    for (const idl_reading &r : model.readings) {
        for (std::size_t k = 0; k < r.units.size(); ++k) {
            chains.met.emplace(r.units[k]->path, std::make_pair(&r, k));
        }
    }
    std::vector<const idl_unit *> failed;
    bool werror = false;
    {
        report_sink sink(colour, &chains);
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
            sink.text +=
                report_line(DIAG_ERROR, "warnings are treated as errors (-Werror)", colour);
        }
        std::fwrite(sink.text.data(), 1, sink.text.size(), stderr);
        std::fflush(stderr);
    }
    const std::unordered_set<const idl_unit *> bad(failed.begin(), failed.end());
    for (std::size_t i = 0; i < model.readings.size(); ++i) {
        const std::vector<const idl_unit *> &units = model.readings[i].units;
        model.blocked[i] =
            werror || std::any_of(units.begin(), units.end(),
                                  [&bad](const idl_unit *u) { return bad.count(u) != 0; })
                ? 1
                : 0;
    }
}

//=== what comes before the jobs ===//

// An -I folder that does not exist is most likely a typo: a warning naming it (an error under
// -Werror, and then nothing is converted). False when it is an error.
bool include_dirs_exist(const driver_options &opts, bool colour) {
    bool ok = true;
    for (const std::string &dir : opts.include_dirs) {
        struct stat st {};
        const bool exists = ::stat(dir.c_str(), &st) == 0;
        if (exists && S_ISDIR(st.st_mode)) {
            continue;
        }
        diagnostic d;
        d.level = opts.warnings_are_errors ? DIAG_ERROR : DIAG_WARNING;
        d.warning = DIAG_W_MISSING_INCLUDE_DIR;
        d.summary = "include folder '" + dir +
                    "': " + (exists ? std::string("Not a directory") : std::strerror(errno));
        if (diag_shown(d)) {
            std::fputs(report_text(d, colour).c_str(), stderr);
            ok = ok && d.level != DIAG_ERROR;
        }
    }
    return ok;
}

// Standard input copied whole into a file of a private temporary folder, for the stages that
// read files by name; file and folder go when the run ends. Reports name it "<stdin>".
class stdin_copy {
public:
    stdin_copy() = default;
    stdin_copy(const stdin_copy &) = delete;
    stdin_copy &operator=(const stdin_copy &) = delete;
    ~stdin_copy() {
        if (!file_.empty()) {
            (void)::unlink(file_.c_str());
        }
        if (!folder_.empty()) {
            (void)::rmdir(folder_.c_str());
        }
    }

    // The copy, named stdin plus extension; false (reported) when it cannot be made.
    bool make(const char *extension) {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = tmp != nullptr && *tmp == '/' ? tmp : "/tmp";
        pattern += "/vandrel-stdin-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            return failed("cannot make a temporary folder for standard input");
        }
        folder_ = pattern;
        const std::string file = folder_ + "/stdin" + extension;
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            return failed("cannot copy standard input");
        }
        file_ = file;
        bool ok = true;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                ok = n == 0 || failed("cannot read standard input");
                break;
            }
            for (ssize_t done = 0; ok && done < n;) {
                const ssize_t w = ::write(fd, buffer + done, static_cast<std::size_t>(n - done));
                if (w < 0 && errno == EINTR) {
                    continue;
                }
                ok = w > 0 || failed("cannot copy standard input");
                done += w > 0 ? w : 0;
            }
            if (!ok) {
                break;
            }
        }
        if (::close(fd) != 0 && ok) {
            ok = failed("cannot copy standard input");
        }
        return ok;
    }

    [[nodiscard]] const std::string &path() const { return file_; }

private:
    static bool failed(const char *what) {
        glog_error("%s: %s", what, std::strerror(errno));
        return false;
    }
    std::string folder_;
    std::string file_;
};

// Replaces the input `-` of the plan by the copy of standard input, which reports show as
// "<stdin>". False (reported) when the copy cannot be made.
bool plan_stdin_copy(const driver_options &opts, std::vector<compile_job> &jobs, stdin_copy &copy) {
    for (compile_job &job : jobs) {
        if (job.input != "-" || !job.error.empty()) {
            continue;
        }
        if (!copy.make(opts.from_xml ? ".xml" : ".idl")) {
            return false;
        }
        job.input = copy.path();
        report_alias(copy.path(), "<stdin>");
        const owned_text resolved{::realpath(copy.path().c_str(), nullptr)};
        if (resolved) {
            report_alias(resolved.get(), "<stdin>");
        }
    }
    return true;
}

// --list: the files the run would write, one a line ("-" for standard output), as planned
// from the inputs' names; nothing is read or written. The plan's refusals are reported.
int list_outputs(const driver_options &opts, const std::vector<compile_job> &jobs, bool colour) {
    std::string out;
    std::size_t failed = 0;
    for (const compile_job &job : jobs) {
        if (!job.error.empty()) {
            std::fputs(report_line(DIAG_ERROR, job.error, colour).c_str(), stderr);
            ++failed;
            continue;
        }
        const bool to_stdout = job.output_dir == "-";
        out += to_stdout ? std::string("-") : driver_join_path(job.output_dir, job.output_name);
        out += '\n';
        if (opts.dependencies && !opts.dependency_file.empty()) {
            out += opts.dependency_file + '\n';
        } else if (opts.dependencies) {
            out += driver_join_path(job.output_dir, job.output_name + ".d") + '\n';
        }
    }
    if (!write_stdout(out.data(), out.size())) {
        std::fputs(report_line(DIAG_ERROR, "cannot write to standard output", colour).c_str(),
                   stderr);
        return 1;
    }
    return failed == 0 ? 0 : 1;
}

// --include-refs=document: where each input's document goes, absolute and tidied, and with -b
// where the documents of the other files below the base folder would go.
void plan_documents(const driver_options &opts, const std::vector<compile_job> &jobs,
                    run_model &model) {
    const std::string cwd = driver_working_folder();
    if (!opts.base_dir.empty() && opts.output_dir != "-") {
        const owned_text base{::realpath(opts.base_dir.c_str(), nullptr)};
        model.base = base ? path_absolute(base.get(), "") : std::string();
        model.output = path_absolute(opts.output_dir, cwd);
    }
    for (const compile_job &job : jobs) {
        if (!job.error.empty() || job.output_dir == "-") {
            continue;
        }
        const std::string resolved = idl_loader_resolve(model.loader, job.input, job.plain);
        if (!resolved.empty()) {
            model.documents.emplace(
                resolved, path_absolute(driver_join_path(job.output_dir, job.output_name), cwd));
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
    const report_to_stderr to_stderr(&colour);
    driver_output_name_causes();
    for (const std::string &name : opts.silenced_warnings) {
        diag_silence(diag_warning_by_name(name), true);
    }

    std::vector<compile_job> jobs;
    if (!compile_plan(opts, jobs, message)) {
        return usage_error(message);
    }
    if (jobs.empty()) {
        // Every input plans a job, if only a failed one; kept so that no run ends without a word.
        std::fputs(report_line(DIAG_ERROR, "no input files", colour).c_str(), stderr);
        return 1;
    }
    if (opts.list_only) {
        return list_outputs(opts, jobs, colour);
    }
    if (!include_dirs_exist(opts, colour)) {
        return 1;
    }
    stdin_copy copy;
    if (!plan_stdin_copy(opts, jobs, copy)) {
        return 1;
    }
    if (opts.from_xml) {
        return reverse_run(opts, jobs, colour); // documents back to IDL: a run of its own
    }
    const auto start = std::chrono::steady_clock::now();

    unsigned threads = opts.jobs != 0 ? opts.jobs : std::thread::hardware_concurrency();
    threads = std::max(1u, threads);
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, jobs.size()));
    // The loader's macro list lives as long as the model; the threads only read it.
    const predefined_macros macros(opts);
    run_model model;
    model.readings.resize(jobs.size());
    model.read_failed.assign(jobs.size(), 0);
    model.blocked.assign(jobs.size(), 0);
    // Standard input has no folder of its own: its includes are looked for in the current one
    // (after the -I folders, as the copy's folder holds nothing else).
    std::vector<std::string> include_dirs = opts.include_dirs;
    if (!copy.path().empty()) {
        include_dirs.emplace_back(".");
    }
    model.loader = macros.ok ? idl_loader_new(macros.list, include_dirs) : nullptr;
    if (model.loader == nullptr) {
        glog_fatal("Out of memory: Unable to allocate memory");
        return 1;
    }
    model.colour = colour;
    model.stdin_file = copy.path();
    idl_loader_set_permissive(model.loader, opts.permissive);
    idl_loader_set_parsing(model.loader, !opts.preprocess_only);
    if (!opts.preprocess_only) {
        for (const compile_job &job : jobs) {
            if (job.error.empty()) {
                model.inputs.insert(idl_loader_resolve(model.loader, job.input, job.plain));
            }
        }
        if (opts.include_refs == include_refs_mode::document) {
            plan_documents(opts, jobs, model);
        }
        idl_loader_on_parsed(model.loader, on_parsed, &model);
    }
    if (threads == 1 && !opts.preprocess_only) {
        // The calling thread converts everything: its heap is made ready for the whole input.
        std::uint64_t bytes = 0;
        for (const compile_job &job : jobs) {
            struct stat input {};
            if (job.error.empty() && ::stat(job.input.c_str(), &input) == 0 &&
                S_ISREG(input.st_mode)) {
                bytes += static_cast<std::uint64_t>(input.st_size);
            }
        }
        driver_memory_expect(bytes);
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
    // Every input with its includes first (-E: and its text written), then the names of the
    // whole model, then the documents: a name may be declared in any file the run reads.
    s.reading = true;
    round();
    s.reading = false;
    if (!opts.preprocess_only) {
        // All is read: what sharing work between readings kept goes back for the check's use.
        idl_loader_release_cache(model.loader);
        s.print_readings();
        check_model(opts, colour, threads, model);
        model.count_jobs();
        round();
    }

    if (!opts.quiet && jobs.size() > 1) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::fputs(
            report_summary(jobs.size() - s.failed, s.failed, seconds, opts.preprocess_only).c_str(),
            stderr);
    }
    if (s.failed != 0) {
        driver_remove_made_folders(); // those left empty
    }
    // Every document is written: exiting hands the model's trees back at once, not node by node.
    teardown_skip_at_exit();
    return s.failed == 0 ? 0 : 1;
}

} // namespace

int compile_main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("vandrel: error: Out of memory\n", stderr);
        return 1;
    }
}
