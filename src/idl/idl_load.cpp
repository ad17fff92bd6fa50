// Reading a whole model: each file preprocessed and parsed once, its includes found and read.
#include "idl/idl_load.hpp"

#include "base/arch.hpp"
#include "base/diag.hpp"
#include "base/glog.hpp"
#include "base/hashmap.hpp"
#include "base/linkedlist.hpp"
#include "base/owned.hpp"
#include "idl/idl_translate.hpp"
#include "peg/ast.hpp"
#include "preproc/macro.hpp"
#include "preproc/preproc.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace {

// Includes nest a handful of levels in real models; each level holds a preprocessor state on
// the native stack of the reading thread.
constexpr unsigned k_max_include_depth = 64;

void free_text(char *text) {
    std::free(text);
}

struct preproc_guard {
    preproc_root *state;
    ~preproc_guard() { preproc_root_fini(state); }
};

//=== macro tables ===//

// The definitions in force at the end of a file (the last of each name), taken out of the
// file's table, which is released right after: no copy is made.
void export_macros(pn_hashmap *table, std::vector<preproc_macro *> *out) {
    if (table == nullptr) {
        return;
    }
    for (std::uint64_t b = 0; b < table->capacity; ++b) {
        const pn_arraylist *bucket = table->buckets[b];
        for (std::uint64_t i = 0; bucket != nullptr && i < bucket->size; ++i) {
            const auto *entry = reinterpret_cast<const pn_map_entry *>(bucket->items[i]);
            auto *list = reinterpret_cast<pn_arraylist *>(entry->value);
            std::uint64_t last = 0;
            bool found = false;
            for (std::uint64_t k = 0; list != nullptr && k < list->size; ++k) {
                const auto *m = reinterpret_cast<const preproc_macro *>(list->items[k]);
                if (m != nullptr && m->undef_line == PREPROC_LINE_MAX) {
                    last = k;
                    found = true;
                }
            }
            if (!found) {
                continue;
            }
            // Reserved first, so that the record always has one owner.
            out->reserve(out->size() + 1);
            out->push_back(reinterpret_cast<preproc_macro *>(list->items[last]));
            // The table's key may be this record's name: the record outlives the table.
            list->items[last] = nullptr;
        }
    }
}

//=== reading one file ===//

// Preprocesses and parses one file; the hook (may be null) follows its includes.
idl_unit *read_file(const char *path, pn_linkedlist *macros, preproc_include_fn hook, void *context,
                    std::unique_ptr<idl_unit, void (*)(idl_unit *)> unit) {
    {
        preproc_root state{};
        const preproc_guard guard{&state};
        if (!preproc_root_init(&state, macros, nullptr)) {
            return nullptr;
        }
        state.include_hook = hook;
        state.include_context = context;
        if (!zadozeda_preproc(&state, path)) {
            return nullptr; // reported by the preprocessor or the hook
        }
        unit->text.assign(state.output.data != nullptr ? state.output.data : "", state.output.len);
        unit->src = idl_source_of(state, path);
        unit->src.text = unit->text;
        if (unit->resolved.empty() && !unit->src.files.empty()) {
            unit->resolved = unit->src.files.front().path;
        }
        export_macros(state.macros, &unit->macros);
    }
    unit->tree = idl_parse_source(unit->src);
    if (unit->tree == nullptr) {
        return nullptr;
    }
    return unit.release();
}

std::unique_ptr<idl_unit, void (*)(idl_unit *)> new_unit(const std::string &path) {
    std::unique_ptr<idl_unit, void (*)(idl_unit *)> unit{new idl_unit, idl_unit_delete};
    unit->path = path;
    return unit;
}

} // namespace

//=== the loader ===//

