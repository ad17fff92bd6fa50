// The IDL writer: each element of the model becomes the declaration it came from, and each
// attribute the annotation that gives it back, placed where the attribute order says.
#include "idlwriter/idlwriter.hpp"

#include "xmlin/xmlin.hpp"
#include "xmlin/xmlin_value.hpp"

#include <algorithm>
#include <vector>

namespace {

// The keywords of the IDL grammar; a name spelt like one is written escaped.
constexpr std::string_view keywords[] = {
    "any",     "bitfield", "bitmask", "bitset",  "boolean", "case",   "char",     "const",
    "default", "double",   "enum",    "fixed",   "float",   "int16",  "int32",    "int64",
    "int8",    "long",     "map",     "module",  "native",  "octet",  "sequence", "short",
    "string",  "struct",   "switch",  "typedef", "uint16",  "uint32", "uint64",   "uint8",
    "union",   "unsigned", "wchar",   "wstring",
};

// IDL spellings of the DDS-XML type names (8-bit integers come back as themselves).
struct spelling {
    std::string_view xml;
    const char *idl;
};
constexpr spelling spellings[] = {
    {"boolean", "boolean"},
    {"byte", "octet"},
    {"char8", "char"},
    {"char16", "wchar"},
    {"int8", "int8"},
    {"uint8", "uint8"},
    {"int16", "short"},
    {"uint16", "unsigned short"},
    {"int32", "long"},
    {"uint32", "unsigned long"},
    {"int64", "long long"},
    {"uint64", "unsigned long long"},
    {"float32", "float"},
    {"float64", "double"},
    {"float128", "long double"},
    {"string", "string"},
    {"wstring", "wstring"},
};

constexpr std::size_t k_flush = 64 * 1024;

// What the IDL side does to a positional annotation value: blanks, line feeds, double quotes
// and '@' go.
std::string stripped(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c != ' ' && c != '\n' && c != '"' && c != '@') {
            out += c;
        }
    }
    return out;
}

// A literal or a name alone: what a person writes bare as an annotation's value.
bool plain_value(std::string_view v) {
    const std::string_view digits = v.substr(!v.empty() && (v[0] == '-' || v[0] == '+') ? 1 : 0);
    return xmlin_is_scoped_name(v) || xmlin_is_boolean(v) ||
           (!digits.empty() && digits[0] >= '0' && digits[0] <= '9' && xmlin_is_expression(v));
}

// A string literal holding `text` (for values no other form gives back).
std::string string_literal(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += c;
        }
    }
    return out + "\"";
}

// The annotation that sets attribute `name` to `value`.
std::string annotation(std::uint32_t number, std::string_view name, std::string_view value) {
    const std::string at = "@" + std::string(name);
    switch (number) {
    case XMLIN_ATTR_KEY:
    case XMLIN_ATTR_OPTIONAL:
    case XMLIN_ATTR_EXTERNAL:
    case XMLIN_ATTR_NESTED:
        return xmlin_lower(value) == "true" ? at : at + "(FALSE)";
    case XMLIN_ATTR_MUST_UNDERSTAND: // no attribute without a parameter
    case XMLIN_ATTR_DEFAULT_NESTED:
        return at + (xmlin_lower(value) == "true" ? "(TRUE)" : "(FALSE)");
    case XMLIN_ATTR_EXTENSIBILITY:
        return "@" + xmlin_lower(value);
    case XMLIN_ATTR_AUTOID:
        if (value == "hash") {
            return at;
        }
        break;
    default:
        break;
    }
    // Numbers, bounds and names stand bare; other texts (units, labels) as strings. A value
    // the IDL side would strip of something can only come back through a named parameter,
    // which is taken as written.
    const bool numeric = number == XMLIN_ATTR_ID || number == XMLIN_ATTR_POSITION ||
                         number == XMLIN_ATTR_BIT_BOUND || number == XMLIN_ATTR_VALUE ||
                         name == "min" || name == "max";
    const bool text = name == "unit" || name == "hashid";
    const bool expression = xmlin_is_expression(value);
    if (stripped(value) == value && !value.empty()) {
        if (expression && (numeric || (!text && plain_value(value)))) {
            return at + "(" + std::string(value) + ")";
        }
        if (xmlin_is_string_body(value)) {
            return at + "(\"" + std::string(value) + "\")";
        }
        if (expression) {
            return at + "(" + std::string(value) + ")";
        }
    }
    if (expression) {
        // A parameter named `value` of `@value` would be taken as the positional one.
        return (name == "value" ? std::string("@param") : at) + "(" + std::string(name) + " = " +
               std::string(value) + ")";
    }
    return at + "(" + string_literal(value) + ")";
}

