// Renders parse trees as one-line text so tests can compare whole trees as strings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct ast;

/// Text of a tree: a tree node is "(name child child ...)"; a run of character children is one
/// quoted string ("ab"); a tree node without children shows its input text quoted, as
/// (identifier "P"), or "(name)" when it spans nothing; a top-level character is quoted, an
/// empty node is "<empty>", an error node "(error name line=L col=C pos=P)", null "<null>".
/// Names index names[0..name_count); other types print as "#N". In quotes, \ " and bytes
/// outside 0x20..0x7E are escaped (\\ \" \n \r \t \xHH). Works at any depth.
[[nodiscard]] std::string tree_text(const ast *node, const char *const *names,
                                    std::uint64_t name_count, std::string_view text);
