// What the parameters of an annotation application become: attribute names and canonical values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct xmltree;
struct idl_source;

/// True when the named parameter param of annotation is its one value parameter, written as
/// the positional form would be (`@id(value=5)` as `@id(5)`): `value` of a built-in annotation.
[[nodiscard]] bool idl_anno_is_value_param(std::string_view annotation, std::string_view param);
/// The value an attribute gets: the booleans of `key`, `optional`, `external`, `nested`,
/// `must_understand`, `default_nested` as `true`/`false` and `extensibility` as `final`,
/// `appendable`, `mutable`, whatever the case they were written in; any other value unchanged.
[[nodiscard]] std::string idl_anno_canonical_value(std::string_view attribute,
                                                   std::string_view value);
/// True for the attributes that describe a declaration's type or name (`name`, `type`,
/// `nonBasicTypeName`, `stringMaxLength`, `sequenceMaxLength`, `arrayDimensions`, `baseType`).
[[nodiscard]] bool idl_anno_is_type_attribute(std::string_view attribute);
/// Sets attribute = value (made canonical) on element for a parameter of annotation at pos; a
/// type attribute is not set but dropped with a warning. False only when the assignment fails
/// (logged).
[[nodiscard]] bool idl_anno_set_param(const idl_source &src, xmltree *element,
                                      std::string_view annotation, std::string_view attribute,
                                      std::string_view value, std::uint64_t pos);
/// True for the standard annotations that no DDS-XML attribute carries whatever their
/// parameters (`@verbatim`, `@service`, `@oneway`, `@ami`, `@topic`, `@data_representation`).
[[nodiscard]] bool idl_anno_has_no_form(std::string_view annotation);
/// Warns, naming it, and returns true when annotation (applied at pos, with parameters or not)
/// is dropped: one with no DDS-XML form (when src drops those), or, without parameters, a
/// built-in one that changes the type but has no DDS-XML attribute (`@hashid`, ...).
bool idl_anno_report_dropped(const idl_source &src, std::string_view annotation, bool with_params,
                             std::uint64_t pos);
