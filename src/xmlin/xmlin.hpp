// Reading DDS-XML types documents: a streaming XML reader turns each document into a compact
// model of its declarations, refusing what the vocabulary does not allow at file:line:col.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

/// The elements of the vocabulary that the model keeps (`dds` and `types` only frame them).
enum xmlin_kind : std::uint8_t {
    XMLIN_INCLUDE,
    XMLIN_MODULE,
    XMLIN_STRUCT,
    XMLIN_UNION,
    XMLIN_DISCRIMINATOR,
    XMLIN_CASE,
    XMLIN_CASE_DISCRIMINATOR,
    XMLIN_MEMBER,
    XMLIN_ENUM,
    XMLIN_ENUMERATOR,
    XMLIN_BITMASK,
    XMLIN_BIT_VALUE,
    XMLIN_BITSET,
    XMLIN_BITFIELD,
    XMLIN_TYPEDEF,
    XMLIN_CONST,
    XMLIN_KIND_COUNT,
};

/// Attribute names with a meaning of their own; every other name is an annotation's parameter
/// and is numbered from XMLIN_ATTR_KNOWN on, per document.
enum xmlin_attr_name : std::uint32_t {
    XMLIN_ATTR_NAME,
    XMLIN_ATTR_TYPE,
    XMLIN_ATTR_NON_BASIC_TYPE_NAME,
    XMLIN_ATTR_STRING_MAX_LENGTH,
    XMLIN_ATTR_SEQUENCE_MAX_LENGTH,
    XMLIN_ATTR_ARRAY_DIMENSIONS,
    XMLIN_ATTR_BASE_TYPE,
    XMLIN_ATTR_VALUE,
    XMLIN_ATTR_FILE,
    XMLIN_ATTR_BIT_BOUND,
    XMLIN_ATTR_KEY,
    XMLIN_ATTR_OPTIONAL,
    XMLIN_ATTR_EXTERNAL,
    XMLIN_ATTR_NESTED,
    XMLIN_ATTR_MUST_UNDERSTAND,
    XMLIN_ATTR_DEFAULT_NESTED,
    XMLIN_ATTR_EXTENSIBILITY,
    XMLIN_ATTR_ID,
    XMLIN_ATTR_POSITION,
    XMLIN_ATTR_AUTOID,
    XMLIN_ATTR_KNOWN,
};

/// One attribute, in the order the document gives them. Places count from 1.
struct xmlin_attr {
    std::uint32_t name = 0;     ///< an xmlin_attr_name, or an index into the document's names
    std::uint32_t value_at = 0; ///< start of the value in the document's text
    std::uint32_t value_len = 0;
    std::uint32_t line = 0;
    std::uint32_t column = 0;
};

/// One element. Elements are kept in document order (each before its descendants), so the
/// children of element i start at i + 1 and each next sibling at the previous one's `end`.
struct xmlin_element {
    xmlin_kind kind = XMLIN_MODULE;
    bool forward = false; ///< a childless struct or union that only declares the name
    std::uint32_t line = 0;
    std::uint32_t column = 0;
    std::uint32_t first_attr = 0; ///< index of its first attribute in the document's list
    std::uint32_t attr_count = 0;
    std::uint32_t end = 0; ///< index just past its last descendant
};

/// One document read into the model. Owns everything it refers to.
struct xmlin_document {
    std::string path;                   ///< as diagnostics name it
    std::deque<xmlin_element> elements; ///< definitions of `types`, then their descendants
    std::deque<xmlin_attr> attrs;
    std::string text;               ///< every attribute value, back to back
    std::vector<std::string> names; ///< attribute names by number (the known ones first)
    std::unordered_map<std::string, std::uint32_t> name_numbers; ///< names beyond the known
};

/// How a document is read.
struct xmlin_options {
    /// Unknown elements and attributes are skipped with a warning instead of refused; names
    /// that nothing declares are warned about (xmlin_check_names).
    bool permissive = false;
};

/// Modules nest at most this deep (as the IDL side allows), elements at most a few more.
inline constexpr std::uint32_t xmlin_max_module_depth = 4096;

/// Reads the document at `path`, in chunks, into `doc` (named `shown` in diagnostics). Every
/// problem is reported through diag_report at its place. False when the document holds an
/// error (or cannot be read); `doc` then holds what was read up to the first malformed byte.
/// A DTD is refused before anything of it is read, so no entity is ever defined or expanded
/// and nothing besides the file is opened.
[[nodiscard]] bool xmlin_read_file(const std::string &path, const std::string &shown,
                                   const xmlin_options &options, xmlin_document &doc);

/// xmlin_read_file over a text held in memory.
[[nodiscard]] bool xmlin_read_text(std::string_view text, const std::string &shown,
                                   const xmlin_options &options, xmlin_document &doc);

/// The value of attribute `a` of `doc`.
[[nodiscard]] inline std::string_view xmlin_value(const xmlin_document &doc, const xmlin_attr &a) {
    return std::string_view(doc.text).substr(a.value_at, a.value_len);
}

/// The attribute `name` of element `e`, or null.
[[nodiscard]] const xmlin_attr *xmlin_find(const xmlin_document &doc, const xmlin_element &e,
                                           std::uint32_t name);

/// True when attribute `name` has the vocabulary's own meaning on an element of `kind` (a
/// `type` of a member); false for an annotation's parameter.
[[nodiscard]] bool xmlin_is_structural(xmlin_kind kind, std::uint32_t name);

/// The tag of an element kind ("caseDiscriminator").
[[nodiscard]] const char *xmlin_tag(xmlin_kind kind);
