// What the checks need of one file, taken from its parse tree in one walk.
#include "sema/facts.hpp"

#include "grammars/idl_parser.hpp"
#include "model/load.hpp"
#include "model/source.hpp"
#include "preproc/preproc.hpp"

#include <climits>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <utility>

namespace {

class collector {
public:
    collector(const idl_unit *unit, sema_facts *facts) : unit_(unit), f_(*facts) {}

    // Every definition of every module, in order, without native recursion over module nesting.
    void walk() {
        struct frame {
            const ast *node;
            std::size_t next;
            std::uint32_t scope;
        };
        std::vector<frame> stack{{unit_->tree, 0, 0}};
        while (!stack.empty()) {
            frame &top = stack.back();
            if (top.next >= idl_child_count(top.node)) {
                stack.pop_back();
                continue;
            }
            const ast *child = idl_child(top.node, top.next++);
            const std::uint32_t scope = top.scope;
            if (idl_type_of(child) != IDL_MODULE_DCL) {
                declare_type(scope, child);
                check_definition(scope, child);
                continue;
            }
            const std::size_t first = idl_first_non_annotation(child);
            for (std::size_t k = 0; k < first; ++k) {
                annotation(idl_child(child, k));
            }
            if (is_marker(child)) {
                continue; // where an included file stood: nothing declared here
            }
            const ast *id = idl_child(child, first);
            declare(scope, id, sym_kind::module, nullptr);
            f_.scopes.push_back(join(f_.scopes[scope], text(id)));
            stack.push_back({child, first + 1, static_cast<std::uint32_t>(f_.scopes.size() - 1)});
        }
    }

private:
    std::string_view text(const ast *node) const { return idl_text_of(unit_->src, node); }

    // Keeps a text with the facts; a file too large to index fails as out of memory would.
    fact_text keep(std::string_view a, std::string_view b = {}, std::string_view c = {}) {
        const std::size_t at = f_.strings.size();
        if (at + a.size() + b.size() + c.size() > UINT32_MAX) {
            throw std::bad_alloc();
        }
        f_.strings.append(a).append(b).append(c);
        return {static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(f_.strings.size() - at)};
    }

    static std::string join(const std::string &scope, std::string_view name) {
        std::string full = scope;
        full += "::";
        full += name;
        return full;
    }

    bool is_marker(const ast *module) const {
        const std::string_view name = text(idl_child(module, idl_first_non_annotation(module)));
        if (name.find(PREPROC_MARKER_SUFFIX) == std::string_view::npos) {
            return false;
        }
        std::string path(name.size() + 1, '\0');
        return preproc_include_marker_decode(name.data(), name.size(), &path[0]) >= 0;
    }

    // A scoped name as idl_scoped_name_text gives it (`::A::B`, no blanks); most are written
    // so already and are kept without a copy.
    fact_text keep_scoped_name(const ast *node) {
        const std::string_view written = text(node);
        for (const char c : written) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') || c == '_' || c == ':';
            if (!plain) {
                return keep(idl_scoped_name_text(unit_->src, node));
            }
        }
        return keep(written);
    }

    //--- declarations ---//

    void declare(std::uint32_t scope, const ast *id, sym_kind kind, const type_fact *fact) {
        const std::string_view name = text(id);
        decl_fact &d = add_decl(decl_fact::what::declare, kind, scope, id);
        d.fact = fact;
        d.full = keep(f_.scopes[scope], "::", name);
        d.full_hash = std::hash<std::string_view>{}(f_.str(d.full));
    }

    decl_fact &add_decl(decl_fact::what w, sym_kind kind, std::uint32_t scope, const ast *id) {
        decl_fact &d = f_.decls.emplace_back();
        d.w = w;
        d.kind = kind;
        d.scope = scope;
        d.name = text(id);
        d.pos = idl_start_of(id);
        return d;
    }

