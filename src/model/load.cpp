// Reading a whole model as the C preprocessor reads it. Each reading (one file named by the user
// with everything it includes) has one macro table, as a C compiler has one per translation
// unit: an included file is read with the macros in force at its include directive, and what it
// defines stays in force after it. What reading a file did (the look-ups that decided its text,
// its definitions, its includes, its diagnostics) is kept as a variant of the file; another
// reading that meets the file replays a variant whose look-ups still find the same definitions
// and preprocesses the file again only when none does. Files whose texts come out the same share
// one unit, parsed once.
#include "model/load.hpp"

#include "base/arch.hpp"
#include "base/arraylist.hpp"
#include "base/glog.hpp"
#include "base/hashmap.hpp"
#include "base/linkedlist.hpp"
#include "base/owned.hpp"
#include "model/parse.hpp"
#include "model/render.hpp"
#include "peg/ast.hpp"
#include "preproc/macro.hpp"
#include "preproc/preproc.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <sys/stat.h>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace {

// Includes nest a handful of levels in real models; each level holds a preprocessor state on
// the native stack of the reading thread.
constexpr unsigned k_max_include_depth = 64;
// Files one reading may include, counting every include directive followed: files without
// include guards that include one another can otherwise make a reading grow without end.
constexpr std::uint64_t k_max_inclusions = std::uint64_t{1} << 18;
// Units waiting for the hook with their parse trees, at most.
constexpr std::size_t k_max_ready = 8;

//=== definitions ===//

std::string_view text_of(const idl_string &s) {
    return s.data != nullptr ? std::string_view(s.data, s.len) : std::string_view();
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

// True when the two records define the same macro: kind, parameters and replacement alike.
// Either may be null (nothing in force).
bool same_definition(const preproc_macro *a, const preproc_macro *b) {
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
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

// Calls visit(list) for the list of records of each name in a macro table.
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

// A hash of a macro name, eight bytes at a time: a file's text asks for thousands of names. Two
// names of one hash only ever make a file read afresh where a replay would have done.
using name_hash = std::uint32_t;

name_hash hash_of(std::string_view name) {
    std::uint64_t h = 0x9E3779B97F4A7C15u ^ name.size();
    std::size_t i = 0;
    for (; i + 8 <= name.size(); i += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, name.data() + i, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDu;
        h ^= h >> 32;
    }
    std::uint64_t w = 0;
    if (name.size() - i >= 4) {
        std::uint32_t w4 = 0;
        std::memcpy(&w4, name.data() + i, 4);
        w = w4;
        i += 4;
    }
    for (; i < name.size(); ++i) {
        w = (w << 8) | static_cast<unsigned char>(name[i]);
    }
    h = (h ^ w) * 0xC4CEB9FE1A85EC53u;
    return static_cast<name_hash>(h >> 32);
}

//=== what reading a file did ===//

// Open addressing over a vector of hashes: slots hold an index into it plus one.
void place_hash(std::vector<std::uint32_t> &slots, const std::vector<name_hash> &hashes,
                std::size_t k) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = hashes[k] & mask;
    while (slots[i] != 0) {
        i = (i + 1) & mask;
    }
    slots[i] = static_cast<std::uint32_t>(k + 1);
}

void rehash(std::vector<std::uint32_t> &slots, const std::vector<name_hash> &hashes,
            std::size_t size) {
    slots.assign(size, 0);
    for (std::size_t k = 0; k < hashes.size(); ++k) {
        place_hash(slots, hashes, k);
    }
}

// A filter of hashes in N words: a clear bit says the hash is not among them. The bit comes
// from the high bits of the hash, the slots of the tables above from the low ones.
template <std::size_t N> using hash_bits = std::array<std::uint64_t, N>;
template <std::size_t N> std::size_t bit_of(name_hash h) {
    return (h >> 18) % (64 * N);
}
template <std::size_t N> void set_bit(hash_bits<N> &bits, name_hash h) {
    bits[bit_of<N>(h) / 64] |= std::uint64_t{1} << (bit_of<N>(h) % 64);
}
template <std::size_t N> bool has_bit(const hash_bits<N> &bits, name_hash h) {
    return (bits[bit_of<N>(h) / 64] >> (bit_of<N>(h) % 64) & 1) != 0;
}

bool holds_hash(const std::vector<std::uint32_t> &slots, const std::vector<name_hash> &hashes,
                name_hash h) {
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = h & mask; !slots.empty() && slots[i] != 0; i = (i + 1) & mask) {
        if (hashes[slots[i] - 1] == h) {
            return true;
        }
    }
    return false;
}

enum class step : std::uint8_t { lookup, define, undef, include, report };

// One step of a file's reading that another reading repeats, or checks, in the same order.
struct event {
    step kind = step::lookup;
    bool found = false;     // lookup: a definition was in force
    std::uint32_t name = 0; // lookup, undef: offset of the macro name in variant::names
    std::uint32_t id = 0;   // lookup, define, undef: the loader's number for the name
    std::uint32_t def = 0;  // lookup when found, define: the definition, in variant::defs
    std::uint64_t line = 0; // line of the file's text it happened on
    std::size_t index = 0;  // include: into variant::includes; report: into variant::reports;
                            // define: hash_of the name
};

struct file_entry;

// What an include directive found; the same in every reading of its file.
struct include_target {
    std::string name;           // as written
    bool angle = false;         // `#include <name>`
    unsigned long line = 0;     // the directive's place in its file, for messages
    unsigned long column = 0;   //
    file_entry *file = nullptr; // the file found; null when none
    std::string searched;       // the folders searched, as the message names them
};

struct loaded_unit : idl_unit {
    enum class state { unparsed, parsing, parsed, failed };
    state st = state::unparsed;
    bool blank = false;              // a text of blanks only: as an included file it adds nothing
    bool hooking = false;            // queued for the hook, or in it
    std::atomic<bool> parsed{false}; // st is parsed: asked without the loader's lock
    std::atomic<bool> hooked{false};
    std::vector<diagnostic> reports; // of its parse
};

// One way reading a file went: its events in order, the names its text asked for and found
// nowhere in the table, and where it ended.
struct variant {
    std::vector<event> events;
    std::vector<preproc_macro> defs; // the definitions events found or made (lines unused)
    std::string names;               // the macro names of the events, each NUL-terminated
    // Hashes of the names its text asked for while the table held nothing of them; a reading
    // that holds a name of one of these hashes reads the file afresh.
    std::vector<name_hash> absent;
    std::vector<std::uint32_t> absent_slots; // open addressing over `absent`, index + 1
    hash_bits<16> absent_bits{};             // a filter of `absent`
    std::vector<include_target> includes;
    std::vector<diagnostic> reports;
    std::uint64_t lines = 0; // lines of the file
    bool failed = false;     // the file's own reading failed (after its events)
    loaded_unit *unit = nullptr;

