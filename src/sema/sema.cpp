// The checking stage: a symbol table over every file of a model, names resolved by the IDL
// scoping rules, and the checks a parse alone cannot make. Runs between parsing and translation.
#include "sema/sema.hpp"

#include "base/diag.hpp"
#include "grammars/idl_parser.hpp"
#include "idl/idl_load.hpp"
#include "idl/idl_node.hpp"
#include "preproc/preproc.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

//=== symbols ===//

enum class sym_kind {
    module,
    structure,
    structure_forward,
    union_type,
    union_forward,
    enumeration,
    bitmask,
    bitset,
    alias,
    native,
    constant,
    enumerator,
    bit_value,
};

struct symbol {
    sym_kind kind;
    std::string_view name; // simple name, a view of its unit's text
    std::string scope;     // full name of the enclosing scope ("" for the file scope)
    const idl_unit *unit;  // where it was declared (its definition, once completed)
    const ast *node;       // declaring node (the definition, once completed)
    std::uint64_t pos;     // position of its name
    const ast *aliased;    // typedef: the type it names
    std::string owner;     // enumerator or bit value: full name of its enumeration
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

// Type keywords a misspelt type name is compared with.
constexpr const char *type_keywords[] = {
    "boolean", "char",  "double",   "float",    "int16",   "int32",  "int64",  "int8",
    "long",    "map",   "octet",    "sequence", "short",   "string", "uint16", "uint32",
    "uint64",  "uint8", "unsigned", "wchar",    "wstring", "fixed",  "any",
};

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
    "non_serializable",
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

// What the first pass declares over the whole model; the second pass only reads it, so the
// checkers of several files may share it.
struct symbols {
    std::unordered_map<std::string, symbol> table; // full name ("::M::S") -> symbol
    // Enumerators are also visible as names of the scope enclosing their enumeration.
    std::unordered_map<std::string, std::string> loose; // "::M::RED" -> "::M::Color::RED"
    std::unordered_set<std::string> declared_annotations;
    std::vector<std::string_view> simple_type_names;               // for hints
    std::vector<std::string_view> simple_value_names;              // for hints
    std::unordered_map<const idl_unit *, std::size_t> unit_index; // order of the model
};

struct checker {
    const sema_options &options;
    symbols &syms;
    std::unordered_map<std::string, symbol> &table = syms.table;
    std::unordered_map<std::string, std::string> &loose = syms.loose;
    std::unordered_set<std::string> &declared_annotations = syms.declared_annotations;
    std::vector<std::string_view> &simple_type_names = syms.simple_type_names;
    std::vector<std::string_view> &simple_value_names = syms.simple_value_names;
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

