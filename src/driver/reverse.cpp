// The reverse run: reads every input document and the documents they include, checks the type
// names of each against what it can see, and writes the IDL of each input that holds no error.
#include "driver/reverse.hpp"

#include "base/diag.hpp"
#include "base/owned.hpp"
#include "driver/options.hpp"
#include "driver/output.hpp"
#include "driver/plan.hpp"
#include "driver/report.hpp"
#include "idlwriter/idlwriter.hpp"
#include "xmlin/xmlin.hpp"
#include "xmlin/xmlin_names.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <unordered_map>

namespace {

// Collects the diagnostics reported on this thread in the gcc layout while it lives.
class text_sink final : public diag_consumer {
public:
    explicit text_sink(bool colour) : colour_(colour), previous_(diag_set_consumer(this)) {}
    ~text_sink() override { (void)diag_set_consumer(previous_); }
    text_sink(const text_sink &) = delete;
    text_sink &operator=(const text_sink &) = delete;

    void consume(const diagnostic &d) override {
        errors += d.level >= DIAG_ERROR ? 1 : 0;
        warnings += d.level == DIAG_WARNING ? 1 : 0;
        text += diag_gcc_text(d, colour_);
    }

    std::string text;
    unsigned errors = 0;
    unsigned warnings = 0;

private:
    bool colour_;
    diag_consumer *previous_;
};

// One document read in this run.
struct loaded {
    xmlin_document doc;
    bool read = false;                 // read without errors
    bool ok = false;                   // read without errors, included documents found
    std::vector<std::size_t> includes; // the documents it includes, as indices
    std::vector<std::size_t> readers;  // the documents that include it
    std::string text;                  // its diagnostics, shown once
    unsigned warnings = 0;
    int names = -1; // name check: -1 not yet run, then 1 passed, 0 failed
    bool shown = false;
};

std::string key_of(const std::string &path) {
    const owned_text resolved{::realpath(path.c_str(), nullptr)};
    return resolved ? std::string(resolved.get()) : path;
}

class reverse {
public:
    reverse(const driver_options &opts, bool colour) : opts_(opts), colour_(colour) {
        options_.permissive = opts.permissive;
    }

    // Reads `path` and, one after another, every document it includes; returns its index.
    std::size_t load(const std::string &path) {
        const std::size_t first = read(path);
        for (std::size_t next = first; next < docs_.size(); ++next) {
            find_includes(next);
        }
        return first;
    }

    // The document and every one it includes, directly or not, itself first; with `upwards`
    // instead every one that includes it.
    std::vector<std::size_t> closure(std::size_t root, bool upwards = false) const {
        std::vector<std::size_t> out{root};
        std::vector<bool> seen(docs_.size(), false);
        seen[root] = true;
        for (std::size_t k = 0; k < out.size(); ++k) {
            for (std::size_t next : upwards ? docs_[out[k]]->readers : docs_[out[k]]->includes) {
                if (!seen[next]) {
                    seen[next] = true;
                    out.push_back(next);
                }
            }
        }
        return out;
    }

    // Shows what is still unshown of the documents job `root` reads, checks their names and
    // writes its IDL; true when it converted.
    bool convert(const compile_job &job, std::size_t root) {
        const std::vector<std::size_t> seen = closure(root);
        bool ok = true;
        bool told = false; // something about this job has been shown
        unsigned warnings = 0;
        for (std::size_t d : seen) {
            check_names(d);
            loaded &l = *docs_[d];
            if (!l.shown) {
                std::fwrite(l.text.data(), 1, l.text.size(), stderr);
                told = told || !l.text.empty();
                l.shown = true;
            }
            ok = ok && l.ok && l.names == 1;
            warnings += l.warnings;
        }
        if (!ok && !told) {
            plain(job.input + ": not converted: it or a document it includes holds an error");
        }
        if (ok && opts_.warnings_are_errors && warnings > 0) {
            plain(job.input + ": warnings are treated as errors (-Werror)");
            ok = false;
        }
        std::fflush(stderr);
        if (!ok) {
            return false;
        }
        xmlin_mark_forward(docs_[root]->doc, related(root, seen));
        const xmlin_document &doc = docs_[root]->doc;
        if (opts_.check_only) {
            // Converted in memory only: the IDL is made and dropped.
            return idlwriter_write(
                doc, [](void *, const char *, std::size_t) { return true; }, nullptr);
        }
        if (job.output_dir == "-") {
            if (!idlwriter_write(doc, write_stdout, nullptr)) {
                plain("cannot write the IDL of " + job.input + " to standard output");
                return false;
            }
            return true;
        }
        return driver_make_directories(job.output_dir) &&
               driver_write_pieces(job.output_dir, job.output_name,
                                   [&doc](driver_piece_writer write, void *target) {
                                       return idlwriter_write(doc, write, target);
                                   });
    }

    void plain(const std::string &message) {
        diagnostic d;
        d.summary = message;
        std::fputs(diag_gcc_text(d, colour_).c_str(), stderr);
    }

private:
    static bool write_stdout(void *, const char *data, std::size_t len) {
        return std::fwrite(data, 1, len, stdout) == len && std::fflush(stdout) == 0;
    }

