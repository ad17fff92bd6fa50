// Reading a whole model: each file preprocessed and parsed once, its includes found and read.
#include "idl/idl_load.hpp"

#include "base/arch.hpp"
#include "base/diag.hpp"
#include "base/glog.hpp"
#include "base/hashmap.hpp"
#include "base/linkedlist.hpp"
#include "base/owned.hpp"
#include "base/path.hpp"
#include "idl/idl_translate.hpp"
#include "peg/ast.hpp"
#include "preproc/macro.hpp"
#include "preproc/preproc.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
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

//=== macro tables ===//

// Room for one more element, made before the element exists, so that adding it cannot fail;
// the room grows as push_back's would.
template <class T> void room_for_one(std::vector<T> &v) {
    if (v.size() == v.capacity()) {
        v.reserve(std::max<std::size_t>(16, v.capacity() * 2));
    }
}

// The macros an includer takes from an included file share the included file's name text and
// lists: only the record is new, with the lines of the includer. Such a borrowed record is
// released with free() alone; the included file owns the parts as long as the loader lives.
class borrowed_set {
public:
    // Room for one more record, made before the record exists: add() then cannot fail.
    void reserve_one() { room_for_one(records_); }
    void add(const preproc_macro *m) { records_.push_back(m); }
    // Called once the file is preprocessed, before any look-up.
    void seal() { std::sort(records_.begin(), records_.end(), std::less<>()); }
    [[nodiscard]] bool empty() const { return records_.empty(); }
    [[nodiscard]] bool has(const preproc_macro *m) const {
        return std::binary_search(records_.begin(), records_.end(), m, std::less<>());
    }

private:
    std::vector<const preproc_macro *> records_;
};

// Calls visit(list) for the list of records of each name in a macro table (may be null).
template <class Visit> void for_each_name(pn_hashmap *table, const Visit &visit) {
    for (std::uint64_t b = 0; table != nullptr && b < table->capacity; ++b) {
        const pn_arraylist *bucket = table->buckets[b];
        for (std::uint64_t i = 0; bucket != nullptr && i < bucket->size; ++i) {
            const auto *entry = reinterpret_cast<const pn_map_entry *>(bucket->items[i]);
            if (auto *list = reinterpret_cast<pn_arraylist *>(entry->value)) {
                visit(list);
            }
        }
    }
}

// Takes the borrowed records out of a table about to be released, releasing them.
void release_borrowed(pn_hashmap *table, borrowed_set *borrowed) {
    if (borrowed == nullptr || borrowed->empty()) {
        return;
    }
    for_each_name(table, [borrowed](pn_arraylist *list) {
        for (std::uint64_t k = 0; k < list->size; ++k) {
            auto *m = reinterpret_cast<preproc_macro *>(list->items[k]);
            if (m != nullptr && borrowed->has(m)) {
                std::free(m);
                list->items[k] = nullptr;
            }
        }
    });
}

struct preproc_guard {
    preproc_root *state;
    borrowed_set *borrowed;
    ~preproc_guard() {
        if (borrowed != nullptr) {
            borrowed->seal();
        }
        release_borrowed(state->macros, borrowed);
        preproc_root_fini(state);
    }
};

// The definitions in force at the end of a file (the last of each name), taken out of the
// file's table, which is released right after: no copy is made.
void export_macros(pn_hashmap *table, const borrowed_set *borrowed, idl_unit *unit) {
    for_each_name(table, [borrowed, unit](pn_arraylist *list) {
        std::uint64_t last = 0;
        bool found = false;
        for (std::uint64_t k = 0; k < list->size; ++k) {
            const auto *m = reinterpret_cast<const preproc_macro *>(list->items[k]);
            if (m != nullptr && m->undef_line == PREPROC_LINE_MAX) {
                last = k;
                found = true;
            }
        }
        if (!found) {
            return;
        }
        // Reserved first, so that the record always has one owner.
        room_for_one(unit->macros);
        room_for_one(unit->macro_borrowed);
        auto *m = reinterpret_cast<preproc_macro *>(list->items[last]);
        unit->macros.push_back(m);
        unit->macro_borrowed.push_back(borrowed != nullptr && borrowed->has(m));
        // The table's key may be this record's name: the record outlives the table.
        list->items[last] = nullptr;
    });
}