struct idl_loader {
    enum class state { loading, done, failed };
    struct entry {
        state st = state::loading;
        idl_unit *unit = nullptr;
        std::thread::id owner;
    };
    pn_linkedlist *macros;
    std::vector<std::string> include_dirs;
    std::mutex lock;
    std::condition_variable finished;
    std::unordered_map<std::string, std::unique_ptr<entry>> entries;
    std::unordered_map<std::thread::id, const entry *> waiting;
    // File-system answers, asked once per run: the files do not change while it reads them.
    std::mutex paths_lock;
    std::unordered_map<std::string, bool> regular_files;     // path -> names a regular file
    std::unordered_map<std::string, std::string> real_paths; // path -> resolved ("" when none)
};

namespace {

// What became of a request for a file.
enum class acquired { read, failed, cycle };

struct read_context {
    idl_loader *loader;
    idl_unit *unit; // the unit being read, for its path and include list
    unsigned depth;
};

acquired load(idl_loader *loader, const std::string &path, const std::string &resolved,
              unsigned depth, const idl_unit **out);

bool on_include(void *context, preproc_root *root, const preproc_include_request &request);

// Reads the file of a new entry on the calling thread.
idl_unit *read_entry(idl_loader *loader, const std::string &path, const std::string &resolved,
                     unsigned depth) {
    auto unit = new_unit(path);
    unit->resolved = resolved;
    read_context context{loader, unit.get(), depth};
    idl_unit *read = read_file(path.c_str(), loader->macros, on_include, &context, std::move(unit));
    if (read != nullptr) {
        // With the whole model read, a key pragma naming what its file does not declare is a
        // mistake rather than a type that may live elsewhere.
        read->src.pragma_miss_level = DIAG_ERROR;
    }
    return read;
}

// Looks the file up in the cache, reading it when nobody has; waits for a file another thread
// is reading unless that thread waits, directly or not, for a file this one is reading.
acquired load(idl_loader *loader, const std::string &path, const std::string &resolved,
              unsigned depth, const idl_unit **out) {
    const std::thread::id me = std::this_thread::get_id();
    idl_loader::entry *e = nullptr;
    {
        std::unique_lock<std::mutex> hold(loader->lock);
        auto found = loader->entries.find(resolved);
        if (found == loader->entries.end()) {
            auto fresh = std::make_unique<idl_loader::entry>();
            fresh->owner = me;
            e = fresh.get();
            loader->entries.emplace(resolved, std::move(fresh));
        } else {
            idl_loader::entry *other = found->second.get();
            if (other->st == idl_loader::state::loading) {
                if (other->owner == me) {
                    return acquired::cycle;
                }
                // Follow the chain of waits from the reading thread.
                std::thread::id t = other->owner;
                for (;;) {
                    auto w = loader->waiting.find(t);
                    // A wait whose file is done is over, even before its thread woke up.
                    if (w == loader->waiting.end() || w->second->st != idl_loader::state::loading) {
                        break;
                    }
                    if (w->second->owner == me) {
                        return acquired::cycle;
                    }
                    t = w->second->owner;
                }
                loader->waiting[me] = other;
                loader->finished.wait(hold,
                                      [other] { return other->st != idl_loader::state::loading; });
                loader->waiting.erase(me);
            }
            *out = other->unit;
            return other->st == idl_loader::state::done ? acquired::read : acquired::failed;
        }
    }
    idl_unit *unit = nullptr;
    try {
        unit = read_entry(loader, path, resolved, depth);
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to read %s", path.c_str());
        unit = nullptr;
    }
    {
        const std::lock_guard<std::mutex> hold(loader->lock);
        e->unit = unit;
        e->st = unit != nullptr ? idl_loader::state::done : idl_loader::state::failed;
    }
    loader->finished.notify_all();
    *out = unit;
    return unit != nullptr ? acquired::read : acquired::failed;
}

bool is_regular_file(idl_loader *loader, const std::string &path) {
    {
        const std::lock_guard<std::mutex> hold(loader->paths_lock);
        auto found = loader->regular_files.find(path);
        if (found != loader->regular_files.end()) {
            return found->second;
        }
    }
    struct stat st {};
    const bool regular = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const std::lock_guard<std::mutex> hold(loader->paths_lock);
    loader->regular_files.emplace(path, regular);
    return regular;
}

// The resolved path of path; empty when it cannot be resolved.
std::string real_path(idl_loader *loader, const std::string &path) {
    {
        const std::lock_guard<std::mutex> hold(loader->paths_lock);
        auto found = loader->real_paths.find(path);
        if (found != loader->real_paths.end()) {
            return found->second;
        }
    }
    const owned<char, free_text> resolved{arch_realpath(path.c_str(), nullptr)};
    std::string out = resolved ? std::string(resolved.get()) : std::string();
    const std::lock_guard<std::mutex> hold(loader->paths_lock);
    loader->real_paths.emplace(path, out);
    return out;
}

std::string folder_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The path with "." components dropped and "dir/.." pairs folded, as written (no file-system
// look-up): "m/app/../common/u.idl" is shown as "m/common/u.idl".
std::string tidy_path(const std::string &path) {
    const bool absolute = !path.empty() && path.front() == '/';
    std::vector<std::string> parts;
    std::size_t from = 0;
    while (from <= path.size()) {
        std::size_t slash = path.find('/', from);
        if (slash == std::string::npos) {
            slash = path.size();
        }
        const std::string part = path.substr(from, slash - from);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        from = slash + 1;
    }
    std::string out = absolute ? "/" : "";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        out += (i == 0 ? "" : "/") + parts[i];
    }
    return out.empty() ? "." : out;
}

std::string join_path(const std::string &folder, const std::string &name) {
    if (folder == ".") {
        return tidy_path(name);
    }
    return tidy_path(folder + "/" + name);
}

void report_at(diag_level level, const read_context &context,
               const preproc_include_request &request, std::string summary) {
    diagnostic d;
    d.level = level;
    d.summary = std::move(summary);
    d.file = context.unit->path;
    d.line = static_cast<unsigned long>(request.line);
    d.column = static_cast<unsigned long>(request.column);
    d.column_in_record = true;
    diag_report(d);
}

// The parameters of a function-like macro as (name, index) pairs in index order.
std::vector<std::pair<std::string_view, std::uint64_t>> parameters_of(const preproc_macro *m) {
    std::vector<std::pair<std::string_view, std::uint64_t>> out;
    const pn_hashmap *map = m->parameters;
    for (std::uint64_t b = 0; map != nullptr && b < map->capacity; ++b) {
        const pn_arraylist *bucket = map->buckets[b];
        for (std::uint64_t i = 0; bucket != nullptr && i < bucket->size; ++i) {
            const auto *entry = reinterpret_cast<const pn_map_entry *>(bucket->items[i]);
            const auto *p = reinterpret_cast<const preproc_macro_param *>(entry->value);
            if (p != nullptr) {
                out.emplace_back(std::string_view(p->name.data, p->name.len), p->index);
            }
        }
    }
    std::sort(out.begin(), out.end(),
              [](const auto &a, const auto &b) { return a.second < b.second; });
    return out;
}

std::string_view text_of(const idl_string &s) {
    return s.data != nullptr ? std::string_view(s.data, s.len) : std::string_view();
}

// True when the two records define the same macro: kind, parameters and replacement alike.
bool same_definition(const preproc_macro *a, const preproc_macro *b) {
    if (a->kind != b->kind || text_of(a->name) != text_of(b->name) ||
        (a->parameters == nullptr) != (b->parameters == nullptr) ||
        (a->replacement == nullptr) != (b->replacement == nullptr)) {
        return false;
    }
    if (a->replacement != nullptr) {
        const pn_linkedlist_node *x = a->replacement->head;
        const pn_linkedlist_node *y = b->replacement->head;
        for (; x != nullptr && y != nullptr; x = x->next, y = y->next) {
            const auto *i = reinterpret_cast<const preproc_macro_item *>(x->element);
            const auto *j = reinterpret_cast<const preproc_macro_item *>(y->element);
            if (i->kind != j->kind || i->index != j->index ||
                text_of(i->text) != text_of(j->text)) {
                return false;
            }
        }
        if (x != nullptr || y != nullptr) {
            return false;
        }
    }
    return a->parameters == nullptr || parameters_of(a) == parameters_of(b);
}

bool import_macros(preproc_root *root, const idl_unit *included) {
    for (const preproc_macro *m : included->macros) {
        // A file read through several includes (an include guard above all) brings the same
        // definitions each time; one already in force is the one a look-up finds either way.
        const preproc_macro *current = preproc_find_macro(m->name.data, root->macros, root->line);
        if (current != nullptr && same_definition(current, m)) {
            continue;
        }
        preproc_macro *copy = preproc_macro_copy(m);
        if (copy == nullptr) {
            return false;
        }
        // In force from the include line on, as if the definitions stood there.
        copy->def_line = root->line;
        copy->undef_line = PREPROC_LINE_MAX;
        if (!preproc_add_macro(root->macros, copy)) {
            preproc_macro_destroy(copy);
            return false;
        }
    }
    return true;
}

bool on_include(void *raw, preproc_root *root, const preproc_include_request &request) {
    auto &context = *static_cast<read_context *>(raw);
    try {
        const std::string name(request.path, request.len);
        std::vector<std::string> folders;
        if (!request.angle) {
            folders.push_back(folder_of(context.unit->path));
        }
        folders.insert(folders.end(), context.loader->include_dirs.begin(),
                       context.loader->include_dirs.end());
        idl_loader *loader = context.loader;
        std::string found;
        if (!name.empty() && name.front() == '/') {
            if (is_regular_file(loader, name)) {
                found = name;
            }
        } else {
            for (const std::string &folder : folders) {
                const std::string candidate = join_path(folder, name);
                if (is_regular_file(loader, candidate)) {
                    found = candidate;
                    break;
                }
            }
        }
        const std::string resolved = found.empty() || name.find('\0') != std::string::npos
                                         ? std::string()
                                         : real_path(loader, found);
        if (resolved.empty()) {
            std::string searched;
            for (const std::string &folder : folders) {
                searched += searched.empty() ? "" : ", ";
                searched += folder;
            }
            report_at(DIAG_ERROR, context, request,
                      "cannot find '" + name + "' (" +
                          (searched.empty() ? "no include folder given" : "searched: " + searched) +
                          ")");
            return false;
        }
        if (context.depth >= k_max_include_depth) {
            report_at(DIAG_ERROR, context, request,
                      "includes nest deeper than " + std::to_string(k_max_include_depth) +
                          " levels");
            return false;
        }
        const idl_unit *included = nullptr;
        switch (load(loader, found, resolved, context.depth + 1, &included)) {
        case acquired::cycle:
            report_at(DIAG_WARNING, context, request,
                      "include cycle: '" + name + "' is already being read; not read again");
            return true;
        case acquired::failed:
            return false; // reported where the included file failed
        case acquired::read:
            break;
        }
        context.unit->includes.push_back(
            {included->resolved, found, static_cast<unsigned long>(request.line)});
        return import_macros(root, included);
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to read included files of %s",
                   context.unit->path.c_str());
        return false;
    }
}

} // namespace

