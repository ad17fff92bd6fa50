// Reading DDS-XML types documents with Expat, in chunks, into the model: every element and
// attribute is checked against the vocabulary where it stands and kept with its place.
#include "xmlin/xmlin.hpp"

#include "base/diag.hpp"
#include "xmlin/xmlin_value.hpp"

#include <expat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

//=== the vocabulary ===//

constexpr const char *tags[XMLIN_KIND_COUNT] = {
    "include", "module", "struct",     "union",   "discriminator", "case",   "caseDiscriminator",
    "member",  "enum",   "enumerator", "bitmask", "bit_value",     "bitset", "bitfield",
    "typedef", "const",
};

constexpr const char *known_names[XMLIN_ATTR_KNOWN] = {
    "name",
    "type",
    "nonBasicTypeName",
    "stringMaxLength",
    "sequenceMaxLength",
    "arrayDimensions",
    "baseType",
    "value",
    "file",
    "bit_bound",
    "key",
    "optional",
    "external",
    "nested",
    "must_understand",
    "default_nested",
    "extensibility",
    "id",
    "position",
    "autoid",
};

using attr_set = std::uint32_t; // one bit per known attribute name

constexpr attr_set bit(xmlin_attr_name n) {
    return attr_set{1} << n;
}

constexpr attr_set a_name = bit(XMLIN_ATTR_NAME);
constexpr attr_set a_typed = bit(XMLIN_ATTR_TYPE) | bit(XMLIN_ATTR_NON_BASIC_TYPE_NAME);
constexpr attr_set a_declared = a_name | a_typed | bit(XMLIN_ATTR_STRING_MAX_LENGTH) |
                                bit(XMLIN_ATTR_SEQUENCE_MAX_LENGTH) |
                                bit(XMLIN_ATTR_ARRAY_DIMENSIONS);
// Attributes only the declaration itself sets, never an annotation.
constexpr attr_set type_attributes = a_declared | bit(XMLIN_ATTR_BASE_TYPE);

struct kind_rule {
    attr_set structural; // attributes with the vocabulary's own meaning on this element
    attr_set required;
    bool annotatable;       // other identifiers are annotation parameters
    std::uint32_t children; // kinds that may stand inside, one bit per xmlin_kind
};

constexpr std::uint32_t kbit(xmlin_kind k) {
    return std::uint32_t{1} << k;
}
constexpr std::uint32_t definitions = kbit(XMLIN_INCLUDE) | kbit(XMLIN_MODULE) |
                                      kbit(XMLIN_STRUCT) | kbit(XMLIN_UNION) | kbit(XMLIN_ENUM) |
                                      kbit(XMLIN_BITMASK) | kbit(XMLIN_BITSET) |
                                      kbit(XMLIN_TYPEDEF) | kbit(XMLIN_CONST);

constexpr kind_rule rules[XMLIN_KIND_COUNT] = {
    {bit(XMLIN_ATTR_FILE), bit(XMLIN_ATTR_FILE), false, 0},                   // include
    {a_name, a_name, true, definitions},                                      // module
    {a_name | bit(XMLIN_ATTR_BASE_TYPE), a_name, true, kbit(XMLIN_MEMBER)},   // struct
    {a_name, a_name, true, kbit(XMLIN_DISCRIMINATOR) | kbit(XMLIN_CASE)},     // union
    {a_typed, bit(XMLIN_ATTR_TYPE), true, 0},                                 // discriminator
    {0, 0, false, kbit(XMLIN_CASE_DISCRIMINATOR) | kbit(XMLIN_MEMBER)},       // case
    {bit(XMLIN_ATTR_VALUE), bit(XMLIN_ATTR_VALUE), false, 0},                 // caseDiscr.
    {a_declared, a_name | bit(XMLIN_ATTR_TYPE), true, 0},                     // member
    {a_name, a_name, true, kbit(XMLIN_ENUMERATOR)},                           // enum
    {a_name | bit(XMLIN_ATTR_VALUE), a_name, true, 0},                        // enumerator
    {a_name, a_name, true, kbit(XMLIN_BIT_VALUE)},                            // bitmask
    {a_name, a_name, true, 0},                                                // bit_value
    {a_name | bit(XMLIN_ATTR_BASE_TYPE), a_name, true, kbit(XMLIN_BITFIELD)}, // bitset
    {a_name | bit(XMLIN_ATTR_BIT_BOUND) | bit(XMLIN_ATTR_TYPE), bit(XMLIN_ATTR_BIT_BOUND), true,
     0},                                                  // bitfield
    {a_declared, a_name | bit(XMLIN_ATTR_TYPE), true, 0}, // typedef
    {a_name | a_typed | bit(XMLIN_ATTR_VALUE),
     a_name | bit(XMLIN_ATTR_TYPE) | bit(XMLIN_ATTR_VALUE), true, 0}, // const
};

