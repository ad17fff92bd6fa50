// Enumerations, bitmasks and bitsets.
#include "idl/idl_enum.hpp"

#include "grammars/idl_parser.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_struct.hpp"
#include "idl/idl_types.hpp"

namespace {

// Adds `tag` with its leading annotations and the `name` of its first other child.
xmltree *add_named(const ast *node, const idl_source &src, xmltree *parent, const char *tag,
                   std::size_t *next) {
    xmltree *element = idl_add_element(src, parent, tag);
    if (element == nullptr || !idl_apply_annotations(node, src, element)) {
        return nullptr;
    }
    const std::size_t i = idl_first_non_annotation(node);
    const ast *id = idl_child(node, i);
    if (!idl_set_attr(src, element, "name", idl_identifier_text(src, id), idl_start_of(id))) {
        return nullptr;
    }
    *next = i + 1;
    return element;
}

// DDS-XML name of a bitfield's destination type node.
const char *destination_type_name(const ast *destination) {
    const ast *type_node = idl_child(destination, 0);
    switch (idl_type_of(type_node)) {
    case IDL_BOOLEAN_TYPE:
    case IDL_OCTET_TYPE:
    case IDL_INTEGER_TYPE:
        return idl_type_name(type_node);
    default:
        return nullptr;
    }
}

} // namespace

bool idl_visit_enum_dcl(const ast *node, const idl_source &src, xmltree *parent) {
    std::size_t i = 0;
    xmltree *element = add_named(node, src, parent, "enum", &i);
    if (element == nullptr) {
        return false;
    }
    const std::size_t count = idl_child_count(node);
    for (; i < count; ++i) {
        const ast *enumerator = idl_child(node, i);
        std::size_t v = 0;
        xmltree *literal = add_named(enumerator, src, element, "enumerator", &v);
        if (literal == nullptr) {
            return false;
        }
        const ast *value = idl_child(enumerator, v);
        std::string room;
        if (value != nullptr &&
            !idl_set_attr(src, literal, "value",
                          idl_unescaped_expression(idl_text_of(src, value), &room),
                          idl_start_of(value))) {
            return false;
        }
    }
    return true;
}

bool idl_visit_bitmask_dcl(const ast *node, const idl_source &src, xmltree *parent) {
    std::size_t i = 0;
    xmltree *element = add_named(node, src, parent, "bitmask", &i);
    if (element == nullptr) {
        return false;
    }
    const std::size_t count = idl_child_count(node);
    for (; i < count; ++i) {
        std::size_t unused = 0;
        if (add_named(idl_child(node, i), src, element, "bit_value", &unused) == nullptr) {
            return false;
        }
    }
    return true;
}

bool idl_visit_bitset_dcl(const ast *node, const idl_source &src, xmltree *parent) {
    xmltree *element = idl_add_element(src, parent, "bitset");
    const std::size_t first = idl_first_non_annotation(node);
    const ast *id = idl_child(node, first);
    if (element == nullptr || !idl_apply_annotations(node, src, element) ||
        !idl_set_attr(src, element, "name", idl_identifier_text(src, id), idl_start_of(id))) {
        return false;
    }
    std::size_t i = first + 1;
    const ast *base = idl_child(node, first + 1);
    if (idl_type_of(base) == IDL_INHERIT_DCL) {
        const ast *base_name = idl_child(base, 0);
        if (!idl_set_attr(src, element, "baseType", idl_scoped_name_text(src, base_name),
                          idl_start_of(base_name))) {
            return false;
        }
        i = first + 2;
    }
    const std::size_t count = idl_child_count(node);
    for (; i < count; ++i) {
        if (!idl_visit_bitfield(idl_child(node, i), src, element)) {
            return false;
        }
    }
    return true;
}

bool idl_visit_bitfield(const ast *node, const idl_source &src, xmltree *bitset) {
    const std::size_t first = idl_first_non_annotation(node);
    const ast *spec = idl_child(node, first);
    const ast *width = idl_child(spec, 0);
    const ast *destination = idl_child(spec, 1);
    const char *type = destination == nullptr ? nullptr : destination_type_name(destination);
    const std::size_t count = idl_child_count(node);
    // One element per name; an anonymous field still takes its bits (padding).
    const std::size_t names = count > first + 1 ? count - first - 1 : 1;
    for (std::size_t n = 0; n < names; ++n) {
        xmltree *element = idl_add_element(src, bitset, "bitfield");
        if (element == nullptr || !idl_apply_annotations(node, src, element)) {
            return false;
        }
        const ast *id = idl_child(node, first + 1 + n);
        if (id != nullptr &&
            !idl_set_attr(src, element, "name", idl_identifier_text(src, id), idl_start_of(id))) {
            return false;
        }
        std::string room;
        if (!idl_set_attr(src, element, "bit_bound",
                          idl_unescaped_expression(idl_text_of(src, width), &room),
                          idl_start_of(width)) ||
            (type != nullptr &&
             !idl_set_attr(src, element, "type", type, idl_start_of(destination)))) {
            return false;
        }
    }
    return true;
}