    [[nodiscard]] const char *name_at(std::uint32_t at) const { return names.c_str() + at; }
    [[nodiscard]] bool is_absent(name_hash h) const {
        if (!has_bit(absent_bits, h)) {
            return false;
        }
        // While the file is read the slots find a hash; after, the hashes are sorted.
        return absent_slots.empty() ? std::binary_search(absent.begin(), absent.end(), h)
                                    : holds_hash(absent_slots, absent, h);
    }
    // Once the file is read: the least memory that still answers is_absent.
    void compact() {
        std::vector<std::uint32_t>().swap(absent_slots);
        std::sort(absent.begin(), absent.end());
        absent.shrink_to_fit();
        events.shrink_to_fit();
        defs.shrink_to_fit();
        names.shrink_to_fit();
    }
    std::uint32_t add_def(const preproc_macro &m) {
        defs.push_back(m);
        return static_cast<std::uint32_t>(defs.size() - 1);
    }
    std::uint32_t add_name(std::string_view n) {
        const auto at = static_cast<std::uint32_t>(names.size());
        names.append(n);
        names.push_back('\0');
        return at;
    }
};

// A file as a path names it: the variants of its reading and the units they gave.
struct file_entry {
    std::size_t id = 0; // the loader's count of files before it
    std::string path;
    std::string resolved;
    const std::string *same = nullptr; // the resolved path shared by every path naming the file
    std::mutex lock;
    // The thread reading the file afresh (guarded by the loader's lock): another that wants a
    // variant of it waits for that one rather than read it too.
    std::thread::id reader;
    bool being_read = false;
    // Set once the file is known to stand wholly inside `#ifndef guard`: read again with the
    // guard defined it gives nothing, and is not read at all.
    std::atomic<bool> guarded{false};
    std::string guard;
    std::uint32_t guard_id = 0;
    std::uint64_t lines = 0;
    std::vector<std::unique_ptr<variant>> variants; // never removed while the loader lives
    // The first variants, as readers find them without the lock: published after the slot.
    std::array<std::atomic<const variant *>, 4> first_variants{};
    std::atomic<std::size_t> variant_count{0};
    std::vector<std::unique_ptr<loaded_unit>> units;
};

struct memo_entry {
    bool set = false;        // the file was read in this reading
    std::uint64_t start = 0; // the reading's version when the file was last read
    std::uint64_t end = 0;   // and when it was done
    std::uint64_t span = 0;  // table lines it took
    const idl_unit *unit = nullptr;
};

// A macro table that readings borrow and give back as they found it: the predefined macros,
// and an empty list for each name some reading defined, so that the next reading adds records
// without making lists and growing the map anew.
struct pooled_table {
    pn_hashmap *table = nullptr;
    std::deque<preproc_macro> shells;  // records that borrow their contents
    preproc_names expansion_names{};   // a filter of the predefined names
    std::vector<pn_arraylist *> lists; // the list of each numbered name, once the table has it
    std::vector<char> listless;        // by number: the table has no list of the name yet
    std::vector<memo_entry> memo;      // by file id, for the reading that has the table
    pooled_table() = default;
    pooled_table(const pooled_table &) = delete;
    pooled_table &operator=(const pooled_table &) = delete;
    ~pooled_table() {
        for_each_name(table, [](pn_arraylist *list) { pn_arraylist_destroy(list); });
        pn_hashmap_destroy(table);
    }
};

struct stored_reading {
    std::vector<const idl_unit *> units;
    std::vector<std::string_view> dependencies;
};

} // namespace

struct idl_loader {
    pn_linkedlist *macros = nullptr;
    std::vector<std::string> include_dirs;
    bool permissive = false;
    bool parsing = true;
    idl_parsed_fn on_parsed = nullptr;
    void *on_parsed_context = nullptr;
    std::mutex lock; // the maps below, and the states of units
    std::condition_variable changed;
    std::unordered_map<std::string, std::unique_ptr<file_entry>> files; // by path as named
    std::unordered_set<std::string> resolved; // every file's resolved path, once
    // The records of `#define` lines read: variants and tables refer to their name, parameters
    // and replacement as long as the loader lives.
    std::vector<preproc_macro *> definitions;
    std::vector<std::unique_ptr<pooled_table>> tables;               // free for a reading
    std::unordered_map<std::thread::id, const file_entry *> waiting; // thread -> file it awaits
    std::unordered_map<std::string, std::uint32_t> name_ids;         // macro names met, numbered
    // Units ready for the hook: a reader runs them when it would otherwise wait, and before
    // its reading ends, so that no file that includes one is held up by the hook.
    std::deque<loaded_unit *> ready;
    std::unordered_map<const idl_unit *, stored_reading> readings; // by the unit read
    std::unordered_set<std::string> reported;                      // by idl_loader_read
    // File-system answers, asked once per run: the files do not change while it reads them.
    std::mutex paths_lock;
    std::unordered_map<std::string, bool> regular_files;     // path -> names a regular file
    std::unordered_map<std::string, bool> links;             // path -> names a symbolic link
    std::unordered_map<std::string, std::string> real_paths; // path -> resolved ("" when none)

    ~idl_loader() {
        for (preproc_macro *m : definitions) {
            preproc_macro_destroy(m);
        }
    }
};

