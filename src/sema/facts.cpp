// What the checks need of one file, taken from its parse tree in one walk.
#include "sema/facts.hpp"

#include "grammars/idl_parser.hpp"
#include "model/load.hpp"
#include "model/source.hpp"
#include "preproc/preproc.hpp"

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace {

// Letters fold to lower case by one bit; digits, '_' and ':' keep their own codes apart.
constexpr std::uint64_t fold_bits = 0x2020202020202020u;

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
            leading_annotations(scope, child, anno_place::module, next_element());
            if (is_marker(child)) {
                continue; // where an included file stood: nothing declared here
            }
            if (stack.size() > SEMA_MAX_MODULE_DEPTH) {
                // Refused before anything deeper is taken: the cost of a file stays bounded
                // however deep it nests.
                add(check_fact::what::too_deep, scope, idl_start_of(child));
                break;
            }
            const ast *id = idl_child(child, first);
            declare(scope, id, sym_kind::module, nullptr);
            f_.scopes.push_back({scope, name_of(id), inside(scope, name_of(id))});
            stack.push_back({child, first + 1, static_cast<std::uint32_t>(f_.scopes.size() - 1)});
        }
    }

private:
    std::string_view text(const ast *node) const { return idl_text_of(unit_->src, node); }
    std::string_view name_of(const ast *id) const { return idl_identifier_text(unit_->src, id); }

    // Keeps a text with the facts; a file too large to index fails as out of memory would.
    fact_text keep(std::string_view a, std::string_view b = {}, std::string_view c = {}) {
        const std::size_t at = f_.strings.size();
        if (at + a.size() + b.size() + c.size() > UINT32_MAX) {
            throw std::bad_alloc();
        }
        f_.strings.append(a).append(b).append(c);
        return {static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(f_.strings.size() - at)};
    }

    // The hash state of the full name of `name` declared in scope.
    sema_name_hasher inside(std::uint32_t scope, std::string_view name) const {
        sema_name_hasher h = f_.scopes[scope].hash;
        h.add("::");
        h.add(name);
        return h;
    }

    bool is_marker(const ast *module) const {
        const std::string_view name = text(idl_child(module, idl_first_non_annotation(module)));
        if (name.find(PREPROC_MARKER_SUFFIX) == std::string_view::npos) {
            return false;
        }
        std::string path(name.size() + 1, '\0');
        return preproc_include_marker_decode(name.data(), name.size(), &path[0]) >= 0;
    }

    // A scoped name as idl_scoped_name_text gives it (`::A::B`, no blanks, no escapes); most
    // are written so already and are kept without a copy.
    fact_text keep_scoped_name(const ast *node) {
        const std::string_view written = text(node);
        char before = ':';
        for (const char c : written) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') || c == '_' || c == ':';
            if (!plain || (c == '_' && before == ':')) {
                return keep(idl_scoped_name_text(unit_->src, node));
            }
            before = c;
        }
        return keep(written);
    }

    std::uint32_t next_element() { return ++elements_; }

    //--- declarations ---//

    void declare(std::uint32_t scope, const ast *id, sym_kind kind, const type_fact *fact) {
        const std::string_view name = name_of(id);
        decl_fact &d = add_decl(decl_fact::what::declare, kind, scope, id);
        d.fact = fact;
        d.full_hash = inside(scope, name).value();
        module_name(scope, name, d.pos);
    }

    decl_fact &add_decl(decl_fact::what w, sym_kind kind, std::uint32_t scope, const ast *id) {
        decl_fact &d = f_.decls.emplace_back();
        d.w = w;
        d.kind = kind;
        d.scope = scope;
        d.name = name_of(id);
        d.pos = idl_start_of(id);
        return d;
    }

    // A declaration that takes the name of the module holding it.
    void module_name(std::uint32_t scope, std::string_view name, std::uint64_t pos) {
        const std::string_view module = f_.scopes[scope].name;
        if (name.size() == module.size() && scope != 0 && sema_same_folded(name, module)) {
            check_fact &c = add(check_fact::what::module_name, scope, pos);
            c.name = name;
            c.text = keep(module);
        }
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
                    fact.members.push_back({name_of(id), idl_start_of(id)});
                }
            } else if (t == IDL_BITFIELD) {
                // Annotations, the bitfield's width and type, then its names.
                for (std::size_t k = 0; k < idl_child_count(m); ++k) {
                    const ast *id = idl_child(m, k);
                    if (idl_type_of(id) == IDL_IDENTIFIER) {
                        fact.members.push_back({name_of(id), idl_start_of(id)});
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
        const std::string_view owner = name_of(id);
        const sema_name_hasher owner_hash = inside(scope, owner);
        for (std::size_t i = first + 1; i < idl_child_count(node); ++i) {
            const ast *value = idl_child(node, i);
            const ast *vid = idl_child(value, idl_first_non_annotation(value));
            const std::string_view name = name_of(vid);
            decl_fact &d =
                add_decl(decl_fact::what::value,
                         bitmask ? sym_kind::bit_value : sym_kind::enumerator, scope, vid);
            sema_name_hasher full = owner_hash;
            full.add("::");
            full.add(name);
            d.full_hash = full.value();
            d.owner = owner;
            d.loose_hash = inside(scope, name).value();
            if (!bitmask) {
                module_name(scope, name, d.pos); // enumerators belong to the enclosing scope
            }
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
                fact.prim = sema_prim_of(named_type);
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

    //--- constant expressions ---//

    static expr_fact::op binary_op(std::uint64_t type) {
        switch (type) {
        case IDL_BITOR_OPER:
            return expr_fact::op::bit_or;
        case IDL_BITXOR_OPER:
            return expr_fact::op::bit_xor;
        case IDL_BITAND_OPER:
            return expr_fact::op::bit_and;
        case IDL_RSHIFT_OPER:
            return expr_fact::op::shift_right;
        case IDL_LSHIFT_OPER:
            return expr_fact::op::shift_left;
        case IDL_PLUS_OPER:
            return expr_fact::op::add;
        case IDL_MINUS_OPER:
            return expr_fact::op::subtract;
        case IDL_MULT_OPER:
            return expr_fact::op::multiply;
        case IDL_DIV_OPER:
            return expr_fact::op::divide;
        default:
            return expr_fact::op::modulo;
        }
    }

    static expr_fact::op unary_op(std::uint64_t type) {
        return type == IDL_MINUS_OPER  ? expr_fact::op::negate
               : type == IDL_PLUS_OPER ? expr_fact::op::plus
                                       : expr_fact::op::complement;
    }

    void operand(const ast *node) {
        expr_fact &e = f_.exprs.emplace_back();
        e.pos = idl_start_of(node);
        switch (idl_type_of(node)) {
        case IDL_SCOPED_NAME:
            e.o = expr_fact::op::name;
            e.name = keep_scoped_name(node);
            return;
        case IDL_FIXED_PT_LITERAL:
        case IDL_FLOATING_PT_LITERAL: {
            const std::string_view written = literal_at(node, &e);
            const char last = written.empty() ? ' ' : written.back();
            e.o = last == 'd' || last == 'D' ? expr_fact::op::fixed : expr_fact::op::floating;
            return;
        }
        case IDL_CHARACTER_LITERAL:
            e.o = expr_fact::op::character;
            break;
        case IDL_WIDE_CHARACTER_LITERAL:
            e.o = expr_fact::op::wide_character;
            break;
        case IDL_STRING_LITERAL:
            e.o = expr_fact::op::string;
            break;
        case IDL_WIDE_STRING_LITERAL:
            e.o = expr_fact::op::wide_string;
            break;
        case IDL_BOOLEAN_LITERAL:
            e.o = expr_fact::op::boolean;
            break;
        default: // an integer literal (anything else reads as no number)
            e.o = expr_fact::op::integer;
            break;
        }
        literal_at(node, &e);
    }

    // Places e at the literal node's text (blanks left out), which it returns.
    std::string_view literal_at(const ast *node, expr_fact *e) const {
        const std::string_view written = text(node);
        const std::string_view all = unit_->src.text;
        if (written.data() >= all.data() && written.size() <= UINT32_MAX) {
            e->pos = static_cast<std::uint64_t>(written.data() - all.data());
            e->length = static_cast<std::uint32_t>(written.size());
        }
        return written;
    }

    // A node of an expression being turned into steps: the next child to visit, and the
    // operator to emit once the operand being visited is done.
    struct expr_frame {
        const ast *node;
        std::size_t next;
        bool pending;
        expr_fact::op op;
        std::uint64_t op_pos;
    };

    // The steps of the expression at node, operands before operators, walked without native
    // recursion: expressions nest as deep as the input does.
    fact_range expression(const ast *root) {
        std::vector<expr_frame> &stack = expr_stack_;
        stack.clear();
        const auto begin = static_cast<std::uint32_t>(f_.exprs.size());
        stack.push_back({root, 0, false, expr_fact::op::integer, 0});
        while (!stack.empty()) {
            expr_frame &f = stack.back();
            if (f.pending) {
                expr_fact &e = f_.exprs.emplace_back();
                e.o = f.op;
                e.pos = f.op_pos;
                f.pending = false;
            }
            const std::uint64_t type = idl_type_of(f.node);
            const std::size_t count = idl_child_count(f.node);
            const ast *next = nullptr;
            if (type == IDL_POSITIVE_INT_CONST) {
                next = f.next++ == 0 ? idl_child(f.node, 0) : nullptr;
            } else if (type == IDL_UNARY_EXPR) {
                if (f.next++ == 0) {
                    const ast *op = idl_child(f.node, 0);
                    f.pending = true;
                    f.op = unary_op(idl_type_of(op));
                    f.op_pos = idl_start_of(op);
                    next = idl_child(f.node, 1);
                }
            } else if (type == IDL_OR_EXPR || type == IDL_XOR_EXPR || type == IDL_AND_EXPR ||
                       type == IDL_SHIFT_EXPR || type == IDL_ADD_EXPR || type == IDL_MULT_EXPR) {
                // Operands and operators alternate; repeated operators associate to the left.
                if (f.next == 0) {
                    f.next = 1;
                    next = idl_child(f.node, 0);
                } else if (f.next + 1 < count) {
                    const ast *op = idl_child(f.node, f.next);
                    f.pending = true;
                    f.op = binary_op(idl_type_of(op));
                    f.op_pos = idl_start_of(op);
                    next = idl_child(f.node, f.next + 1);
                    f.next += 2;
                }
            } else {
                operand(f.node);
            }
            if (next != nullptr) {
                stack.push_back({next, 0, false, expr_fact::op::integer, 0});
            } else {
                stack.pop_back();
            }
        }
        return {begin, static_cast<std::uint32_t>(f_.exprs.size())};
    }

    //--- uses ---//

    check_fact &add(check_fact::what w, std::uint32_t scope, std::uint64_t pos) {
        check_fact &c = f_.checks.emplace_back();
        c.w = w;
        c.scope = scope;
        c.pos = pos;
        return c;
    }

    void annotation(std::uint32_t scope, const ast *appl, anno_place place, std::uint32_t element) {
        const auto first = static_cast<std::uint32_t>(f_.params.size());
        const ast *params = idl_child(appl, 1);
        for (std::size_t i = 0; i < idl_child_count(params); ++i) {
            const ast *p = idl_child(params, i);
            const bool named = idl_type_of(p) == IDL_ANNOTATION_APPL_PARAM;
            const fact_range value = expression(named ? idl_child(p, 1) : p);
            f_.params.push_back(
                {named ? name_of(idl_child(p, 0)) : std::string_view(), value, idl_start_of(p)});
        }
        check_fact &c = add(check_fact::what::annotation, scope, idl_start_of(appl));
        c.name = name_of(idl_child(appl, 0));
        c.flag = idl_anno_is_scoped(appl);
        c.place = place;
        c.element = element;
        c.range = {first, static_cast<std::uint32_t>(f_.params.size())};
    }

    void leading_annotations(std::uint32_t scope, const ast *node, anno_place place,
                             std::uint32_t element) {
        const std::size_t first = idl_first_non_annotation(node);
        for (std::size_t k = 0; k < first; ++k) {
            annotation(scope, idl_child(node, k), place, element);
        }
    }

    // Where annotations go: the kind of element, and which one.
    struct anno_target {
        anno_place place;
        std::uint32_t element;
    };

    void bound(std::uint32_t scope, const ast *node, bound_kind kind, prim_kind prim) {
        if (kind != bound_kind::bitfield && idl_type_of(node) == IDL_POSITIVE_INT_CONST &&
            plainly_positive(text(idl_child(node, 0)))) {
            return; // most bounds are a number written out; nothing to check of them
        }
        const fact_range range = expression(node);
        check_fact &c = add(check_fact::what::bound, scope, idl_start_of(node));
        c.bound = kind;
        c.prim = prim;
        c.range = range;
    }

    // A decimal number from 1 to 999999999: positive, and well within 32 bits.
    static bool plainly_positive(std::string_view text) {
        if (text.empty() || text.size() > 9 || text[0] < '1' || text[0] > '9') {
            return false;
        }
        for (const char c : text) {
            if (c < '0' || c > '9') {
                return false;
            }
        }
        return true;
    }

    // The bounds and dimensions a node of type `type` holds, checked as positive integers.
    void bounds_of(std::uint32_t scope, const ast *n, std::uint64_t type) {
        switch (type) {
        case IDL_BOUNDED_STRING_TYPE:
            bound(scope, idl_child(n, 0), bound_kind::string, prim_kind::none);
            break;
        case IDL_BOUNDED_WIDE_STRING_TYPE:
            bound(scope, idl_child(n, 0), bound_kind::wstring, prim_kind::none);
            break;
        case IDL_BOUNDED_SEQUENCE_TYPE:
            bound(scope, idl_child(n, idl_child_count(n) - 1), bound_kind::sequence,
                  prim_kind::none);
            break;
        case IDL_ARRAY_DECLARATOR:
            for (std::size_t i = 1; i < idl_child_count(n); ++i) {
                if (idl_type_of(idl_child(n, i)) != IDL_ANNOTATION_APPL) {
                    bound(scope, idl_child(n, i), bound_kind::array, prim_kind::none);
                }
            }
            break;
        case IDL_BITFIELD_SPEC: {
            const ast *destination = idl_child(n, 1);
            bound(scope, idl_child(n, 0), bound_kind::bitfield,
                  destination == nullptr ? prim_kind::none
                                         : sema_prim_of(idl_child(destination, 0)));
            break;
        }
        default:
            break;
        }
    }

    // Every name under node: scoped names standing for types where the grammar puts a type,
    // the others as values; annotation applications as annotations of target; bounds and
    // dimensions as bounds. Iterative, so nesting depth costs no native stack.
    void names_below(std::uint32_t scope, const ast *node, std::size_t from,
                     const anno_target &target) {
        // One stack for every walk (a walk never starts another): no allocation per walk.
        std::vector<const ast *> &todo = todo_;
        todo.clear();
        // The top node itself is neither an annotation nor a name: its children from `from`.
        children(scope, node, idl_type_of(node), from, &todo);
        while (!todo.empty()) {
            const ast *n = todo.back();
            todo.pop_back();
            const std::uint64_t type = idl_type_of(n);
            if (type == IDL_ANNOTATION_APPL) {
                annotation(scope, n, target.place, target.element);
                continue;
            }
            bounds_of(scope, n, type);
            children(scope, n, type, 0, &todo);
        }
    }

    void children(std::uint32_t scope, const ast *n, std::uint64_t type, std::size_t from,
                  std::vector<const ast *> *todo) {
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
        leading_annotations(scope, switch_spec, anno_place::discriminator, next_element());
        check_fact &begin = add(check_fact::what::union_begin, scope, idl_start_of(disc));
        begin.name = name;
        begin.flag = idl_type_of(disc) == IDL_SCOPED_NAME;
        begin.node_type = static_cast<std::uint16_t>(idl_type_of(disc));
        begin.prim = sema_prim_of(disc);
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
                const fact_range range =
                    idl_child_count(label) == 1 ? expression(expr) : fact_range{};
                if (idl_child_count(label) == 1 && idl_type_of(expr) == IDL_SCOPED_NAME) {
                    check_fact &l = add(check_fact::what::label_value, scope, idl_start_of(expr));
                    l.text = keep_scoped_name(expr);
                    l.range = range;
                } else {
                    names_below(scope, label, 0, {anno_place::union_member, 0});
                    check_fact &l = add(check_fact::what::label_expr, scope, idl_start_of(expr));
                    l.text = keep(written);
                    l.flag = idl_child_count(label) == 1;
                    l.range = range;
                }
            }
            if (n > 0) {
                const ast *element = idl_child(c, n - 1);
                const std::size_t ef = idl_first_non_annotation(element);
                const anno_target member{anno_place::union_member, next_element()};
                leading_annotations(scope, element, member.place, member.element);
                names_below(scope, element, ef, member);
                const ast *id = idl_child(idl_child(idl_child(element, ef + 1), 0), 0);
                add(check_fact::what::union_member, scope, idl_start_of(id)).name = name_of(id);
            }
        }
        add(check_fact::what::union_end, scope, 0);
    }

    void check_enum(std::uint32_t scope, const ast *node, bool bitmask, std::uint32_t element) {
        const std::size_t first = idl_first_non_annotation(node);
        const std::size_t count = idl_child_count(node);
        // The items of an enumeration with no values given and no annotations have values of
        // their own, 0 up: nothing to check of them. A bitmask's positions meet its bit bound.
        bool plain = !bitmask && first == 0;
        for (std::size_t i = first + 1; plain && i < count; ++i) {
            const ast *value = idl_child(node, i);
            plain = idl_first_non_annotation(value) == 0 && idl_child_count(value) == 1;
        }
        if (plain) {
            return;
        }
        const ast *id = idl_child(node, first);
        check_fact &begin = add(check_fact::what::enum_begin, scope, idl_start_of(id));
        begin.name = name_of(id);
        begin.flag = bitmask;
        begin.element = element;
        for (std::size_t i = first + 1; i < count; ++i) {
            const ast *value = idl_child(node, i);
            const std::size_t k = idl_first_non_annotation(value);
            const anno_target item{bitmask ? anno_place::bit_value : anno_place::enumerator,
                                   next_element()};
            leading_annotations(scope, value, item.place, item.element);
            names_below(scope, value, k + 1, item);
            const ast *given = idl_child(value, k + 1);
            const fact_range range = given == nullptr ? fact_range{} : expression(given);
            const ast *vid = idl_child(value, k);
            check_fact &c = add(check_fact::what::enum_item, scope, idl_start_of(vid));
            c.name = name_of(vid);
            c.element = item.element;
            c.range = range;
        }
    }

    void check_constant(std::uint32_t scope, const ast *node, std::uint32_t element) {
        const std::size_t first = idl_first_non_annotation(node);
        names_below(scope, node, first, {anno_place::constant, element});
        const ast *type = idl_child(idl_child(node, first), 0);
        const ast *id = idl_child(node, first + 1);
        const fact_range range = expression(idl_child(node, first + 2));
        const bool named = idl_type_of(type) == IDL_SCOPED_NAME;
        const fact_text type_name = named ? keep_scoped_name(type) : fact_text{};
        f_.constants.push_back(static_cast<std::uint32_t>(f_.checks.size()));
        check_fact &c = add(check_fact::what::constant, scope, idl_start_of(id));
        c.name = name_of(id);
        c.range = range;
        c.flag = named;
        c.text = type_name;
        c.prim = sema_prim_of(type);
    }

    static anno_place place_of(std::uint64_t type) {
        switch (type) {
        case IDL_STRUCT_DEF:
            return anno_place::structure;
        case IDL_UNION_DEF:
            return anno_place::union_type;
        case IDL_ENUM_DCL:
            return anno_place::enumeration;
        case IDL_BITMASK_DCL:
            return anno_place::bitmask;
        case IDL_BITSET_DCL:
            return anno_place::bitset;
        case IDL_TYPEDEF_DCL:
            return anno_place::alias;
        case IDL_CONST_DCL:
            return anno_place::constant;
        default:
            return anno_place::forward;
        }
    }

    void check_definition(std::uint32_t scope, const ast *node) {
        const std::uint64_t type = idl_type_of(node);
        const std::size_t first = idl_first_non_annotation(node);
        const std::uint32_t element = next_element();
        if (type != IDL_ANNOTATION_DCL) {
            leading_annotations(scope, node, place_of(type), element);
        }
        switch (type) {
        case IDL_STRUCT_DEF:
        case IDL_BITSET_DCL: {
            const bool bitset = type == IDL_BITSET_DCL;
            check_fact &c = add(check_fact::what::members, scope, 0);
            c.name = name_of(idl_child(node, first));
            c.flag = bitset;
            c.fact = members_of(node);
            const std::uint64_t part = bitset ? IDL_BITFIELD : IDL_MEMBER;
            const anno_place place = bitset ? anno_place::bitfield : anno_place::struct_member;
            for (std::size_t i = first + 1; i < idl_child_count(node); ++i) {
                if (idl_type_of(idl_child(node, i)) == part) {
                    names_below(scope, idl_child(node, i), 0, {place, next_element()});
                }
            }
            break;
        }
        case IDL_UNION_DEF:
            check_union(scope, node, name_of(idl_child(node, first)));
            break;
        case IDL_ENUM_DCL:
        case IDL_BITMASK_DCL:
            check_enum(scope, node, type == IDL_BITMASK_DCL, element);
            break;
        case IDL_TYPEDEF_DCL: {
            const ast *declared = idl_child(node, first);
            const std::uint64_t dt = idl_type_of(declared);
            const anno_target alias{anno_place::alias, element};
            if (dt == IDL_STRUCT_DEF || dt == IDL_UNION_DEF || dt == IDL_ENUM_DCL ||
                dt == IDL_BITSET_DCL || dt == IDL_BITMASK_DCL) {
                check_definition(scope, declared);
                names_below(scope, idl_child(node, first + 1), 0, alias);
            } else {
                names_below(scope, node, first, alias);
            }
            break;
        }
        case IDL_CONST_DCL:
            check_constant(scope, node, element);
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
    std::vector<expr_frame> expr_stack_;
    std::uint32_t elements_ = 0;
};

} // namespace

void sema_collect(const idl_unit *unit, sema_facts *facts) {
    facts->unit = unit;
    if (unit->tree != nullptr) {
        collector(unit, facts).walk();
    }
    // The facts of every file wait for the whole model: they keep no room to grow.
    facts->checks.shrink_to_fit();
    facts->exprs.shrink_to_fit();
    facts->decls.shrink_to_fit();
    facts->strings.shrink_to_fit();
}

std::string_view sema_facts::literal(const expr_fact &e) const {
    const std::string_view all = unit->src.text;
    return e.pos <= all.size() ? all.substr(e.pos, e.length) : std::string_view();
}

void sema_name_hasher::add(std::string_view text) {
    // Eight bytes at a time where the text is aligned on a word, each letter folded to lower
    // case by its 0x20 bit; the same text gives the same hash however it is cut in pieces.
    std::size_t i = 0;
    while (i < text.size()) {
        if (size_ % 8 == 0 && text.size() - i >= 8) {
            std::uint64_t w = 0;
            std::memcpy(&w, text.data() + i, 8);
            h_ = (h_ ^ (w | fold_bits)) * 0xff51afd7ed558ccdu;
            h_ ^= h_ >> 29;
            i += 8;
            size_ += 8;
            continue;
        }
        word_ |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[i]) | 0x20u)
                 << (8 * (size_ % 8));
        ++i;
        if (++size_ % 8 == 0) {
            h_ = (h_ ^ word_) * 0xff51afd7ed558ccdu;
            h_ ^= h_ >> 29;
            word_ = 0;
        }
    }
}

