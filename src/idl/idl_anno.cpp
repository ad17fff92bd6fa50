// What the parameters of an annotation application become: attribute names and canonical values.
#include "idl/idl_anno.hpp"

#include "base/diag.hpp"
#include "idl/idl_node.hpp"

#include <algorithm>

namespace {

// Built-in annotations whose one parameter is named `value`.
constexpr std::string_view value_annotations[] = {
    "id",
    "autoid",
    "optional",
    "position",
    "value",
    "extensibility",
    "key",
    "default",
    "min",
    "max",
    "unit",
    "bit_bound",
    "external",
    "nested",
    "hashid",
    "must_understand",
    "default_nested",
};

constexpr std::string_view boolean_attributes[] = {
    "key", "optional", "external", "nested", "must_understand", "default_nested",
};

constexpr std::string_view extensibility_kinds[] = {"final", "appendable", "mutable"};

constexpr std::string_view type_attributes[] = {
    "name",
    "type",
    "nonBasicTypeName",
    "stringMaxLength",
    "sequenceMaxLength",
    "arrayDimensions",
    "baseType",
};

// Built-in annotations that change the type but that no DDS-XML attribute carries.
constexpr std::string_view unwritten_annotations[] = {
    "hashid",         "must_understand",      "default_literal", "default_nested",
    "non_serialized", "ignore_literal_names", "try_construct",
};

// Standard annotations for interfaces, code generators and topics: nothing of a DDS-XML types
// document stands for them.
constexpr std::string_view formless_annotations[] = {
    "verbatim", "service", "oneway", "ami", "topic", "data_representation",
};

template <std::size_t N> bool listed(const std::string_view (&list)[N], std::string_view name) {
    return std::find(std::begin(list), std::end(list), name) != std::end(list);
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (x != b[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

bool idl_anno_is_value_param(std::string_view annotation, std::string_view param) {
    return param == "value" && listed(value_annotations, annotation);
}

std::string idl_anno_canonical_value(std::string_view attribute, std::string_view value) {
    if (listed(boolean_attributes, attribute)) {
        for (std::string_view word : {std::string_view("true"), std::string_view("false")}) {
            if (same_ignoring_case(value, word)) {
                return std::string(word);
            }
        }
    } else if (attribute == "extensibility") {
        for (std::string_view kind : extensibility_kinds) {
            if (same_ignoring_case(value, kind)) {
                return std::string(kind);
            }
        }
    }
    return std::string(value);
}

bool idl_anno_is_type_attribute(std::string_view attribute) {
    return listed(type_attributes, attribute);
}

bool idl_anno_set_param(const idl_source &src, xmltree *element, std::string_view annotation,
                        std::string_view attribute, std::string_view value, std::uint64_t pos) {
    if (idl_anno_is_type_attribute(attribute)) {
        // The type attributes come from the declaration alone: an annotation setting one would
        // silently turn the declaration into another type.
        idl_report(src, DIAG_W_DROPPED_ANNOTATION, pos, "Annotation parameter dropped",
                   "'" + std::string(attribute) + "' of @" + std::string(annotation) +
                       " would set a type attribute");
        return true;
    }
    return idl_set_attr(src, element, attribute, idl_anno_canonical_value(attribute, value), pos);
}

bool idl_anno_has_no_form(std::string_view annotation) {
    return listed(formless_annotations, annotation);
}

bool idl_anno_report_dropped(const idl_source &src, std::string_view annotation, bool with_params,
                             std::uint64_t pos) {
    const bool formless = src.drop_formless_annotations && idl_anno_has_no_form(annotation);
    if (!formless && (with_params || !listed(unwritten_annotations, annotation))) {
        return false;
    }
    idl_report(src, DIAG_W_DROPPED_ANNOTATION, pos, "Annotation dropped",
               "@" + std::string(annotation) + " has no DDS-XML attribute");
    return true;
}
