// Discriminated unions.
#include "idl/idl_union.hpp"

#include "base/glog.hpp"
#include "grammars/idl_parser.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_struct.hpp"
#include "idl/idl_types.hpp"

#include <string>

namespace {

// DDS-XML name of a discriminator type node; floating, fixed and string kinds have none.
const char *discriminator_type_name(const ast *type_node) {
    switch (idl_type_of(type_node)) {
    case IDL_INTEGER_TYPE:
    case IDL_CHAR_TYPE:
    case IDL_WIDE_CHAR_TYPE:
    case IDL_BOOLEAN_TYPE:
    case IDL_OCTET_TYPE:
    case IDL_SCOPED_NAME:
        return idl_type_name(type_node);
    default:
        return nullptr;
    }
}

bool visit_discriminator(const ast *switch_type, const idl_source &src, xmltree *union_element) {
    const ast *type_node = idl_child(switch_type, idl_first_non_annotation(switch_type));
    const char *type = discriminator_type_name(type_node);
    if (type == nullptr) {
        idl_report(src, DIAG_ERROR, idl_start_of(type_node),
                   std::string("Union discriminator type '") + idl_construct_name(type_node) +
                       "' has no DDS-XML type name",
                   "");
        return false;
    }
    xmltree *element = idl_add_element(src, union_element, "discriminator");
    const std::uint64_t pos = idl_start_of(type_node);
    if (element == nullptr || !idl_apply_annotations(switch_type, src, element) ||
        !idl_set_attr(src, element, "type", type, pos)) {
        return false;
    }
    return std::string_view(type) != "nonBasic" ||
           idl_set_attr(src, element, "nonBasicTypeName", idl_scoped_name_text(src, type_node),
                        pos);
}

bool visit_case(const ast *node, const idl_source &src, xmltree *union_element) {
    xmltree *element = idl_add_element(src, union_element, "case");
    if (element == nullptr) {
        return false;
    }
    const std::size_t count = idl_child_count(node);
    std::size_t i = 0;
    for (; i < count && idl_type_of(idl_child(node, i)) == IDL_CASE_LABEL; ++i) {
        const ast *label = idl_child(node, i);
        xmltree *discriminator = idl_add_element(src, element, "caseDiscriminator");
        if (discriminator == nullptr) {
            return false;
        }
        const ast *expr = idl_child(label, 0);
        // Blanks inside an expression go (`- 1` is `-1`); literals such as ' ' stay whole.
        const std::string written =
            expr == nullptr ? std::string("default")
                            : idl_blank_stripped_outside_literals(idl_text_of(src, expr));
        std::string room;
        const std::string_view value = idl_unescaped_expression(written, &room);
        if (!idl_set_attr(src, discriminator, "value", value, idl_start_of(label))) {
            return false;
        }
    }
    for (; i < count; ++i) {
        if (!idl_visit_member(idl_child(node, i), src, element)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool idl_visit_union_def(const ast *node, const idl_source &src, xmltree *parent) {
    const std::size_t i = idl_first_non_annotation(node);
    const ast *switch_type = idl_child(node, i + 1);
    xmltree *element = idl_add_element(src, parent, "union");
    if (element == nullptr || !idl_apply_annotations(node, src, element)) {
        return false;
    }
    const ast *id = idl_child(node, i);
    if (!idl_set_attr(src, element, "name", idl_identifier_text(src, id), idl_start_of(id)) ||
        !visit_discriminator(switch_type, src, element)) {
        return false;
    }
    const ast *body = idl_child(node, i + 2);
    const std::size_t count = idl_child_count(body);
    for (std::size_t c = 0; c < count; ++c) {
        if (!visit_case(idl_child(body, c), src, element)) {
            return false;
        }
    }
    return true;
}
