// Keys declared by pragmas (`#pragma keylist`, `#pragma DCPS_DATA_KEY`) resolved to members.
#include "idl/idl_pragma.hpp"

#include "base/diag.hpp"
#include "base/suggest.hpp"
#include "grammars/idl_parser.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_types.hpp"
#include "peg/ast.hpp"
#include "preproc/preproc.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool is_separator(char c) {
    return is_blank(c) || c == ',';
}

// Words of text between start and its end, apart by blanks (and commas when commas is set);
// each with its byte index in text.
void split_words(std::string_view text, std::size_t start, bool commas,
                 std::vector<std::string_view> *words, std::vector<std::size_t> *at) {
    std::size_t i = start;
    while (i < text.size()) {
        while (i < text.size() && (commas ? is_separator(text[i]) : is_blank(text[i]))) {
            ++i;
        }
        const std::size_t from = i;
        while (i < text.size() && !(commas ? is_separator(text[i]) : is_blank(text[i]))) {
            ++i;
        }
        if (i > from) {
            words->push_back(text.substr(from, i - from));
            at->push_back(from);
        }
    }
}

// The quoted operand of an OpenDDS pragma, without its quotes; the rest of the text when it has
// none. first is set to its byte index in text.
std::string_view quoted_operand(std::string_view text, std::size_t from, std::size_t *first) {
    while (from < text.size() && is_blank(text[from])) {
        ++from;
    }
    std::size_t to = text.size();
    if (from < text.size() && text[from] == '"') {
        ++from;
        const std::size_t close = text.find('"', from);
        to = close == std::string_view::npos ? text.size() : close;
    }
    *first = from;
    return text.substr(from, to - from);
}

// End of a node's text without the blanks its last rule took: a module's span then ends at its
// closing brace, and a pragma line blanked between the brace and the semicolon stands outside.
std::uint64_t end_of(const ast *node, const idl_source &src) {
    const ast_tree *tree = ast_as_tree(node);
    std::uint64_t end = tree == nullptr ? 0 : std::min<std::uint64_t>(tree->end, src.text.size());
    const std::uint64_t start = tree == nullptr ? 0 : tree->start;
    while (end > start && is_blank(src.text[end - 1])) {
        --end;
    }
    return end;
}

constexpr std::size_t k_no_scope = ~std::size_t{0};

// One scope of the file: the top level or a module (all its reopenings together). Names are
// views of the preprocessed text.
struct scope {
    std::size_t parent = k_no_scope;
    std::unordered_map<std::string_view, std::size_t> modules; // name -> scope index
    std::unordered_set<std::string_view> names;                // everything declared here
    std::unordered_map<std::string_view, std::vector<const ast *>> structs;
};

// A module of the file: its text span and its scope.
struct module_span {
    std::uint64_t start;
    std::uint64_t end;
    std::size_t scope;
};

// What the file declares, scope by scope (index 0 is the top level), and its modules in text
// order.
struct declarations {
    std::vector<scope> scopes;
    std::vector<module_span> modules;
};

void declare_struct(declarations *decls, std::size_t at, const ast *node, const idl_source &src) {
    const std::string_view name =
        idl_identifier_text(src, idl_child(node, idl_first_non_annotation(node)));
    decls->scopes[at].names.insert(name);
    decls->scopes[at].structs[name].push_back(node);
}

// Records one definition that is not a module.
void declare_definition(declarations *decls, std::size_t at, const ast *node,
                        const idl_source &src) {
    const std::size_t first = idl_first_non_annotation(node);
    std::unordered_set<std::string_view> &names = decls->scopes[at].names;
    switch (idl_type_of(node)) {
    case IDL_STRUCT_DEF:
        declare_struct(decls, at, node, src);
        break;
    case IDL_UNION_DEF:
    case IDL_ENUM_DCL:
    case IDL_BITMASK_DCL:
    case IDL_BITSET_DCL:
    case IDL_STRUCT_FORWARD_DCL:
    case IDL_UNION_FORWARD_DCL:
        names.insert(idl_identifier_text(src, idl_child(node, first)));
        break;
    case IDL_CONST_DCL:
        names.insert(idl_identifier_text(src, idl_child(node, first + 1)));
        break;
    case IDL_TYPEDEF_DCL: {
        const ast *type_node = idl_child(node, first);
        if (idl_type_of(type_node) != IDL_SCOPED_NAME) {
            declare_definition(decls, at, type_node, src); // a type declared in place
        }
        const ast *list = idl_child(node, first + 1);
        const std::size_t count = idl_child_count(list);
        for (std::size_t d = 0; d < count; ++d) {
            names.insert(idl_identifier_text(src, idl_declarator_identifier(idl_child(list, d))));
        }
        break;
    }
    default:
        break;
    }
}