//=== reading one file ===//

// Preprocesses one file into unit (text, source records, the macros in force at its end); the
// hook (may be null) follows its includes, and the macros it borrows from included files are
// in `borrowed` (null without a hook). False when reported.
bool preprocess_file(const char *path, pn_linkedlist *macros, preproc_include_fn hook,
                     void *context, borrowed_set *borrowed, idl_unit *unit) {
    preproc_root state{};
    const preproc_guard guard{&state, borrowed};
    if (!preproc_root_init(&state, macros, nullptr)) {
        return false;
    }
    state.include_hook = hook;
    state.include_context = context;
    if (!zadozeda_preproc(&state, path)) {
        return false; // reported by the preprocessor or the hook
    }
    unit->text.assign(state.output.data != nullptr ? state.output.data : "", state.output.len);
    unit->src = idl_source_of(state, path);
    unit->src.text = unit->text;
    if (unit->resolved.empty() && !unit->src.files.empty()) {
        unit->resolved = unit->src.files.front().path;
    }
    if (borrowed != nullptr) {
        borrowed->seal();
    }
    export_macros(state.macros, borrowed, unit);
    return true;
}

// Preprocesses and parses one file alone.
idl_unit *read_file(const char *path, pn_linkedlist *macros,
                    std::unique_ptr<idl_unit, void (*)(idl_unit *)> unit) {
    if (!preprocess_file(path, macros, nullptr, nullptr, nullptr, unit.get())) {
        return nullptr;
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
    // A file is `loading` while it is preprocessed, `preprocessed` (its macros known, an
    // includer may go on) while it is parsed, then `done` or `failed`.
    enum class state { loading, preprocessed, done, failed };
    struct entry {
        state st = state::loading;
        idl_unit *unit = nullptr; // owned from the end of preprocessing on, failed or not
        std::thread::id owner;
    };
    pn_linkedlist *macros;
    std::vector<std::string> include_dirs;
    std::mutex lock;
    std::condition_variable finished;
    std::unordered_map<std::string, std::unique_ptr<entry>> entries;
    std::unordered_map<std::thread::id, const entry *> waiting;
    idl_parsed_fn on_parsed = nullptr;
    void *on_parsed_context = nullptr;
    // Files parsed whose hook has yet to run. A reader takes them while it would otherwise wait
    // for another file, and drains them before idl_loader_read returns.
    std::deque<idl_unit *> parsed;
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
    borrowed_set borrowed; // the macros it took from the files it includes
};

acquired load(idl_loader *loader, const std::string &path, const std::string &resolved,
              unsigned depth, bool in_full, const idl_unit **out);

bool on_include(void *context, preproc_root *root, const preproc_include_request &request);

// With the loader's lock held: runs the hook of one parsed file, if any waits, without the
// lock, and releases the file's tree. True when one ran.
bool run_one_hook(idl_loader *loader, std::unique_lock<std::mutex> &hold) {
    if (loader->parsed.empty()) {
        return false;
    }
    idl_unit *unit = loader->parsed.front();
    loader->parsed.pop_front();
    hold.unlock();
    loader->on_parsed(loader->on_parsed_context, unit);
    // Nothing looks at the tree again: its memory goes back for the next file's.
    idl_unit_release_tree(unit);
    hold.lock();
    return true;
}

// Waits, holding the loader's lock, until a file is past `wanted`; runs the hooks of parsed
// files meanwhile rather than idle.
void wait_past(idl_loader *loader, std::unique_lock<std::mutex> &hold, const idl_loader::entry *e,
               idl_loader::state wanted) {
    const auto past = [e, wanted] { return e->st == idl_loader::state::failed || e->st > wanted; };
    while (!past()) {
        if (run_one_hook(loader, hold)) {
            continue;
        }
        loader->finished.wait(hold, [&] { return past() || !loader->parsed.empty(); });
    }
}

// True once every file unit includes is read in full: a file fails with any file it includes.
bool includes_read(idl_loader *loader, const idl_unit *unit) {
    std::unique_lock<std::mutex> hold(loader->lock);
    for (const idl_include_edge &edge : unit->includes) {
        auto found = loader->entries.find(edge.resolved);
        if (found == loader->entries.end()) {
            return false;
        }
        const idl_loader::entry *e = found->second.get();
        // Include edges never close a cycle, so these waits always end.
        wait_past(loader, hold, e, idl_loader::state::preprocessed);
        if (e->st != idl_loader::state::done) {
            return false;
        }
    }
    return true;
}

void set_state(idl_loader *loader, idl_loader::entry *e, idl_loader::state st) {
    {
        const std::lock_guard<std::mutex> hold(loader->lock);
        e->st = st;
    }
    loader->finished.notify_all();
}

// Reads the file of a new entry on the calling thread: its includers may go on once it is
// preprocessed, while it is parsed.
void read_entry(idl_loader *loader, idl_loader::entry *e, const std::string &path,
                const std::string &resolved, unsigned depth) {
    auto unit = new_unit(path);
    unit->resolved = resolved;
    read_context context{loader, unit.get(), depth, {}};
    const bool preprocessed = preprocess_file(path.c_str(), loader->macros, on_include, &context,
                                              &context.borrowed, unit.get());
    {
        // From here the entry owns the unit, even when it fails: an includer may have borrowed
        // its macros already.
        const std::lock_guard<std::mutex> hold(loader->lock);
        e->unit = unit.release();
        e->st = preprocessed ? idl_loader::state::preprocessed : idl_loader::state::failed;
    }
    loader->finished.notify_all();
    if (!preprocessed) {
        return;
    }
    idl_unit *read = e->unit;
    // With the whole model read, a key pragma naming what its file does not declare is a
    // mistake rather than a type that may live elsewhere.
    read->src.pragma_miss_level = DIAG_ERROR;
    read->src.drop_formless_annotations = true;
    read->tree = idl_parse_source(read->src);
    const bool ok = read->tree != nullptr && includes_read(loader, read);
    {
        const std::lock_guard<std::mutex> hold(loader->lock);
        e->st = ok ? idl_loader::state::done : idl_loader::state::failed;
        if (ok && loader->on_parsed != nullptr) {
            // Its hook runs later, so that the file including this one (still being read) is
            // not held up by it: readers waiting for that file need its macros, nothing more.
            loader->parsed.push_back(read);
        }
    }
    loader->finished.notify_all();
}

// Looks the file up in the cache, reading it when nobody has; waits for a file another thread
// is reading unless that thread waits, directly or not, for a file this one is reading. An
// include needs the file preprocessed (its macros), a file named by the user read in full.
acquired load(idl_loader *loader, const std::string &path, const std::string &resolved,
              unsigned depth, bool in_full, const idl_unit **out) {
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
                    // A wait whose file is preprocessed is over, even before its thread woke up.
                    if (w == loader->waiting.end() || w->second->st != idl_loader::state::loading) {
                        break;
                    }
                    if (w->second->owner == me) {
                        return acquired::cycle;
                    }
                    t = w->second->owner;
                }
                loader->waiting[me] = other;
                wait_past(loader, hold, other, idl_loader::state::loading);
                loader->waiting.erase(me);
            }
            if (in_full) {
                wait_past(loader, hold, other, idl_loader::state::preprocessed);
            }
            *out = other->unit;
            return other->st == idl_loader::state::failed ? acquired::failed : acquired::read;
        }
    }
    try {
        read_entry(loader, e, path, resolved, depth);
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to read %s", path.c_str());
        set_state(loader, e, idl_loader::state::failed);
    }
    *out = e->unit;
    return e->st == idl_loader::state::failed ? acquired::failed : acquired::read;
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