std::string scoped(std::string_view name) {
    std::string out;
    std::size_t from = 0;
    if (name.rfind("::", 0) == 0) {
        out = "::";
        from = 2;
    }
    for (;;) {
        const std::size_t cut = name.find("::", from);
        out += idlwriter_identifier(name.substr(from, cut - from));
        if (cut == std::string_view::npos) {
            return out;
        }
        out += "::";
        from = cut + 2;
    }
}

// Where an annotation goes relative to the declaration it belongs to.
enum slot { SLOT_LEAD, SLOT_SEQUENCE, SLOT_ARRAY };

class writer {
public:
    writer(const xmlin_document &doc, idlwriter_sink sink, void *context)
        : doc_(doc), sink_(sink), context_(context) {}

    bool run() {
        definitions();
        flush();
        return ok_;
    }

private:
    //=== output ===//

    void put(std::string_view text) {
        out_.append(text);
        if (out_.size() >= k_flush) {
            flush();
        }
    }
    void flush() {
        if (ok_ && !out_.empty()) {
            ok_ = sink_(context_, out_.data(), out_.size());
        }
        out_.clear();
    }
    void line(unsigned depth, std::string_view text) {
        out_.append(std::size_t{4} * depth, ' ');
        put(text);
        put("\n");
    }

    //=== attributes ===//

