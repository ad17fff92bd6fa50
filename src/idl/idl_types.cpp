// Type references: the DDS-XML type attributes of members, typedefs, constants and bitfields.
#include "idl/idl_types.hpp"

#include "base/glog.hpp"
#include "grammars/idl_parser.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_struct.hpp"

namespace {

bool is_sequence(std::uint64_t type) {
    return type == IDL_BOUNDED_SEQUENCE_TYPE || type == IDL_UNBOUNDED_SEQUENCE_TYPE;
}

// The innermost element type node of a (possibly nested) sequence node.
const ast *innermost_element(const ast *seq) {
    const ast *type_node = seq;
    while (is_sequence(idl_type_of(type_node))) {
        const ast *type_spec = idl_child(type_node, idl_first_non_annotation(type_node));
        type_node = idl_child(type_spec, 0);
    }
    return type_node;
}

// The element type node of a sequence node.
const ast *element_type_of(const ast *seq) {
    return idl_child(idl_child(seq, idl_first_non_annotation(seq)), 0);
}

void log_unnamed_type(const ast *type_node, const idl_source &src) {
    // A map is a known construct of the language that the vocabulary cannot express.
    idl_report(src, DIAG_ERROR, idl_start_of(type_node),
               std::string("Type '") + idl_construct_name(type_node) + "' has no DDS-XML type name",
               idl_type_of(type_node) == IDL_MAP_TYPE ? "map types have no DDS-XML form" : "");
}

} // namespace

const char *idl_integer_type_name(const ast *integer_type) {
    if (idl_type_of(integer_type) != IDL_INTEGER_TYPE) {
        return nullptr;
    }
    // The vocabulary has no 8-bit names: int8 and uint8 widen to the 16-bit kinds.
    switch (idl_type_of(idl_child(integer_type, 0))) {
    case IDL_SIGNED_TINY_INT:
    case IDL_SIGNED_SHORT_INT:
        return "int16";
    case IDL_SIGNED_LONG_INT:
        return "int32";
    case IDL_SIGNED_LONGLONG_INT:
        return "int64";
    case IDL_UNSIGNED_TINY_INT:
    case IDL_UNSIGNED_SHORT_INT:
        return "uint16";
    case IDL_UNSIGNED_LONG_INT:
        return "uint32";
    case IDL_UNSIGNED_LONGLONG_INT:
        return "uint64";
    default:
        return nullptr;
    }
}

const char *idl_type_name(const ast *type_node) {
    switch (idl_type_of(type_node)) {
    case IDL_INTEGER_TYPE:
        return idl_integer_type_name(type_node);
    case IDL_FLOATING_PT_TYPE:
        switch (idl_type_of(idl_child(type_node, 0))) {
        case IDL_FLOAT_POINT:
            return "float32";
        case IDL_DOUBLE_POINT:
            return "float64";
        case IDL_LONGDOUBLE_POINT:
            return "float128";
        default:
            return nullptr;
        }
    case IDL_CHAR_TYPE:
        return "char8";
    case IDL_WIDE_CHAR_TYPE:
        return "char16";
    case IDL_BOOLEAN_TYPE:
        return "boolean";
    case IDL_OCTET_TYPE:
        return "byte";
    case IDL_BOUNDED_STRING_TYPE:
    case IDL_UNBOUNDED_STRING_TYPE:
        return "string";
    case IDL_BOUNDED_WIDE_STRING_TYPE:
    case IDL_UNBOUNDED_WIDE_STRING_TYPE:
        return "wstring";
    case IDL_SCOPED_NAME:
        return "nonBasic";
    default:
        return nullptr;
    }
}

const char *idl_construct_name(const ast *type_node) {
    switch (idl_type_of(type_node)) {
    case IDL_MAP_TYPE:
        return "map";
    case IDL_FIXED_PT_TYPE:
    case IDL_FIXED_PT_CONST_TYPE:
        return "fixed";
    case IDL_FLOATING_PT_TYPE:
        switch (idl_type_of(idl_child(type_node, 0))) {
        case IDL_FLOAT_POINT:
            return "float";
        case IDL_DOUBLE_POINT:
            return "double";
        default:
            return "long double";
        }
    case IDL_BOUNDED_STRING_TYPE:
    case IDL_UNBOUNDED_STRING_TYPE:
        return "string";
    case IDL_BOUNDED_WIDE_STRING_TYPE:
    case IDL_UNBOUNDED_WIDE_STRING_TYPE:
        return "wstring";
    case IDL_STRUCT_DEF:
    case IDL_STRUCT_FORWARD_DCL:
        return "struct";
    case IDL_UNION_DEF:
    case IDL_UNION_FORWARD_DCL:
        return "union";
    case IDL_ENUM_DCL:
        return "enum";
    case IDL_BITSET_DCL:
        return "bitset";
    case IDL_BITMASK_DCL:
        return "bitmask";
    case IDL_NATIVE_DCL:
        return "native";
    default:
        return "unknown";
    }
}