std::size_t sema_name_hasher::value() const {
    std::uint64_t h = (h_ ^ word_ ^ (size_ * 0x9e3779b97f4a7c15u)) * 0xc4ceb9fe1a85ec53u;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

std::size_t sema_name_hash(std::string_view name) {
    sema_name_hasher h;
    h.add(name);
    return h.value();
}

bool sema_same_folded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
        const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

prim_kind sema_prim_of(const ast *type_node) {
    switch (idl_type_of(type_node)) {
    case IDL_INTEGER_TYPE:
        switch (idl_type_of(idl_child(type_node, 0))) {
        case IDL_SIGNED_TINY_INT:
            return prim_kind::int8;
        case IDL_SIGNED_SHORT_INT:
            return prim_kind::int16;
        case IDL_SIGNED_LONG_INT:
            return prim_kind::int32;
        case IDL_SIGNED_LONGLONG_INT:
            return prim_kind::int64;
        case IDL_UNSIGNED_TINY_INT:
            return prim_kind::uint8;
        case IDL_UNSIGNED_SHORT_INT:
            return prim_kind::uint16;
        case IDL_UNSIGNED_LONG_INT:
            return prim_kind::uint32;
        default:
            return prim_kind::uint64;
        }
    case IDL_FLOATING_PT_TYPE:
        switch (idl_type_of(idl_child(type_node, 0))) {
        case IDL_FLOAT_POINT:
            return prim_kind::float32;
        case IDL_DOUBLE_POINT:
            return prim_kind::float64;
        default:
            return prim_kind::float128;
        }
    case IDL_CHAR_TYPE:
        return prim_kind::char8;
    case IDL_WIDE_CHAR_TYPE:
        return prim_kind::char16;
    case IDL_BOOLEAN_TYPE:
        return prim_kind::boolean;
    case IDL_OCTET_TYPE:
        return prim_kind::octet;
    case IDL_BOUNDED_STRING_TYPE:
    case IDL_UNBOUNDED_STRING_TYPE:
        return prim_kind::string;
    case IDL_BOUNDED_WIDE_STRING_TYPE:
    case IDL_UNBOUNDED_WIDE_STRING_TYPE:
        return prim_kind::wstring;
    case IDL_FIXED_PT_TYPE:
    case IDL_FIXED_PT_CONST_TYPE:
        return prim_kind::fixed;
    default:
        return prim_kind::none;
    }
}
