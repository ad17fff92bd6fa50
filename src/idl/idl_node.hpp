// Shared pieces of the translator: parse-tree access, node texts, positions and attributes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/diag.hpp"
#include "peg/ast.hpp"
#include "peg/vector.hpp"

struct xmltree;

/// One file whose text starts at `text_offset` of the preprocessed text; maps positions to lines.
struct idl_file_span {
    std::string path;          ///< resolved path of the file
    std::uint64_t text_offset; ///< byte offset in the preprocessed text where the file begins
    std::int64_t first_line;   ///< the file's line number at text_offset
    std::int64_t start_line;   ///< preprocessor line counter when the file's scan began
};

/// One `#pragma` that declares keys (`keylist`, `DCPS_DATA_TYPE`, `DCPS_DATA_KEY`).
struct idl_pragma {
    std::string text;     ///< the text after the word `pragma` ("keylist T id")
    std::string path;     ///< file it stands in
    unsigned long line;   ///< line in that file, from 1
    unsigned long column; ///< column of the first byte of text, from 1
    std::uint64_t offset; ///< byte offset in the preprocessed text of the (blanked) pragma line
};

/// The preprocessed text a parse tree was made from, with the files it came from.
struct idl_source {
    std::string_view text;            ///< the preprocessed text; tree positions index it
    std::vector<idl_file_span> files; ///< in text order; may be empty
    std::string fallback_path;        ///< named in messages when no file record applies
    /// Set when the element tree ran out of memory: the tree has reported it, and a failure
    /// that follows from it gets no message of its own.
    mutable bool out_of_memory = false;
    std::vector<idl_pragma> pragmas; ///< key pragmas in text order
    /// Level of the report for a key pragma naming a type or member the file does not declare:
    /// a warning lets the translation go on, an error fails it.
    diag_level pragma_miss_level = DIAG_WARNING;
    /// Standard annotations that no DDS-XML attribute stands for (`@verbatim`, `@topic`, ...) are
    /// dropped with a warning; when false their parameters become attributes like any others'.
    bool drop_formless_annotations = false;
    /// The `declarator` nodes that key pragmas make keys; filled by idl_translate before the walk.
    mutable std::unordered_set<const ast *> pragma_keys;
    /// Offsets where the lines of text start; built by idl_report on first use.
    mutable std::vector<std::uint64_t> line_starts;
};

/// A place in the input, for messages: the file's path and the line in that file (from 1).
struct idl_place {
    const char *path;   ///< borrowed from the source; valid as long as the source
    unsigned long line; ///< file line
};

/// Node type returned for anything that is not a tree node.
inline constexpr std::uint64_t IDL_NOT_A_TREE = ~std::uint64_t{0};

/// Node type of a tree node, or IDL_NOT_A_TREE for null, character, empty and error nodes.
[[nodiscard]] std::uint64_t idl_type_of(const ast *node);
/// Number of children of a tree node; 0 for any other node.
[[nodiscard]] std::size_t idl_child_count(const ast *node);
/// Child i of a tree node, or null when out of range or node is no tree node.
[[nodiscard]] const ast *idl_child(const ast *node, std::size_t i);
/// Start position of a tree node (0 for any other node).
[[nodiscard]] std::uint64_t idl_start_of(const ast *node);
/// True when the node is a character node (such as the colons of a leading `::`).
[[nodiscard]] bool idl_is_char(const ast *node);
/// Index of the first child that is not an `annotation_appl`; the child count when none.
[[nodiscard]] std::size_t idl_first_non_annotation(const ast *node);

/// A borrowed view of a tree node without its leading `annotation_appl` children, for helpers
/// that find a declaration's parts by fixed child index. Valid while the node lives; not
/// copyable, since its parts point into each other.
struct idl_unannotated {
    explicit idl_unannotated(const ast *node);
    idl_unannotated(const idl_unannotated &) = delete;
    idl_unannotated &operator=(const idl_unannotated &) = delete;
    /// The node itself when it has no leading annotations, else the view.
    [[nodiscard]] const ast *get() const { return node_; }

private:
    const ast *node_;
    vector children_{};
    ast_tree tree_{};
    ast view_{};
};

/// The node's span with the white space the grammar took before and after its tokens removed.
[[nodiscard]] std::string_view idl_text_of(const idl_source &src, const ast *node);
/// A name as IDL reads it: one leading '_' escapes a keyword and is no part of the name
/// (`_struct` is `struct`, `__x` is `_x`); a lone `_` stays.
[[nodiscard]] std::string_view idl_unescaped(std::string_view name);
/// The name an `identifier` node declares or uses: its text without the escaping '_'.
[[nodiscard]] std::string_view idl_identifier_text(const idl_source &src, const ast *id);
/// An expression as written, with the escaping '_' of every name in it dropped (`_N * 2` gives
/// `N * 2`); literals are kept exactly. text itself when no name in it is escaped, else the
/// copy made in *room.
[[nodiscard]] std::string_view idl_unescaped_expression(std::string_view text, std::string *room);
/// The value text with string literals that stand side by side, separated by blanks only,
/// joined into one literal as a single literal would be written (`"a" "b"` gives `"ab"`,
/// `L"a" "b"` gives `L"ab"`); any other text is returned unchanged.
[[nodiscard]] std::string idl_joined_literals(std::string_view text);
/// Text with every blank, newline, double quote and '@' removed (tabs and CRs stay).
[[nodiscard]] std::string idl_blank_stripped(std::string_view text);
/// As idl_blank_stripped, but character and string literals are kept exactly as written.
[[nodiscard]] std::string idl_blank_stripped_outside_literals(std::string_view text);
/// Full name of a `scoped_name` node as written, without white space and with each component
/// unescaped (`::A::B`); else its text.
[[nodiscard]] std::string idl_scoped_name_text(const idl_source &src, const ast *node);

/// File and file line of a position of the preprocessed text.
[[nodiscard]] idl_place idl_place_of(const idl_source &src, std::uint64_t pos);
/// File and file line for a preprocessed-text line number (from 1) at position pos.
[[nodiscard]] idl_place idl_place_of_line(const idl_source &src, std::uint64_t pos,
                                          std::uint64_t line);

/// Reports a warning at position pos: the log record is the summary alone, the compiler
/// layout shows file, line and column.
void idl_warn(const idl_source &src, std::uint64_t pos, const std::string &summary);

/// Adds child `tag` (a literal) to parent; null after logging "Failed to generate XML" (or,
/// when memory ran out, after the tree's own report, noted in src.out_of_memory).
[[nodiscard]] xmltree *idl_add_element(const idl_source &src, xmltree *parent, const char *tag);
/// Sets attribute name = value on element (the tree owns copies of both). A value XML 1.0
/// cannot carry is refused with a message naming the file and line of pos. False when refused or
/// when the assignment fails (logged "Failed to generate XML"; out of memory as for
/// idl_add_element).
[[nodiscard]] bool idl_set_attr(const idl_source &src, xmltree *element, std::string_view name,
                                std::string_view value, std::uint64_t pos);
/// Reports a diagnostic of level at byte position pos of src.text, with the file, line and
/// column found through the file records; summary is the fixed text, detail follows the place.
void idl_report(const idl_source &src, diag_level level, std::uint64_t pos, std::string summary,
                std::string detail);
/// True when text holds only characters XML 1.0 allows (well-formed UTF-8, no control
/// characters but tab, LF and CR, no U+FFFE or U+FFFF).
[[nodiscard]] bool idl_xml_text_ok(std::string_view text);