namespace {

//=== paths ===//

// The answer about path kept in cache, asked of the file system (ask) the first time.
bool cached(idl_loader *loader, std::unordered_map<std::string, bool> &cache,
            const std::string &path, bool (*ask)(const char *)) {
    {
        const std::lock_guard<std::mutex> hold(loader->paths_lock);
        auto found = cache.find(path);
        if (found != cache.end()) {
            return found->second;
        }
    }
    const bool answer = ask(path.c_str());
    const std::lock_guard<std::mutex> hold(loader->paths_lock);
    cache.emplace(path, answer);
    return answer;
}

bool is_regular_file(idl_loader *loader, const std::string &path) {
    return cached(loader, loader->regular_files, path, [](const char *p) {
        struct stat st {};
        return ::stat(p, &st) == 0 && S_ISREG(st.st_mode);
    });
}

bool is_link(idl_loader *loader, const std::string &path) {
    return cached(loader, loader->links, path, [](const char *p) {
        struct stat st {};
        return ::lstat(p, &st) == 0 && S_ISLNK(st.st_mode);
    });
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
    if (name.empty() || name == "." || name == ".." || (!plain && is_link(loader, path))) {
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

// The path with "." components dropped and "dir/.." pairs folded: "m/app/../common/u.idl" is
// shown as "m/common/u.idl". A ".." after a symbolic link stays, since the system resolves the
// link first and then goes up from where it leads.
std::string tidy_path(idl_loader *loader, std::string_view path) {
    const bool absolute = !path.empty() && path.front() == '/';
    std::vector<std::string_view> parts;
    const auto joined = [&] {
        std::string out = absolute ? "/" : "";
        for (std::size_t i = 0; i < parts.size(); ++i) {
            out += i == 0 ? "" : "/";
            out += parts[i];
        }
        return out;
    };
    for (std::size_t from = 0; from <= path.size();) {
        std::size_t slash = path.find('/', from);
        slash = slash == std::string_view::npos ? path.size() : slash;
        const std::string_view part = path.substr(from, slash - from);
        from = slash + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == ".." && !parts.empty() && parts.back() != ".." && !is_link(loader, joined())) {
            parts.pop_back();
        } else if (part != ".." || !absolute || !parts.empty()) {
            parts.push_back(part);
        }
    }
    const std::string out = joined();
    return out.empty() ? "." : out;
}

file_entry *entry_of(idl_loader *loader, const std::string &path, const std::string &resolved) {
    const std::lock_guard<std::mutex> hold(loader->lock);
    std::unique_ptr<file_entry> &e = loader->files[path];
    if (!e) {
        e = std::make_unique<file_entry>();
        e->id = loader->files.size() - 1;
        e->path = path;
        e->resolved = resolved;
        e->same = &*loader->resolved.insert(resolved).first;
    }
    return e.get();
}

// The loader's number for a macro name: the same in every reading and on every thread.
std::uint32_t number_of(idl_loader *loader, std::string_view name) {
    const std::lock_guard<std::mutex> hold(loader->lock);
    return loader->name_ids.try_emplace(std::string(name), loader->name_ids.size()).first->second;
}

// What the include directive of the file at `includer` finds: beside the file (quoted form
// only), then in each include folder in order.
include_target find_include(idl_loader *loader, const std::string &includer,
                            const preproc_include_request &request) {
    include_target t;
    t.name.assign(request.path, request.len);
    t.angle = request.angle;
    t.line = static_cast<unsigned long>(request.line);
    t.column = static_cast<unsigned long>(request.column);
    // Each folder once, where it first stands: `-I .` beside a file in the working folder,
    // or a folder given twice, is searched and named once.
    std::vector<std::string> folders;
    std::vector<std::string> keys;
    const auto add_folder = [&](const std::string &folder) {
        std::string key = tidy_path(loader, folder);
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
            keys.push_back(std::move(key));
            folders.push_back(folder);
        }
    };
    if (!t.angle) {
        add_folder(folder_of(includer));
    }
    for (const std::string &folder : loader->include_dirs) {
        add_folder(folder);
    }
    std::string found;
    if (!t.name.empty() && t.name.front() == '/') {
        if (is_regular_file(loader, t.name)) {
            found = t.name;
        }
    } else {
        for (const std::string &folder : folders) {
            const std::string candidate =
                tidy_path(loader, folder == "." ? t.name : folder + "/" + t.name);
            if (is_regular_file(loader, candidate)) {
                found = candidate;
                break;
            }
        }
    }
    const std::string resolved = found.empty() || t.name.find('\0') != std::string::npos
                                     ? std::string()
                                     : real_path(loader, found);
    if (!resolved.empty()) {
        t.file = entry_of(loader, found, resolved);
        return t;
    }
    for (const std::string &folder : folders) {
        t.searched += t.searched.empty() ? "" : ", ";
        t.searched += folder;
    }
    t.searched = t.searched.empty() ? "no include folder given" : "searched: " + t.searched;
    return t;
}

//=== diagnostics as data ===//

// While it lives, the diagnostics and warning records of the calling thread go to `keep`
// instead of being reported.
class capture final : public diag_consumer {
public:
    capture(void (*keep)(void *, diagnostic &&), void *context) : keep_(keep), context_(context) {
        previous_ = diag_set_consumer(this);
        previous_hook_ = glog_set_thread_hook({&capture::record, this});
    }
    ~capture() override {
        (void)glog_set_thread_hook(previous_hook_);
        (void)diag_set_consumer(previous_);
    }
    capture(const capture &) = delete;
    capture &operator=(const capture &) = delete;

    void consume(const diagnostic &d) override {
        try {
            keep_(context_, diagnostic(d));
        } catch (const std::bad_alloc &) {
            failed = true;
        }
    }
    // Plain records of the stages: warnings and worse become diagnostics without a place.
    static void record(void *context, int32_t level, const char *message) {
        if (level < GLOG_WARN) {
            return;
        }
        auto *self = static_cast<capture *>(context);
        try {
            diagnostic d;
            d.level = level >= GLOG_FATAL   ? DIAG_FATAL
                      : level >= GLOG_ERROR ? DIAG_ERROR
                                            : DIAG_WARNING;
            d.summary = message;
            self->keep_(self->context_, std::move(d));
        } catch (const std::bad_alloc &) {
            self->failed = true;
        }
    }
    bool failed = false; // a diagnostic was lost for want of memory

private:
    void (*keep_)(void *, diagnostic &&);
    void *context_;
    diag_consumer *previous_ = nullptr;
    glog_thread_hook previous_hook_{};
};

void keep_in(void *list, diagnostic &&d) {
    static_cast<std::vector<diagnostic> *>(list)->push_back(std::move(d));
}

//=== one reading ===//

// The table lines of one file in a reading: its lines from `base` on, and after each include
// directive the lines the included file took.
struct placement {
    std::uint64_t base = 0;
    std::vector<preproc_shift> shifts;
    [[nodiscard]] std::uint64_t at(std::uint64_t line) const {
        auto after =
            std::lower_bound(shifts.begin(), shifts.end(), line,
                             [](const preproc_shift &s, std::uint64_t l) { return s.line < l; });
        return base + line + (after == shifts.begin() ? 0 : (after - 1)->total);
    }
    [[nodiscard]] std::uint64_t taken() const { return shifts.empty() ? 0 : shifts.back().total; }
};

struct frame {
    file_entry *file;
    std::size_t node;               // its node in the reading's tree
    unsigned long include_line = 0; // line of its include directive being followed
};

struct reading {
    // A change of the table, taken back when a replay is abandoned and when the reading ends.
    struct undo_step {
        pn_arraylist *list;
        preproc_macro *record;
        std::uint64_t undef_line; // the record's before an #undef ended it
        enum class kind : std::uint8_t { shell, record, ended } what;
    };
    struct mark {
        std::size_t undo, diagnostics, nodes, includes, memo_log, added;
        std::uint64_t version;
        bool failed;
    };

    idl_loader *loader;
    std::unique_ptr<pooled_table> pooled;
    pn_hashmap *table = nullptr;
    std::uint64_t version = 0; // counts the changes of the table
    std::vector<undo_step> undo;
    preproc_names expansion_names{}; // a filter of the names with records, as expansion asks it
    std::vector<name_hash> added;    // hashes of the names first defined in this reading
    std::vector<std::uint32_t> added_slots; // open addressing over `added`
    hash_bits<64> added_bits{};             // a filter of `added`
    std::vector<frame> stack;
    std::vector<memo_entry> *memo = nullptr; // by file id: the pooled table's, cleared after
    std::vector<std::pair<std::size_t, memo_entry>> memo_log;
    std::uint64_t inclusions = 0;
    std::vector<diagnostic> diagnostics;
    std::vector<idl_listing_node> nodes;
    std::vector<const file_entry *> node_files; // the file of each node
    std::vector<loaded_unit *> hooks_awaited;
    bool failed = false;

    explicit reading(idl_loader *l) : loader(l) {}
    reading(const reading &) = delete;
    reading &operator=(const reading &) = delete;
    ~reading() {
        if (!pooled || std::uncaught_exceptions() > 0) {
            return; // a table a failure left half changed goes with the reading
        }
        // The table goes back as it was found, for the next reading.
        undo_to(0);
        for (const auto &entry : memo_log) {
            (*memo)[entry.first] = memo_entry{};
        }
        const std::lock_guard<std::mutex> hold(loader->lock);
        loader->tables.push_back(std::move(pooled));
    }

    //--- the table ---//

