// Keys declared by pragmas (`#pragma keylist`, `#pragma DCPS_DATA_KEY`) resolved to members.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct ast;
struct idl_source;

/// The parts of one key pragma's text.
struct idl_pragma_parts {
    std::string_view type;              ///< the type as written ("M::T"); empty when missing
    std::size_t type_at = 0;            ///< byte index of type in the text
    std::vector<std::string_view> keys; ///< key paths as written ("id", "a.id")
    std::vector<std::size_t> keys_at;   ///< byte index of each key in the text
    bool needs_keys = false;            ///< the form must name a member (`DCPS_DATA_KEY`)
};

/// Splits a key pragma text: `keylist T k1 k2` (keys apart by blanks or commas),
/// `DCPS_DATA_TYPE "T"` (a topic type, no keys), `DCPS_DATA_KEY "T k"` (quotes optional).
/// Anything else yields parts with an empty type.
[[nodiscard]] idl_pragma_parts idl_pragma_split(std::string_view text);

/// Resolves src.pragmas against the definitions of the parse tree spec (a `specification`):
/// each pragma's type is looked up like a scoped name from the modules it stands in, and the
/// declarator of each named member goes into src.pragma_keys. A type or member the file does
/// not declare is reported at src.pragma_miss_level naming it; a nested key path (`a.id`) marks
/// its top-level member with a warning. False when a report was an error.
[[nodiscard]] bool idl_pragma_resolve_keys(const ast *spec, const idl_source &src);