// The name of a module that stands for an include marker is no module of this file.
bool is_include_marker(std::string_view name) {
    if (name.find(PREPROC_MARKER_SUFFIX) == std::string_view::npos) {
        return false;
    }
    std::string path(name.size() + 1, '\0');
    return preproc_include_marker_decode(name.data(), name.size(), &path[0]) >= 0;
}

declarations collect(const ast *spec, const idl_source &src) {
    declarations decls;
    decls.scopes.emplace_back();
    // Modules nest without bound: an explicit stack, visited depth first so that the modules
    // are recorded in text order. Scopes are indices and names views, so that depth costs no
    // more than breadth.
    struct frame {
        const ast *node;
        std::size_t scope;
        std::size_t next;
    };
    std::vector<frame> stack;
    stack.push_back({spec, 0, 0});
    while (!stack.empty()) {
        frame &top = stack.back();
        if (top.next >= idl_child_count(top.node)) {
            stack.pop_back();
            continue;
        }
        const ast *child = idl_child(top.node, top.next++);
        const std::size_t at = top.scope;
        if (idl_type_of(child) != IDL_MODULE_DCL) {
            declare_definition(&decls, at, child, src);
            continue;
        }
        const std::size_t first = idl_first_non_annotation(child);
        const std::string_view written = idl_text_of(src, idl_child(child, first));
        if (is_include_marker(written)) {
            continue;
        }
        const std::string_view name = idl_unescaped(written);
        decls.scopes[at].names.insert(name);
        std::size_t inner = decls.scopes.size();
        const auto known = decls.scopes[at].modules.find(name);
        if (known != decls.scopes[at].modules.end()) {
            inner = known->second; // a module reopened
        } else {
            decls.scopes[at].modules.emplace(name, inner);
            decls.scopes.emplace_back();
            decls.scopes.back().parent = at;
        }
        decls.modules.push_back({idl_start_of(child), end_of(child, src), inner});
        stack.push_back({child, inner, first + 1});
    }
    return decls;
}

// The parts of a scoped name as written in a pragma, unescaped; *absolute set for a leading '::'.
std::vector<std::string_view> name_parts(std::string_view name, bool *absolute) {
    *absolute = name.substr(0, 2) == "::";
    if (*absolute) {
        name.remove_prefix(2);
    }
    std::vector<std::string_view> parts;
    for (std::size_t cut = name.find("::"); cut != std::string_view::npos; cut = name.find("::")) {
        parts.push_back(idl_unescaped(name.substr(0, cut)));
        name.remove_prefix(cut + 2);
    }
    parts.push_back(idl_unescaped(name));
    return parts;
}

// The innermost scope from `at` outwards that declares name; k_no_scope when none does.
std::size_t declaring_scope(const declarations &decls, std::size_t at, std::string_view name) {
    while (decls.scopes[at].names.count(name) == 0) {
        if (decls.scopes[at].parent == k_no_scope) {
            return k_no_scope;
        }
        at = decls.scopes[at].parent;
    }
    return at;
}

// The scope that the first `count` parts of a scoped name lead to from scope `from`: the first
// in the innermost enclosing scope that declares it, the rest inside. k_no_scope when none.
std::size_t scope_of(const declarations &decls, std::size_t from, bool absolute,
                     const std::vector<std::string_view> &parts, std::size_t count) {
    std::size_t at = absolute ? 0 : from;
    if (count == 0) {
        return at;
    }
    at = declaring_scope(decls, at, parts[0]);
    for (std::size_t i = 0; i < count && at != k_no_scope; ++i) {
        const auto inner = decls.scopes[at].modules.find(parts[i]);
        at = inner == decls.scopes[at].modules.end() ? k_no_scope : inner->second;
    }
    return at;
}