    // Takes a table from the loader's pool, or makes one holding the predefined macros.
    [[nodiscard]] bool borrow_table() {
        {
            const std::lock_guard<std::mutex> hold(loader->lock);
            if (!loader->tables.empty()) {
                pooled = std::move(loader->tables.back());
                loader->tables.pop_back();
            }
        }
        if (!pooled) {
            auto fresh = std::make_unique<pooled_table>();
            fresh->table = pn_hashmap_create(PN_TYPE_STRING, 0, 256);
            if (fresh->table == nullptr) {
                glog_fatal("Out of memory: Unable to allocate memory");
                return false;
            }
            for (const pn_linkedlist_node *n = loader->macros ? loader->macros->head : nullptr;
                 n != nullptr; n = n->next) {
                const auto *m = static_cast<const preproc_macro *>(n->element);
                if (m == nullptr || m->undef_line != PREPROC_LINE_MAX) {
                    continue;
                }
                preproc_macro &shell = fresh->shells.emplace_back(*m);
                shell.def_line = 1;
                if (!preproc_add_macro(fresh->table, &shell)) {
                    return false;
                }
                preproc_names_add(&fresh->expansion_names, m->name.data, m->name.len);
            }
            pooled = std::move(fresh);
        }
        table = pooled->table;
        expansion_names = pooled->expansion_names;
        memo = &pooled->memo;
        nodes.reserve(64);
        node_files.reserve(64);
        return true;
    }

    [[nodiscard]] pn_arraylist *list_of(const char *name) const {
        return static_cast<pn_arraylist *>(table->get(table, const_cast<char *>(name)));
    }
    // True when the table holds any record of the name.
    [[nodiscard]] bool listed(const char *name) const {
        const pn_arraylist *list = list_of(name);
        return list != nullptr && list->size > 0;
    }
    [[nodiscard]] preproc_macro *find(const char *name, std::uint64_t at) const {
        return preproc_find_macro(name, table, at);
    }
    // The list of the name numbered id (null when the table has none), kept by number.
    [[nodiscard]] pn_arraylist *list_by_number(std::uint32_t id, const char *name) {
        std::vector<pn_arraylist *> &lists = pooled->lists;
        if (id < lists.size() && (lists[id] != nullptr || pooled->listless[id] != 0)) {
            return lists[id];
        }
        if (id >= lists.size()) {
            lists.resize(id + 1, nullptr);
            pooled->listless.resize(id + 1, 0);
        }
        lists[id] = list_of(name);
        pooled->listless[id] = lists[id] == nullptr ? 1 : 0;
        return lists[id];
    }
    // The table made a list for the name numbered id.
    void listed_now(std::uint32_t id, pn_arraylist *list) {
        if (id < pooled->lists.size()) {
            pooled->lists[id] = list;
            pooled->listless[id] = 0;
        }
    }
    // The last record of list in force at table line `at`, or null (walked from its end as
    // preproc_find_macro does).
    [[nodiscard]] static preproc_macro *in_force(const pn_arraylist *list, std::uint64_t at) {
        for (std::uint64_t i = list != nullptr ? list->size : 0; i-- > 0;) {
            auto *m = static_cast<preproc_macro *>(list->items[i]);
            if (m == nullptr || m->def_line > at) {
                continue;
            }
            return m->undef_line < at ? nullptr : m;
        }
        return nullptr;
    }

    // The definition def in force from table line `at` on, unless the same is already.
    [[nodiscard]] bool define(const preproc_macro &def, std::uint64_t at, name_hash hash,
                              std::uint32_t id) {
        if (same_definition(in_force(list_by_number(id, def.name.data), at), &def)) {
            return true;
        }
        undo.reserve(undo.size() + 1);
        preproc_macro &shell = pooled->shells.emplace_back(def);
        shell.def_line = at;
        shell.undef_line = PREPROC_LINE_MAX;
        if (!preproc_add_macro(table, &shell)) {
            pooled->shells.pop_back();
            return false;
        }
        pn_arraylist *list = list_of(shell.name.data);
        undo.push_back({list, &shell, 0, undo_step::kind::shell});
        note_name(hash, def.name, list->size == 1);
        listed_now(id, list);
        ++version;
        return true;
    }

    // Ends the definitions of the name in force at table line `at` (with `apply` false, only
    // notes them: the preprocessor ends them).
    void end_definitions(const char *name, std::uint64_t at, bool apply = true) {
        pn_arraylist *list = list_of(name);
        for (std::uint64_t i = list != nullptr ? list->size : 0; i-- > 0;) {
            auto *m = static_cast<preproc_macro *>(list->items[i]);
            if (m == nullptr || m->def_line > at) {
                continue;
            }
            if (m->undef_line < at) {
                break; // every record before it ended earlier
            }
            undo.push_back({list, m, m->undef_line, undo_step::kind::ended});
            m->undef_line = apply ? at : m->undef_line;
            ++version;
        }
    }

    void undo_to(std::size_t size) {
        while (undo.size() > size) {
            const undo_step &u = undo.back();
            if (u.what == undo_step::kind::ended) {
                u.record->undef_line = u.undef_line;
            } else {
                // The record is the last of its list: the table only grows at its end.
                --u.list->size;
                if (u.what == undo_step::kind::shell) {
                    pooled->shells.pop_back();
                }
            }
            undo.pop_back();
        }
    }

    //--- what it gives ---//

    // Adds d to the reading's diagnostics, after the include chain of the file being read.
    void emit(const diagnostic &d) {
        diagnostics.push_back(d);
        diagnostic &kept = diagnostics.back();
        if (!kept.file.empty() && kept.included_from.empty()) {
            for (std::size_t k = stack.size(); k-- > 1;) {
                kept.included_from.push_back({stack[k - 1].file->path, stack[k - 1].include_line});
            }
        }
        failed = failed || d.level >= DIAG_ERROR;
    }
    void emit_here(diag_level level, unsigned long line, unsigned long column, std::string text,
                   diag_warning kind = DIAG_W_NONE) {
        diagnostic d;
        d.level = level;
        d.warning = kind;
        d.summary = std::move(text);
        d.file = stack.back().file->path;
        d.line = line;
        d.column = column;
        d.column_in_record = true;
        emit(d);
    }

    [[nodiscard]] mark take_mark() const {
        return {undo.size(),     diagnostics.size(),
                nodes.size(),    nodes[stack.back().node].includes.size(),
                memo_log.size(), added.size(),
                version,         failed};
    }
    void back_to(const mark &m) {
        undo_to(m.undo);
        diagnostics.resize(m.diagnostics);
        nodes.resize(m.nodes);
        node_files.resize(m.nodes);
        nodes[stack.back().node].includes.resize(m.includes);
        while (memo_log.size() > m.memo_log) {
            (*memo)[memo_log.back().first] = memo_log.back().second;
            memo_log.pop_back();
        }
        if (added.size() > m.added) {
            added.resize(m.added);
            rehash(added_slots, added, added_slots.size());
            added_bits.fill(0);
            for (const name_hash h : added) {
                set_bit(added_bits, h);
            }
        }
        version = m.version;
        failed = m.failed;
    }

    // Notes that a definition of the name whose hash is h was added, the first of its name in
    // the table when fresh.
    void note_name(name_hash h, const idl_string &name, bool fresh) {
        if (fresh) {
            added.push_back(h);
            set_bit(added_bits, h);
            if (2 * added.size() > added_slots.size()) {
                rehash(added_slots, added, std::max<std::size_t>(64, 4 * added_slots.size()));
            } else {
                place_hash(added_slots, added, added.size() - 1);
            }
        }
        preproc_names_add(&expansion_names, name.data, name.len);
    }