const char *idl_visit_sequence_type(const ast *seq, const idl_source &src, xmltree *element) {
    if (!idl_apply_annotations(seq, src, element)) {
        return nullptr;
    }
    const ast *type_node = element_type_of(seq);
    if (is_sequence(idl_type_of(type_node))) {
        // One element carries one sequence bound: the inner sequence's bound would be lost and
        // the element would describe a sequence of the innermost type instead.
        idl_report(src, DIAG_ERROR, idl_start_of(type_node),
                   "Anonymous sequence of sequences has no DDS-XML form",
                   "declare the inner sequence with a typedef and use its name");
        return nullptr;
    }
    const char *name = idl_type_name(type_node);
    if (name == nullptr) {
        log_unnamed_type(type_node, src);
    }
    return name;
}

const char *idl_visit_type_spec(const ast *node, const idl_source &src, xmltree *element) {
    const ast *type_node = idl_child(node, 0);
    if (is_sequence(idl_type_of(type_node))) {
        return idl_visit_sequence_type(type_node, src, element);
    }
    const char *name = idl_type_name(type_node);
    if (name == nullptr) {
        log_unnamed_type(type_node, src);
    }
    return name;
}

bool idl_visit_sequence(const ast *node, const idl_source &src, xmltree *element) {
    const ast *seq = idl_child(node, 0);
    const std::uint64_t type = idl_type_of(seq);
    if (type == IDL_UNBOUNDED_SEQUENCE_TYPE) {
        return idl_set_attr(src, element, "sequenceMaxLength", "-1", idl_start_of(seq));
    }
    if (type != IDL_BOUNDED_SEQUENCE_TYPE) {
        return true;
    }
    const ast *bound = idl_child(seq, idl_first_non_annotation(seq) + 1);
    std::string room;
    return idl_set_attr(src, element, "sequenceMaxLength",
                        idl_unescaped_expression(idl_text_of(src, bound), &room),
                        idl_start_of(bound));
}

bool idl_visit_bounded_string(const ast *node, const idl_source &src, xmltree *element) {
    const ast *str = idl_child(node, 0);
    if (is_sequence(idl_type_of(str))) {
        str = element_type_of(str); // the bound of the strings a sequence holds
    }
    const std::uint64_t type = idl_type_of(str);
    if (type != IDL_BOUNDED_STRING_TYPE && type != IDL_BOUNDED_WIDE_STRING_TYPE) {
        return true;
    }
    const ast *bound = idl_child(str, idl_first_non_annotation(str));
    std::string room;
    return idl_set_attr(src, element, "stringMaxLength",
                        idl_unescaped_expression(idl_text_of(src, bound), &room),
                        idl_start_of(bound));
}

std::string idl_visit_scoped_name(const ast *x, const idl_source &src) {
    const ast *type_node = innermost_element(x);
    if (idl_type_of(type_node) != IDL_SCOPED_NAME) {
        return {};
    }
    return idl_scoped_name_text(src, type_node);
}

const ast *idl_declarator_identifier(const ast *declarator) {
    const ast *inner = idl_child(declarator, 0);
    const std::uint64_t type = idl_type_of(inner);
    if (type != IDL_ARRAY_DECLARATOR && type != IDL_SIMPLE_DECLARATOR) {
        return nullptr;
    }
    return idl_child(inner, 0);
}

bool idl_visit_array_declarator(const ast *declarator, const idl_source &src, xmltree *element) {
    const ast *array = idl_child(declarator, 0);
    if (idl_type_of(array) != IDL_ARRAY_DECLARATOR) {
        return true;
    }
    const std::size_t count = idl_child_count(array);
    std::size_t i = 1;
    for (; i < count && idl_type_of(idl_child(array, i)) == IDL_ANNOTATION_APPL; ++i) {
        if (!idl_visit_anno_appl(idl_child(array, i), src, element)) {
            return false;
        }
    }
    std::string dimensions;
    for (std::size_t first = i; i < count; ++i) {
        if (i != first) {
            dimensions += ", ";
        }
        std::string room;
        dimensions += idl_unescaped_expression(idl_text_of(src, idl_child(array, i)), &room);
    }
    return idl_set_attr(src, element, "arrayDimensions", dimensions, idl_start_of(array));
}
