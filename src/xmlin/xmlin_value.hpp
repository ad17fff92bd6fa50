// The kinds of attribute values of a DDS-XML types document: names, scoped names, IDL constant
// expressions as the IDL grammar reads them, and the type vocabulary.
#pragma once

#include "xmlin/xmlin.hpp"

#include <string_view>

/// True for an IDL identifier: an ASCII letter or '_', then letters, digits and '_'.
[[nodiscard]] bool xmlin_is_identifier(std::string_view text);

/// True for a scoped name: an optional leading "::", then identifiers joined by "::".
[[nodiscard]] bool xmlin_is_scoped_name(std::string_view text);

/// True when `text` is one IDL constant expression exactly as the IDL grammar reads one
/// (literals, scoped names, unary and binary operators, parentheses, blanks between tokens),
/// so that it can stand verbatim wherever the grammar expects a constant expression.
[[nodiscard]] bool xmlin_is_expression(std::string_view text);

/// True when `text` written between double quotes is an IDL string literal whose text is
/// `text` itself: no double quote, and every backslash starts a valid escape.
[[nodiscard]] bool xmlin_is_string_body(std::string_view text);

/// True when the DDS-XML type name `type` may stand on an element of `kind` (members, typedefs
/// and constants take every name; discriminators the integral ones and "nonBasic"; bitfields
/// the integers, "boolean" and "byte").
[[nodiscard]] bool xmlin_type_allowed(xmlin_kind kind, std::string_view type);

/// True for "true" or "false" in any case.
[[nodiscard]] bool xmlin_is_boolean(std::string_view text);

/// `text` in lower case (ASCII letters only).
[[nodiscard]] std::string xmlin_lower(std::string_view text);