// Frames that are not elements of the model.
enum : std::uint8_t {
    ROLE_DDS = XMLIN_KIND_COUNT, // the root `dds`: holds `types`
    ROLE_TYPES,                  // `types`: holds definitions
    ROLE_SKIPPED,                // an element skipped with everything inside it
};

constexpr std::size_t k_chunk = 64 * 1024;
constexpr std::size_t k_max_chunk = 256 * 1024 * 1024;
// Elements nest a few levels deeper than modules: the root, a union, a case and its member.
constexpr std::size_t k_max_depth = xmlin_max_module_depth + 8;

struct frame {
    std::uint8_t role;
    std::uint32_t element = 0; // index of the model element (kinds only)
    std::uint32_t children = 0;
    std::uint32_t labels = 0;  // case: caseDiscriminator elements; union: cases
    std::uint32_t members = 0; // case: members; union: discriminators
    bool text_reported = false;
};

struct place {
    std::uint32_t line;
    std::uint32_t column;
};

std::uint32_t clamp32(unsigned long long n) {
    return n > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                         : static_cast<std::uint32_t>(n);
}

bool ignorable_attribute(std::string_view name) {
    // Namespace declarations and the schema-instance attributes (schemaLocation) say nothing
    // about the types.
    return name == "xmlns" || name.rfind("xmlns:", 0) == 0 || name.rfind("xsi:", 0) == 0;
}

std::string quoted(std::string_view text) {
    constexpr std::size_t shown = 60;
    return "'" + std::string(text.substr(0, shown)) + (text.size() > shown ? "...'" : "'");
}

//=== the reader ===//

class reader {
public:
    reader(const std::string &shown, const xmlin_options &options, xmlin_document &doc)
        : shown_(shown), options_(options), doc_(doc) {}
    reader(const reader &) = delete;
    reader &operator=(const reader &) = delete;
    ~reader() {
        if (parser_ != nullptr) {
            XML_ParserFree(parser_);
        }
    }

    // Runs `fill` for each chunk: it writes up to `size` bytes into the buffer it is given and
    // returns how many (0 at the end, -1 on a read error, already reported).
    template <class Fill> bool run(const Fill &fill) {
        if (!start()) {
            return false;
        }
        std::size_t chunk = k_chunk;
        unsigned long long fed = 0;
        for (;;) {
            void *buffer = XML_GetBuffer(parser_, static_cast<int>(chunk));
            if (buffer == nullptr) {
                report_at(DIAG_FATAL, 0, 0, "Out of memory: reading the document");
                return false;
            }
            const long n = fill(static_cast<char *>(buffer), chunk);
            if (n < 0) {
                return false;
            }
            fed += static_cast<unsigned long long>(n);
            if (XML_ParseBuffer(parser_, static_cast<int>(n), n == 0) != XML_STATUS_OK) {
                if (!stopped_) {
                    report_at(DIAG_ERROR, clamp32(XML_GetCurrentLineNumber(parser_)),
                              clamp32(XML_GetCurrentColumnNumber(parser_) + 1),
                              std::string("malformed XML: ") +
                                  XML_ErrorString(XML_GetErrorCode(parser_)));
                }
                return false;
            }
            if (n == 0) {
                return errors_ == 0;
            }
            // Expat reads a token that is not complete yet again from its start with each
            // chunk: while one is pending (a long attribute value), chunks grow with it, so
            // that a token of any length is read a bounded number of times.
            const XML_Index done = XML_GetCurrentByteIndex(parser_);
            const unsigned long long pending =
                done < 0 || static_cast<unsigned long long>(done) > fed
                    ? 0
                    : fed - static_cast<unsigned long long>(done);
            chunk = static_cast<std::size_t>(
                std::clamp<unsigned long long>(pending, k_chunk, k_max_chunk));
        }
    }