std::string cached_real_path(idl_loader *loader, const std::string &path) {
    {
        const std::lock_guard<std::mutex> hold(loader->paths_lock);
        auto found = loader->real_paths.find(path);
        if (found != loader->real_paths.end()) {
            return found->second;
        }
    }
    const owned_text resolved{arch_realpath(path.c_str(), nullptr)};
    std::string out = resolved ? std::string(resolved.get()) : std::string();
    const std::lock_guard<std::mutex> hold(loader->paths_lock);
    loader->real_paths.emplace(path, out);
    return out;
}

// The resolved path of path; empty when it cannot be resolved. A file that is no link (known
// as such when plain) is resolved through its folder, whose answer serves every file in it:
// resolving each path whole costs a look-up per component.
std::string real_path(idl_loader *loader, const std::string &path, bool plain = false) {
    {
        const std::lock_guard<std::mutex> hold(loader->paths_lock);
        auto found = loader->real_paths.find(path);
        if (found != loader->real_paths.end()) {
            return found->second;
        }
    }
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    struct stat st {};
    if (name.empty() || name == "." || name == ".." ||
        (!plain && (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)))) {
        return cached_real_path(loader, path);
    }
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string resolved = cached_real_path(loader, folder);
    if (resolved.empty()) {
        return cached_real_path(loader, path);
    }
    std::string out = resolved.back() == '/' ? resolved + name : resolved + "/" + name;
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
std::string tidy_path(std::string_view path) {
    std::string out;
    out.reserve(path.size() + 1);
    out += !path.empty() && path.front() == '/' ? "/" : "";
    bool first = true;
    for (const std::string_view part : path_components(path)) {
        out += first ? "" : "/";
        out += part;
        first = false;
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
    if (a->name.data == b->name.data && a->kind == b->kind && a->parameters == b->parameters &&
        a->replacement == b->replacement) {
        return true; // one borrows from the other, or both from the same record
    }
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

bool import_macros(preproc_root *root, const idl_unit *included, borrowed_set *borrowed) {
    for (const preproc_macro *m : included->macros) {
        // A file read through several includes (an include guard above all) brings the same
        // definitions each time; one already in force is the one a look-up finds either way.
        const preproc_macro *current = preproc_find_macro(m->name.data, root->macros, root->line);
        if (current != nullptr && same_definition(current, m)) {
            continue;
        }
        borrowed->reserve_one();
        auto *copy = static_cast<preproc_macro *>(std::calloc(1, sizeof(preproc_macro)));
        if (copy == nullptr) {
            glog_fatal("Out of memory: Unable to allocate memory");
            return false;
        }
        *copy = *m;
        // In force from the include line on, as if the definitions stood there.
        copy->def_line = root->line;
        copy->undef_line = PREPROC_LINE_MAX;
        if (!preproc_add_macro(root->macros, copy)) {
            std::free(copy);
            return false;
        }
        borrowed->add(copy);
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
        switch (load(loader, found, resolved, context.depth + 1, false, &included)) {
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
        return import_macros(root, included, &context.borrowed);
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
    for (std::size_t i = 0; i < unit->macros.size(); ++i) {
        if (i < unit->macro_borrowed.size() && unit->macro_borrowed[i]) {
            std::free(unit->macros[i]);
        } else {
            preproc_macro_destroy(unit->macros[i]);
        }
    }
    delete unit;
}

void idl_unit_release_tree(idl_unit *unit) {
    ast_recursive_delete(unit->tree);
    unit->tree = nullptr;
}

idl_unit *idl_unit_read(const char *path, pn_linkedlist *macros) {
    try {
        return read_file(path, macros, new_unit(path));
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

std::string idl_loader_resolve(idl_loader *loader, const std::string &path, bool plain) {
    try {
        return real_path(loader, path, plain);
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to read %s", path.c_str());
        return std::string();
    }
}

const idl_unit *idl_loader_read(idl_loader *loader, const char *path) {
    struct drain {
        idl_loader *loader;
        ~drain() {
            std::unique_lock<std::mutex> hold(loader->lock);
            while (run_one_hook(loader, hold)) {
            }
        }
    } const hooks_run{loader};
    try {
        const std::string resolved = real_path(loader, path);
        if (resolved.empty()) {
            // The preprocessor reports the missing file as it always has.
            owned<idl_unit, idl_unit_delete> none{idl_unit_read(path, loader->macros)};
            return nullptr;
        }
        const idl_unit *unit = nullptr;
        switch (load(loader, path, resolved, 0, true, &unit)) {
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

void idl_loader_on_parsed(idl_loader *loader, idl_parsed_fn hook, void *context) {
    loader->on_parsed = hook;
    loader->on_parsed_context = context;
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