    // True when the table holds nothing of any name v's text found nothing of when v was read
    // (no name of the same hash either): the names defined in this reading looked up among
    // v's, or v's among them, whichever are fewer. The predefined names are the same in every
    // reading, so none of them is ever among v's.
    [[nodiscard]] bool still_absent(const variant &v) const {
        if (added.size() < v.absent.size()) {
            return std::none_of(added.begin(), added.end(), [&v](name_hash h) {
                return has_bit(v.absent_bits, h) && v.is_absent(h);
            });
        }
        return std::none_of(v.absent.begin(), v.absent.end(), [this](name_hash h) {
            return has_bit(added_bits, h) && holds_hash(added_slots, added, h);
        });
    }
    [[nodiscard]] const memo_entry *memo_of(const file_entry *file) const {
        return file->id < memo->size() && (*memo)[file->id].set ? &(*memo)[file->id] : nullptr;
    }
    void remember(const file_entry *file, const memo_entry &entry) {
        if (file->id >= memo->size()) {
            memo->resize(file->id + 1);
        }
        memo_log.emplace_back(file->id, (*memo)[file->id]);
        (*memo)[file->id] = entry;
    }
};

bool read_file(reading &r, file_entry *file, std::uint64_t base, bool first, std::uint64_t *span,
               std::size_t *node_out);

// Follows one include directive of the file on top of the stack, whose text line is `line`
// and whose table line is `at`; `*taken` is set to the table lines the included file took.
bool follow_include(reading &r, const include_target &t, std::uint64_t line, std::uint64_t at,
                    std::uint64_t *taken) {
    *taken = 0;
    const std::size_t node = r.stack.back().node;
    idl_listing_include inc;
    inc.line = static_cast<unsigned long>(line);
    inc.file_line = t.line;
    if (t.file == nullptr) {
        r.emit_here(r.loader->permissive ? DIAG_WARNING : DIAG_ERROR, t.line, t.column,
                    "cannot find '" + t.name + "' (" + t.searched + ")", DIAG_W_MISSING_INCLUDE);
        inc.directive = t.angle ? "#include <" + t.name + ">" : "#include \"" + t.name + "\"";
        r.nodes[node].includes.push_back(std::move(inc));
        return r.loader->permissive;
    }
    if (r.stack.size() > k_max_include_depth) {
        r.emit_here(DIAG_ERROR, t.line, t.column,
                    "includes nest deeper than " + std::to_string(k_max_include_depth) + " levels");
        return false;
    }
    for (const frame &f : r.stack) {
        if (f.file->same == t.file->same) { // the same file, however named
            r.emit_here(DIAG_WARNING, t.line, t.column,
                        "include cycle: '" + t.name + "' is already being read; not read again",
                        DIAG_W_INCLUDE_CYCLE);
            r.nodes[node].includes.push_back(std::move(inc));
            return true;
        }
    }
    file_entry *file = t.file;
    if (file->guarded.load(std::memory_order_acquire) &&
        reading::in_force(r.list_by_number(file->guard_id, file->guard.c_str()), at) != nullptr) {
        // Its include guard is defined: the file adds nothing, but it is read all the same.
        inc.node = r.nodes.size();
        r.nodes.push_back({file->path, nullptr, {}});
        r.node_files.push_back(file);
        r.nodes[node].includes.push_back(std::move(inc));
        *taken = file->lines;
        return true;
    }
    if (++r.inclusions > k_max_inclusions) {
        r.emit_here(DIAG_ERROR, t.line, t.column,
                    "more than " + std::to_string(k_max_inclusions) +
                        " includes followed for one input; is an include guard missing?");
        return false;
    }
    r.stack.back().include_line = t.line;
    std::size_t child = 0;
    if (!read_file(r, t.file, at, false, taken, &child)) {
        return false;
    }
    inc.node = child;
    r.nodes[node].includes.push_back(std::move(inc));
    return true;
}

//=== replaying a variant ===//

enum class replayed { match, mismatch, failed };

replayed replay(reading &r, const variant &v, std::uint64_t base, std::uint64_t *span) {
    placement place;
    place.base = base;
    for (const event &e : v.events) {
        const std::uint64_t at = place.at(e.line);
        switch (e.kind) {
        case step::lookup:
            if (!same_definition(
                    e.found ? &v.defs[e.def] : nullptr,
                    reading::in_force(r.list_by_number(e.id, v.name_at(e.name)), at))) {
                return replayed::mismatch;
            }
            break;
        case step::define:
            if (!r.define(v.defs[e.def], at, static_cast<name_hash>(e.index), e.id)) {
                return replayed::failed;
            }
            break;
        case step::undef:
            r.end_definitions(v.name_at(e.name), at);
            break;
        case step::include: {
            std::uint64_t taken = 0;
            if (!follow_include(r, v.includes[e.index], e.line, at, &taken)) {
                return replayed::failed;
            }
            if (taken != 0) {
                place.shifts.push_back({e.line, place.taken() + taken});
            }
            break;
        }
        case step::report:
            r.emit(v.reports[e.index]);
            break;
        }
    }
    if (!r.still_absent(v)) {
        return replayed::mismatch;
    }
    if (v.failed) {
        return replayed::failed;
    }
    *span = v.lines + place.taken();
    return replayed::match;
}

//=== reading a file afresh ===//

struct processing {
    reading *r;
    file_entry *file;
    std::unique_ptr<variant> v;
    bool through_include = false; // the failure came through an include: this reading's alone