    void report_at(diag_level level, std::uint32_t line, std::uint32_t column,
                   const std::string &message) {
        diagnostic d;
        d.level = level;
        d.warning = DIAG_W_UNKNOWN_XML; // the only warning a reading makes: skipped vocabulary
        d.summary = message;
        d.file = shown_;
        d.line = line;
        d.column = column;
        d.column_in_record = true;
        diag_report(d);
        if (level >= DIAG_ERROR) {
            ++errors_;
        }
    }

private:
    bool start() {
        parser_ = XML_ParserCreate(nullptr);
        if (parser_ == nullptr) {
            report_at(DIAG_FATAL, 0, 0, "Out of memory: reading the document");
            return false;
        }
        doc_.path = shown_;
        doc_.names.assign(std::begin(known_names), std::end(known_names));
        XML_SetUserData(parser_, this);
        XML_SetElementHandler(parser_, on_start, on_end);
        XML_SetCharacterDataHandler(parser_, on_text);
        XML_SetStartDoctypeDeclHandler(parser_, on_doctype);
        XML_SetEntityDeclHandler(parser_, on_entity);
        XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
        return true;
    }

    void stop() {
        stopped_ = true;
        XML_StopParser(parser_, XML_FALSE);
    }

    // The handlers run inside Expat, a C library: nothing may be thrown through it.
    template <class Body> static void guarded(void *self, const Body &body) {
        auto *r = static_cast<reader *>(self);
        if (r->stopped_) {
            return;
        }
        try {
            body(*r);
        } catch (const std::bad_alloc &) {
            r->report_at(DIAG_FATAL, 0, 0, "Out of memory: reading the document");
            r->stop();
        }
    }

    static void XMLCALL on_start(void *self, const XML_Char *name, const XML_Char **atts) {
        guarded(self, [&](reader &r) { r.start_element(name, atts); });
    }
    static void XMLCALL on_end(void *self, const XML_Char *) {
        guarded(self, [](reader &r) { r.end_element(); });
    }
    static void XMLCALL on_text(void *self, const XML_Char *text, int len) {
        guarded(self,
                [&](reader &r) { r.text(std::string_view(text, static_cast<std::size_t>(len))); });
    }
    static void XMLCALL on_doctype(void *self, const XML_Char *, const XML_Char *, const XML_Char *,
                                   int) {
        guarded(self, [](reader &r) { r.refuse_dtd(); });
    }
    static void XMLCALL on_entity(void *self, const XML_Char *, int, const XML_Char *, int,
                                  const XML_Char *, const XML_Char *, const XML_Char *,
                                  const XML_Char *) {
        guarded(self, [](reader &r) { r.refuse_dtd(); });
    }

    place here() const {
        return {clamp32(XML_GetCurrentLineNumber(parser_)),
                clamp32(XML_GetCurrentColumnNumber(parser_) + 1)};
    }

    void refuse_dtd() {
        // Expat tells where in the declaration it is; the report names where it starts.
        place at = here();
        int offset = 0;
        int size = 0;
        const char *buffer = XML_GetInputContext(parser_, &offset, &size);
        const std::string_view before =
            buffer == nullptr || offset < 0 || offset > size
                ? std::string_view()
                : std::string_view(buffer, static_cast<std::size_t>(offset));
        const std::size_t start = before.rfind("<!DOCTYPE");
        if (start != std::string_view::npos) {
            const std::string_view decl = before.substr(start);
            const auto breaks =
                static_cast<std::uint32_t>(std::count(decl.begin(), decl.end(), '\n'));
            const std::size_t line_start = before.find_last_of('\n', start);
            at.line = at.line > breaks ? at.line - breaks : 1;
            at.column =
                clamp32(start - (line_start == std::string_view::npos ? 0 : line_start + 1) + 1);
        }
        report_at(DIAG_ERROR, at.line, at.column,
                  "document type declarations are refused: a types document needs none, and "
                  "no entity is defined or expanded");
        stop();
    }

