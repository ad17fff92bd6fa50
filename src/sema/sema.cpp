// The checking stage: a symbol table over every file of a model, names resolved by the IDL
// scoping rules, and the checks a parse alone cannot make. Runs between parsing and translation.
#include "sema/sema.hpp"

#include "sema/annotations.hpp"
#include "sema/consteval.hpp"
#include "sema/facts.hpp"

#include "base/diag.hpp"
#include "base/suggest.hpp"
#include "grammars/idl_parser.hpp"
#include "model/load.hpp"
#include "model/source.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

//=== symbols ===//

// The texts a symbol views are kept by the facts of the files, which outlive the check.
struct symbol {
    sym_kind kind;
    std::string_view name; // simple name, a view of its unit's text
    std::uint32_t scope;   // the enclosing scope (an enumerator's: its enumeration)
    const idl_unit *unit;  // where it was declared (its definition, once completed)
    const type_fact *fact; // structure, bitset: base and members; typedef: what it names
    std::uint64_t pos;     // position of its name
    // Where the name was first declared (a forward declaration, when one came first): a use
    // must come after it.
    const idl_unit *first_unit;
    std::uint64_t first_pos;
    // A constant's value, once worked out (before the second pass, which only reads it).
    mutable const sema_value *value = nullptr;
};

bool is_type(sym_kind k) {
    return k != sym_kind::module && k != sym_kind::constant && k != sym_kind::enumerator &&
           k != sym_kind::bit_value;
}

const char *kind_text(sym_kind k) {
    switch (k) {
    case sym_kind::module:
        return "a module";
    case sym_kind::constant:
        return "a constant";
    case sym_kind::enumerator:
        return "an enumerator";
    case sym_kind::bit_value:
        return "a bit value";
    default:
        return "a type";
    }
}

// Annotations IDL 4.2 and DDS-XTypes define.
constexpr const char *known_annotations[] = {
    "id",
    "autoid",
    "optional",
    "position",
    "value",
    "extensibility",
    "final",
    "appendable",
    "mutable",
    "key",
    "must_understand",
    "default_literal",
    "default",
    "range",
    "min",
    "max",
    "unit",
    "bit_bound",
    "external",
    "nested",
    "verbatim",
    "service",
    "oneway",
    "ami",
    "hashid",
    "topic",
    "default_nested",
    "ignore_literal_names",
    "try_construct",
    "non_serialized",
    "data_representation",
    "choice",
    "empty",
};

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

//=== the checker ===//

// Values given to the items of one type (enumerator values, member ids), with where each was
// given. They mostly come in rising order, which costs no search.
class taken_values {
public:
    struct item {
        sema_int value;
        std::string_view name;
        std::uint64_t pos;
        std::uint32_t element;
    };

    void clear() {
        items_.clear();
        rising_ = true;
    }

    /// Records value; the item that had it already (which keeps it), or null.
    const item *take(sema_int value, std::string_view name, std::uint64_t pos,
                     std::uint32_t element = 0) {
        if (!items_.empty() && !(rising_ && value > items_.back().value)) {
            rising_ = false;
            for (const item &i : items_) {
                if (i.value == value) {
                    return &i;
                }
            }
        }
        items_.push_back({value, name, pos, element});
        return nullptr;
    }

private:
    std::vector<item> items_;
    bool rising_ = true;
};

using ordered_names = std::vector<std::pair<std::size_t, std::string_view>>;

// The names of the parts (each in the model's order of declarations) in that order.
std::vector<std::string_view> names_in_order(const std::vector<ordered_names> &parts) {
    ordered_names merged;
    for (const ordered_names &part : parts) {
        ordered_names next;
        next.reserve(merged.size() + part.size());
        std::merge(merged.begin(), merged.end(), part.begin(), part.end(), std::back_inserter(next),
                   [](const auto &a, const auto &b) { return a.first < b.first; });
        merged.swap(next);
    }
    std::vector<std::string_view> out;
    out.reserve(merged.size());
    for (const auto &n : merged) {
        out.push_back(n.second);
    }
    return out;
}

// The scopes of the whole model, each once: a scope is its enclosing scope and its own name
// (a module's, or an enumeration's for the names of its values), so that a full name costs one
// name and one number however deep it stands. Made before the first pass; read only after.
struct scope_table {
    struct node {
        std::uint32_t parent;
        std::string_view name;
        sema_name_hasher hash; // of the full name's text
    };
    struct child_key {
        std::uint32_t parent;
        std::string_view name;
        bool operator==(const child_key &other) const = default;
    };
    struct child_hash {
        std::size_t operator()(const child_key &k) const {
            return std::hash<std::string_view>()(k.name) ^ (k.parent * 0x9e3779b97f4a7c15u);
        }
    };
    static constexpr std::uint32_t none = UINT32_MAX;
    std::vector<node> nodes{node{0, "", sema_name_hasher()}};
    std::unordered_map<child_key, std::uint32_t, child_hash> children;
    // Per file, the scope of each of its scopes.
    std::unordered_map<const sema_facts *, std::vector<std::uint32_t>> of_unit;

    // Every scope of the model, file by file in order (so that the numbers do not depend on the
    // threads), with the enumerations that hold values.
    void add_model(const std::vector<const sema_facts *> &units) {
        for (const sema_facts *f : units) {
            std::vector<std::uint32_t> &ids = of_unit[f];
            if (!ids.empty()) {
                continue; // a file given twice
            }
            ids.reserve(f->scopes.size());
            ids.push_back(0);
            for (std::size_t i = 1; i < f->scopes.size(); ++i) {
                ids.push_back(intern(ids[f->scopes[i].parent], f->scopes[i].name));
            }
            for (const decl_fact &d : f->decls) {
                if (d.w == decl_fact::what::value) {
                    intern(ids[d.scope], d.owner);
                }
            }
        }
    }

    std::uint32_t intern(std::uint32_t parent, std::string_view name) {
        auto [it, fresh] = children.try_emplace({parent, name}, 0);
        if (fresh) {
            sema_name_hasher h = nodes[parent].hash;
            h.add("::");
            h.add(name);
            it->second = static_cast<std::uint32_t>(nodes.size());
            nodes.push_back({parent, name, h});
        }
        return it->second;
    }
    // The scope named name inside parent; none when the model has no such scope.
    [[nodiscard]] std::uint32_t child(std::uint32_t parent, std::string_view name) const {
        if (parent == none) {
            return none;
        }
        const auto found = children.find({parent, name});
        return found == children.end() ? none : found->second;
    }
    [[nodiscard]] const std::vector<std::uint32_t> &scopes_of(const sema_facts &f) const {
        return of_unit.find(&f)->second;
    }
};

// A full name: its scope and its simple name, with the hash of its text, worked out once: it
// picks the part of the table and the bucket. Two keys are equal when their texts are.
struct name_key {
    std::uint32_t scope = 0;
    std::string_view name;
    std::size_t hash = 0;
    [[nodiscard]] bool same(const name_key &other) const {
        return scope == other.scope && name == other.name;
    }
    bool operator==(const name_key &other) const;
};

// The last two names a comparison of keys told apart, on this thread. The hash of a key ignores
// case, so a name that differs from another only in case meets it in the walk that inserts or
// finds it, and is told apart from it there: that walk finds a declaration's case twin.
thread_local name_key told_apart[2];

bool name_key::operator==(const name_key &other) const {
    if (same(other)) {
        return true;
    }
    told_apart[0] = *this;
    told_apart[1] = other;
    return false;
}

// Forgets the names told apart so far, before a walk whose twins are wanted.
void forget_told_apart() {
    told_apart[0] = told_apart[1] = {};
}

struct name_key_hash {
    std::size_t operator()(const name_key &key) const { return key.hash; }
};

// The key of name declared in scope.
name_key key_in(const scope_table &scopes, std::uint32_t scope, std::string_view name) {
    sema_name_hasher h = scopes.nodes[scope].hash;
    h.add("::");
    h.add(name);
    return {scope, name, h.value()};
}