    // The base and own members of a structure or bitset definition, made once per node.
    const type_fact *members_of(const ast *def) {
        // A definition is declared and then checked, one right after the other.
        if (def == last_def_) {
            return last_fact_;
        }
        type_fact &fact = f_.types.emplace_back();
        for (std::size_t i = 0; i < idl_child_count(def); ++i) {
            const ast *m = idl_child(def, i);
            const std::uint64_t t = idl_type_of(m);
            if (t == IDL_INHERIT_DCL) {
                fact.has_base = true;
                fact.base = idl_scoped_name_text(unit_->src, idl_child(m, 0));
                fact.base_pos = idl_start_of(idl_child(m, 0));
            } else if (t == IDL_MEMBER) {
                const ast *declarators = idl_child(m, idl_child_count(m) - 1);
                for (std::size_t k = 0; k < idl_child_count(declarators); ++k) {
                    const ast *id = idl_child(idl_child(idl_child(declarators, k), 0), 0);
                    fact.members.push_back({text(id), idl_start_of(id)});
                }
            } else if (t == IDL_BITFIELD) {
                // Annotations, the bitfield's width and type, then its names.
                for (std::size_t k = 0; k < idl_child_count(m); ++k) {
                    const ast *id = idl_child(m, k);
                    if (idl_type_of(id) == IDL_IDENTIFIER) {
                        fact.members.push_back({text(id), idl_start_of(id)});
                    }
                }
            }
        }
        last_def_ = def;
        last_fact_ = &fact;
        return &fact;
    }

    void declare_enum(std::uint32_t scope, const ast *node, bool bitmask) {
        const std::size_t first = idl_first_non_annotation(node);
        const ast *id = idl_child(node, first);
        declare(scope, id, bitmask ? sym_kind::bitmask : sym_kind::enumeration, nullptr);
        const fact_text owner = f_.decls.back().full;
        for (std::size_t i = first + 1; i < idl_child_count(node); ++i) {
            const ast *value = idl_child(node, i);
            const ast *vid = idl_child(value, idl_first_non_annotation(value));
            const std::string_view name = text(vid);
            const fact_text full = keep(f_.str(owner), "::", name);
            decl_fact &d =
                add_decl(decl_fact::what::value,
                         bitmask ? sym_kind::bit_value : sym_kind::enumerator, scope, vid);
            d.full = full;
            d.full_hash = std::hash<std::string_view>{}(f_.str(full));
            d.owner = owner;
            d.loose = keep(f_.scopes[scope], "::", name);
        }
    }

    void declare_type(std::uint32_t scope, const ast *node) {
        const auto named = [&](sym_kind kind, const type_fact *fact) {
            declare(scope, idl_child(node, idl_first_non_annotation(node)), kind, fact);
        };
        switch (idl_type_of(node)) {
        case IDL_STRUCT_DEF:
            named(sym_kind::structure, members_of(node));
            break;
        case IDL_UNION_DEF:
            named(sym_kind::union_type, nullptr);
            break;
        case IDL_STRUCT_FORWARD_DCL:
            named(sym_kind::structure_forward, nullptr);
            break;
        case IDL_UNION_FORWARD_DCL:
            named(sym_kind::union_forward, nullptr);
            break;
        case IDL_ENUM_DCL:
            declare_enum(scope, node, false);
            break;
        case IDL_BITMASK_DCL:
            declare_enum(scope, node, true);
            break;
        case IDL_BITSET_DCL:
            named(sym_kind::bitset, members_of(node));
            break;
        case IDL_NATIVE_DCL: {
            const ast *decl = idl_child(node, idl_first_non_annotation(node));
            declare(scope, idl_child(decl, 0), sym_kind::native, nullptr);
            break;
        }
        case IDL_TYPEDEF_DCL: {
            const std::size_t first = idl_first_non_annotation(node);
            const ast *type = idl_child(node, first);
            declare_type(scope, type); // a structure declared in the typedef
            type_fact &fact = f_.types.emplace_back();
            const ast *named_type = idl_type_of(type) == IDL_TYPE_SPEC ? idl_child(type, 0) : type;
            fact.aliases_name = idl_type_of(named_type) == IDL_SCOPED_NAME;
            if (fact.aliases_name) {
                fact.aliased = idl_scoped_name_text(unit_->src, named_type);
            } else {
                fact.aliased_type = idl_type_of(named_type);
            }
            const ast *declarators = idl_child(node, first + 1);
            for (std::size_t i = 0; i < idl_child_count(declarators); ++i) {
                const ast *decl = idl_child(idl_child(declarators, i), 0);
                declare(scope, idl_child(decl, 0), sym_kind::alias, &fact);
            }
            break;
        }
        case IDL_CONST_DCL: {
            const std::size_t first = idl_first_non_annotation(node);
            declare(scope, idl_child(node, first + 1), sym_kind::constant, nullptr);
            break;
        }
        case IDL_ANNOTATION_DCL: {
            const ast *id = idl_child(node, 0);
            add_decl(decl_fact::what::annotation, sym_kind::module, 0, id);
            break;
        }
        default:
            break;
        }
    }