//=== units ===//

void idl_unit_delete(idl_unit *unit) {
    if (unit == nullptr) {
        return;
    }
    ast_recursive_delete(unit->tree);
    for (preproc_macro *m : unit->macros) {
        preproc_macro_destroy(m);
    }
    delete unit;
}

idl_unit *idl_unit_read(const char *path, pn_linkedlist *macros) {
    try {
        return read_file(path, macros, nullptr, nullptr, new_unit(path));
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to read %s", path);
        return nullptr;
    }
}

idl_loader *idl_loader_new(pn_linkedlist *macros, const std::vector<std::string> &include_dirs) {
    try {
        auto loader = std::make_unique<idl_loader>();
        loader->macros = macros;
        loader->include_dirs = include_dirs;
        return loader.release();
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to allocate memory");
        return nullptr;
    }
}

void idl_loader_delete(idl_loader *loader) {
    if (loader == nullptr) {
        return;
    }
    for (auto &entry : loader->entries) {
        idl_unit_delete(entry.second->unit);
    }
    delete loader;
}

const idl_unit *idl_loader_read(idl_loader *loader, const char *path) {
    try {
        owned<char, free_text> resolved{arch_realpath(path, nullptr)};
        if (!resolved) {
            // The preprocessor reports the missing file as it always has.
            owned<idl_unit, idl_unit_delete> none{idl_unit_read(path, loader->macros)};
            return nullptr;
        }
        const idl_unit *unit = nullptr;
        switch (load(loader, path, resolved.get(), 0, &unit)) {
        case acquired::read:
            return unit;
        case acquired::cycle:
        case acquired::failed:
            break;
        }
        return nullptr;
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to read %s", path);
        return nullptr;
    }
}