// The declarations whose full names hash to one part: the first pass fills the parts on
// threads of their own.
struct shard {
    std::unordered_map<name_key, symbol, name_key_hash> table; // full name ("::M::S") -> symbol
    // Enumerators are also visible as names of the scope enclosing their enumeration.
    std::unordered_map<name_key, const symbol *, name_key_hash> loose; // "::M::RED" -> symbol
};

// What the first pass declares over the whole model; the second pass only reads it, so the
// checkers of several files may share it.
struct symbols {
    scope_table scopes;
    std::vector<shard> shards{1};
    std::unordered_set<std::string> declared_annotations;
    // Per part, the names declared first with their place in the order of declarations; made
    // into one list each for the hints when one is first needed (most runs need none).
    std::vector<ordered_names> type_parts;
    std::vector<ordered_names> value_parts;
    std::unordered_map<const idl_unit *, std::size_t> unit_index; // order of the model
    std::unordered_map<std::string_view, const idl_unit *> by_resolved;
    // The values of the constants, worked out in model order before the second pass.
    std::deque<sema_value> constant_values;

    // The names declared first, types or values, in the order of declarations.
    [[nodiscard]] const std::vector<std::string_view> &hint_names(bool types) {
        std::call_once(hints_made_, [this] {
            simple_type_names_ = names_in_order(type_parts);
            simple_value_names_ = names_in_order(value_parts);
        });
        return types ? simple_type_names_ : simple_value_names_;
    }

    [[nodiscard]] std::size_t shard_of(const name_key &key) const { return part_of(key.hash); }
    [[nodiscard]] std::size_t part_of(std::size_t hash) const {
        return shards.size() == 1 ? 0 : hash % shards.size();
    }

private:
    std::once_flag hints_made_;
    std::vector<std::string_view> simple_type_names_;
    std::vector<std::string_view> simple_value_names_;
};

struct checker {
    const sema_options &options;
    symbols &syms;
    std::unordered_set<std::string> &declared_annotations = syms.declared_annotations;
    std::unordered_map<const idl_unit *, std::size_t> &unit_index = syms.unit_index;
    unsigned errors = 0;
    std::vector<const idl_unit *> failed; // units holding an error, each once

    checker(const sema_options &o, symbols &s) : options(o), syms(s) {}
    checker(const checker &) = delete;
    checker &operator=(const checker &) = delete;

    //--- reports ---//