// The definitions of the structure that name (as written in a pragma) refers to from scope
// `from`, looked up as a scoped name (a name alone in the innermost enclosing scope that declares
// it). Null when there is none.
const std::vector<const ast *> *resolve_type(const declarations &decls, std::size_t from,
                                             std::string_view name) {
    bool absolute = false;
    const std::vector<std::string_view> parts = name_parts(name, &absolute);
    const std::size_t at = parts.size() == 1
                               ? declaring_scope(decls, absolute ? 0 : from, parts[0])
                               : scope_of(decls, from, absolute, parts, parts.size() - 1);
    if (at == k_no_scope) {
        return nullptr;
    }
    const auto found = decls.scopes[at].structs.find(parts.back());
    return found == decls.scopes[at].structs.end() ? nullptr : &found->second;
}

// The structure a pragma most likely meant by a name no structure has, written as the pragma
// wrote the name but for its last part: a structure near that part in the scope the rest
// leads to (in any enclosing scope for a name alone). Empty when there is none.
std::string near_type(const declarations &decls, std::size_t from, std::string_view name) {
    bool absolute = false;
    const std::vector<std::string_view> parts = name_parts(name, &absolute);
    std::size_t at = scope_of(decls, from, absolute, parts, parts.size() - 1);
    std::vector<std::string_view> candidates;
    while (at != k_no_scope) {
        for (const auto &known : decls.scopes[at].structs) {
            candidates.push_back(known.first);
        }
        at = parts.size() == 1 ? decls.scopes[at].parent : k_no_scope;
    }
    std::sort(candidates.begin(), candidates.end()); // the same choice among equals every run
    const std::string_view best = suggest_nearest(parts.back(), candidates);
    if (best.empty()) {
        return {};
    }
    const std::size_t cut = name.rfind("::");
    return std::string(cut == std::string_view::npos ? "" : name.substr(0, cut + 2)) +
           std::string(best);
}

// Scope of the innermost module whose text holds each pragma (0 at the top level). Both the
// modules and the pragmas are walked once, in text order.
std::vector<std::size_t> scopes_of(const declarations &decls,
                                   const std::vector<idl_pragma> &pragmas) {
    std::vector<std::size_t> order(pragmas.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return pragmas[a].offset < pragmas[b].offset;
    });
    std::vector<std::size_t> scopes(pragmas.size(), 0);
    std::vector<const module_span *> open;
    std::size_t next = 0;
    for (std::size_t p : order) {
        const std::uint64_t at = pragmas[p].offset;
        while (next < decls.modules.size() && decls.modules[next].start <= at) {
            const module_span &m = decls.modules[next++];
            while (!open.empty() && open.back()->end <= m.start) {
                open.pop_back();
            }
            open.push_back(&m);
        }
        while (!open.empty() && open.back()->end <= at) {
            open.pop_back();
        }
        if (!open.empty()) {
            scopes[p] = open.back()->scope;
        }
    }
    return scopes;
}

// The declarators of a structure definition by member name, made once per structure.
class member_index {
public:
    explicit member_index(const idl_source &src) : src_(src) {}

    const std::vector<const ast *> *find(const ast *struct_def, std::string_view name) {
        auto made = by_struct_.find(struct_def);
        if (made == by_struct_.end()) {
            made = by_struct_.emplace(struct_def, make(struct_def)).first;
        }
        const auto found = made->second.find(name);
        return found == made->second.end() ? nullptr : &found->second;
    }

    // The member of the definitions nearest to name, the first declared among equals; empty
    // when none is near.
    std::string_view nearest(const std::vector<const ast *> &defs, std::string_view name) const {
        suggest_choice choice{name, {}, 0};
        for (const ast *def : defs) {
            each_declarator(
                def, [&](std::string_view member, const ast *) { suggest_offer(choice, member); });
        }
        return choice.best;
    }

private:
    using members = std::unordered_map<std::string_view, std::vector<const ast *>>;

    members make(const ast *struct_def) const {
        members by_name;
        each_declarator(struct_def, [&](std::string_view name, const ast *declarator) {
            by_name[name].push_back(declarator);
        });
        return by_name;
    }

    // Calls visit(name, declarator) for each declarator of the structure's members, in order.
    template <class Visit> void each_declarator(const ast *struct_def, const Visit &visit) const {
        const std::size_t count = idl_child_count(struct_def);
        for (std::size_t i = idl_first_non_annotation(struct_def) + 1; i < count; ++i) {
            const ast *member = idl_child(struct_def, i);
            if (idl_type_of(member) != IDL_MEMBER) {
                continue;
            }
            const ast *list = idl_child(member, idl_first_non_annotation(member) + 1);
            const std::size_t declarators = idl_child_count(list);
            for (std::size_t d = 0; d < declarators; ++d) {
                const ast *declarator = idl_child(list, d);
                visit(idl_identifier_text(src_, idl_declarator_identifier(declarator)), declarator);
            }
        }
    }