    // Records a name the text asked for that the table holds nothing of, once.
    void note_absent(std::string_view name) {
        const name_hash h = hash_of(name);
        std::vector<std::uint32_t> &slots = v->absent_slots;
        if (2 * (v->absent.size() + 1) > slots.size()) {
            rehash(slots, v->absent, std::max<std::size_t>(64, 4 * slots.size()));
        }
        if (!v->is_absent(h)) {
            v->absent.push_back(h);
            place_hash(slots, v->absent, v->absent.size() - 1);
            set_bit(v->absent_bits, h);
        }
    }
};

void on_lookup(void *context, const preproc_root *, const char *name, size_t len, uint64_t line,
               const preproc_macro *found, bool directive, bool listed) {
    auto &p = *static_cast<processing *>(context);
    const std::string_view n(name, len);
    if (found == nullptr && !directive && (!listed || !p.r->listed(std::string(n).c_str()))) {
        // Nothing of the name in the table: it stands for itself wherever the text has it, as
        // long as the table holds nothing of it.
        p.note_absent(n);
        return;
    }
    event e;
    e.kind = step::lookup;
    e.line = line;
    e.name = p.v->add_name(n);
    e.id = number_of(p.r->loader, n);
    e.found = found != nullptr;
    if (found != nullptr) {
        e.def = p.v->add_def(*found);
    }
    p.v->events.push_back(e);
}

void on_define(void *context, preproc_root *root, preproc_macro *macro, uint64_t line) {
    auto &p = *static_cast<processing *>(context);
    reading &r = *p.r;
    {
        // The record outlives the reading: variants and other tables refer to its contents.
        const std::lock_guard<std::mutex> hold(r.loader->lock);
        r.loader->definitions.push_back(macro);
    }
    // The record is the last of its list; is the same definition in force before it?
    pn_arraylist *list = r.list_of(macro->name.data);
    const std::uint64_t at = preproc_table_line(root);
    const preproc_macro *before = nullptr;
    for (std::uint64_t i = list != nullptr && list->size > 0 ? list->size - 1 : 0; i-- > 0;) {
        const auto *m = static_cast<const preproc_macro *>(list->items[i]);
        if (m != nullptr && m->def_line <= at) {
            before = m->undef_line < at ? nullptr : m;
            break;
        }
    }
    if (!same_definition(before, macro)) {
        ++r.version;
    }
    event e;
    e.kind = step::define;
    e.line = line;
    e.def = p.v->add_def(*macro);
    e.index = hash_of(text_of(macro->name));
    e.id = number_of(r.loader, text_of(macro->name));
    r.undo.push_back({list, macro, 0, reading::undo_step::kind::record});
    r.note_name(static_cast<name_hash>(e.index), macro->name, list->size == 1);
    r.listed_now(e.id, list);
    p.v->events.push_back(e);
}

void on_undef(void *context, preproc_root *root, const char *name, size_t len, uint64_t line) {
    auto &p = *static_cast<processing *>(context);
    event e;
    e.kind = step::undef;
    e.line = line;
    e.name = p.v->add_name(std::string_view(name, len));
    p.v->events.push_back(e);
    // The definitions the preprocessor ends next, noted so that they can be revived.
    p.r->end_definitions(p.v->name_at(e.name), preproc_table_line(root), false);
}

bool on_include(void *context, preproc_root *root, const preproc_include_request &request) {
    auto &p = *static_cast<processing *>(context);
    try {
        p.v->includes.push_back(find_include(p.r->loader, p.file->path, request));
        event e;
        e.kind = step::include;
        e.line = root->line;
        e.index = p.v->includes.size() - 1;
        p.v->events.push_back(e);
        std::uint64_t taken = 0;
        if (!follow_include(*p.r, p.v->includes.back(), root->line, preproc_table_line(root),
                            &taken) ||
            !preproc_take_lines(root, taken)) {
            p.through_include = true;
            return false;
        }
        return true;
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to read included files of %s", p.file->path.c_str());
        p.through_include = true;
        return false;
    }
}

void keep_report(void *context, diagnostic &&d) {
    auto &p = *static_cast<processing *>(context);
    p.v->reports.push_back(std::move(d));
    event e;
    e.kind = step::report;
    e.index = p.v->reports.size() - 1;
    p.v->events.push_back(e);
    p.r->emit(p.v->reports.back());
}

bool all_blank(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// The unit of the text state gave file, shared with any earlier variant that gave the same.
loaded_unit *unit_of(file_entry *file, const preproc_root &state, const variant &v) {
    const std::string_view text(state.output.data != nullptr ? state.output.data : "",
                                state.output.len);
    const std::lock_guard<std::mutex> hold(file->lock);
    for (const auto &u : file->units) {
        if (u->text == text) {
            return u.get();
        }
    }
    auto unit = std::make_unique<loaded_unit>();
    unit->path = file->path;
    unit->resolved = file->resolved;
    unit->text.assign(text);
    unit->blank = all_blank(text);
    unit->src = idl_source_of(state, file->path.c_str());
    unit->src.text = unit->text;
    // With the whole model read, a key pragma naming what its file does not declare is a
    // mistake rather than a type that may live elsewhere.
    unit->src.pragma_miss_level = DIAG_ERROR;
    unit->src.drop_formless_annotations = true;
    unit->src.keep_value_blanks = true;
    for (const include_target &t : v.includes) {
        if (t.file != nullptr) {
            unit->includes.push_back({t.file->resolved, t.file->path, t.line});
        }
    }
    file->units.push_back(std::move(unit));
    return file->units.back().get();
}

struct preproc_guard {
    preproc_root *state;
    ~preproc_guard() { preproc_root_fini(state); }
};

// Reads the file afresh into the reading's table from table line base. The variant is kept for
// other readings unless it failed through an include (that is this reading's alone).
bool process(reading &r, file_entry *file, std::uint64_t base, variant **out, std::uint64_t *span) {
    processing p{&r, file, std::make_unique<variant>(), false};
    const preproc_observer observer{&p, on_lookup, on_define, on_undef};
    bool ok = false;
    {
        const capture keep(keep_report, &p);
        {
            preproc_root state{};
            const preproc_guard guard{&state};
            if (preproc_root_init(&state, nullptr, nullptr)) {
                preproc_root_share_table(&state, r.table, base);
                state.observer = &observer;
                state.include_hook = on_include;
                state.include_context = &p;
                state.names = &r.expansion_names;
                ok = preproc_run(&state, file->resolved.c_str());
                p.v->lines = state.line - 1;
                *span = p.v->lines + (preproc_table_line(&state) - base - state.line);
                if (ok) {
                    p.v->unit = unit_of(file, state, *p.v);
                    if (state.guard != nullptr && !file->guarded.load(std::memory_order_acquire)) {
                        const std::uint32_t id = number_of(r.loader, state.guard);
                        const std::lock_guard<std::mutex> hold(file->lock);
                        if (!file->guarded.load(std::memory_order_relaxed)) {
                            file->guard = state.guard;
                            file->guard_id = id;
                            file->lines = p.v->lines;
                            file->guarded.store(true, std::memory_order_release);
                        }
                    }
                }
            }
        }
    }
    if (p.through_include) {
        *out = nullptr; // what it did depends on this reading's includes: not kept
        return false;
    }
    p.v->failed = !ok;
    p.v->compact();
    *out = p.v.get();
    const std::lock_guard<std::mutex> hold(file->lock);
    file->variants.push_back(std::move(p.v));
    const std::size_t k = file->variants.size() - 1;
    if (k < file->first_variants.size()) {
        file->first_variants[k].store(file->variants[k].get(), std::memory_order_relaxed);
    }
    file->variant_count.store(file->variants.size(), std::memory_order_release);
    return ok;
}

//=== units: parse and hook ===//

bool parse_unit(reading &r, loaded_unit *unit) {
    idl_loader *loader = r.loader;
    if (unit->parsed.load(std::memory_order_acquire)) {
        for (const diagnostic &d : unit->reports) {
            r.emit(d);
        }
        return true;
    }
    std::unique_lock<std::mutex> hold(loader->lock);
    if (unit->st == loaded_unit::state::unparsed) {
        unit->st = loaded_unit::state::parsing;
        hold.unlock();
        bool parsed = false;
        {
            const capture keep(keep_in, &unit->reports);
            unit->tree = idl_parse_source(unit->src);
            parsed = unit->tree != nullptr;
        }
        hold.lock();
        unit->st = parsed ? loaded_unit::state::parsed : loaded_unit::state::failed;
        unit->parsed.store(parsed, std::memory_order_release);
        loader->changed.notify_all();
    } else {
        loader->changed.wait(hold, [unit] { return unit->st != loaded_unit::state::parsing; });
    }
    const bool ok = unit->st == loaded_unit::state::parsed;
    hold.unlock();
    for (const diagnostic &d : unit->reports) {
        r.emit(d);
    }
    return ok;
}

// With the loader's lock held: runs the hook of one ready unit, if any, without the lock.
// True when one ran.
bool run_one_hook(idl_loader *loader, std::unique_lock<std::mutex> &hold) {
    if (loader->ready.empty()) {
        return false;
    }
    loaded_unit *unit = loader->ready.front();
    loader->ready.pop_front();
    hold.unlock();
    loader->on_parsed(loader->on_parsed_context, unit);
    // Nothing looks at the tree again: its memory goes back for the next file's.
    idl_unit_release_tree(unit);
    hold.lock();
    unit->hooked.store(true, std::memory_order_release);
    loader->changed.notify_all();
    return true;
}

// Waits, holding the loader's lock, until done() is true; runs ready hooks meanwhile rather
// than idle.
template <class Done>
void wait_working(idl_loader *loader, std::unique_lock<std::mutex> &hold, const Done &done) {
    while (!done()) {
        if (run_one_hook(loader, hold)) {
            continue;
        }
        loader->changed.wait(hold, [&] { return done() || !loader->ready.empty(); });
    }
}

// Queues a unit read without failure for the hook, once; the reading waits for it at its end.
void hook_unit(reading &r, loaded_unit *unit) {
    idl_loader *loader = r.loader;
    if (loader->on_parsed == nullptr || unit->hooked.load(std::memory_order_acquire)) {
        return;
    }
    r.hooks_awaited.push_back(unit);
    std::unique_lock<std::mutex> hold(loader->lock);
    if (unit->hooking) {
        return;
    }
    unit->hooking = true;
    loader->ready.push_back(unit);
    loader->changed.notify_all();
    // A few wait for a reader that would otherwise wait; more would hold their trees.
    if (loader->ready.size() > k_max_ready) {
        (void)run_one_hook(loader, hold);
    }
}

//=== reading a file ===//

// Whether the calling thread reads file afresh (true: marked as its reader), after waiting for
// another thread that reads it to finish, unless that thread waits, directly or not, for one
// this thread reads. False after such a wait when variants beyond the `tried` first appeared.
bool claim(idl_loader *loader, file_entry *file, std::size_t tried) {
    const std::thread::id me = std::this_thread::get_id();
    std::unique_lock<std::mutex> hold(loader->lock);
    while (file->being_read && file->reader != me) {
        for (std::thread::id t = file->reader;;) {
            auto w = loader->waiting.find(t);
            if (w == loader->waiting.end() || !w->second->being_read) {
                break;
            }
            if (w->second->reader == me) {
                file->being_read = false; // a wait cycle: this thread reads it too
                break;
            }
            t = w->second->reader;
        }
        if (!file->being_read) {
            break;
        }
        loader->waiting[me] = file;
        wait_working(loader, hold, [file, me] { return !file->being_read || file->reader == me; });
        loader->waiting.erase(me);
        const std::lock_guard<std::mutex> variants(file->lock);
        if (file->variant_count.load(std::memory_order_acquire) > tried) {
            return false;
        }
    }
    file->being_read = true;
    file->reader = me;
    return true;
}

void release(idl_loader *loader, file_entry *file) {
    {
        const std::lock_guard<std::mutex> hold(loader->lock);
        if (file->reader == std::this_thread::get_id()) {
            file->being_read = false;
        }
    }
    loader->changed.notify_all();
}

// Reads file as included at table line base (the first file of the reading at 0): a variant
// replayed, or the file read afresh; then its unit parsed and handed to the hook.
bool read_file(reading &r, file_entry *file, std::uint64_t base, bool first, std::uint64_t *span,
               std::size_t *node_out) {
    *node_out = r.nodes.size();
    r.nodes.push_back({file->path, nullptr, {}});
    r.node_files.push_back(file);
    const std::size_t node = *node_out;
    const memo_entry *memo = r.memo_of(file);
    if (!first && memo != nullptr && memo->start == memo->end && memo->start == r.version) {
        // Read again with nothing changed since it was last read, which changed nothing:
        // reading it again gives the same.
        *span = memo->span;
        r.nodes[node].unit = memo->unit;
        return true;
    }
    r.stack.push_back({file, node, 0});
    const std::uint64_t start = r.version;
    variant *used = nullptr;
    bool ok = true;
    // Newest first when met again in this reading: most likely it then skips what its include
    // guard keeps out, a variant read after the first.
    const bool newest_first = memo != nullptr;
    for (std::size_t tried = 0;;) {
        std::array<variant *, 4> few{}; // the variants not yet tried: most often one or two
        std::vector<variant *> more;
        const std::size_t total = file->variant_count.load(std::memory_order_acquire);
        const std::size_t count = total - tried;
        if (total <= file->first_variants.size()) {
            for (std::size_t k = 0; k < count; ++k) {
                few[k] = const_cast<variant *>(
                    file->first_variants[tried + k].load(std::memory_order_relaxed));
            }
        } else {
            const std::lock_guard<std::mutex> hold(file->lock);
            more.resize(count);
            for (std::size_t k = 0; k < count; ++k) {
                more[k] = file->variants[tried + k].get();
            }
        }
        tried = total;
        variant **known = more.empty() ? few.data() : more.data();
        if (newest_first) {
            std::reverse(known, known + count);
        }
        for (variant *v : std::span<variant *>(known, count)) {
            const reading::mark before = r.take_mark();
            const replayed how = replay(r, *v, base, span);
            if (how == replayed::mismatch) {
                r.back_to(before);
                continue;
            }
            used = v;
            ok = how == replayed::match;
            break;
        }
        if (used != nullptr || claim(r.loader, file, tried)) {
            break; // a variant matched, or this thread reads the file afresh
        }
    }
    if (used == nullptr) {
        struct claimed {
            idl_loader *loader;
            file_entry *file;
            ~claimed() { release(loader, file); }
        } const reader{r.loader, file};
        ok = process(r, file, base, &used, span);
    }
    loaded_unit *unit = ok && used != nullptr ? used->unit : nullptr;
    const bool wanted = unit != nullptr && (first || !unit->blank);
    if (wanted) {
        r.nodes[node].unit = unit;
        if (r.loader->parsing && !parse_unit(r, unit)) {
            ok = false;
        }
    }
    r.stack.pop_back();
    if (!ok) {
        return false;
    }
    r.remember(file, {true, start, r.version, *span, wanted ? unit : nullptr});
    if (wanted && r.loader->parsing) {
        hook_unit(r, unit);
    }
    return true;
}

// The units a reading met, each with its index among them.
struct units_seen {
    std::vector<std::pair<const idl_unit *, std::size_t>> first; // by file id: its first unit
    std::unordered_map<const idl_unit *, std::size_t> others;    // further units of a file
    std::size_t index_of(std::size_t id, const idl_unit *unit) const {
        if (first[id].first == unit) {
            return first[id].second;
        }
        auto found = others.find(unit);
        return found == others.end() ? SIZE_MAX : found->second;
    }
    // False when the unit was met before.
    bool add(std::size_t id, const idl_unit *unit, std::size_t index) {
        if (first[id].first == nullptr) {
            first[id] = {unit, index};
            return true;
        }
        return first[id].first != unit && others.emplace(unit, index).second;
    }
};

// The units of the reading, the files a file includes before it, each once, and for each the
// node that included it and the line of the directive (from, per unit).
void units_below(const reading &r, std::size_t node, std::size_t parent, unsigned long line,
                 units_seen *seen, std::vector<std::pair<std::size_t, unsigned long>> *from,
                 idl_reading *out) {
    for (const idl_listing_include &inc : r.nodes[node].includes) {
        if (inc.node < r.nodes.size()) {
            units_below(r, inc.node, node, inc.file_line, seen, from, out);
        }
    }
    const idl_unit *unit = r.nodes[node].unit;
    if (unit != nullptr && seen->add(r.node_files[node]->id, unit, out->units.size())) {
        out->units.push_back(unit);
        from->emplace_back(parent, line);
    }
}

// The files read besides the first, level by level, each once.
std::vector<std::string_view> files_read(const reading &r, std::vector<char> *seen) {
    std::vector<std::string_view> out;
    (*seen)[r.node_files.front()->id] = 1;
    std::vector<std::size_t> todo{0};
    for (std::size_t i = 0; i < todo.size(); ++i) {
        for (const idl_listing_include &inc : r.nodes[todo[i]].includes) {
            if (inc.node < r.nodes.size()) {
                const std::size_t id = r.node_files[inc.node]->id;
                if ((*seen)[id] == 0) {
                    (*seen)[id] = 1;
                    out.emplace_back(r.nodes[inc.node].path);
                }
                todo.push_back(inc.node);
            }
        }
    }
    return out;
}

bool read_all(idl_loader *loader, const char *path, unsigned parts, idl_reading *out) {
    *out = idl_reading{};
    const std::string resolved = real_path(loader, path);
    if (resolved.empty()) {
        // The preprocessor reports the missing file as it always has.
        const capture keep(keep_in, &out->diagnostics);
        owned<idl_unit, idl_unit_delete> none{idl_unit_read(path, loader->macros)};
        return false;
    }
    reading r(loader);
    if (!r.borrow_table()) {
        return false;
    }
    std::uint64_t span = 0;
    std::size_t node = 0;
    bool ok = read_file(r, entry_of(loader, path, resolved), 0, true, &span, &node) && !r.failed;
    {
        std::unique_lock<std::mutex> hold(loader->lock);
        while (run_one_hook(loader, hold)) {
        }
        for (loaded_unit *unit : r.hooks_awaited) {
            wait_working(loader, hold, [unit] { return unit->hooked.load(); });
        }
    }
    out->diagnostics = std::move(r.diagnostics);
    if (!ok) {
        return false;
    }
    out->unit = r.nodes.front().unit;
    std::size_t files = 0;
    for (const file_entry *f : r.node_files) {
        files = std::max(files, f->id + 1);
    }
    units_seen met{std::vector<std::pair<const idl_unit *, std::size_t>>(files), {}};
    std::vector<std::pair<std::size_t, unsigned long>> from;
    units_below(r, 0, SIZE_MAX, 0, &met, &from, out);
    out->met_from.reserve(from.size());
    for (const auto &[parent, line] : from) {
        out->met_from.emplace_back(parent == SIZE_MAX
                                       ? UINT32_MAX
                                       : static_cast<std::uint32_t>(met.index_of(
                                             r.node_files[parent]->id, r.nodes[parent].unit)),
                                   static_cast<std::uint32_t>(line));
    }
    if ((parts & IDL_READ_DEPENDENCIES) != 0) {
        std::vector<char> seen(files, 0);
        out->dependencies = files_read(r, &seen);
    }
    if ((parts & IDL_READ_TEXT) != 0) {
        out->text = idl_render_listing(r.nodes, 0);
    }
    const std::lock_guard<std::mutex> hold(loader->lock);
    loader->readings.emplace(out->unit, stored_reading{out->units, out->dependencies});
    return true;
}

} // namespace

//=== the loader ===//

std::vector<diag_include> idl_reading_chain(const idl_reading &reading, std::size_t index) {
    std::vector<diag_include> chain;
    for (std::size_t k = index; k < reading.met_from.size();) {
        const auto &[includer, line] = reading.met_from[k];
        if (includer >= reading.units.size()) {
            break;
        }
        chain.push_back({reading.units[includer]->path, line});
        k = includer;
    }
    return chain;
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
    for (auto &file : loader->files) {
        for (auto &unit : file.second->units) {
            ast_recursive_delete(unit->tree);
        }
    }
    delete loader;
}

void idl_loader_release_cache(idl_loader *loader) {
    loader->tables.clear(); // the shells of the tables borrow from the definitions
    for (auto &file : loader->files) {
        file_entry &f = *file.second;
        std::vector<std::unique_ptr<variant>>().swap(f.variants);
        for (auto &first : f.first_variants) {
            first.store(nullptr, std::memory_order_relaxed);
        }
        f.variant_count.store(0, std::memory_order_relaxed);
    }
    for (preproc_macro *m : loader->definitions) {
        preproc_macro_destroy(m);
    }
    std::vector<preproc_macro *>().swap(loader->definitions);
}

void idl_loader_set_permissive(idl_loader *loader, bool permissive) {
    loader->permissive = permissive;
}

void idl_loader_set_parsing(idl_loader *loader, bool parsing) {
    loader->parsing = parsing;
}

std::string idl_loader_resolve(idl_loader *loader, const std::string &path, bool plain) {
    try {
        return real_path(loader, path, plain);
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to read %s", path.c_str());
        return std::string();
    }
}

bool idl_loader_read_all(idl_loader *loader, const char *path, unsigned parts, idl_reading *out) {
    try {
        return read_all(loader, path, parts, out);
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to read %s", path);
        out->unit = nullptr;
        return false;
    }
}

const idl_unit *idl_loader_read(idl_loader *loader, const char *path) {
    idl_reading r;
    const bool ok = idl_loader_read_all(loader, path, IDL_READ_DEPENDENCIES, &r);
    try {
        for (const diagnostic &d : r.diagnostics) {
            diagnostic bare = d;
            bare.included_from.clear();
            bool fresh = false;
            {
                const std::lock_guard<std::mutex> hold(loader->lock);
                fresh = loader->reported.insert(diag_gcc_text(bare, false)).second;
            }
            if (fresh) {
                diag_report(d);
            }
        }
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to read %s", path);
    }
    return ok ? r.unit : nullptr;
}

void idl_loader_on_parsed(idl_loader *loader, idl_parsed_fn hook, void *context) {
    loader->on_parsed = hook;
    loader->on_parsed_context = context;
}

std::vector<const idl_unit *> idl_loader_model(const idl_loader *loader,
                                               const std::vector<const idl_unit *> &roots) {
    std::vector<const idl_unit *> out;
    std::unordered_set<const idl_unit *> seen;
    for (const idl_unit *root : roots) {
        auto found = loader->readings.find(root);
        const std::vector<const idl_unit *> one{root};
        for (const idl_unit *unit : found != loader->readings.end() ? found->second.units : one) {
            if (seen.insert(unit).second) {
                out.push_back(unit);
            }
        }
    }
    return out;
}

std::vector<std::string> idl_loader_dependencies(const idl_loader *loader, const idl_unit *root) {
    auto found = loader->readings.find(root);
    if (found == loader->readings.end()) {
        return {};
    }
    return {found->second.dependencies.begin(), found->second.dependencies.end()};
}