    diagnostic at(diag_level level, const idl_unit *unit, std::uint64_t pos, std::string summary) {
        if (level >= DIAG_ERROR && std::find(failed.begin(), failed.end(), unit) == failed.end()) {
            failed.push_back(unit);
        }
        if (level != DIAG_NOTE) {
            current_unit = unit;
            current_pos = pos;
        }
        diagnostic d;
        d.level = level;
        d.summary = std::move(summary);
        d.file = unit->path;
        const std::string_view text = unit->src.text;
        if (pos > text.size()) {
            pos = text.size();
        }
        d.line = idl_place_of(unit->src, pos).line;
        std::uint64_t begin = pos;
        while (begin > 0 && text[begin - 1] != '\n') {
            --begin;
        }
        d.column = static_cast<unsigned long>(pos - begin + 1);
        d.column_in_record = true;
        std::uint64_t end = pos;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r') {
            ++end;
        }
        d.excerpt = std::string(text.substr(begin, end - begin));
        d.caret = static_cast<unsigned long>(pos - begin);
        return d;
    }

    void add_note_at(diagnostic &d, const idl_unit *unit, std::uint64_t pos,
                     const std::string &message) {
        diag_note note;
        const diagnostic place = at(DIAG_NOTE, unit, pos, "");
        note.file = place.file;
        note.line = place.line;
        note.column = place.column;
        note.message = message;
        d.notes.push_back(std::move(note));
    }

    // Reports are held back and given out in file and position order once both passes ran.
    struct pending {
        std::size_t unit_index;
        std::uint64_t pos;
        diagnostic d;
    };
    std::vector<pending> reports;
    const idl_unit *current_unit = nullptr;
    std::uint64_t current_pos = 0;

    void report(diagnostic &d) {
        if (d.level >= DIAG_ERROR) {
            ++errors;
        }
        auto found = unit_index.find(current_unit);
        reports.push_back(
            {found == unit_index.end() ? 0 : found->second, current_pos, std::move(d)});
    }

    // Reports mostly arrive in order already: order small indices, not the reports themselves,
    // and only when needed, so that the cost stays close to linear in their number.
    void flush() {
        auto before = [this](std::size_t a, std::size_t b) {
            const pending &x = reports[a];
            const pending &y = reports[b];
            return x.unit_index != y.unit_index ? x.unit_index < y.unit_index : x.pos < y.pos;
        };
        std::vector<std::size_t> order(reports.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        if (!std::is_sorted(order.begin(), order.end(), before)) {
            std::stable_sort(order.begin(), order.end(), before);
        }
        for (std::size_t k : order) {
            diag_report(reports[k].d);
        }
        reports.clear();
    }

    void error_with_note(const idl_unit *unit, std::uint64_t pos, std::string summary,
                         const symbol *earlier, std::string_view earlier_name,
                         diag_level level = DIAG_ERROR, diag_warning kind = DIAG_W_PERMISSIVE) {
        diagnostic d = at(level, unit, pos, std::move(summary));
        d.warning = kind;
        if (earlier != nullptr) {
            add_note_at(d, earlier->unit, earlier->pos,
                        "'" + std::string(earlier_name) + "' was declared here");
        }
        report(d);
    }

    // The level of what the IDL rules refuse but models that convert have long relied on being
    // let through: an error, a warning under --permissive.
    [[nodiscard]] diag_level strict() const {
        return options.permissive ? DIAG_WARNING : DIAG_ERROR;
    }

    void report_at(diag_level level, const idl_unit *unit, std::uint64_t pos, std::string summary,
                   const idl_unit *note_unit = nullptr, std::uint64_t note_pos = 0,
                   const std::string &note = {}, diag_warning kind = DIAG_W_PERMISSIVE) {
        diagnostic d = at(level, unit, pos, std::move(summary));
        d.warning = kind;
        if (note_unit != nullptr) {
            add_note_at(d, note_unit, note_pos, note);
        }
        report(d);
    }

    // True when the place (unit, pos) comes before (other, other_pos) in the model's order.
    bool comes_before(const idl_unit *unit, std::uint64_t pos, const idl_unit *other,
                      std::uint64_t other_pos) const {
        if (unit == other) {
            return pos < other_pos;
        }
        const auto a = unit_index.find(unit);
        const auto b = unit_index.find(other);
        return a != unit_index.end() && b != unit_index.end() && a->second < b->second;
    }

    //--- files ---//

    std::unordered_map<const idl_unit *, std::unordered_set<const idl_unit *>> closures;

    // The units a unit reads through its includes, itself included; made on first use.
    const std::unordered_set<const idl_unit *> &closure_of(const idl_unit *unit) {
        auto found = closures.find(unit);
        if (found != closures.end()) {
            return found->second;
        }
        std::unordered_set<const idl_unit *> seen{unit};
        std::vector<const idl_unit *> todo{unit};
        while (!todo.empty()) {
            const idl_unit *u = todo.back();
            todo.pop_back();
            for (const idl_include_edge &edge : u->includes) {
                auto next = syms.by_resolved.find(edge.resolved);
                if (next != syms.by_resolved.end() && seen.insert(next->second).second) {
                    todo.push_back(next->second);
                }
            }
        }
        return closures.emplace(unit, std::move(seen)).first->second;
    }

    bool related(const idl_unit *a, const idl_unit *b) {
        return a == b || closure_of(a).count(b) != 0 || closure_of(b).count(a) != 0;
    }

    //--- declarations ---//

    // Declares name in scope; a second declaration is refused unless it reopens a module or
    // completes (or repeats) a forward declaration.
    void declare(const sema_facts &f, const decl_fact &d, std::size_t seq) {
        const std::uint32_t scope = syms.scopes.scopes_of(f)[d.scope];
        const name_key key{scope, d.name, d.full_hash};
        forget_told_apart();
        auto [found, fresh] = syms.shards[syms.shard_of(key)].table.try_emplace(key);
        if (fresh) {
            found->second = {d.kind, d.name, scope, f.unit, d.fact, d.pos, f.unit, d.pos};
            (is_type(d.kind) ? type_names : value_names).push_back({seq, d.name});
            check_case(key, found->second, d.name);
            return;
        }
        symbol &old = found->second;
        const sym_kind kind = d.kind;
        const bool same_module = old.kind == sym_kind::module && kind == sym_kind::module;
        const bool struct_pair =
            (old.kind == sym_kind::structure_forward &&
             (kind == sym_kind::structure || kind == sym_kind::structure_forward)) ||
            (old.kind == sym_kind::structure && kind == sym_kind::structure_forward);
        const bool union_pair =
            (old.kind == sym_kind::union_forward &&
             (kind == sym_kind::union_type || kind == sym_kind::union_forward)) ||
            (old.kind == sym_kind::union_type && kind == sym_kind::union_forward);
        if (same_module) {
            return; // a module reopened, in whichever file: nothing to compare
        }
        if (!related(old.unit, f.unit)) {
            // Files that do not include one another are converted apart, as a compiler
            // translates its inputs apart: the same name in each is no clash.
            return;
        }
        if (struct_pair || union_pair) {
            if (kind == sym_kind::structure || kind == sym_kind::union_type) {
                // the definition completes the forward declaration
                old = {kind, d.name, scope, f.unit, d.fact, d.pos, old.first_unit, old.first_pos};
            }
            return;
        }
        error_with_note(f.unit, d.pos,
                        "'" + std::string(d.name) + "' is already declared in this scope", &old,
                        d.name);
    }

    // An enumerator or bit value: a name of its enumeration, also visible in the scope that
    // encloses the enumeration.
    void declare_value(const sema_facts &f, const decl_fact &d, std::size_t seq) {
        const std::uint32_t owner = value_scope(f, d);
        const name_key key{owner, d.name, d.full_hash};
        forget_told_apart();
        auto [made, fresh] = syms.shards[syms.shard_of(key)].table.try_emplace(key);
        if (!fresh && !related(made->second.unit, f.unit)) {
            return; // the same enumeration in files converted apart
        }
        if (!fresh) {
            const std::string_view type_name = d.owner;
            error_with_note(f.unit, d.pos,
                            std::string(d.kind == sym_kind::bit_value ? "duplicate bit value '"
                                                                      : "duplicate enumerator '") +
                                std::string(d.name) + "' in '" + std::string(type_name) + "'",
                            &made->second, d.name);
            return;
        }
        made->second = {d.kind, d.name, owner, f.unit, nullptr, d.pos, f.unit, d.pos};
        value_names.push_back({seq, d.name});
        if (d.kind == sym_kind::bit_value) {
            check_case(key, made->second, d.name); // bit values belong to their bitmask
        }
    }

    // The scope an enumerator or bit value is declared in: its enumeration's.
    std::uint32_t value_scope(const sema_facts &f, const decl_fact &d) const {
        return syms.scopes.child(syms.scopes.scopes_of(f)[d.scope], d.owner);
    }

    // The key of a declaration's full name.
    name_key key_of(const sema_facts &f, const decl_fact &d) const {
        return d.w == decl_fact::what::value
                   ? name_key{value_scope(f, d), d.name, d.full_hash}
                   : name_key{syms.scopes.scopes_of(f)[d.scope], d.name, d.full_hash};
    }

    // Names declared first, with their place in the model's order of declarations: the hints
    // look at them in that order once the parts are merged.
    std::vector<std::pair<std::size_t, std::string_view>> type_names;
    std::vector<std::pair<std::size_t, std::string_view>> value_names;

    // The first pass over the model for one part: the declarations whose full names hash to
    // it, in order (the first part also takes the annotation declarations).
    void declare_part(const std::vector<const sema_facts *> &units, std::size_t part) {
        std::size_t seq = 0;
        for (const sema_facts *f : units) {
            for (const decl_fact &d : f->decls) {
                ++seq;
                if (d.w == decl_fact::what::annotation) {
                    if (part == 0) {
                        declared_annotations.insert(std::string(d.name));
                    }
                    continue;
                }
                if (syms.part_of(d.full_hash) != part) {
                    continue;
                }
                if (d.w == decl_fact::what::declare) {
                    declare(*f, d, seq);
                } else {
                    declare_value(*f, d, seq);
                }
            }
        }
    }

    // Once every part is declared: the enumerators of the part their name in the enclosing
    // scope hashes to, each the one declared first under that name.
    void declare_loose_part(const std::vector<const sema_facts *> &units, std::size_t part) {
        for (const sema_facts *f : units) {
            for (const decl_fact &d : f->decls) {
                if (d.w != decl_fact::what::value) {
                    continue;
                }
                if (syms.part_of(d.loose_hash) != part) {
                    continue;
                }
                const name_key key{syms.scopes.scopes_of(*f)[d.scope], d.name, d.loose_hash};
                const name_key full = key_of(*f, d);
                const shard &home = syms.shards[syms.shard_of(full)];
                auto found = home.table.find(full);
                if (found == home.table.end() || found->second.unit != f->unit ||
                    found->second.pos != d.pos) {
                    continue; // a duplicate, reported, or the same one in a file apart
                }
                const symbol &mine = found->second;
                shard &here = syms.shards[part];
                forget_told_apart();
                auto [loose, fresh] = here.loose.emplace(key, &mine);
                if (d.kind != sym_kind::enumerator) {
                    continue; // a bit value belongs to its bitmask alone
                }
                // An enumerator belongs to the scope holding its enumeration too, with
                // everything else declared there.
                auto other = here.table.find(key);
                const symbol *clash = other != here.table.end() ? &other->second
                                      : fresh                   ? nullptr
                                                                : loose->second;
                if (clash != nullptr && clash->kind != sym_kind::bit_value &&
                    related(clash->unit, mine.unit)) {
                    enumerator_clash(mine, *clash);
                }
                check_case(key, mine, mine.name);
            }
        }
    }

    // An enumerator and another declaration of its name in the enclosing scope: reported at
    // the later of the two.
    void enumerator_clash(const symbol &a, const symbol &b) {
        const bool a_first = comes_before(a.first_unit, a.first_pos, b.first_unit, b.first_pos);
        const symbol &later = a_first ? b : a;
        const symbol &earlier = a_first ? a : b;
        error_with_note(later.unit, later.pos,
                        "'" + std::string(later.name) +
                            "' is already declared in this scope (an enumerator belongs to the "
                            "scope that holds its enumeration)",
                        &earlier, earlier.name, strict());
    }

    // Names of one scope that differ only in case collide in IDL. Published models break the
    // rule without meaning two things by it, so it is a warning.
    void check_case(const name_key &key, const symbol &sym, std::string_view name) {
        // The walk that declared the name told its twin apart from it, if it has one.
        const name_key other_key = told_apart[0].same(key) ? told_apart[1] : told_apart[0];
        forget_told_apart();
        if (other_key.name.empty() || other_key.scope != key.scope ||
            !sema_same_folded(other_key.name, key.name)) {
            return;
        }
        const shard &home = syms.shards[syms.shard_of(key)];
        const name_key twin{other_key.scope, other_key.name, key.hash};
        const auto in_table = home.table.find(twin);
        const auto in_loose = home.loose.find(twin);
        const symbol *found = in_table != home.table.end()   ? &in_table->second
                              : in_loose != home.loose.end() ? in_loose->second
                                                             : nullptr;
        if (found == nullptr) {
            return;
        }
        const symbol &other = *found;
        if (!related(other.unit, sym.unit)) {
            return;
        }
        const std::string_view other_name = other_key.name;
        const bool mine_later =
            comes_before(other.first_unit, other.first_pos, sym.first_unit, sym.first_pos);
        const symbol &later = mine_later ? sym : other;
        const symbol &earlier = mine_later ? other : sym;
        const std::string_view later_name = mine_later ? name : other_name;
        const std::string_view earlier_name = mine_later ? other_name : name;
        error_with_note(later.unit, later.pos,
                        "'" + std::string(later_name) + "' differs from '" +
                            std::string(earlier_name) +
                            "' only in case (IDL: identifiers that differ only in case collide)",
                        &earlier, earlier_name, DIAG_WARNING, DIAG_W_NAME_CASE);
    }

    //--- resolving names ---//

    const symbol *find(const name_key &key) const {
        const shard &home = syms.shards[syms.shard_of(key)];
        auto found = home.table.find(key);
        if (found != home.table.end()) {
            return &found->second;
        }
        auto alias = home.loose.find(key);
        if (alias != home.loose.end()) {
            return alias->second;
        }
        return nullptr;
    }

    // The symbol of name ("::B::C", or "" for the one of head) inside the declaration head
    // of scope; each component but the last names a scope of the model.
    const symbol *find_path(std::uint32_t scope, std::string_view head,
                            std::string_view rest) const {
        while (!rest.empty()) {
            scope = syms.scopes.child(scope, head);
            if (scope == scope_table::none) {
                return nullptr;
            }
            rest.remove_prefix(2);
            const std::size_t sep = rest.find("::");
            head = rest.substr(0, sep);
            rest = sep == std::string_view::npos ? "" : rest.substr(sep);
        }
        return find(key_in(syms.scopes, scope, head));
    }

    // IDL scoping: an absolute name from the file scope; otherwise the first component is
    // looked up in the current scope, then in each enclosing one, and the rest inside it.
    const symbol *resolve(std::uint32_t scope, std::string_view name) const {
        if (name.rfind("::", 0) == 0) {
            const std::size_t sep = name.find("::", 2);
            return find_path(0, name.substr(2, sep == std::string_view::npos ? sep : sep - 2),
                             sep == std::string_view::npos ? "" : name.substr(sep));
        }
        const std::size_t sep = name.find("::");
        const std::string_view head = name.substr(0, sep);
        const std::string_view rest = sep == std::string_view::npos ? "" : name.substr(sep);
        const std::uint32_t level = declaring_scope(scope, head);
        if (level == scope_table::none) {
            return nullptr;
        }
        const symbol *first = find(key_in(syms.scopes, level, head));
        return rest.empty() || first == nullptr ? first : find_path(level, head, rest);
    }

    // Where a name's first component is declared: the innermost of `scope` and its enclosing
    // scopes that declares `head`; none when none does. Each level costs the length of the
    // name, and answers are kept per scope and name: a name used many times, or from deep
    // inside many modules, is looked for once per level.
    mutable std::unordered_map<std::string, std::uint32_t> declaring_;
    mutable std::vector<std::uint32_t> walked_;

    std::uint32_t declaring_scope(std::uint32_t scope, std::string_view head) const {
        const auto key = [&](std::uint32_t level) {
            std::string k(sizeof level, '\0');
            std::memcpy(k.data(), &level, sizeof level);
            return k.append(head);
        };
        std::uint32_t found = scope_table::none;
        walked_.clear();
        for (std::uint32_t level = scope;; level = syms.scopes.nodes[level].parent) {
            if (auto known = declaring_.find(key(level)); known != declaring_.end()) {
                found = known->second;
                break;
            }
            walked_.push_back(level);
            const name_key name = key_in(syms.scopes, level, head);
            const shard &home = syms.shards[syms.shard_of(name)];
            if (home.table.find(name) != home.table.end() ||
                home.loose.find(name) != home.loose.end()) {
                found = level;
                break;
            }
            if (level == 0) {
                break;
            }
        }
        for (const std::uint32_t level : walked_) {
            declaring_.emplace(key(level), found);
        }
        return found;
    }

    std::string hint_for(std::string_view name, bool type) const {
        if (type) {
            const std::string_view idl = suggest_idl_type(name);
            if (!idl.empty()) {
                return std::string("; did you mean the IDL type '").append(idl).append("'?");
            }
        }
        const std::size_t sep = name.rfind("::");
        const std::string_view last = sep == std::string_view::npos ? name : name.substr(sep + 2);
        if (type) {
            const std::string_view kw = suggest_nearest(last, suggest_type_keywords());
            if (!kw.empty()) {
                return std::string("; did you mean the keyword '").append(kw).append("'?");
            }
        }
        suggest_choice choice{last, {}, 0};
        for (const std::string_view known : syms.hint_names(type)) {
            suggest_offer(choice, known);
        }
        return suggest_did_you_mean(choice.best);
    }

    void report_undeclared(const idl_unit *unit, std::uint64_t pos, std::string_view name,
                           bool type) {
        diagnostic d = at(options.permissive ? DIAG_WARNING : DIAG_ERROR, unit, pos,
                          "'" + std::string(name) + "' is not declared" + hint_for(name, type));
        d.warning = DIAG_W_UNDECLARED;
        report(d);
    }

    // A type reference: declared, and a type.
    const symbol *check_type_name(const idl_unit *unit, std::uint32_t scope, std::string_view name,
                                  std::uint64_t pos) {
        const symbol *sym = resolve(scope, name);
        if (sym == nullptr) {
            report_undeclared(unit, pos, name, true);
            return nullptr;
        }
        if (!is_type(sym->kind)) {
            error_with_note(unit, pos,
                            "'" + std::string(name) + "' is " + kind_text(sym->kind) +
                                ", not a type",
                            sym, sym->name);
            return nullptr;
        }
        return declared_before(unit, pos, name, sym);
    }

    // A name is declared before it is used, but for a forward declaration that came first; the
    // symbol, or null after reporting.
    const symbol *declared_before(const idl_unit *unit, std::uint64_t pos, std::string_view name,
                                  const symbol *sym) {
        if (sym->first_unit != unit || sym->first_pos < pos) {
            return sym;
        }
        report_at(strict(), unit, pos, "'" + std::string(name) + "' is used before it is declared",
                  sym->first_unit, sym->first_pos,
                  "'" + std::string(sym->name) + "' is declared here");
        return options.permissive ? sym : nullptr;
    }

    // A value reference in a constant expression: declared, and a constant or enumerator.
    const symbol *check_value_name(const idl_unit *unit, std::uint32_t scope, std::string_view name,
                                   std::uint64_t pos) {
        const symbol *sym = resolve(scope, name);
        if (sym == nullptr) {
            report_undeclared(unit, pos, name, false);
            return nullptr;
        }
        if (sym->kind != sym_kind::constant && sym->kind != sym_kind::enumerator &&
            sym->kind != sym_kind::bit_value) {
            error_with_note(unit, pos,
                            "'" + std::string(name) + "' is " + kind_text(sym->kind) +
                                ", not a constant",
                            sym, sym->name);
            return nullptr;
        }
        return declared_before(unit, pos, name, sym);
    }

    //--- constant values ---//

    // The value a name of a constant expression stands for, seen from scope.
    sema_value value_of(std::uint32_t scope, std::string_view name) const {
        sema_value v;
        v.text = name;
        const symbol *sym = resolve(scope, name);
        if (sym == nullptr) {
            v.k = sema_value::kind::unresolved;
        } else if (sym->kind == sym_kind::enumerator || sym->kind == sym_kind::bit_value) {
            v.k = sema_value::kind::enumerator;
            v.bit_value = sym->kind == sym_kind::bit_value;
            v.name = sym->name;
            v.owner = sym->scope;
        } else if (sym->kind == sym_kind::constant && sym->value != nullptr) {
            v = *sym->value;
            v.text = name;
        }
        return v;
    }

    // The names of expressions of one scope, for the evaluator.
    class scope_names : public sema_names {
    public:
        scope_names(const checker &c, std::uint32_t scope) : c_(c), scope_(scope) {}
        [[nodiscard]] sema_value value_of(std::string_view name) const override {
            return c_.value_of(scope_, name);
        }

    private:
        const checker &c_;
        std::uint32_t scope_;
    };

    // The value of an expression; a fault is reported (at strict level) and gives unknown.
    sema_value evaluate(const sema_facts &f, std::uint32_t scope, fact_range range,
                        prim_kind width) {
        sema_fault fault;
        const sema_value v = sema_evaluate(f, range, scope_names(*this, scope), width, &fault);
        if (!fault.message.empty()) {
            report_at(strict(), f.unit, fault.pos, fault.message);
        }
        return v;
    }

    // What the values of a type named in scope must be: a base type's, an enumeration's.
    sema_target target_named(std::uint32_t scope, std::string_view name) const {
        const symbol *sym = follow_aliases(resolve(scope, name));
        if (sym != nullptr && sym->kind == sym_kind::enumeration) {
            sema_target t;
            t.enumeration = sym->name;
            t.owner = syms.scopes.child(sym->scope, sym->name);
            return t;
        }
        if (sym != nullptr && sym->kind == sym_kind::alias && sym->fact != nullptr) {
            return sema_target_of(sym->fact->prim);
        }
        return {};
    }

    // Every constant of the model, in model order, so that a constant's value is known when a
    // later one uses it; values that do not fit are reported and left unknown.
    void evaluate_constants(const std::vector<const sema_facts *> &units) {
        for (const sema_facts *f : units) {
            for (const std::uint32_t index : f->constants) {
                const check_fact &c = f->checks[index];
                const std::uint32_t scope = syms.scopes.scopes_of(*f)[c.scope];
                const sema_target target =
                    c.flag ? target_named(scope, f->str(c.text)) : sema_target_of(c.prim);
                const sema_value v = evaluate(*f, scope, c.range, target.prim);
                if (v.k == sema_value::kind::unknown || v.k == sema_value::kind::unresolved) {
                    continue;
                }
                const std::string required = sema_requirement(v, target);
                if (!required.empty()) {
                    const std::string type =
                        c.flag ? std::string(f->str(c.text)) : sema_prim_name(c.prim);
                    report_at(strict(), f->unit, c.pos,
                              "constant '" + std::string(c.name) + "' of type '" + type +
                                  "' must be " + required + ", not " + sema_describe(v));
                    continue;
                }
                const symbol *sym = find(key_in(syms.scopes, scope, c.name));
                if (sym != nullptr && sym->unit == f->unit && sym->pos == c.pos) {
                    sym->value = &syms.constant_values.emplace_back(v);
                }
            }
        }
    }

    //--- annotations ---//

    // The name of an application: known, declared by the model, or reported as unknown.
    void check_annotation_name(const idl_unit *unit, std::string_view name, std::uint64_t pos) {
        for (const char *known : known_annotations) {
            if (name == known) {
                return;
            }
        }
        if (declared_annotations.count(std::string(name)) != 0) {
            return;
        }
        std::string hint;
        for (const char *known : known_annotations) {
            if (hint.empty() && suggest_case_variant(name, known)) {
                hint = suggest_did_you_mean(known, "@");
            }
        }
        for (const std::string &known : declared_annotations) {
            if (hint.empty() && suggest_case_variant(name, known)) {
                hint = suggest_did_you_mean(known, "@");
            }
        }
        diagnostic d =
            at(DIAG_WARNING, unit, pos, "unknown annotation '@" + std::string(name) + "'" + hint);
        d.warning = DIAG_W_UNKNOWN_ANNOTATION;
        report(d);
    }

    // What the annotations of one element (a type, a member, an enumerator) came to, while
    // its applications and then its own check go by.
    struct applied {
        std::string_view family;
        std::string values;
        std::string_view name;
        std::uint64_t pos;
    };
    struct element_state {
        std::uint32_t element = 0;
        std::vector<applied> applications;
        bool has_value = false; // @value of an enumerator, @position of a bit value
        sema_int value = 0;
        bool has_bit_bound = false;
        sema_int bit_bound = 0;
        std::uint64_t default_literal = 0; // position of @default_literal, 0 when none
    };
    element_state element_;
    // The @id values given in the structure or union being checked, with where each was given.
    taken_values ids_;
    std::vector<sema_fault> faults_;

    element_state &element(std::uint32_t id) {
        if (element_.element != id) {
            element_.element = id;
            element_.applications.clear();
            element_.has_value = false;
            element_.has_bit_bound = false;
            element_.default_literal = 0;
        }
        return element_;
    }

    // A standard annotation (not a vendor's scoped one, not one the model declares itself):
    // where it stands, its parameters, and how it agrees with the others of its element.
    void check_annotation(const sema_facts &f, const check_fact &c) {
        const bool standard =
            !c.flag && sema_is_standard_annotation(c.name) &&
            (declared_annotations.empty() || declared_annotations.count(std::string(c.name)) == 0);
        if (!standard) {
            check_annotation_name(f.unit, c.name, c.pos);
            return;
        }
        faults_.clear();
        const sema_anno_result r = sema_check_annotation(
            f, c, scope_names(*this, syms.scopes.scopes_of(f)[c.scope]), &faults_);
        for (const sema_fault &fault : faults_) {
            report_at(strict(), f.unit, fault.pos, fault.message);
        }
        if (!r.ok) {
            return;
        }
        element_state &e = element(c.element);
        for (const applied &a : e.applications) {
            if (a.family == r.family && a.values != r.values) {
                report_at(strict(), f.unit, c.pos,
                          a.name == c.name ? "'@" + std::string(c.name) +
                                                 "' is given twice to one declaration, with "
                                                 "different values"
                                           : "'@" + std::string(c.name) + "' contradicts '@" +
                                                 std::string(a.name) + "' on the same declaration",
                          f.unit, a.pos, "'@" + std::string(a.name) + "' is here");
                return;
            }
        }
        e.applications.push_back({r.family, r.values, c.name, c.pos});
        if (c.name == "value" || c.name == "position") {
            e.has_value = true;
            e.value = r.integer;
        } else if (c.name == "bit_bound") {
            e.has_bit_bound = true;
            e.bit_bound = r.integer;
        } else if (c.name == "default_literal") {
            e.default_literal = c.pos;
        } else if (c.name == "id" && r.has_integer) {
            const taken_values::item *given = ids_.take(r.integer, {}, c.pos, c.element);
            if (given != nullptr && given->element != c.element) {
                report_at(strict(), f.unit, c.pos,
                          "'@id(" + sema_int_text(r.integer) +
                              ")' is given to two members of one type",
                          f.unit, given->pos, "the other '@id' is here");
            }
        }
    }

    //--- structures and bitsets ---//

    struct member_name {
        std::string_view name;
        const idl_unit *unit;
        std::uint64_t pos;
    };

    // Member names of a structure or bitset definition, its own only.
    static void own_members(const idl_unit *unit, const type_fact *def,
                            std::vector<member_name> *out) {
        if (def == nullptr) {
            return; // a forward declaration
        }
        for (const member_fact &m : def->members) {
            out->push_back({m.name, unit, m.pos});
        }
    }

    // The base named by an inheritance clause, through typedefs; null after reporting.
    const symbol *check_base(const idl_unit *unit, std::uint32_t scope, const type_fact &def,
                             std::string_view derived, bool bitset) {
        const symbol *sym = check_type_name(unit, scope, def.base, def.base_pos);
        if (sym == nullptr) {
            return nullptr;
        }
        const symbol *base = follow_aliases(sym);
        const sym_kind want = bitset ? sym_kind::bitset : sym_kind::structure;
        if (base == nullptr || base->kind != want) {
            error_with_note(unit, def.base_pos,
                            "base '" + def.base + "' of '" + std::string(derived) + "' is not a " +
                                (bitset ? "bitset" : "structure"),
                            sym, sym->name);
            return nullptr;
        }
        return base;
    }

    // Members inherited by a definition, outermost base first; stops at a cycle.
    void inherited_members(const symbol *base, std::vector<member_name> *out) {
        std::vector<const symbol *> chain;
        std::unordered_set<const symbol *> seen;
        while (base != nullptr && seen.insert(base).second) {
            chain.push_back(base);
            if (base->fact == nullptr || !base->fact->has_base) {
                break;
            }
            const symbol *next = follow_aliases(resolve(base->scope, base->fact->base));
            if (next == nullptr || next->kind != base->kind) {
                break;
            }
            base = next;
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            own_members((*it)->unit, (*it)->fact, out);
        }
    }

    // A typedef's named type, followed to what it finally names (null when that is no
    // declared name, such as a base type or a template).
    const symbol *follow_aliases(const symbol *sym) const {
        std::unordered_set<const symbol *> seen;
        while (sym != nullptr && sym->kind == sym_kind::alias && seen.insert(sym).second) {
            if (sym->fact == nullptr || !sym->fact->aliases_name) {
                return sym; // a typedef of a base or template type
            }
            sym = resolve(sym->scope, sym->fact->aliased);
        }
        return sym;
    }

    // For each member, the index of the first member of the same name (its own index when it
    // is the first). Types have a handful of members, where a scan beats a hash table.
    static void first_of_names(const std::vector<member_name> &members,
                               std::vector<std::size_t> &first) {
        first.resize(members.size());
        if (members.size() <= 32) {
            for (std::size_t i = 0; i < members.size(); ++i) {
                std::size_t k = 0;
                while (members[k].name != members[i].name) {
                    ++k;
                }
                first[i] = k;
            }
            return;
        }
        std::unordered_map<std::string_view, std::size_t> seen;
        for (std::size_t i = 0; i < members.size(); ++i) {
            first[i] = seen.emplace(members[i].name, i).first->second;
        }
    }
    // Room the member checks of one checker reuse from one type to the next.
    std::vector<member_name> members_;
    std::vector<std::size_t> first_;

    void check_members(const idl_unit *unit, std::uint32_t scope, const type_fact &def,
                       std::string_view name, bool bitset) {
        std::vector<member_name> &members = members_;
        members.clear();
        if (def.has_base) {
            if (const symbol *base = check_base(unit, scope, def, name, bitset)) {
                inherited_members(base, &members);
            }
        }
        const std::size_t inherited = members.size();
        own_members(unit, &def, &members);
        std::vector<std::size_t> &first = first_;
        first_of_names(members, first);
        for (std::size_t i = inherited; i < members.size(); ++i) {
            if (first[i] == i) {
                continue;
            }
            const member_name &earlier = members[first[i]];
            diagnostic d = at(DIAG_ERROR, unit, members[i].pos,
                              "duplicate member '" + std::string(members[i].name) + "' in '" +
                                  std::string(name) + "'");
            add_note_at(d, earlier.unit, earlier.pos,
                        "'" + std::string(earlier.name) + "' was declared here");
            report(d);
        }
        member_rules(members, inherited, first, name, bitset ? "bitset" : "structure");
    }

    // A member may not take the name of the type it belongs to; members of one type that
    // differ only in case collide (a warning: models break it without meaning two things).
    void member_rules(const std::vector<member_name> &members, std::size_t from,
                      const std::vector<std::size_t> &first, std::string_view type_name,
                      const char *what) {
        std::unordered_map<std::string, std::size_t> folded; // for types with many members
        const bool scan = members.size() <= 64;
        for (std::size_t i = from; i < members.size(); ++i) {
            const member_name &m = members[i];
            if (sema_same_folded(m.name, type_name)) {
                report_at(strict(), m.unit, m.pos,
                          "member '" + std::string(m.name) + "' takes the name of its " + what +
                              " '" + std::string(type_name) + "'");
            }
            if (first[i] != i) {
                continue; // a duplicate, reported
            }
            std::size_t other = i;
            if (scan) {
                const char initial = static_cast<char>(m.name.empty() ? 0 : m.name[0] | 0x20);
                for (std::size_t k = 0; k < i && other == i; ++k) {
                    const std::string_view name = members[k].name;
                    // Length and first letter rule out nearly all before a full comparison.
                    if (name.size() == m.name.size() && !name.empty() &&
                        static_cast<char>(name[0] | 0x20) == initial && first[k] == k &&
                        sema_same_folded(name, m.name)) {
                        other = k;
                    }
                }
            } else {
                other = folded.emplace(lower(m.name), i).first->second;
            }
            if (other != i) {
                const member_name &earlier = members[other];
                report_at(
                    DIAG_WARNING, m.unit, m.pos,
                    "'" + std::string(m.name) + "' differs from '" + std::string(earlier.name) +
                        "' only in case (IDL: identifiers that differ only in case collide)",
                    earlier.unit, earlier.pos,
                    "'" + std::string(earlier.name) + "' was declared here", DIAG_W_NAME_CASE);
            }
        }
    }

    //--- unions ---//

    // What the checks of one union's labels and members carry from one to the next.
    struct union_state {
        std::string_view name;
        const symbol *enumeration = nullptr; // the discriminator's enumeration, if any
        bool checked = true;                 // the discriminator was found valid
        sema_target target;                  // what its labels must be
        std::unordered_map<std::string, std::uint64_t> labels;
        // Labels by value (`2-1` is `1`): where each is, and its key as written.
        std::unordered_map<std::string, std::uint64_t> values;
        std::vector<member_name> members;
        std::uint64_t default_pos = 0;
        bool has_default = false;
    };

    void begin_union(const sema_facts &f, std::uint32_t scope, const check_fact &c,
                     union_state &u) {
        const idl_unit *unit = f.unit;
        const std::string text(f.str(c.text));
        u = union_state{};
        u.name = c.name;
        if (c.flag) {
            const symbol *sym = check_type_name(unit, scope, text, c.pos);
            u.checked = sym != nullptr;
            const symbol *target = follow_aliases(sym);
            if (target != nullptr && target->kind == sym_kind::enumeration) {
                u.enumeration = target;
            } else if (target != nullptr && !allowed_discriminator(target)) {
                error_with_note(unit, c.pos, "'" + text + "' is not a valid discriminator type",
                                sym, sym->name);
                u.checked = false;
            }
            if (u.checked) {
                u.target = target_named(scope, text);
            }
        } else if (!allowed_discriminator_type(c.node_type)) {
            diagnostic d =
                at(DIAG_ERROR, unit, c.pos, "'" + text + "' is not a valid discriminator type");
            report(d);
            u.checked = false;
        } else {
            u.target = sema_target_of(c.prim);
        }
    }

    void default_label(const idl_unit *unit, const check_fact &c, union_state &u) {
        if (u.has_default) {
            diagnostic d = at(DIAG_ERROR, unit, c.pos,
                              "second 'default' label in union '" + std::string(u.name) + "'");
            add_note_at(d, unit, u.default_pos, "the first 'default' label is here");
            report(d);
        }
        u.has_default = true;
        u.default_pos = c.pos;
    }

    void label(const sema_facts &f, std::uint32_t scope, const check_fact &c, union_state &u) {
        const idl_unit *unit = f.unit;
        const std::string written(f.str(c.text));
        std::string key = written;
        if (c.w == check_fact::what::label_value) {
            const std::string_view text = f.str(c.text);
            const symbol *value = check_value_name(unit, scope, text, c.pos);
            if (value == nullptr) {
                return;
            }
            if (u.enumeration != nullptr &&
                (value->kind == sym_kind::constant ||
                 value->scope != syms.scopes.child(u.enumeration->scope, u.enumeration->name))) {
                error_with_note(unit, c.pos,
                                "'" + std::string(text) + "' is not a value of the enumeration '" +
                                    std::string(u.enumeration->name) + "'",
                                u.enumeration, u.enumeration->name);
                return;
            }
            // Labels naming the same declaration meet; a written label never starts so.
            key = (value->kind == sym_kind::constant ? "const ::#" : "::#") +
                  std::to_string(value->scope) + "::" + std::string(value->name);
        } else {
            if (u.enumeration != nullptr && u.checked) {
                error_with_note(unit, c.pos,
                                "'" + key + "' is not a value of the enumeration '" +
                                    std::string(u.enumeration->name) + "'",
                                u.enumeration, u.enumeration->name);
                return;
            }
            if (c.flag) {
                key = normal_literal(key);
            }
        }
        auto [it, fresh] = u.labels.emplace(key, c.pos);
        if (!fresh) {
            diagnostic d = at(DIAG_ERROR, unit, c.pos,
                              "duplicate case label " + quoted_label(written) + " in union '" +
                                  std::string(u.name) + "'");
            add_note_at(d, unit, it->second, "the first use of the label is here");
            report(d);
            return;
        }
        if (!u.checked) {
            return;
        }
        // The label's value: of the discriminator's type, and unlike every other label's.
        const sema_value v = evaluate(f, scope, c.range, u.target.prim);
        if (v.k == sema_value::kind::unknown || v.k == sema_value::kind::unresolved) {
            return;
        }
        const std::string required = sema_requirement(v, u.target);
        if (!required.empty()) {
            report_at(strict(), unit, c.pos,
                      "case label " + quoted_label(written) + " of union '" + std::string(u.name) +
                          "' must be " + required + ", not " + sema_describe(v));
            return;
        }
        const std::string value_key = sema_value_key(v);
        if (value_key.empty()) {
            return;
        }
        auto [same, first_value] = u.values.emplace(value_key, c.pos);
        if (!first_value) {
            report_at(strict(), unit, c.pos,
                      "duplicate case label " + quoted_label(written) + " in union '" +
                          std::string(u.name) + "': its value is " + sema_describe(v),
                      unit, same->second, "the first use of the value is here");
        }
    }

    // A label as a message quotes it; a character literal brings its own quotes.
    static std::string quoted_label(const std::string &written) {
        return !written.empty() && written[0] == '\'' ? written : "'" + written + "'";
    }

    void end_union(const idl_unit *unit, union_state &u) {
        std::vector<std::size_t> &first = first_;
        first_of_names(u.members, first);
        member_rules(u.members, 0, first, u.name, "union");
        for (std::size_t i = 0; i < u.members.size(); ++i) {
            if (first[i] == i) {
                continue;
            }
            diagnostic d = at(DIAG_ERROR, unit, u.members[i].pos,
                              "duplicate member '" + std::string(u.members[i].name) + "' in '" +
                                  std::string(u.name) + "'");
            add_note_at(d, unit, u.members[first[i]].pos,
                        "'" + std::string(u.members[i].name) + "' was declared here");
            report(d);
        }
    }

    // Integer literals compare by value (0x10 is 16); other literals by their text.
    static std::string normal_literal(const std::string &text) {
        std::string t = text;
        while (!t.empty() && (t.back() == 'l' || t.back() == 'L')) {
            t.pop_back();
        }
        if (t.empty() || !std::isdigit(static_cast<unsigned char>(t[0]))) {
            return lower(text) == "true" || lower(text) == "false" ? lower(text) : text;
        }
        std::uint64_t value = 0;
        int base = 10;
        std::size_t i = 0;
        if (t.size() > 1 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
            base = 16;
            i = 2;
        } else if (t.size() > 1 && t[0] == '0') {
            base = 8;
            i = 1;
        }
        for (; i < t.size(); ++i) {
            const int d = std::isdigit(static_cast<unsigned char>(t[i]))
                              ? t[i] - '0'
                              : std::tolower(static_cast<unsigned char>(t[i])) - 'a' + 10;
            if (d < 0 || d >= base || value > (~std::uint64_t{0} - 15) / 16) {
                return text;
            }
            value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
        }
        return "int " + std::to_string(value);
    }

    static bool allowed_discriminator_type(std::uint64_t t) {
        return t == IDL_INTEGER_TYPE || t == IDL_CHAR_TYPE || t == IDL_WIDE_CHAR_TYPE ||
               t == IDL_BOOLEAN_TYPE || t == IDL_OCTET_TYPE;
    }

    static bool allowed_discriminator(const symbol *target) {
        if (target->kind == sym_kind::enumeration) {
            return true;
        }
        return target->kind == sym_kind::alias && target->fact != nullptr &&
               !target->fact->aliases_name &&
               allowed_discriminator_type(target->fact->aliased_type);
    }

    //--- bounds and enumerations ---//

    // A bound, dimension or bitfield width: a positive integer (a bitfield holds at most the
    // bits of its type).
    void check_bound(const sema_facts &f, std::uint32_t scope, const check_fact &c) {
        const sema_value v = evaluate(f, scope, c.range, prim_kind::uint32);
        if (v.k == sema_value::kind::unknown || v.k == sema_value::kind::unresolved) {
            return;
        }
        const prim_kind p = c.prim;
        const unsigned bits = sema_prim_bits(p);
        const sema_int most = c.bound != bound_kind::bitfield ? (sema_int{1} << 32) - 1
                              : p == prim_kind::boolean       ? 1
                              : bits != 0                     ? bits
                                                              : 64;
        const std::string required = sema_requirement(v, sema_integers(1, most));
        if (required.empty()) {
            return;
        }
        static constexpr const char *subjects[] = {
            "the bound of 'string'", "the bound of 'wstring'", "the bound of 'sequence'",
            "an array dimension", "the width of a bitfield"};
        std::string subject = subjects[static_cast<std::size_t>(c.bound)];
        if (c.bound == bound_kind::bitfield && p != prim_kind::none) {
            subject += std::string(" of '") + sema_prim_name(p) + "'";
        }
        report_at(strict(), f.unit, c.pos,
                  subject + " must be " + required + ", not " + sema_describe(v));
    }

    // What the checks of one enumeration's or bitmask's items carry from one to the next.
    struct enum_state {
        std::string_view name;
        bool bitmask = false;
        sema_int bit_bound = 32;
        sema_int next = 0; // the value of an item given none
        taken_values taken;
        std::uint64_t default_literal = 0;
    };
    enum_state enum_;

    void begin_enum(const check_fact &c) {
        enum_.name = c.name;
        enum_.bitmask = c.flag;
        enum_.next = 0;
        enum_.taken.clear();
        enum_.default_literal = 0;
        const element_state &e = element(c.element);
        enum_.bit_bound = e.has_bit_bound ? e.bit_bound : 32;
    }

    // An enumerator's value, or a bit value's position: given, or one past the item before;
    // no two alike, and a position below the bit bound.
    void enum_item(const sema_facts &f, std::uint32_t scope, const check_fact &c) {
        const element_state &e = element(c.element);
        sema_int value = e.has_value ? e.value : enum_.next;
        if (!c.range.empty()) {
            const sema_value v = evaluate(f, scope, c.range, prim_kind::int32);
            const std::string required =
                sema_requirement(v, sema_integers(-(sema_int{1} << 31), (sema_int{1} << 31) - 1));
            if (v.k == sema_value::kind::unknown || v.k == sema_value::kind::unresolved) {
                return;
            }
            if (!required.empty()) {
                report_at(strict(), f.unit, c.pos,
                          "the value of enumerator '" + std::string(c.name) + "' must be " +
                              required + ", not " + sema_describe(v));
                return;
            }
            value = v.i;
        }
        enum_.next = value + 1;
        if (e.default_literal != 0) {
            if (enum_.default_literal != 0) {
                report_at(strict(), f.unit, e.default_literal,
                          "a second '@default_literal' in '" + std::string(enum_.name) + "'",
                          f.unit, enum_.default_literal, "the first is here");
            }
            enum_.default_literal = e.default_literal;
        }
        const char *what = enum_.bitmask ? "position" : "value";
        if (enum_.bitmask && value >= enum_.bit_bound) {
            report_at(strict(), f.unit, c.pos,
                      "bit value '" + std::string(c.name) + "' has the position " +
                          sema_int_text(value) + ", beyond the bit bound " +
                          sema_int_text(enum_.bit_bound) + " of '" + std::string(enum_.name) + "'");
            return;
        }
        if (const taken_values::item *taken = enum_.taken.take(value, c.name, c.pos)) {
            report_at(strict(), f.unit, c.pos,
                      std::string(enum_.bitmask ? "bit value '" : "enumerator '") +
                          std::string(c.name) + "' of '" + std::string(enum_.name) + "' has the " +
                          what + " " + sema_int_text(value) + " already taken by '" +
                          std::string(taken->name) + "'",
                      f.unit, taken->pos, "'" + std::string(taken->name) + "' was declared here");
        }
    }

    //--- the second pass ---//

    // The uses of names in one file, checked against the whole model's symbols, in order.
    void check_all(const sema_facts &f) {
        union_state u;
        const std::vector<std::uint32_t> &scopes = syms.scopes.scopes_of(f);
        for (const check_fact &c : f.checks) {
            const std::uint32_t scope = scopes[c.scope];
            switch (c.w) {
            case check_fact::what::annotation:
                check_annotation(f, c);
                break;
            case check_fact::what::type_name:
                static_cast<void>(check_type_name(f.unit, scope, f.str(c.text), c.pos));
                break;
            case check_fact::what::value_name:
                static_cast<void>(check_value_name(f.unit, scope, f.str(c.text), c.pos));
                break;
            case check_fact::what::members:
                ids_.clear(); // the annotations of its members follow
                check_members(f.unit, scope, *c.fact, c.name, c.flag);
                break;
            case check_fact::what::union_begin:
                ids_.clear(); // the annotations of its members follow
                begin_union(f, scope, c, u);
                break;
            case check_fact::what::label_default:
                default_label(f.unit, c, u);
                break;
            case check_fact::what::label_value:
            case check_fact::what::label_expr:
                label(f, scope, c, u);
                break;
            case check_fact::what::union_member:
                u.members.push_back({c.name, f.unit, c.pos});
                break;
            case check_fact::what::union_end:
                end_union(f.unit, u);
                break;
            case check_fact::what::constant:
                break; // worked out before this pass
            case check_fact::what::bound:
                check_bound(f, scope, c);
                break;
            case check_fact::what::enum_begin:
                begin_enum(c);
                break;
            case check_fact::what::enum_item:
                enum_item(f, scope, c);
                break;
            case check_fact::what::module_name:
                report_at(DIAG_WARNING, f.unit, c.pos,
                          "'" + std::string(c.name) + "' takes the name of its enclosing module '" +
                              std::string(f.str(c.text)) +
                              "' (IDL: a name may not be redefined in the scope it names)",
                          nullptr, 0, {}, DIAG_W_MODULE_NAME);
                break;
            case check_fact::what::too_deep:
                report_at(DIAG_ERROR, f.unit, c.pos,
                          "Modules nest deeper than " + std::to_string(SEMA_MAX_MODULE_DEPTH) +
                              " levels");
                break;
            }
        }
    }
};

