// The XML element tree the translator builds and the pretty writer that turns it into text.
#pragma once

#include <cstddef>
#include <cstdint>

/// Flag: the next `xmltree_set_attr` hands its name and value texts (heap, released with `free`)
/// over to the tree.
inline constexpr std::uint16_t XMLTREE_HANDOVER = 0x20;
/// Flag: the element owns its character content (released with `free`).
inline constexpr std::uint16_t XMLTREE_TEXT_OWNED = 0x40;
/// Flag: the element owns its name (released with `free`).
inline constexpr std::uint16_t XMLTREE_NAME_OWNED = 0x80;
/// Flag: the record was allocated as a document root by `xmltree_new` (set by the tree only).
/// Every other element lives in the storage of the document it was created in.
inline constexpr std::uint16_t XMLTREE_DOCUMENT = 0x100;

/// Mark byte in an attribute list: the tree owns the pair's name.
inline constexpr unsigned char XMLTREE_MARK_NAME = 0x80;
/// Mark byte in an attribute list: the tree owns the pair's value.
inline constexpr unsigned char XMLTREE_MARK_VALUE = 0x40;

/// The shared empty attribute list of every element that has no attributes; never written to.
extern char *XMLTREE_NIL[1];

/// One element. Attributes: name, value, ..., null, then a mark text with one byte per pair.
struct xmltree {
    char *name;          ///< tag name; borrowed unless XMLTREE_NAME_OWNED is set
    char **attr;         ///< attribute list, or XMLTREE_NIL when the element has none
    char *txt;           ///< character content, "" by default; borrowed unless owned
    std::size_t off;     ///< position within the parent's character content; orders siblings
    xmltree *next;       ///< next element of the same name under the same parent
    xmltree *sibling;    ///< head of the next group of same-named children (group heads only)
    xmltree *ordered;    ///< next child of the same parent in document order
    xmltree *child;      ///< first child in document order, or null
    xmltree *parent;     ///< parent element, or null for a document root
    std::uint16_t flags; ///< XMLTREE_* bits
    xmltree *last;       ///< last child in document order (kept by the tree for appends)
    xmltree *group_last; ///< last element of this group (group heads only; kept by the tree)
};

/// New document root named `name` (borrowed, must outlive the tree); null when memory runs out
/// (logged). Release with `xmltree_free`.
[[nodiscard]] xmltree *xmltree_new(const char *name);

/// New childless element `name` (borrowed) placed under `parent` at `off`; null when parent is
/// null or memory runs out (logged). The parent's tree owns the element.
[[nodiscard]] xmltree *xmltree_add_child(xmltree *parent, const char *name, std::size_t off);

/// Places the parentless `xml` under `dest` at `off` (equal offsets keep insertion order) and
/// returns it; null, changing nothing, when either is null, `xml` already has a parent or
/// `dest` lies inside `xml` (logged). A root inserted so loses its own defaults and instructions.
[[nodiscard]] xmltree *xmltree_insert(xmltree *xml, xmltree *dest, std::size_t off);

/// ORs `flags` into the element's flags; returns the element, or null when it is null.
[[nodiscard]] xmltree *xmltree_set_flag(xmltree *xml, std::uint16_t flags);

/// Adds, replaces in place or (value null) removes attribute `name`; with XMLTREE_HANDOVER set
/// the tree takes both texts (even on failure) and the flag is cleared. Returns the element, or
/// null when it is null or memory runs out (logged).
[[nodiscard]] xmltree *xmltree_set_attr(xmltree *xml, const char *name, const char *value);

/// The element's value for `name`, else its document's default for this element name, else null.
[[nodiscard]] const char *xmltree_attr(const xmltree *xml, const char *name);

/// Declares on document `root` a default `value` of attribute `attr` for elements named
/// `element` (all three copied); false when root is not a document root or memory runs out.
[[nodiscard]] bool xmltree_add_default(xmltree *root, const char *element, const char *attr,
                                       const char *value);

/// Adds to document `root` a processing instruction `target` with `content` (copied), written
/// before the root element or, with `after_root`, after it; false when root is not a document
/// root or memory runs out.
[[nodiscard]] bool xmltree_add_instruction(xmltree *root, const char *target, const char *content,
                                           bool after_root);

/// Sets attribute `name` (`name_len` bytes) to `value` (`value_len` bytes), both copied into the
/// storage of the element's document and released with it; replaces an existing value in place.
/// The hand-over flag is neither used nor cleared. Returns the element, or null when it is null
/// or memory runs out (logged).
[[nodiscard]] xmltree *xmltree_set_attr_copy(xmltree *xml, const char *name, std::size_t name_len,
                                             const char *value, std::size_t value_len);

/// Releases the element, its descendants and its following siblings with everything they own;
/// null does nothing. Meant for a document root: the records of a document's elements live in
/// its storage, which goes with the root, so for any other element only what it owns is released
/// (its parent keeps links to it).
void xmltree_free(xmltree *xml);

/// Receives the pretty text in pieces, in order; returns false to stop the writing.
using xmltree_sink = bool (*)(void *context, const char *data, std::size_t len);

/// Writes the pretty text of `xmltree_toxml_beautify` to `sink` in pieces of at most 64 KiB,
/// holding no more than one piece (on the stack) in memory; nothing for null. False when sink is
/// null or as soon as the sink fails; nothing is logged.
[[nodiscard]] bool xmltree_write_beautify(const xmltree *xml, xmltree_sink sink, void *context);
/// Writes `xml` and its descendants as `xmltree_write_beautify` writes them inside a document
/// where `xml` stands `depth` levels below the root (every line indented 4 * depth blanks more),
/// without its following siblings, instructions or defaults: a document can be written part by
/// part. False when the sink fails.
[[nodiscard]] bool xmltree_write_beautify_at(const xmltree *xml, std::size_t depth,
                                             xmltree_sink sink, void *context);
/// Writes the start tag of `xml` (its attributes, no defaults) as the pretty writer puts it at
/// `depth`: before its children when `open`, else closed as that of a childless element, its
/// content after it. False when the sink fails.
[[nodiscard]] bool xmltree_write_start_tag(const xmltree *xml, std::size_t depth, bool open,
                                           xmltree_sink sink, void *context);
/// Writes the end tag of `xml` as the pretty writer puts it at `depth` after the last child.
/// False when the sink fails.
[[nodiscard]] bool xmltree_write_end_tag(const xmltree *xml, std::size_t depth, xmltree_sink sink,
                                         void *context);

/// Pretty text of the element's subtree (one tag per line, four blanks per level, childless
/// elements self-closing, no declaration); heap text released with `free`; "" for null; null
/// when memory runs out (logged). For large documents prefer `xmltree_write_beautify`.
[[nodiscard]] char *xmltree_toxml_beautify(const xmltree *xml);