    const idl_source &src_;
    std::unordered_map<const ast *, members> by_struct_;
};

// Reports at the byte `at` of the pragma's text.
void report(const idl_pragma &pragma, std::size_t at, diag_level level, const char *summary,
            std::string detail) {
    diagnostic d;
    d.level = level;
    d.warning = DIAG_W_KEY_PRAGMA;
    d.summary = summary;
    d.file = pragma.path;
    d.line = pragma.line;
    d.column = pragma.column + static_cast<unsigned long>(at);
    d.detail = std::move(detail);
    diag_report(d);
}

std::string quoted(std::string_view name) {
    return "'" + std::string(name) + "'";
}

} // namespace

idl_pragma_parts idl_pragma_split(std::string_view text) {
    idl_pragma_parts parts;
    std::size_t word = 0;
    while (word < text.size() && !is_blank(text[word])) {
        ++word;
    }
    const std::string_view kind = text.substr(0, word);
    std::vector<std::string_view> words;
    std::vector<std::size_t> at;
    if (kind == "keylist") {
        split_words(text, word, true, &words, &at);
    } else if (kind == "DCPS_DATA_TYPE" || kind == "DCPS_DATA_KEY") {
        std::size_t first = 0;
        const std::string_view operand = quoted_operand(text, word, &first);
        split_words(operand, 0, false, &words, &at);
        for (std::size_t &i : at) {
            i += first;
        }
        parts.needs_keys = kind == "DCPS_DATA_KEY";
        if (kind == "DCPS_DATA_TYPE") {
            words.resize(std::min<std::size_t>(words.size(), 1)); // a topic type only
        }
    } else {
        return parts;
    }
    if (!words.empty()) {
        parts.type = words[0];
        parts.type_at = at[0];
        parts.keys.assign(words.begin() + 1, words.end());
        parts.keys_at.assign(at.begin() + 1, at.end());
    }
    return parts;
}

bool idl_pragma_resolve_keys(const ast *spec, const idl_source &src) {
    if (src.pragmas.empty()) {
        return true;
    }
    const declarations decls = collect(spec, src);
    const std::vector<std::size_t> scopes = scopes_of(decls, src.pragmas);
    member_index members(src);
    const diag_level miss = src.pragma_miss_level;
    bool ok = true;
    for (std::size_t p = 0; p < src.pragmas.size(); ++p) {
        const idl_pragma &pragma = src.pragmas[p];
        const idl_pragma_parts parts = idl_pragma_split(pragma.text);
        if (parts.type.empty()) {
            report(pragma, 0, DIAG_WARNING, "Key pragma names no type", quoted(pragma.text));
            continue;
        }
        const std::vector<const ast *> *defs = resolve_type(decls, scopes[p], parts.type);
        if (defs == nullptr) {
            report(pragma, parts.type_at, miss, "Key pragma names an unknown type",
                   quoted(parts.type) +
                       suggest_did_you_mean(near_type(decls, scopes[p], parts.type)));
            ok = ok && miss < DIAG_ERROR;
            continue;
        }
        if (parts.needs_keys && parts.keys.empty()) {
            report(pragma, parts.type_at, DIAG_WARNING, "Key pragma names no member",
                   quoted(pragma.text));
        }
        for (std::size_t k = 0; k < parts.keys.size(); ++k) {
            const std::string_view path = parts.keys[k];
            // A key inside a member (`a.id`, `a[2]`) has no attribute of its own in DDS-XML.
            const std::string_view top = idl_unescaped(path.substr(0, path.find_first_of(".[")));
            bool found = false;
            for (const ast *def : *defs) {
                if (const std::vector<const ast *> *declarators = members.find(def, top)) {
                    src.pragma_keys.insert(declarators->begin(), declarators->end());
                    found = true;
                }
            }
            if (!found) {
                report(pragma, parts.keys_at[k], miss, "Key pragma names an unknown member",
                       quoted(top) + " of " + quoted(parts.type) +
                           suggest_did_you_mean(members.nearest(*defs, top)));
                ok = ok && miss < DIAG_ERROR;
            } else if (top.size() != path.size()) {
                report(pragma, parts.keys_at[k], DIAG_WARNING,
                       "Key pragma names a member inside a member",
                       quoted(path) + " is written as a key on " + quoted(top));
            }
        }
    }
    return ok;
}