    void text(std::string_view chunk) {
        if (stack_.empty() || stack_.back().role == ROLE_SKIPPED || stack_.back().text_reported) {
            return;
        }
        for (char c : chunk) {
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
                frame &top = stack_.back();
                top.text_reported = true;
                const place at = here();
                unknown(at, "text is not allowed in '" + std::string(tag_of(top.role)) + "'");
                return;
            }
        }
    }

    static const char *tag_of(std::uint8_t role) {
        switch (role) {
        case ROLE_DDS:
            return "dds";
        case ROLE_TYPES:
            return "types";
        default:
            return role < XMLIN_KIND_COUNT ? tags[role] : "?";
        }
    }

    // Something the vocabulary does not know: refused, or skipped with a warning.
    void unknown(const place &at, const std::string &what) {
        report_at(options_.permissive ? DIAG_WARNING : DIAG_ERROR, at.line, at.column,
                  options_.permissive ? "skipped " + what : what);
    }

    // The places of the attributes of the start tag being reported, in order, worked out from
    // its bytes; false when they cannot be (every attribute then takes the element's place).
    bool attribute_places(const place &tag_at, const XML_Char **atts) {
        places_.clear();
        int offset = 0;
        int size = 0;
        const char *buffer = XML_GetInputContext(parser_, &offset, &size);
        const int count = XML_GetCurrentByteCount(parser_);
        if (buffer == nullptr || count <= 0 || offset < 0 || offset > size - count) {
            return false;
        }
        const std::string_view tag(buffer + offset, static_cast<std::size_t>(count));
        std::size_t i = 0;
        place at = tag_at;
        auto advance_to = [&](std::size_t to) {
            for (; i < to && i < tag.size(); ++i) {
                const auto c = static_cast<unsigned char>(tag[i]);
                if (c == '\n' || (c == '\r' && (i + 1 >= tag.size() || tag[i + 1] != '\n'))) {
                    ++at.line;
                    at.column = 1;
                } else if ((c & 0xC0) != 0x80 && c != '\r') {
                    ++at.column; // a UTF-8 sequence is one column
                }
            }
        };
        auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
        std::size_t j = 1;
        while (j < tag.size() && !blank(tag[j]) && tag[j] != '>' && tag[j] != '/') {
            ++j;
        }
        for (std::size_t k = 0; atts[k] != nullptr; k += 2) {
            while (j < tag.size() && blank(tag[j])) {
                ++j;
            }
            advance_to(j);
            const std::string_view name(atts[k]);
            if (tag.compare(j, name.size(), name) != 0) {
                return false; // not the bytes the names came from (another encoding)
            }
            places_.push_back(at);
            j += name.size();
            while (j < tag.size() && tag[j] != '"' && tag[j] != '\'') {
                ++j;
            }
            if (j >= tag.size()) {
                return false;
            }
            const std::size_t close = tag.find(tag[j], j + 1);
            if (close == std::string_view::npos) {
                return false;
            }
            j = close + 1;
        }
        return true;
    }

    void start_element(const XML_Char *name_text, const XML_Char **atts) {
        const std::string_view name(name_text);
        const place at = here();
        if (stack_.size() >= k_max_depth) {
            report_at(DIAG_ERROR, at.line, at.column,
                      "elements nest deeper than " + std::to_string(k_max_depth) + " levels");
            stop();
            return;
        }
        if (!stack_.empty() && stack_.back().role == ROLE_SKIPPED) {
            stack_.push_back({ROLE_SKIPPED});
            return;
        }
        if (!attribute_places(at, atts)) {
            places_.clear();
        }
        if (stack_.empty()) {
            if (name == "dds" || name == "types") {
                stack_.push_back({name == "dds" ? ROLE_DDS : ROLE_TYPES});
                frame_attributes(atts, at);
                return;
            }
            report_at(DIAG_ERROR, at.line, at.column,
                      "the root element is '" + std::string(name) +
                          "': a types document starts with 'dds' or 'types'");
            stack_.push_back({ROLE_SKIPPED});
            return;
        }
        frame &parent = stack_.back();
        int kind = -1;
        for (int k = 0; k < XMLIN_KIND_COUNT; ++k) {
            if (name == tags[k]) {
                kind = k;
            }
        }
        const std::uint32_t allowed = parent.role == ROLE_DDS     ? 0
                                      : parent.role == ROLE_TYPES ? definitions
                                                                  : rules[parent.role].children;
        if (parent.role == ROLE_DDS && name == "types") {
            stack_.push_back({ROLE_TYPES});
            frame_attributes(atts, at);
            return;
        }
        if (kind < 0 || (allowed & kbit(static_cast<xmlin_kind>(kind))) == 0) {
            const std::string where = "'" + std::string(tag_of(parent.role)) + "'";
            unknown(at, kind < 0 && name != "types" && name != "dds"
                            ? "unknown element '" + std::string(name) + "' in " + where
                            : "element '" + std::string(name) + "' is not allowed in " + where);
            stack_.push_back({ROLE_SKIPPED});
            return;
        }
        const auto k = static_cast<xmlin_kind>(kind);
        ++parent.children; // the elements kept: skipped ones do not count
        check_order(parent, k, at);
        if (k == XMLIN_MODULE && ++modules_ > xmlin_max_module_depth) {
            report_at(DIAG_ERROR, at.line, at.column,
                      "modules nest deeper than " + std::to_string(xmlin_max_module_depth) +
                          " levels");
            stop();
            return;
        }
        if (doc_.elements.size() >= std::numeric_limits<std::uint32_t>::max()) {
            too_large(at);
            return;
        }
        xmlin_element element;
        element.kind = k;
        element.line = at.line;
        element.column = at.column;
        element.first_attr = static_cast<std::uint32_t>(doc_.attrs.size());
        const std::uint32_t index = static_cast<std::uint32_t>(doc_.elements.size());
        doc_.elements.push_back(element);
        element_attributes(doc_.elements.back(), atts, at);
        stack_.push_back({static_cast<std::uint8_t>(k), index});
    }

    // What may follow what: a union's discriminator comes first and once (`members` counts
    // discriminators, `labels` cases); a case's labels come before its one member.
    void check_order(frame &parent, xmlin_kind k, const place &at) {
        std::string problem;
        if (parent.role == XMLIN_UNION && k == XMLIN_DISCRIMINATOR) {
            if (parent.children != 1) {
                problem = "'discriminator' must be the first element of 'union' and stand once";
            }
            ++parent.members;
        } else if (parent.role == XMLIN_UNION) {
            if (parent.members == 0 && parent.labels == 0) {
                problem = "'union' needs a 'discriminator' before its cases";
            }
            ++parent.labels;
        } else if (parent.role == XMLIN_CASE && k == XMLIN_CASE_DISCRIMINATOR) {
            if (parent.members > 0) {
                problem = "'caseDiscriminator' must come before the 'member' of 'case'";
            }
            ++parent.labels;
        } else if (parent.role == XMLIN_CASE) {
            if (parent.members > 0) {
                problem = "'case' holds one 'member'";
            }
            ++parent.members;
        }
        if (!problem.empty()) {
            report_at(DIAG_ERROR, at.line, at.column, problem);
        }
    }

    void end_element() {
        if (stack_.empty()) {
            return;
        }
        const frame top = stack_.back();
        stack_.pop_back();
        if (top.role >= XMLIN_KIND_COUNT) {
            return;
        }
        xmlin_element &e = doc_.elements[top.element];
        e.end = static_cast<std::uint32_t>(doc_.elements.size());
        const auto needs = [&](const char *what) {
            report_at(DIAG_ERROR, e.line, e.column,
                      "'" + std::string(tags[e.kind]) + "' needs " + what);
        };
        switch (e.kind) {
        case XMLIN_MODULE:
            --modules_;
            break;
        case XMLIN_UNION:
            // Childless, a union only declares its name.
            if (top.children > 0 && top.labels == 0) {
                needs(top.members == 0 ? "a 'discriminator' and at least one 'case'"
                                       : "at least one 'case'");
            }
            break;
        case XMLIN_CASE:
            if (top.labels == 0) {
                needs("at least one 'caseDiscriminator'");
            }
            if (top.members == 0) {
                needs("a 'member'");
            }
            break;
        case XMLIN_ENUM:
            if (top.children == 0) {
                needs("at least one 'enumerator'");
            }
            break;
        case XMLIN_BITMASK:
            if (top.children == 0) {
                needs("at least one 'bit_value'");
            }
            break;
        default:
            break;
        }
    }

    void too_large(const place &at) {
        report_at(DIAG_ERROR, at.line, at.column, "the document is too large to convert");
        stop();
    }

    place attribute_place(std::size_t pair, const place &element) const {
        return pair < places_.size() ? places_[pair] : element;
    }

    // `dds` and `types` carry namespace declarations at most.
    void frame_attributes(const XML_Char **atts, const place &at) {
        const char *tag = tag_of(stack_.back().role);
        for (std::size_t k = 0; atts[k] != nullptr; k += 2) {
            if (!ignorable_attribute(atts[k])) {
                unknown(attribute_place(k / 2, at),
                        "unknown attribute '" + std::string(atts[k]) + "' of '" + tag + "'");
            }
        }
    }

    // The number of an annotation parameter's name, given the first time it is met.
    std::uint32_t number_of(std::string_view name) {
        auto found = doc_.name_numbers.find(std::string(name));
        if (found != doc_.name_numbers.end()) {
            return found->second;
        }
        const auto n = static_cast<std::uint32_t>(doc_.names.size());
        doc_.names.emplace_back(name);
        doc_.name_numbers.emplace(std::string(name), n);
        return n;
    }

    void element_attributes(xmlin_element &e, const XML_Char **atts, const place &at) {
        const kind_rule &rule = rules[e.kind];
        const char *tag = tags[e.kind];
        attr_set present = 0;
        for (std::size_t k = 0; atts[k] != nullptr; k += 2) {
            const std::string_view name(atts[k]);
            const std::string_view value(atts[k + 1]);
            const place where = attribute_place(k / 2, at);
            if (ignorable_attribute(name)) {
                continue;
            }
            const bool identifier = xmlin_is_identifier(name);
            std::uint32_t number = XMLIN_ATTR_KNOWN;
            for (std::uint32_t n = 0; n < XMLIN_ATTR_KNOWN && identifier; ++n) {
                number = name == known_names[n] ? n : number;
            }
            const bool structural =
                number < XMLIN_ATTR_KNOWN && (rule.structural & (attr_set{1} << number)) != 0;
            const bool annotation =
                !structural && rule.annotatable && identifier &&
                (number >= XMLIN_ATTR_KNOWN || (type_attributes & (attr_set{1} << number)) == 0);
            if (!structural && !annotation) {
                unknown(where, "unknown attribute '" + std::string(name) + "' of '" + tag + "'");
                continue;
            }
            if (number < XMLIN_ATTR_KNOWN) {
                present |= attr_set{1} << number;
            }
            check_value(e.kind, number, structural, name, value, where);
            if (doc_.text.size() + value.size() > std::numeric_limits<std::uint32_t>::max() ||
                doc_.attrs.size() >= std::numeric_limits<std::uint32_t>::max()) {
                too_large(where);
                return;
            }
            xmlin_attr a;
            a.name = number < XMLIN_ATTR_KNOWN ? number : number_of(name);
            a.value_at = static_cast<std::uint32_t>(doc_.text.size());
            a.value_len = static_cast<std::uint32_t>(value.size());
            a.line = where.line;
            a.column = where.column;
            doc_.text.append(value);
            doc_.attrs.push_back(a);
            ++e.attr_count;
        }
        for (std::uint32_t n = 0; n < XMLIN_ATTR_KNOWN; ++n) {
            if ((rule.required & ~present & (attr_set{1} << n)) != 0) {
                report_at(DIAG_ERROR, at.line, at.column,
                          "'" + std::string(tag) + "' needs the attribute '" + known_names[n] +
                              "'");
            }
        }
        check_type_attributes(e, tag, present, at);
    }

    // nonBasicTypeName goes with type "nonBasic", stringMaxLength with a string type.
    void check_type_attributes(const xmlin_element &e, const char *tag, attr_set present,
                               const place &at) {
        const xmlin_attr *type = xmlin_find(doc_, e, XMLIN_ATTR_TYPE);
        if (type == nullptr) {
            return;
        }
        const std::string_view type_name = xmlin_value(doc_, *type);
        const bool non_basic = (present & bit(XMLIN_ATTR_NON_BASIC_TYPE_NAME)) != 0;
        if (type_name == "nonBasic" && !non_basic) {
            report_at(DIAG_ERROR, at.line, at.column,
                      std::string("'") + tag +
                          "' of type \"nonBasic\" needs the attribute 'nonBasicTypeName'");
        }
        if (type_name != "nonBasic" && non_basic) {
            report_at(DIAG_ERROR, type->line, type->column,
                      std::string("'nonBasicTypeName' of '") + tag +
                          "' goes with type \"nonBasic\", not " + quoted(type_name));
        }
        if ((present & bit(XMLIN_ATTR_STRING_MAX_LENGTH)) != 0 && type_name != "string" &&
            type_name != "wstring") {
            report_at(DIAG_ERROR, type->line, type->column,
                      std::string("'stringMaxLength' of '") + tag +
                          "' goes with type \"string\" or \"wstring\", not " + quoted(type_name));
        }
    }

    void check_value(xmlin_kind kind, std::uint32_t number, bool structural, std::string_view name,
                     std::string_view value, const place &where) {
        // The messages are made only when a value is wrong.
        const auto what = [&] { return "'" + std::string(name) + "' of '" + tags[kind] + "'"; };
        const auto wrong = [&](const char *must) {
            report_at(DIAG_ERROR, where.line, where.column,
                      what() + " must be " + must + ", not " + quoted(value));
        };
        switch (structural ? number : XMLIN_ATTR_KNOWN + number) {
        case XMLIN_ATTR_NAME:
            if (!xmlin_is_identifier(value)) {
                wrong("an IDL identifier");
            }
            break;
        case XMLIN_ATTR_TYPE:
            if (!xmlin_type_allowed(kind, value)) {
                report_at(DIAG_ERROR, where.line, where.column,
                          what() + " cannot be " + quoted(value));
            }
            break;
        case XMLIN_ATTR_NON_BASIC_TYPE_NAME:
        case XMLIN_ATTR_BASE_TYPE:
            if (!xmlin_is_scoped_name(value)) {
                wrong("a scoped name");
            }
            break;
        case XMLIN_ATTR_ARRAY_DIMENSIONS:
            for (std::size_t from = 0;;) {
                const std::size_t comma = value.find(',', from);
                if (!xmlin_is_expression(value.substr(from, comma - from))) {
                    wrong("constant expressions apart by commas");
                    break;
                }
                if (comma == std::string_view::npos) {
                    break;
                }
                from = comma + 1;
            }
            break;
        case XMLIN_ATTR_VALUE:
            if (!(kind == XMLIN_CASE_DISCRIMINATOR && value == "default") &&
                !xmlin_is_expression(value)) {
                wrong(kind == XMLIN_CASE_DISCRIMINATOR ? "\"default\" or a constant expression"
                                                       : "a constant expression");
            }
            break;
        case XMLIN_ATTR_STRING_MAX_LENGTH:
        case XMLIN_ATTR_SEQUENCE_MAX_LENGTH:
        case XMLIN_ATTR_BIT_BOUND:
        case XMLIN_ATTR_KNOWN + XMLIN_ATTR_BIT_BOUND:
        case XMLIN_ATTR_KNOWN + XMLIN_ATTR_ID:
        case XMLIN_ATTR_KNOWN + XMLIN_ATTR_POSITION:
            if (!xmlin_is_expression(value)) {
                wrong("a constant expression");
            }
            break;
        case XMLIN_ATTR_FILE:
            if (value.empty() || value.find_first_of("\"\n\r") != std::string_view::npos) {
                wrong("a file name without double quotes or line breaks");
            }
            break;
        case XMLIN_ATTR_KNOWN + XMLIN_ATTR_KEY:
        case XMLIN_ATTR_KNOWN + XMLIN_ATTR_OPTIONAL:
        case XMLIN_ATTR_KNOWN + XMLIN_ATTR_EXTERNAL:
        case XMLIN_ATTR_KNOWN + XMLIN_ATTR_NESTED:
        case XMLIN_ATTR_KNOWN + XMLIN_ATTR_MUST_UNDERSTAND:
        case XMLIN_ATTR_KNOWN + XMLIN_ATTR_DEFAULT_NESTED:
            if (!xmlin_is_boolean(value)) {
                wrong("true or false");
            }
            break;
        case XMLIN_ATTR_KNOWN + XMLIN_ATTR_EXTENSIBILITY: {
            const std::string lower = xmlin_lower(value);
            if (lower != "final" && lower != "appendable" && lower != "mutable") {
                wrong("final, appendable or mutable");
            }
            break;
        }
        default:
            break; // free text: an annotation parameter of any kind
        }
    }

    std::string shown_;
    const xmlin_options &options_;
    xmlin_document &doc_;
    XML_Parser parser_ = nullptr;
    std::vector<frame> stack_;
    std::vector<place> places_;
    std::uint32_t modules_ = 0;
    unsigned errors_ = 0;
    bool stopped_ = false;
};

} // namespace