    //--- uses ---//

    check_fact &add(check_fact::what w, std::uint32_t scope, std::uint64_t pos) {
        check_fact &c = f_.checks.emplace_back();
        c.w = w;
        c.scope = scope;
        c.pos = pos;
        return c;
    }

    void annotation(const ast *appl) {
        const ast *id = idl_child(appl, 0);
        std::string name = idl_type_of(id) == IDL_SCOPED_NAME ? idl_scoped_name_text(unit_->src, id)
                                                              : std::string(text(id));
        const std::size_t sep = name.rfind("::");
        if (sep != std::string::npos) {
            name.erase(0, sep + 2);
        }
        add(check_fact::what::annotation, 0, idl_start_of(appl)).text = keep(name);
    }

    // Every name under node: scoped names standing for types where the grammar puts a type,
    // the others as values; annotation applications as annotations, their parameters left
    // alone. Iterative, so nesting depth costs no native stack.
    void names_below(std::uint32_t scope, const ast *node, std::size_t from = 0) {
        // One stack for every walk (a walk never starts another): no allocation per walk.
        std::vector<const ast *> &todo = todo_;
        todo.clear();
        // The top node itself is neither an annotation nor a name: its children from `from`.
        children(scope, node, from, &todo);
        while (!todo.empty()) {
            const ast *n = todo.back();
            todo.pop_back();
            if (idl_type_of(n) == IDL_ANNOTATION_APPL) {
                annotation(n);
                continue;
            }
            children(scope, n, 0, &todo);
        }
    }

    void children(std::uint32_t scope, const ast *n, std::size_t from,
                  std::vector<const ast *> *todo) {
        const std::uint64_t type = idl_type_of(n);
        for (std::size_t i = idl_child_count(n); i-- > from;) {
            const ast *c = idl_child(n, i);
            if (idl_type_of(c) != IDL_SCOPED_NAME) {
                todo->push_back(c);
            } else if (type == IDL_INHERIT_DCL || type == IDL_SWITCH_TYPE_SPEC) {
                // checked with the definition that holds them
            } else {
                const bool is_type =
                    type == IDL_TYPE_SPEC || type == IDL_CONST_TYPE || type == IDL_TYPEDEF_DCL;
                add(is_type ? check_fact::what::type_name : check_fact::what::value_name, scope,
                    idl_start_of(c))
                    .text = keep_scoped_name(c);
            }
        }
    }