    std::string_view value(const xmlin_element &e, std::uint32_t name) const {
        const xmlin_attr *a = xmlin_find(doc_, e, name);
        return a == nullptr ? std::string_view() : xmlin_value(doc_, *a);
    }
    // Where attribute `name` stands among those of e; -1 when e has none.
    long position(const xmlin_element &e, std::uint32_t name) const {
        for (std::uint32_t i = 0; i < e.attr_count; ++i) {
            if (doc_.attrs[e.first_attr + i].name == name) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }
    bool has(const xmlin_element &e, std::uint32_t name) const {
        return xmlin_find(doc_, e, name) != nullptr;
    }

    // The annotations of e for one slot, each followed by a blank. The slot of an annotation
    // follows from where its attribute stands: before `name` it leads; between `name` and the
    // type attributes of a sequence it goes inside `sequence<>`; after them, before
    // `arrayDimensions`, it goes between the name and the dimensions.
    std::string annotations(const xmlin_element &e, slot wanted) const {
        std::string out;
        bool named = false;
        bool typed = false;
        const bool sequence = has(e, XMLIN_ATTR_SEQUENCE_MAX_LENGTH);
        const bool array = has(e, XMLIN_ATTR_ARRAY_DIMENSIONS);
        for (std::uint32_t i = 0; i < e.attr_count; ++i) {
            const xmlin_attr &a = doc_.attrs[e.first_attr + i];
            const bool enumerator_value =
                e.kind == XMLIN_ENUMERATOR && a.name == XMLIN_ATTR_VALUE && !named;
            if (xmlin_is_structural(e.kind, a.name) && !enumerator_value) {
                named = named || a.name == XMLIN_ATTR_NAME;
                typed = typed || (a.name != XMLIN_ATTR_NAME && a.name != XMLIN_ATTR_VALUE);
                continue;
            }
            slot s = SLOT_LEAD;
            if (named && !typed && sequence) {
                s = SLOT_SEQUENCE;
            } else if (named && typed && array) {
                s = SLOT_ARRAY;
            }
            if (s == wanted) {
                out += annotation(a.name, doc_.names[a.name], xmlin_value(doc_, a)) + " ";
            }
        }
        return out;
    }

    // The element type of a member or typedef, with its string and sequence bounds.
    std::string type_text(const xmlin_element &e) const {
        std::string type = basic_type(e);
        if (has(e, XMLIN_ATTR_STRING_MAX_LENGTH)) {
            type += "<" + std::string(value(e, XMLIN_ATTR_STRING_MAX_LENGTH)) + ">";
        }
        if (!has(e, XMLIN_ATTR_SEQUENCE_MAX_LENGTH)) {
            return type;
        }
        const std::string_view bound = value(e, XMLIN_ATTR_SEQUENCE_MAX_LENGTH);
        type = "sequence<" + annotations(e, SLOT_SEQUENCE) + type;
        if (bound == "-1") {
            return type + (type.back() == '>' ? " >" : ">"); // '>>' would read as a shift
        }
        return type + ", " + std::string(bound) + ">";
    }

    std::string basic_type(const xmlin_element &e) const {
        const std::string_view type = value(e, XMLIN_ATTR_TYPE);
        if (type == "nonBasic") {
            return scoped(value(e, XMLIN_ATTR_NON_BASIC_TYPE_NAME));
        }
        for (const spelling &s : spellings) {
            if (s.xml == type) {
                return s.idl;
            }
        }
        return std::string(type); // the reader lets no other name through
    }

    std::string name_of(const xmlin_element &e) const {
        return idlwriter_identifier(value(e, XMLIN_ATTR_NAME));
    }

    // name, then the array slot's annotations and the dimensions.
    std::string declarator(const xmlin_element &e) const {
        std::string out = name_of(e);
        if (!has(e, XMLIN_ATTR_ARRAY_DIMENSIONS)) {
            return out;
        }
        const std::string lead = annotations(e, SLOT_ARRAY);
        out += lead.empty() ? "" : " " + lead;
        const std::string_view dims = value(e, XMLIN_ATTR_ARRAY_DIMENSIONS);
        for (std::size_t from = 0;;) {
            const std::size_t comma = dims.find(',', from);
            std::string_view dim = dims.substr(from, comma - from);
            dim.remove_prefix(std::min(dim.find_first_not_of(" \t\n\r"), dim.size()));
            out += "[" + std::string(dim) + "]";
            if (comma == std::string_view::npos) {
                return out;
            }
            from = comma + 1;
        }
    }

    //=== declarations ===//

    // Annotations of a definition stand on a line of their own before it.
    void lead_line(const xmlin_element &e, unsigned depth) {
        const std::string lead = annotations(e, SLOT_LEAD);
        if (!lead.empty()) {
            line(depth, std::string_view(lead).substr(0, lead.size() - 1));
        }
    }

    // A definition of several lines (a body, or annotations above it) stands apart from the
    // ones around it by a blank line.
    bool multi_line(std::uint32_t i) const {
        const xmlin_element &e = doc_.elements[i];
        return e.kind != XMLIN_INCLUDE && (e.end > i + 1 || !annotations(e, SLOT_LEAD).empty());
    }

    std::string member_text(const xmlin_element &e) const {
        return annotations(e, SLOT_LEAD) + type_text(e) + " " + declarator(e) + ";";
    }

    // The definitions of `types`, and of each module inside, in document order; modules are
    // walked with a stack of their own, as they nest without bound.
    void definitions() {
        struct level {
            std::uint32_t next;
            std::uint32_t end;
            std::uint32_t previous; // the definition before, or end when none
        };
        const auto count = static_cast<std::uint32_t>(doc_.elements.size());
        std::vector<level> stack{{0, count, count}};
        while (!stack.empty() && ok_) {
            level &top = stack.back();
            const auto depth = static_cast<unsigned>(stack.size() - 1);
            if (top.next >= top.end) {
                stack.pop_back();
                if (!stack.empty()) {
                    line(depth - 1, "};");
                }
                continue;
            }
            const std::uint32_t i = top.next;
            const xmlin_element &e = doc_.elements[i];
            top.next = e.end;
            if (top.previous != top.end && (multi_line(top.previous) || multi_line(i) ||
                                            (doc_.elements[top.previous].kind == XMLIN_INCLUDE) !=
                                                (e.kind == XMLIN_INCLUDE))) {
                put("\n");
            }
            top.previous = i;
            if (e.kind == XMLIN_MODULE) {
                lead_line(e, depth);
                if (e.end == i + 1) {
                    line(depth, "module " + name_of(e) + " {};");
                } else {
                    line(depth, "module " + name_of(e) + " {");
                    stack.push_back({i + 1, e.end, e.end});
                }
                continue;
            }
            definition(i, depth);
        }
    }

    void definition(std::uint32_t i, unsigned depth) {
        const xmlin_element &e = doc_.elements[i];
        if (e.kind == XMLIN_INCLUDE) {
            line(depth, "#include \"" + include_path(value(e, XMLIN_ATTR_FILE)) + "\"");
            return;
        }
        lead_line(e, depth);
        switch (e.kind) {
        case XMLIN_STRUCT:
        case XMLIN_BITSET: {
            std::string head = (e.kind == XMLIN_STRUCT ? "struct " : "bitset ") + name_of(e);
            if (e.forward) {
                line(depth, head + ";");
                return;
            }
            if (has(e, XMLIN_ATTR_BASE_TYPE)) {
                head += " : " + scoped(value(e, XMLIN_ATTR_BASE_TYPE));
            }
            body(i, depth, head, [this](const xmlin_element &m) {
                return m.kind == XMLIN_MEMBER ? member_text(m) : bitfield_text(m);
            });
            return;
        }
        case XMLIN_UNION:
            if (e.forward) {
                line(depth, "union " + name_of(e) + ";");
                return;
            }
            union_body(i, depth);
            return;
        case XMLIN_ENUM:
        case XMLIN_BITMASK:
            list(i, depth, (e.kind == XMLIN_ENUM ? "enum " : "bitmask ") + name_of(e));
            return;
        case XMLIN_TYPEDEF:
            line(depth, "typedef " + type_text(e) + " " + declarator(e) + ";");
            return;
        case XMLIN_CONST:
            line(depth, "const " + basic_type(e) + " " + name_of(e) + " = " +
                            std::string(value(e, XMLIN_ATTR_VALUE)) + ";");
            return;
        default:
            return; // the reader puts nothing else among definitions
        }
    }

    // "head {", one line per child, "};" (or "head {};" without children).
    template <class Text>
    void body(std::uint32_t i, unsigned depth, const std::string &head, const Text &text) {
        const xmlin_element &e = doc_.elements[i];
        if (e.end == i + 1) {
            line(depth, head + " {};");
            return;
        }
        line(depth, head + " {");
        for (std::uint32_t c = i + 1; c < e.end; c = doc_.elements[c].end) {
            line(depth + 1, text(doc_.elements[c]));
        }
        line(depth, "};");
    }

    std::string bitfield_text(const xmlin_element &f) const {
        std::string out =
            annotations(f, SLOT_LEAD) + "bitfield<" + std::string(value(f, XMLIN_ATTR_BIT_BOUND));
        if (has(f, XMLIN_ATTR_TYPE)) {
            out += ", " + basic_type(f);
        }
        out += ">";
        return has(f, XMLIN_ATTR_NAME) ? out + " " + name_of(f) + ";" : out + ";";
    }

    // Enumerators or bit values, one a line, apart by commas.
    void list(std::uint32_t i, unsigned depth, const std::string &head) {
        const xmlin_element &e = doc_.elements[i];
        line(depth, head + " {");
        for (std::uint32_t c = i + 1; c < e.end; c = doc_.elements[c].end) {
            const xmlin_element &item = doc_.elements[c];
            std::string text = annotations(item, SLOT_LEAD) + name_of(item);
            // A value after the name is written `NAME = value`; one before it is `@value`.
            if (item.kind == XMLIN_ENUMERATOR &&
                position(item, XMLIN_ATTR_VALUE) > position(item, XMLIN_ATTR_NAME)) {
                text += " = " + std::string(value(item, XMLIN_ATTR_VALUE));
            }
            line(depth + 1, item.end < e.end ? text + "," : text);
        }
        line(depth, "};");
    }

    void union_body(std::uint32_t i, unsigned depth) {
        const xmlin_element &u = doc_.elements[i];
        const xmlin_element &d = doc_.elements[i + 1];
        line(depth, "union " + name_of(u) + " switch (" + annotations(d, SLOT_LEAD) +
                        basic_type(d) + ") {");
        for (std::uint32_t c = d.end; c < u.end; c = doc_.elements[c].end) {
            const xmlin_element &kase = doc_.elements[c];
            for (std::uint32_t l = c + 1; l < kase.end; l = doc_.elements[l].end) {
                const xmlin_element &item = doc_.elements[l];
                if (item.kind == XMLIN_MEMBER) {
                    line(depth + 2, member_text(item));
                    continue;
                }
                const std::string_view label = value(item, XMLIN_ATTR_VALUE);
                line(depth + 1, label == "default" ? std::string("default:")
                                                   : "case " + std::string(label) + ":");
            }
        }
        line(depth, "};");
    }

    // The IDL file a document `file` stands for: the first ".xml" of its base name becomes
    // ".idl", as the IDL side names documents the other way round.
    static std::string include_path(std::string_view file) {
        std::string out(file);
        const std::size_t slash = out.rfind('/');
        const std::size_t at = out.find(".xml", slash == std::string::npos ? 0 : slash + 1);
        if (at != std::string::npos) {
            out.replace(at, 4, ".idl");
        }
        return out;
    }

    const xmlin_document &doc_;
    idlwriter_sink sink_;
    void *context_;
    std::string out_;
    bool ok_ = true;
};

} // namespace

bool idlwriter_write(const xmlin_document &doc, idlwriter_sink sink, void *context) {
    writer w(doc, sink, context);
    return w.run();
}

std::string idlwriter_identifier(std::string_view name) {
    const bool keyword =
        std::find(std::begin(keywords), std::end(keywords), name) != std::end(keywords);
    return keyword || (!name.empty() && name[0] == '_') ? "_" + std::string(name)
                                                        : std::string(name);
}