bool xmlin_read_file(const std::string &path, const std::string &shown,
                     const xmlin_options &options, xmlin_document &doc) {
    reader r(shown, options, doc);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int err = fd < 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : errno;
        if (fd >= 0) {
            ::close(fd);
        }
        r.report_at(DIAG_ERROR, 0, 0, "cannot read " + shown + ": " + std::strerror(err));
        return false;
    }
    // Values are a part of the document: with room for them the text never moves, and pages
    // that are never written cost nothing.
    if (S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<unsigned long long>(st.st_size) < std::numeric_limits<std::uint32_t>::max()) {
        doc.text.reserve(static_cast<std::size_t>(st.st_size));
    }
    const bool ok = r.run([&](char *buffer, std::size_t size) -> long {
        for (;;) {
            const ssize_t n = ::read(fd, buffer, size);
            if (n >= 0) {
                return static_cast<long>(n);
            }
            if (errno != EINTR) {
                r.report_at(DIAG_ERROR, 0, 0, "cannot read " + shown + ": " + std::strerror(errno));
                return -1;
            }
        }
    });
    ::close(fd);
    return ok;
}

bool xmlin_read_text(std::string_view text, const std::string &shown, const xmlin_options &options,
                     xmlin_document &doc) {
    reader r(shown, options, doc);
    std::size_t at = 0;
    return r.run([&](char *buffer, std::size_t size) -> long {
        const std::size_t n = std::min(size, text.size() - at);
        std::memcpy(buffer, text.data() + at, n);
        at += n;
        return static_cast<long>(n);
    });
}

const xmlin_attr *xmlin_find(const xmlin_document &doc, const xmlin_element &e,
                             std::uint32_t name) {
    for (std::uint32_t i = 0; i < e.attr_count; ++i) {
        const xmlin_attr &a = doc.attrs[e.first_attr + i];
        if (a.name == name) {
            return &a;
        }
    }
    return nullptr;
}

bool xmlin_is_structural(xmlin_kind kind, std::uint32_t name) {
    return kind < XMLIN_KIND_COUNT && name < XMLIN_ATTR_KNOWN &&
           (rules[kind].structural & (attr_set{1} << name)) != 0;
}

const char *xmlin_tag(xmlin_kind kind) {
    return kind < XMLIN_KIND_COUNT ? tags[kind] : "?";
}