    void check_union(std::uint32_t scope, const ast *def, std::string_view name) {
        const std::size_t first = idl_first_non_annotation(def);
        const ast *switch_spec = idl_child(def, first + 1);
        const ast *body = idl_child(def, first + 2);
        const ast *disc = idl_child(switch_spec, idl_first_non_annotation(switch_spec));
        for (std::size_t k = 0; k < idl_first_non_annotation(switch_spec); ++k) {
            annotation(idl_child(switch_spec, k));
        }
        check_fact &begin = add(check_fact::what::union_begin, scope, idl_start_of(disc));
        begin.name = name;
        begin.flag = idl_type_of(disc) == IDL_SCOPED_NAME;
        begin.node_type = idl_type_of(disc);
        begin.text = keep(begin.flag ? idl_scoped_name_text(unit_->src, disc)
                                     : idl_blank_stripped(text(disc)));
        for (std::size_t i = 0; i < idl_child_count(body); ++i) {
            const ast *c = idl_child(body, i);
            const std::size_t n = idl_child_count(c);
            for (std::size_t k = 0; k + 1 < n; ++k) {
                const ast *label = idl_child(c, k);
                if (idl_child_count(label) == 0) {
                    add(check_fact::what::label_default, scope, idl_start_of(label));
                    continue;
                }
                const ast *expr = idl_child(label, 0);
                // A label with operators is flattened into operands and operator nodes.
                std::string written;
                for (std::size_t e = 0; e < idl_child_count(label); ++e) {
                    written += idl_blank_stripped_outside_literals(text(idl_child(label, e)));
                }
                if (idl_child_count(label) == 1 && idl_type_of(expr) == IDL_SCOPED_NAME) {
                    check_fact &l = add(check_fact::what::label_value, scope, idl_start_of(expr));
                    l.text = keep_scoped_name(expr);
                    l.extra = keep(written);
                } else {
                    names_below(scope, label);
                    check_fact &l = add(check_fact::what::label_expr, scope, idl_start_of(expr));
                    l.extra = keep(written);
                    l.flag = idl_child_count(label) == 1;
                }
            }
            if (n > 0) {
                const ast *element = idl_child(c, n - 1);
                const std::size_t ef = idl_first_non_annotation(element);
                for (std::size_t k = 0; k < ef; ++k) {
                    annotation(idl_child(element, k));
                }
                names_below(scope, idl_child(element, ef));
                const ast *decl = idl_child(idl_child(element, ef + 1), 0);
                names_below(scope, decl);
                const ast *id = idl_child(decl, 0);
                add(check_fact::what::union_member, scope, idl_start_of(id)).name = text(id);
            }
        }
        add(check_fact::what::union_end, scope, 0);
    }

    void check_definition(std::uint32_t scope, const ast *node) {
        const std::uint64_t type = idl_type_of(node);
        const std::size_t first = idl_first_non_annotation(node);
        if (type != IDL_ANNOTATION_DCL) {
            for (std::size_t k = 0; k < first; ++k) {
                annotation(idl_child(node, k));
            }
        }
        switch (type) {
        case IDL_STRUCT_DEF:
        case IDL_BITSET_DCL: {
            const bool bitset = type == IDL_BITSET_DCL;
            check_fact &c = add(check_fact::what::members, scope, 0);
            c.name = text(idl_child(node, first));
            c.flag = bitset;
            c.fact = members_of(node);
            const std::uint64_t part = bitset ? IDL_BITFIELD : IDL_MEMBER;
            for (std::size_t i = first + 1; i < idl_child_count(node); ++i) {
                if (idl_type_of(idl_child(node, i)) == part) {
                    names_below(scope, idl_child(node, i));
                }
            }
            break;
        }
        case IDL_UNION_DEF:
            check_union(scope, node, text(idl_child(node, first)));
            break;
        case IDL_ENUM_DCL:
        case IDL_BITMASK_DCL:
            names_below(scope, node, first + 1);
            break;
        case IDL_TYPEDEF_DCL: {
            const ast *declared = idl_child(node, first);
            const std::uint64_t dt = idl_type_of(declared);
            if (dt == IDL_STRUCT_DEF || dt == IDL_UNION_DEF || dt == IDL_ENUM_DCL ||
                dt == IDL_BITSET_DCL || dt == IDL_BITMASK_DCL) {
                check_definition(scope, declared);
                names_below(scope, idl_child(node, first + 1));
            } else {
                names_below(scope, node, first);
            }
            break;
        }
        case IDL_CONST_DCL:
            names_below(scope, node, first);
            break;
        default:
            break;
        }
    }

    const idl_unit *unit_;
    sema_facts &f_;
    const ast *last_def_ = nullptr;
    const type_fact *last_fact_ = nullptr;
    std::vector<const ast *> todo_;
};

} // namespace

void sema_collect(const idl_unit *unit, sema_facts *facts) {
    facts->unit = unit;
    if (unit->tree != nullptr) {
        collector(unit, facts).walk();
    }
}