void idl_loader_release_tree(idl_loader *loader, const idl_unit *unit) {
    idl_unit *own = nullptr;
    {
        const std::lock_guard<std::mutex> hold(loader->lock);
        auto found = loader->entries.find(unit->resolved);
        if (found == loader->entries.end() || found->second->unit != unit) {
            return;
        }
        own = found->second->unit;
    }
    ast_recursive_delete(own->tree);
    own->tree = nullptr;
    own->src.text = std::string_view();
    std::string().swap(own->text);
}

namespace {

const idl_unit *unit_of(const idl_loader *loader, const std::string &resolved) {
    auto found = loader->entries.find(resolved);
    if (found == loader->entries.end() || found->second->st != idl_loader::state::done) {
        return nullptr;
    }
    return found->second->unit;
}

void post_order(const idl_loader *loader, const idl_unit *unit,
                std::unordered_set<const idl_unit *> *seen, std::vector<const idl_unit *> *out) {
    if (unit == nullptr || !seen->insert(unit).second) {
        return;
    }
    for (const idl_include_edge &edge : unit->includes) {
        post_order(loader, unit_of(loader, edge.resolved), seen, out);
    }
    out->push_back(unit);
}

} // namespace

std::vector<const idl_unit *> idl_loader_model(const idl_loader *loader,
                                               const std::vector<const idl_unit *> &roots) {
    std::vector<const idl_unit *> out;
    std::unordered_set<const idl_unit *> seen;
    for (const idl_unit *root : roots) {
        post_order(loader, root, &seen, &out);
    }
    return out;
}

std::vector<const idl_unit *> idl_loader_closure(const idl_loader *loader, const idl_unit *root) {
    std::unordered_set<const idl_unit *> seen{root};
    std::vector<const idl_unit *> todo{root};
    for (std::size_t i = 0; i < todo.size(); ++i) {
        for (const idl_include_edge &edge : todo[i]->includes) {
            const idl_unit *next = unit_of(loader, edge.resolved);
            if (next != nullptr && seen.insert(next).second) {
                todo.push_back(next);
            }
        }
    }
    return todo;
}

std::vector<std::string> idl_loader_dependencies(const idl_loader *loader, const idl_unit *root) {
    // Each file is named as the include that first reached it names it, so that the list does
    // not depend on which thread read a file first.
    std::vector<std::string> out;
    std::unordered_set<const idl_unit *> seen{root};
    std::vector<const idl_unit *> todo{root};
    for (std::size_t i = 0; i < todo.size(); ++i) {
        for (const idl_include_edge &edge : todo[i]->includes) {
            const idl_unit *next = unit_of(loader, edge.resolved);
            if (next != nullptr && seen.insert(next).second) {
                out.push_back(edge.path);
                todo.push_back(next);
            }
        }
    }
    return out;
}
