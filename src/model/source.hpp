// A parsed source: the preprocessed text and the files it came from, parse-tree access, node
// texts, and the one place positions become file, line and column for messages.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/diag.hpp"
#include "peg/ast.hpp"
#include "peg/vector.hpp"

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

/// Offsets where the lines of a text start: the line index every position is placed through,
/// built on first use, once, whatever the threads asking. A copy keeps what is built.
struct idl_line_index {
    std::vector<std::uint32_t> starts; ///< offsets of the lines, from line 1; valid once built
    std::atomic<bool> built{false};
    idl_line_index() = default;
    idl_line_index(const idl_line_index &other) : starts(other.starts), built(other.built.load()) {}
    idl_line_index &operator=(const idl_line_index &other) {
        starts = other.starts;
        built = other.built.load();
        return *this;
    }
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
    /// Where the driver points includes at the documents of its run: the `file` of the include
    /// element of each directive line listed; null (or a line not listed): the include's name
    /// with ".idl" made ".xml".
    const std::vector<std::pair<unsigned long, std::string>> *include_refs = nullptr;
    /// An annotation's value written as a string keeps the blanks inside its text
    /// (idl_blank_trimmed); when false every blank goes (idl_blank_stripped).
    bool keep_value_blanks = false;
    /// The `declarator` nodes that key pragmas make keys; filled by idl_translate before the walk.
    mutable std::unordered_set<const ast *> pragma_keys;
    /// The line index of text; idl_source_index builds it.
    mutable idl_line_index lines;
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
/// True when the application's name was written scoped (`@::Vendor::key`): a vendor's own
/// annotation, never taken for the standard one of the same name.
[[nodiscard]] bool idl_anno_is_scoped(const ast *appl);

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
/// As idl_blank_stripped, but the blanks inside a string literal stay, its leading and trailing
/// ones but (`"meters per second"` gives `meters per second`, `" x "` gives `x`).
[[nodiscard]] std::string idl_blank_trimmed(std::string_view text);
/// As idl_blank_stripped, but character and string literals are kept exactly as written.
[[nodiscard]] std::string idl_blank_stripped_outside_literals(std::string_view text);
/// Full name of a `scoped_name` node as written, without white space and with each component
/// unescaped (`::A::B`); else its text.
[[nodiscard]] std::string idl_scoped_name_text(const idl_source &src, const ast *node);

/// Builds the line index of src unless it has one; safe on several threads at once.
void idl_source_index(const idl_source &src);
/// Line (from 1) of src.text that holds pos, through the line index.
[[nodiscard]] std::uint64_t idl_line_of(const idl_source &src, std::uint64_t pos);
/// File and file line of a position of the preprocessed text.
[[nodiscard]] idl_place idl_place_of(const idl_source &src, std::uint64_t pos);
/// File and file line for a preprocessed-text line number (from 1) at position pos.
[[nodiscard]] idl_place idl_place_of_line(const idl_source &src, std::uint64_t pos,
                                          std::uint64_t line);

/// Reports a warning of kind at position pos: the log record is the summary alone, the compiler
/// layout shows file, line and column.
void idl_warn(const idl_source &src, std::uint64_t pos, const std::string &summary,
              diag_warning kind);

/// Reports a diagnostic of level at byte position pos of src.text, with the file, line and
/// column found through the file records; summary is the fixed text, detail follows the place.
void idl_report(const idl_source &src, diag_level level, std::uint64_t pos, std::string summary,
                std::string detail);
/// idl_report of a warning of kind.
void idl_report(const idl_source &src, diag_warning kind, std::uint64_t pos, std::string summary,
                std::string detail);
