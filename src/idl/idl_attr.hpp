// Attributes and elements of the document as the visitors add them: values checked for what XML
// can carry, failures reported once.
#pragma once

#include <cstdint>
#include <string_view>

struct xmltree;
struct idl_source;

/// Adds child `tag` (a literal) to parent; null after logging "Failed to generate XML" (or,
/// when memory ran out, after the tree's own report, noted in src.out_of_memory).
[[nodiscard]] xmltree *idl_add_element(const idl_source &src, xmltree *parent, const char *tag);
/// Sets attribute name = value on element (the tree owns copies of both). A value XML 1.0
/// cannot carry is refused with a message naming the file and line of pos. False when refused or
/// when the assignment fails (logged "Failed to generate XML"; out of memory as for
/// idl_add_element).
[[nodiscard]] bool idl_set_attr(const idl_source &src, xmltree *element, std::string_view name,
                                std::string_view value, std::uint64_t pos);
/// True when text holds only characters XML 1.0 allows (well-formed UTF-8, no control
/// characters but tab, LF and CR, no U+FFFE or U+FFFF).
[[nodiscard]] bool idl_xml_text_ok(std::string_view text);