// Runs work(i) for every i below count on up to `threads` threads, the calling one among them.
template <class Work> void run_parallel(std::size_t count, unsigned threads, const Work &work) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> out_of_memory{false};
    const auto loop = [&] {
        for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
            try {
                work(i);
            } catch (const std::bad_alloc &) {
                out_of_memory = true;
            }
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads && t < count; ++t) {
        try {
            helpers.emplace_back(loop);
        } catch (const std::system_error &) {
            break; // fewer threads then
        }
    }
    loop();
    for (std::thread &h : helpers) {
        h.join();
    }
    if (out_of_memory) {
        throw std::bad_alloc();
    }
}

// Adds the reports, errors and failed files of another checker to c's, in order.
void merge_into(checker &c, checker &other) {
    c.errors += other.errors;
    for (const idl_unit *unit : other.failed) {
        if (std::find(c.failed.begin(), c.failed.end(), unit) == c.failed.end()) {
            c.failed.push_back(unit);
        }
    }
    std::move(other.reports.begin(), other.reports.end(), std::back_inserter(c.reports));
    other.reports.clear();
}

// The first pass: every declaration of the model into the parts of the table, one part per
// thread; its reports go to c. The table and its hints do not depend on the thread count.
void declare_model(const std::vector<const sema_facts *> &units, const sema_options &options,
                   symbols &syms, checker &c) {
    const std::size_t parts = std::max(1u, options.threads);
    std::size_t declared = 0;
    for (const sema_facts *f : units) {
        declared += f->decls.size();
    }
    syms.shards.resize(parts);
    for (shard &part : syms.shards) {
        part.table.reserve(declared / parts + 1);
    }
    std::vector<std::unique_ptr<checker>> declarers(parts);
    for (std::unique_ptr<checker> &d : declarers) {
        d = std::make_unique<checker>(options, syms);
    }
    run_parallel(parts, options.threads,
                 [&](std::size_t part) { declarers[part]->declare_part(units, part); });
    run_parallel(parts, options.threads,
                 [&](std::size_t part) { declarers[part]->declare_loose_part(units, part); });
    for (std::unique_ptr<checker> &d : declarers) {
        merge_into(c, *d);
        syms.type_parts.push_back(std::move(d->type_names));
        syms.value_parts.push_back(std::move(d->value_names));
    }
}