    void add_note(diagnostic &d, const symbol &earlier, const std::string &message) {
        diag_note note;
        const diagnostic place = at(DIAG_NOTE, earlier.unit, earlier.pos, "");
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

    void flush() {
        std::stable_sort(reports.begin(), reports.end(), [](const pending &a, const pending &b) {
            return a.unit_index != b.unit_index ? a.unit_index < b.unit_index : a.pos < b.pos;
        });
        for (const pending &p : reports) {
            diag_report(p.d);
        }
        reports.clear();
    }

    void error_with_note(const idl_unit *unit, std::uint64_t pos, std::string summary,
                         const symbol *earlier, std::string_view earlier_name) {
        diagnostic d = at(DIAG_ERROR, unit, pos, std::move(summary));
        if (earlier != nullptr) {
            add_note(d, *earlier, "'" + std::string(earlier_name) + "' was declared here");
        }
        report(d);
    }

    //--- files ---//

    std::unordered_map<std::string, const idl_unit *> by_resolved;
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
                auto next = by_resolved.find(edge.resolved);
                if (next != by_resolved.end() && seen.insert(next->second).second) {
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

    static std::string join(const std::string &scope, std::string_view name) {
        std::string full = scope;
        full += "::";
        full += name;
        return full;
    }

    // Declares name in scope; a second declaration is refused unless it reopens a module or
    // completes (or repeats) a forward declaration.
    void declare(const idl_unit *unit, const std::string &scope, const ast *id, sym_kind kind,
                 const ast *node, const ast *aliased = nullptr) {
        const std::string_view name = idl_text_of(unit->src, id);
        const std::string full = join(scope, name);
        symbol sym{kind, name, scope, unit, node, idl_start_of(id), aliased, {}};
        auto found = table.find(full);
        if (found == table.end()) {
            table.emplace(full, std::move(sym));
            (is_type(kind) ? simple_type_names : simple_value_names).push_back(name);
            return;
        }
        symbol &old = found->second;
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
        if (!related(old.unit, unit)) {
            // Files that do not include one another are converted apart, as a compiler
            // translates its inputs apart: the same name in each is no clash.
            return;
        }
        if (struct_pair || union_pair) {
            if (kind == sym_kind::structure || kind == sym_kind::union_type) {
                old = std::move(sym); // the definition completes the forward declaration
            }
            return;
        }
        error_with_note(unit, idl_start_of(id),
                        "'" + std::string(name) + "' is already declared in this scope", &old,
                        name);
    }

    void declare_enum(const idl_unit *unit, const std::string &scope, const ast *node,
                      bool bitmask) {
        const std::size_t first = idl_first_non_annotation(node);
        const ast *id = idl_child(node, first);
        declare(unit, scope, id, bitmask ? sym_kind::bitmask : sym_kind::enumeration, node);
        const std::string owner = join(scope, idl_text_of(unit->src, id));
        const std::string type_name(idl_text_of(unit->src, id));
        std::unordered_map<std::string, std::uint64_t> seen;
        for (std::size_t i = first + 1; i < idl_child_count(node); ++i) {
            const ast *value = idl_child(node, i);
            const ast *vid = idl_child(value, idl_first_non_annotation(value));
            const std::string_view name = idl_text_of(unit->src, vid);
            const std::string full = join(owner, name);
            auto dup = table.find(full);
            if (dup != table.end()) {
                error_with_note(
                    unit, idl_start_of(vid),
                    std::string(bitmask ? "duplicate bit value '" : "duplicate enumerator '") +
                        std::string(name) + "' in '" + type_name + "'",
                    &dup->second, name);
                continue;
            }
            table.emplace(full, symbol{bitmask ? sym_kind::bit_value : sym_kind::enumerator, name,
                                       owner, unit, value, idl_start_of(vid), nullptr, owner});
            loose.emplace(join(scope, name), full);
            simple_value_names.push_back(name);
        }
    }

    void declare_type(const idl_unit *unit, const std::string &scope, const ast *node) {
        switch (idl_type_of(node)) {
        case IDL_STRUCT_DEF:
            declare(unit, scope, idl_child(node, idl_first_non_annotation(node)),
                    sym_kind::structure, node);
            break;
        case IDL_UNION_DEF:
            declare(unit, scope, idl_child(node, idl_first_non_annotation(node)),
                    sym_kind::union_type, node);
            break;
        case IDL_STRUCT_FORWARD_DCL:
            declare(unit, scope, idl_child(node, idl_first_non_annotation(node)),
                    sym_kind::structure_forward, node);
            break;
        case IDL_UNION_FORWARD_DCL:
            declare(unit, scope, idl_child(node, idl_first_non_annotation(node)),
                    sym_kind::union_forward, node);
            break;
        case IDL_ENUM_DCL:
            declare_enum(unit, scope, node, false);
            break;
        case IDL_BITMASK_DCL:
            declare_enum(unit, scope, node, true);
            break;
        case IDL_BITSET_DCL:
            declare(unit, scope, idl_child(node, idl_first_non_annotation(node)), sym_kind::bitset,
                    node);
            break;
        case IDL_NATIVE_DCL: {
            const ast *decl = idl_child(node, idl_first_non_annotation(node));
            declare(unit, scope, idl_child(decl, 0), sym_kind::native, node);
            break;
        }
        case IDL_TYPEDEF_DCL: {
            const std::size_t first = idl_first_non_annotation(node);
            const ast *type = idl_child(node, first);
            declare_type(unit, scope, type); // a structure declared in the typedef
            const ast *declarators = idl_child(node, first + 1);
            for (std::size_t i = 0; i < idl_child_count(declarators); ++i) {
                const ast *decl = idl_child(idl_child(declarators, i), 0);
                declare(unit, scope, idl_child(decl, 0), sym_kind::alias, node, type);
            }
            break;
        }
        case IDL_CONST_DCL: {
            const std::size_t first = idl_first_non_annotation(node);
            declare(unit, scope, idl_child(node, first + 1), sym_kind::constant, node);
            break;
        }
        case IDL_ANNOTATION_DCL: {
            const ast *id = idl_child(node, 0);
            declared_annotations.insert(std::string(idl_text_of(unit->src, id)));
            break;
        }
        default:
            break;
        }
    }

    //--- walking modules ---//

    // Calls visit(unit, scope, definition) for every definition of every module, in order,
    // without native recursion over module nesting.
    template <class Visit>
    void for_each_definition(const std::vector<const idl_unit *> &units, Visit visit) {
        struct frame {
            const ast *node;
            std::size_t next;
            std::string scope;
        };
        for (const idl_unit *unit : units) {
            std::vector<frame> stack{{unit->tree, 0, ""}};
            while (!stack.empty()) {
                frame &top = stack.back();
                if (top.next >= idl_child_count(top.node)) {
                    stack.pop_back();
                    continue;
                }
                const ast *child = idl_child(top.node, top.next++);
                visit(unit, top.scope, child);
                if (idl_type_of(child) == IDL_MODULE_DCL && !is_marker(unit, child)) {
                    const std::size_t first = idl_first_non_annotation(child);
                    std::string inner =
                        join(top.scope, idl_text_of(unit->src, idl_child(child, first)));
                    stack.push_back({child, first + 1, std::move(inner)});
                }
            }
        }
    }

    static bool is_marker(const idl_unit *unit, const ast *module) {
        const ast *id = idl_child(module, idl_first_non_annotation(module));
        const std::string_view name = idl_text_of(unit->src, id);
        if (name.find(PREPROC_MARKER_SUFFIX) == std::string_view::npos) {
            return false;
        }
        std::string path(name.size() + 1, '\0');
        return preproc_include_marker_decode(name.data(), name.size(), &path[0]) >= 0;
    }

    //--- resolving names ---//

    const symbol *find(const std::string &full) const {
        auto found = table.find(full);
        if (found != table.end()) {
            return &found->second;
        }
        auto alias = loose.find(full);
        if (alias != loose.end()) {
            return &table.find(alias->second)->second;
        }
        return nullptr;
    }

    // IDL scoping: an absolute name from the file scope; otherwise the first component is
    // looked up in the current scope, then in each enclosing one, and the rest inside it.
    const symbol *resolve(const std::string &scope, const std::string &name) const {
        if (name.rfind("::", 0) == 0) {
            return find(name);
        }
        const std::size_t sep = name.find("::");
        const std::string head = name.substr(0, sep);
        const std::string rest = sep == std::string::npos ? "" : name.substr(sep);
        std::string at = scope;
        for (;;) {
            const std::string candidate = join(at, head);
            if (find(candidate) != nullptr) {
                return find(candidate + rest);
            }
            if (at.empty()) {
                return nullptr;
            }
            at.erase(at.rfind("::"));
        }
    }

    static std::string full_name_of(const symbol &sym) { return join(sym.scope, sym.name); }

    std::string hint_for(const std::string &name, bool type) const {
        const std::size_t sep = name.rfind("::");
        const std::string last = sep == std::string::npos ? name : name.substr(sep + 2);
        if (type) {
            for (const char *kw : type_keywords) {
                if (sema_near_miss(last, kw)) {
                    return std::string("; did you mean the keyword '") + kw + "'?";
                }
            }
        }
        for (const std::string_view known : type ? simple_type_names : simple_value_names) {
            if (sema_near_miss(last, known)) {
                return "; did you mean '" + std::string(known) + "'?";
            }
        }
        return "";
    }

    void report_undeclared(const idl_unit *unit, std::uint64_t pos, const std::string &name,
                           bool type) {
        diagnostic d = at(options.permissive ? DIAG_WARNING : DIAG_ERROR, unit, pos,
                          "'" + name + "' is not declared" + hint_for(name, type));
        report(d);
    }

    // A type reference: declared, and a type.
    const symbol *check_type_name(const idl_unit *unit, const std::string &scope,
                                  const ast *scoped) {
        const std::string name = idl_scoped_name_text(unit->src, scoped);
        const symbol *sym = resolve(scope, name);
        if (sym == nullptr) {
            report_undeclared(unit, idl_start_of(scoped), name, true);
            return nullptr;
        }
        if (!is_type(sym->kind)) {
            error_with_note(unit, idl_start_of(scoped),
                            "'" + name + "' is " + kind_text(sym->kind) + ", not a type", sym,
                            sym->name);
            return nullptr;
        }
        return sym;
    }

    // A value reference in a constant expression: declared, and a constant or enumerator.
    const symbol *check_value_name(const idl_unit *unit, const std::string &scope,
                                   const ast *scoped) {
        const std::string name = idl_scoped_name_text(unit->src, scoped);
        const symbol *sym = resolve(scope, name);
        if (sym == nullptr) {
            report_undeclared(unit, idl_start_of(scoped), name, false);
            return nullptr;
        }
        if (sym->kind != sym_kind::constant && sym->kind != sym_kind::enumerator &&
            sym->kind != sym_kind::bit_value) {
            error_with_note(unit, idl_start_of(scoped),
                            "'" + name + "' is " + kind_text(sym->kind) + ", not a constant", sym,
                            sym->name);
            return nullptr;
        }
        return sym;
    }

    // Checks every name under node: scoped names standing for types where the grammar puts a
    // type, the others as values; annotation applications are checked as annotations and their
    // parameters left alone. Iterative, so nesting depth costs no native stack.
    void check_names_below(const idl_unit *unit, const std::string &scope, const ast *node,
                           std::size_t from = 0) {
        std::vector<const ast *> todo;
        // The top node itself is neither an annotation nor a name: its children from `from`.
        check_children(unit, scope, node, from, &todo);
        while (!todo.empty()) {
            const ast *n = todo.back();
            todo.pop_back();
            if (idl_type_of(n) == IDL_ANNOTATION_APPL) {
                check_annotation(unit, n);
                continue;
            }
            check_children(unit, scope, n, 0, &todo);
        }
    }

    void check_children(const idl_unit *unit, const std::string &scope, const ast *n,
                        std::size_t from, std::vector<const ast *> *todo) {
        const std::uint64_t type = idl_type_of(n);
        const std::size_t count = idl_child_count(n);
        for (std::size_t i = count; i-- > from;) {
            const ast *c = idl_child(n, i);
            if (idl_type_of(c) != IDL_SCOPED_NAME) {
                todo->push_back(c);
            } else if (type == IDL_INHERIT_DCL || type == IDL_SWITCH_TYPE_SPEC) {
                // checked with the definition that holds them
            } else if (type == IDL_TYPE_SPEC || type == IDL_CONST_TYPE || type == IDL_TYPEDEF_DCL) {
                static_cast<void>(check_type_name(unit, scope, c));
            } else {
                static_cast<void>(check_value_name(unit, scope, c));
            }
        }
    }

    //--- annotations ---//

    void check_annotation(const idl_unit *unit, const ast *appl) {
        const ast *id = idl_child(appl, 0);
        std::string name = idl_type_of(id) == IDL_SCOPED_NAME
                               ? idl_scoped_name_text(unit->src, id)
                               : std::string(idl_text_of(unit->src, id));
        const std::size_t sep = name.rfind("::");
        if (sep != std::string::npos) {
            name = name.substr(sep + 2);
        }
        if (declared_annotations.count(name) != 0) {
            return;
        }
        const std::string folded = lower(name);
        std::string hint;
        for (const char *known : known_annotations) {
            if (name == known) {
                return;
            }
            if (hint.empty() && folded == known) {
                hint = std::string("; did you mean '@") + known + "'?";
            }
        }
        for (const std::string &known : declared_annotations) {
            if (hint.empty() && folded == lower(known)) {
                hint = "; did you mean '@" + known + "'?";
            }
        }
        diagnostic d =
            at(DIAG_WARNING, unit, idl_start_of(appl), "unknown annotation '@" + name + "'" + hint);
        report(d);
    }

    //--- structures and bitsets ---//

    struct member_name {
        std::string name;
        const idl_unit *unit;
        std::uint64_t pos;
    };

    // Member names of a structure or bitset definition, its own only.
    static void own_members(const idl_unit *unit, const ast *def, std::vector<member_name> *out) {
        for (std::size_t i = 0; i < idl_child_count(def); ++i) {
            const ast *m = idl_child(def, i);
            const std::uint64_t t = idl_type_of(m);
            if (t == IDL_MEMBER) {
                const ast *declarators = idl_child(m, idl_child_count(m) - 1);
                for (std::size_t k = 0; k < idl_child_count(declarators); ++k) {
                    const ast *id = idl_child(idl_child(idl_child(declarators, k), 0), 0);
                    out->push_back(
                        {std::string(idl_text_of(unit->src, id)), unit, idl_start_of(id)});
                }
            } else if (t == IDL_BITFIELD) {
                // Annotations, the bitfield's width and type, then its names.
                for (std::size_t k = 0; k < idl_child_count(m); ++k) {
                    const ast *id = idl_child(m, k);
                    if (idl_type_of(id) != IDL_IDENTIFIER) {
                        continue;
                    }
                    out->push_back(
                        {std::string(idl_text_of(unit->src, id)), unit, idl_start_of(id)});
                }
            }
        }
    }

    static const ast *inherit_of(const ast *def) {
        for (std::size_t i = 0; i < idl_child_count(def); ++i) {
            if (idl_type_of(idl_child(def, i)) == IDL_INHERIT_DCL) {
                return idl_child(def, i);
            }
        }
        return nullptr;
    }

    // The base named by an inheritance clause, through typedefs; null after reporting.
    const symbol *check_base(const idl_unit *unit, const std::string &scope, const ast *inherit,
                             const std::string &derived, bool bitset) {
        const ast *scoped = idl_child(inherit, 0);
        const symbol *sym = check_type_name(unit, scope, scoped);
        if (sym == nullptr) {
            return nullptr;
        }
        const symbol *base = follow_aliases(sym);
        const sym_kind want = bitset ? sym_kind::bitset : sym_kind::structure;
        if (base == nullptr || base->kind != want) {
            const std::string name = idl_scoped_name_text(unit->src, scoped);
            error_with_note(unit, idl_start_of(scoped),
                            "base '" + name + "' of '" + derived + "' is not a " +
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
            const ast *inherit = inherit_of(base->node);
            if (inherit == nullptr) {
                break;
            }
            const symbol *next =
                resolve(base->scope, idl_scoped_name_text(base->unit->src, idl_child(inherit, 0)));
            next = follow_aliases(next);
            if (next == nullptr || next->kind != base->kind) {
                break;
            }
            base = next;
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            own_members((*it)->unit, (*it)->node, out);
        }
    }

    // A typedef's named type, followed to what it finally names (null when that is no
    // declared name, such as a base type or a template).
    const symbol *follow_aliases(const symbol *sym) const {
        std::unordered_set<const symbol *> seen;
        while (sym != nullptr && sym->kind == sym_kind::alias && seen.insert(sym).second) {
            const ast *type = sym->aliased;
            if (idl_type_of(type) == IDL_TYPE_SPEC) {
                type = idl_child(type, 0);
            }
            if (idl_type_of(type) != IDL_SCOPED_NAME) {
                return sym; // a typedef of a base or template type
            }
            sym = resolve(sym->scope, idl_scoped_name_text(sym->unit->src, type));
        }
        return sym;
    }

    void check_members(const idl_unit *unit, const std::string &scope, const ast *def,
                       const std::string &name, bool bitset) {
        std::vector<member_name> members;
        if (const ast *inherit = inherit_of(def)) {
            if (const symbol *base = check_base(unit, scope, inherit, name, bitset)) {
                inherited_members(base, &members);
            }
        }
        const std::size_t inherited = members.size();
        own_members(unit, def, &members);
        std::unordered_map<std::string, std::size_t> first;
        for (std::size_t i = 0; i < members.size(); ++i) {
            auto [it, fresh] = first.emplace(members[i].name, i);
            if (fresh || i < inherited) {
                continue;
            }
            const member_name &earlier = members[it->second];
            diagnostic d = at(DIAG_ERROR, unit, members[i].pos,
                              "duplicate member '" + members[i].name + "' in '" + name + "'");
            symbol place{sym_kind::constant, {},      {}, earlier.unit, nullptr,
                         earlier.pos,        nullptr, {}};
            add_note(d, place, "'" + earlier.name + "' was declared here");
            report(d);
        }
    }

    //--- unions ---//

    // The discriminator's type: the node of a base type, or the symbol of an enumeration (or
    // a typedef of an allowed type). Null after reporting one that IDL does not allow.
    void check_union(const idl_unit *unit, const std::string &scope, const ast *def,
                     const std::string &name) {
        const std::size_t first = idl_first_non_annotation(def);
        const ast *switch_spec = idl_child(def, first + 1);
        const ast *body = idl_child(def, first + 2);
        const ast *disc = idl_child(switch_spec, idl_first_non_annotation(switch_spec));
        for (std::size_t k = 0; k < idl_first_non_annotation(switch_spec); ++k) {
            check_annotation(unit, idl_child(switch_spec, k));
        }
        const symbol *enumeration = nullptr;
        bool checked = true;
        if (idl_type_of(disc) == IDL_SCOPED_NAME) {
            const symbol *sym = check_type_name(unit, scope, disc);
            checked = sym != nullptr;
            const symbol *target = follow_aliases(sym);
            if (target != nullptr && target->kind == sym_kind::enumeration) {
                enumeration = target;
            } else if (target != nullptr && !allowed_discriminator(target)) {
                error_with_note(unit, idl_start_of(disc),
                                "'" + idl_scoped_name_text(unit->src, disc) +
                                    "' is not a valid discriminator type",
                                sym, sym->name);
                checked = false;
            }
        } else if (!allowed_discriminator_node(disc)) {
            diagnostic d = at(DIAG_ERROR, unit, idl_start_of(disc),
                              "'" + idl_blank_stripped(idl_text_of(unit->src, disc)) +
                                  "' is not a valid discriminator type");
            report(d);
            checked = false;
        }
        std::unordered_map<std::string, std::uint64_t> labels;
        std::vector<member_name> members;
        std::uint64_t default_pos = 0;
        bool has_default = false;
        for (std::size_t i = 0; i < idl_child_count(body); ++i) {
            const ast *c = idl_child(body, i);
            const std::size_t n = idl_child_count(c);
            for (std::size_t k = 0; k + 1 < n; ++k) {
                const ast *label = idl_child(c, k);
                if (idl_child_count(label) == 0) {
                    if (has_default) {
                        diagnostic d = at(DIAG_ERROR, unit, idl_start_of(label),
                                          "second 'default' label in union '" + name + "'");
                        symbol place{sym_kind::constant, {},      {}, unit, nullptr,
                                     default_pos,        nullptr, {}};
                        add_note(d, place, "the first 'default' label is here");
                        report(d);
                    }
                    has_default = true;
                    default_pos = idl_start_of(label);
                    continue;
                }
                const ast *expr = idl_child(label, 0);
                // A label with operators is flattened into operands and operator nodes.
                std::string key;
                for (std::size_t e = 0; e < idl_child_count(label); ++e) {
                    key += idl_blank_stripped_outside_literals(
                        idl_text_of(unit->src, idl_child(label, e)));
                }
                const std::string written = key;
                if (idl_child_count(label) == 1 && idl_type_of(expr) == IDL_SCOPED_NAME) {
                    const symbol *value = check_value_name(unit, scope, expr);
                    if (value == nullptr) {
                        continue;
                    }
                    if (enumeration != nullptr && value->owner != full_name_of(*enumeration)) {
                        error_with_note(unit, idl_start_of(expr),
                                        "'" + idl_scoped_name_text(unit->src, expr) +
                                            "' is not a value of the enumeration '" +
                                            std::string(enumeration->name) + "'",
                                        enumeration, enumeration->name);
                        continue;
                    }
                    key = value->kind == sym_kind::constant ? "const " + full_name_of(*value)
                                                            : join(value->owner, value->name);
                } else {
                    check_names_below(unit, scope, label);
                    if (enumeration != nullptr && checked) {
                        error_with_note(unit, idl_start_of(expr),
                                        "'" + key + "' is not a value of the enumeration '" +
                                            std::string(enumeration->name) + "'",
                                        enumeration, enumeration->name);
                        continue;
                    }
                    if (idl_child_count(label) == 1) {
                        key = normal_literal(key);
                    }
                }
                auto [it, fresh] = labels.emplace(key, idl_start_of(expr));
                if (!fresh) {
                    diagnostic d =
                        at(DIAG_ERROR, unit, idl_start_of(expr),
                           "duplicate case label '" + written + "' in union '" + name + "'");
                    symbol place{sym_kind::constant, {},      {}, unit, nullptr,
                                 it->second,         nullptr, {}};
                    add_note(d, place, "the first use of the label is here");
                    report(d);
                }
            }
            if (n > 0) {
                const ast *element = idl_child(c, n - 1);
                const std::size_t ef = idl_first_non_annotation(element);
                for (std::size_t k = 0; k < ef; ++k) {
                    check_annotation(unit, idl_child(element, k));
                }
                check_names_below(unit, scope, idl_child(element, ef));
                const ast *decl = idl_child(idl_child(element, ef + 1), 0);
                check_names_below(unit, scope, decl);
                const ast *id = idl_child(decl, 0);
                members.push_back(
                    {std::string(idl_text_of(unit->src, id)), unit, idl_start_of(id)});
            }
        }
        std::unordered_map<std::string, std::size_t> seen;
        for (std::size_t i = 0; i < members.size(); ++i) {
            auto [it, fresh] = seen.emplace(members[i].name, i);
            if (fresh) {
                continue;
            }
            diagnostic d = at(DIAG_ERROR, unit, members[i].pos,
                              "duplicate member '" + members[i].name + "' in '" + name + "'");
            symbol place{sym_kind::constant,      {},      {}, unit, nullptr,
                         members[it->second].pos, nullptr, {}};
            add_note(d, place, "'" + members[i].name + "' was declared here");
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

    static bool allowed_discriminator_node(const ast *type) {
        const std::uint64_t t = idl_type_of(type);
        return t == IDL_INTEGER_TYPE || t == IDL_CHAR_TYPE || t == IDL_WIDE_CHAR_TYPE ||
               t == IDL_BOOLEAN_TYPE || t == IDL_OCTET_TYPE;
    }

    static bool allowed_discriminator(const symbol *target) {
        if (target->kind == sym_kind::enumeration) {
            return true;
        }
        if (target->kind != sym_kind::alias) {
            return false;
        }
        const ast *type = target->aliased;
        if (idl_type_of(type) == IDL_TYPE_SPEC) {
            type = idl_child(type, 0);
        }
        return allowed_discriminator_node(type);
    }

    //--- the second pass ---//

    void check_definition(const idl_unit *unit, const std::string &scope, const ast *node) {
        const std::uint64_t type = idl_type_of(node);
        const std::size_t first = idl_first_non_annotation(node);
        if (type != IDL_ANNOTATION_DCL) {
            for (std::size_t k = 0; k < first; ++k) {
                check_annotation(unit, idl_child(node, k));
            }
        }
        switch (type) {
        case IDL_STRUCT_DEF: {
            const std::string name(idl_text_of(unit->src, idl_child(node, first)));
            check_members(unit, scope, node, name, false);
            for (std::size_t i = first + 1; i < idl_child_count(node); ++i) {
                if (idl_type_of(idl_child(node, i)) == IDL_MEMBER) {
                    check_names_below(unit, scope, idl_child(node, i));
                }
            }
            break;
        }
        case IDL_BITSET_DCL: {
            const std::string name(idl_text_of(unit->src, idl_child(node, first)));
            check_members(unit, scope, node, name, true);
            for (std::size_t i = first + 1; i < idl_child_count(node); ++i) {
                if (idl_type_of(idl_child(node, i)) == IDL_BITFIELD) {
                    check_names_below(unit, scope, idl_child(node, i));
                }
            }
            break;
        }
        case IDL_UNION_DEF:
            check_union(unit, scope, node,
                        std::string(idl_text_of(unit->src, idl_child(node, first))));
            break;
        case IDL_ENUM_DCL:
        case IDL_BITMASK_DCL:
            check_names_below(unit, scope, node, first + 1);
            break;
        case IDL_TYPEDEF_DCL: {
            const ast *declared = idl_child(node, first);
            const std::uint64_t dt = idl_type_of(declared);
            if (dt == IDL_STRUCT_DEF || dt == IDL_UNION_DEF || dt == IDL_ENUM_DCL ||
                dt == IDL_BITSET_DCL || dt == IDL_BITMASK_DCL) {
                check_definition(unit, scope, declared);
                check_names_below(unit, scope, idl_child(node, first + 1));
            } else {
                check_names_below(unit, scope, node, first);
            }
            break;
        }
        case IDL_CONST_DCL:
            check_names_below(unit, scope, node, first);
            break;
        default:
            break;
        }
    }
};

// Optimal string alignment distance, stopped once it exceeds one.
bool within_one_edit(std::string_view a, std::string_view b) {
    if (a.size() > b.size() + 1 || b.size() > a.size() + 1) {
        return false;
    }
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) {
        ++i;
    }
    const std::string_view ra = a.substr(i);
    const std::string_view rb = b.substr(i);
    if (ra.size() == rb.size()) {
        if (ra.substr(ra.empty() ? 0 : 1) == rb.substr(rb.empty() ? 0 : 1)) {
            return true; // one replaced (or none)
        }
        return ra.size() >= 2 && ra[0] == rb[1] && ra[1] == rb[0] && ra.substr(2) == rb.substr(2);
    }
    if (ra.size() > rb.size()) {
        return ra.substr(1) == rb;
    }
    return rb.substr(1) == ra;
}

} // namespace

bool sema_near_miss(std::string_view a, std::string_view b) {
    if (a == b) {
        return false;
    }
    if (a.size() == b.size() && lower(a) == lower(b)) {
        return true;
    }
    if (a.size() < 3 || b.size() < 3) {
        return false;
    }
    return within_one_edit(a, b);
}

namespace {

// The second pass over one definition: names used, members, unions, annotations.
void check_used_names(checker &c, const idl_unit *unit, const std::string &scope,
                      const ast *node) {
    if (idl_type_of(node) == IDL_MODULE_DCL) {
        const std::size_t first = idl_first_non_annotation(node);
        for (std::size_t k = 0; k < first; ++k) {
            c.check_annotation(unit, idl_child(node, k));
        }
        return;
    }
    c.check_definition(unit, scope, node);
}

// Runs the second pass with a checker of its own per unit, on up to `threads` threads (the
// calling one among them); the checkers are returned in the order of the units.
std::vector<std::unique_ptr<checker>> check_units(const std::vector<const idl_unit *> &units,
                                                  const sema_options &options, symbols &syms) {
    std::vector<std::unique_ptr<checker>> done(units.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> out_of_memory{false};
    const auto work = [&] {
        for (std::size_t i = next.fetch_add(1); i < units.size(); i = next.fetch_add(1)) {
            try {
                auto c = std::make_unique<checker>(options, syms);
                c->for_each_definition({units[i]}, [&c](const idl_unit *unit,
                                                        const std::string &scope,
                                                        const ast *node) {
                    check_used_names(*c, unit, scope, node);
                });
                done[i] = std::move(c);
            } catch (const std::bad_alloc &) {
                out_of_memory = true;
            }
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < options.threads && t < units.size(); ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error &) {
            break; // fewer threads then
        }
    }
    work();
    for (std::thread &h : helpers) {
        h.join();
    }
    if (out_of_memory) {
        throw std::bad_alloc();
    }
    return done;
}

} // namespace

bool sema_check(const std::vector<const idl_unit *> &units, const sema_options &options,
                std::vector<const idl_unit *> *failed) {
    try {
        symbols syms;
        checker c{options, syms};
        for (std::size_t i = 0; i < units.size(); ++i) {
            c.unit_index.emplace(units[i], i);
            c.by_resolved.emplace(units[i]->resolved, units[i]);
        }
        c.for_each_definition(
            units, [&c](const idl_unit *unit, const std::string &scope, const ast *node) {
                if (idl_type_of(node) == IDL_MODULE_DCL) {
                    if (!checker::is_marker(unit, node)) {
                        c.declare(unit, scope, idl_child(node, idl_first_non_annotation(node)),
                                  sym_kind::module, node);
                    }
                    return;
                }
                c.declare_type(unit, scope, node);
            });
        // The reports of the second pass follow those of the first, unit by unit, as one
        // checker going through the units in order would have made them.
        for (std::unique_ptr<checker> &u : check_units(units, options, syms)) {
            c.errors += u->errors;
            for (const idl_unit *unit : u->failed) {
                if (std::find(c.failed.begin(), c.failed.end(), unit) == c.failed.end()) {
                    c.failed.push_back(unit);
                }
            }
            std::move(u->reports.begin(), u->reports.end(), std::back_inserter(c.reports));
        }
        c.flush();
        if (failed != nullptr) {
            failed->insert(failed->end(), c.failed.begin(), c.failed.end());
        }
        return c.errors == 0;
    } catch (const std::bad_alloc &) {
        diagnostic d;
        d.level = DIAG_FATAL;
        d.summary = "Out of memory: Unable to check the model";
        diag_report(d);
        return false;
    }
}
