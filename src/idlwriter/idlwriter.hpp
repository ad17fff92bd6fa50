// Writing the model of a DDS-XML types document as IDL laid out as a person writes it: four
// blanks of indentation, one declaration a line, annotations before what they annotate.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct xmlin_document;

/// Receives the text in pieces, in order; false stops the writing.
using idlwriter_sink = bool (*)(void *context, const char *data, std::size_t len);

/// Writes `doc` (read without errors, its forward declarations marked) as IDL through `sink`,
/// declarations in the document's order, so that converting the text back gives the same
/// document. False when the sink refuses a piece.
[[nodiscard]] bool idlwriter_write(const xmlin_document &doc, idlwriter_sink sink, void *context);

/// `name` spelt as an IDL identifier for it: a keyword, or a name that begins with '_', gets
/// one more leading '_' (IDL drops one leading '_' from every identifier).
[[nodiscard]] std::string idlwriter_identifier(std::string_view name);