// Runs the second pass with a checker of its own per file, on up to `threads` threads (the
// calling one among them); the checkers are returned in the order of the files.
std::vector<std::unique_ptr<checker>> check_units(const std::vector<const sema_facts *> &units,
                                                  const sema_options &options, symbols &syms) {
    std::vector<std::unique_ptr<checker>> done(units.size());
    run_parallel(units.size(), options.threads, [&](std::size_t i) {
        auto c = std::make_unique<checker>(options, syms);
        c->check_all(*units[i]);
        done[i] = std::move(c);
    });
    return done;
}

void report_out_of_memory() {
    diagnostic d;
    d.level = DIAG_FATAL;
    d.summary = "Out of memory: Unable to check the model";
    diag_report(d);
}

} // namespace

sema_facts *sema_facts_new(const idl_unit *unit) {
    try {
        auto facts = std::make_unique<sema_facts>();
        sema_collect(unit, facts.get());
        return facts.release();
    } catch (const std::bad_alloc &) {
        report_out_of_memory();
        return nullptr;
    }
}

void sema_facts_delete(sema_facts *facts) {
    delete facts;
}

bool sema_check_facts(const std::vector<const sema_facts *> &units, const sema_options &options,
                      std::vector<const idl_unit *> *failed) {
    try {
        symbols syms;
        checker c{options, syms};
        for (std::size_t i = 0; i < units.size(); ++i) {
            syms.unit_index.emplace(units[i]->unit, i);
            syms.by_resolved.emplace(units[i]->unit->resolved, units[i]->unit);
        }
        syms.scopes.add_model(units);
        declare_model(units, options, syms, c);
        c.evaluate_constants(units);
        // The reports of the second pass follow those of the first, file by file, as one
        // checker going through the files in order would have made them.
        for (std::unique_ptr<checker> &u : check_units(units, options, syms)) {
            merge_into(c, *u);
        }
        c.flush();
        std::sort(c.failed.begin(), c.failed.end(), [&syms](const idl_unit *a, const idl_unit *b) {
            return syms.unit_index[a] < syms.unit_index[b];
        });
        if (failed != nullptr) {
            failed->insert(failed->end(), c.failed.begin(), c.failed.end());
        }
        return c.errors == 0;
    } catch (const std::bad_alloc &) {
        report_out_of_memory();
        return false;
    }
}

bool sema_check(const std::vector<const idl_unit *> &units, const sema_options &options,
                std::vector<const idl_unit *> *failed) {
    std::vector<std::unique_ptr<sema_facts, void (*)(sema_facts *)>> owned;
    std::vector<const sema_facts *> facts;
    try {
        owned.reserve(units.size());
        facts.reserve(units.size());
    } catch (const std::bad_alloc &) {
        report_out_of_memory();
        return false;
    }
    for (const idl_unit *unit : units) {
        owned.emplace_back(sema_facts_new(unit), sema_facts_delete);
        if (!owned.back()) {
            return false; // reported
        }
        facts.push_back(owned.back().get());
    }
    return sema_check_facts(facts, options, failed);
}