    std::size_t read(const std::string &path) {
        const std::string key = key_of(path);
        auto found = by_key_.find(key);
        if (found != by_key_.end()) {
            return found->second;
        }
        auto l = std::make_unique<loaded>();
        {
            text_sink sink(colour_);
            // Standard input is shown as "<stdin>", its includes looked for in the current folder.
            l->read = xmlin_read_file(path, report_alias_of(path), options_, l->doc);
            l->ok = l->read;
            l->text = std::move(sink.text);
            l->warnings = sink.warnings;
        }
        const std::size_t index = docs_.size();
        docs_.push_back(std::move(l));
        by_key_.emplace(key, index);
        return index;
    }

    // Reads the documents `include` elements of document i name: beside it, then in each -I
    // folder. One that cannot be found is an error (a warning when permissive: its names
    // are then undeclared).
    void find_includes(std::size_t i) {
        if (!docs_[i]->read) {
            return;
        }
        const std::string folder = driver_parent_folder(docs_[i]->doc.path);
        for (std::size_t e = 0; e < docs_[i]->doc.elements.size(); ++e) {
            const xmlin_element &element = docs_[i]->doc.elements[e];
            if (element.kind != XMLIN_INCLUDE) {
                continue;
            }
            const xmlin_attr *file = xmlin_find(docs_[i]->doc, element, XMLIN_ATTR_FILE);
            const std::string name(xmlin_value(docs_[i]->doc, *file));
            std::string searched = folder;
            std::string path = name[0] == '/' ? name : driver_join_path(folder, name);
            for (std::size_t k = 0; ::access(path.c_str(), F_OK) != 0 && name[0] != '/' &&
                                    k < opts_.include_dirs.size();
                 ++k) {
                path = driver_join_path(opts_.include_dirs[k], name);
                searched += ", " + opts_.include_dirs[k];
            }
            if (::access(path.c_str(), F_OK) == 0) {
                const std::size_t inc = read(path);
                docs_[i]->includes.push_back(inc);
                docs_[inc]->readers.push_back(i);
                continue;
            }
            text_sink sink(colour_);
            diagnostic d;
            d.level = opts_.permissive ? DIAG_WARNING : DIAG_ERROR;
            d.warning = DIAG_W_MISSING_INCLUDE;
            d.summary = "cannot find '" + name + "' (searched: " + searched + ")";
            d.file = docs_[i]->doc.path;
            d.line = file->line;
            d.column = file->column;
            diag_report(d);
            docs_[i]->text += sink.text;
            docs_[i]->warnings += sink.warnings;
            docs_[i]->ok = docs_[i]->ok && sink.errors == 0;
        }
    }

    void check_names(std::size_t d) {
        loaded &l = *docs_[d];
        if (l.names >= 0) {
            return;
        }
        l.names = 0;
        if (!l.read) {
            return;
        }
        std::vector<const xmlin_document *> visible;
        for (std::size_t v : closure(d)) {
            if (docs_[v]->read) {
                visible.push_back(&docs_[v]->doc);
            }
        }
        text_sink sink(colour_);
        l.names = xmlin_check_names(l.doc, visible, options_) ? 1 : 0;
        l.text += sink.text;
        l.warnings += sink.warnings;
    }

    // The documents that may define what `root` forward-declares: those it reads and those
    // that read it.
    std::vector<const xmlin_document *> related(std::size_t root,
                                                const std::vector<std::size_t> &seen) const {
        std::vector<const xmlin_document *> out;
        for (std::size_t d : seen) {
            out.push_back(&docs_[d]->doc);
        }
        for (std::size_t d : closure(root, true)) {
            if (d != root && docs_[d]->read) {
                out.push_back(&docs_[d]->doc);
            }
        }
        return out;
    }

    const driver_options &opts_;
    bool colour_;
    xmlin_options options_;
    std::vector<std::unique_ptr<loaded>> docs_;
    std::unordered_map<std::string, std::size_t> by_key_;
};

} // namespace

int reverse_run(const driver_options &opts, const std::vector<compile_job> &jobs, bool colour) {
    const auto start = std::chrono::steady_clock::now();
    reverse run(opts, colour);
    // Every document first, so that a structure forward-declared in one may be found defined
    // in another that reads it.
    std::vector<std::size_t> roots(jobs.size(), 0);
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        if (jobs[j].error.empty()) {
            roots[j] = run.load(jobs[j].input);
        }
    }
    std::size_t failed = 0;
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        if (!jobs[j].error.empty()) {
            run.plain(jobs[j].error);
            ++failed;
        } else if (!run.convert(jobs[j], roots[j])) {
            ++failed;
        }
    }
    if (!opts.quiet && jobs.size() > 1) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::size_t good = jobs.size() - failed;
        std::fprintf(stderr, "%zu file%s converted, %zu failed in %.2f s\n", good,
                     good == 1 ? "" : "s", failed, seconds);
    }
    return failed == 0 ? 0 : 1;
}
