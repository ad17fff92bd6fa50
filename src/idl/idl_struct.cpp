// Structures, their members and annotation applications.
#include "idl/idl_struct.hpp"

#include "grammars/idl_parser.hpp"
#include "idl/idl_anno.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_types.hpp"

#include <string_view>

namespace {

// Annotations without parameters that mean something on their own.
struct flag_annotation {
    std::string_view name;
    const char *attribute;
    const char *value;
};

constexpr flag_annotation flag_annotations[] = {
    {"external", "external", "true"},
    {"key", "key", "true"},
    {"nested", "nested", "true"},
    {"optional", "optional", "true"},
    {"final", "extensibility", "final"},
    {"appendable", "extensibility", "appendable"},
    {"mutable", "extensibility", "mutable"},
    {"autoid", "autoid", "hash"},
};

} // namespace

bool idl_visit_anno_appl(const ast *node, const idl_source &src, xmltree *element) {
    const std::string_view name = idl_identifier_text(src, idl_child(node, 0));
    const ast *params = idl_child(node, 1);
    if (!idl_anno_is_scoped(node) &&
        idl_anno_report_dropped(src, name, params != nullptr, idl_start_of(node))) {
        return true;
    }
    if (params == nullptr) {
        for (const flag_annotation &flag : flag_annotations) {
            if (flag.name == name) {
                return idl_set_attr(src, element, flag.attribute, flag.value, idl_start_of(node));
            }
        }
        return true; // an annotation that means nothing here is dropped
    }
    const auto stripped = src.keep_value_blanks ? idl_blank_trimmed : idl_blank_stripped;
    const std::size_t count = idl_child_count(params);
    for (std::size_t i = 0; i < count; ++i) {
        const ast *param = idl_child(params, i);
        bool ok = false;
        if (idl_type_of(param) == IDL_ANNOTATION_APPL_PARAM) {
            const std::string_view key = idl_identifier_text(src, idl_child(param, 0));
            std::string room;
            const std::string_view value =
                idl_unescaped_expression(idl_text_of(src, idl_child(param, 1)), &room);
            ok = idl_anno_is_value_param(name, key)
                     ? idl_anno_set_param(src, element, name, name, stripped(value),
                                          idl_start_of(param))
                     : idl_anno_set_param(src, element, name, key, value, idl_start_of(param));
        } else {
            std::string room;
            ok = idl_anno_set_param(
                src, element, name, name,
                stripped(idl_unescaped_expression(idl_text_of(src, param), &room)),
                idl_start_of(param));
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool idl_apply_annotations(const ast *node, const idl_source &src, xmltree *element) {
    const std::size_t first = idl_first_non_annotation(node);
    for (std::size_t i = 0; i < first; ++i) {
        if (!idl_visit_anno_appl(idl_child(node, i), src, element)) {
            return false;
        }
    }
    return true;
}

bool idl_set_member_type(const ast *type_bearing, const idl_source &src, xmltree *element) {
    const char *type = idl_visit_type_spec(type_bearing, src, element);
    if (type == nullptr) {
        return false;
    }
    const std::uint64_t pos = idl_start_of(type_bearing);
    if (std::string_view(type) == "nonBasic" &&
        !idl_set_attr(src, element, "nonBasicTypeName",
                      idl_visit_scoped_name(idl_child(type_bearing, 0), src), pos)) {
        return false;
    }
    return idl_set_attr(src, element, "type", type, pos) &&
           idl_visit_bounded_string(type_bearing, src, element) &&
           idl_visit_sequence(type_bearing, src, element);
}

bool idl_visit_member(const ast *node, const idl_source &src, xmltree *parent) {
    const std::size_t t = idl_first_non_annotation(node);
    const ast *type_spec = idl_child(node, t);
    const ast *list = idl_child(node, t + 1);
    // A structure member holds a `declarators` list; a union branch holds one `declarator`.
    const bool single = idl_type_of(list) == IDL_DECLARATOR;
    const std::size_t count = single ? 1 : idl_child_count(list);
    for (std::size_t d = 0; d < count; ++d) {
        const ast *declarator = single ? list : idl_child(list, d);
        xmltree *member = idl_add_element(src, parent, "member");
        if (member == nullptr) {
            return false;
        }
        // A key named by a pragma is written as `@key` before the member would be.
        if (!src.pragma_keys.empty() && src.pragma_keys.count(declarator) != 0 &&
            !idl_set_attr(src, member, "key", "true", idl_start_of(declarator))) {
            return false;
        }
        if (!idl_apply_annotations(node, src, member)) {
            return false;
        }
        const ast *id = idl_declarator_identifier(declarator);
        if (!idl_set_attr(src, member, "name", idl_identifier_text(src, id), idl_start_of(id)) ||
            !idl_set_member_type(type_spec, src, member) ||
            !idl_visit_array_declarator(declarator, src, member)) {
            return false;
        }
    }
    return true;
}

bool idl_visit_struct_def(const ast *node, const idl_source &src, xmltree *parent) {
    xmltree *element = idl_add_element(src, parent, "struct");
    if (element == nullptr || !idl_apply_annotations(node, src, element)) {
        return false;
    }
    std::size_t i = idl_first_non_annotation(node);
    const ast *id = idl_child(node, i);
    if (!idl_set_attr(src, element, "name", idl_identifier_text(src, id), idl_start_of(id))) {
        return false;
    }
    ++i;
    const ast *base = idl_child(node, i);
    if (idl_type_of(base) == IDL_INHERIT_DCL) {
        const ast *base_name = idl_child(base, 0);
        if (!idl_set_attr(src, element, "baseType", idl_scoped_name_text(src, base_name),
                          idl_start_of(base_name))) {
            return false;
        }
        ++i;
    }
    const std::size_t count = idl_child_count(node);
    for (; i < count; ++i) {
        if (!idl_visit_member(idl_child(node, i), src, element)) {
            return false;
        }
    }
    return true;
}
