// The XML element tree: creation, ordered insertion, attributes with ownership marks, release
// and the pretty writer.
#include "xml/xmltree.hpp"

#include "base/glog.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

char *XMLTREE_NIL[1] = {nullptr};

namespace {

//=== document-only data ===//

struct attr_default {
    std::string element;
    std::string attr;
    std::string value;
};

struct instruction {
    std::string target;
    std::string content;
    bool after_root;
};

struct document_data {
    std::vector<attr_default> defaults;
    std::vector<instruction> instructions;
};

// A document root is an element record followed by a pointer to its document-only data, which
// stays null while the document declares no defaults and no processing instructions.
struct xmltree_root {
    xmltree element;
    document_data *data;
};

xmltree_root *root_of_record(xmltree *xml) {
    // `element` is the first member of a standard-layout record, so the addresses coincide.
    return reinterpret_cast<xmltree_root *>(xml);
}

const document_data *document_of(const xmltree *xml) {
    while (xml->parent != nullptr) {
        xml = xml->parent;
    }
    if ((xml->flags & XMLTREE_DOCUMENT) == 0) {
        return nullptr;
    }
    return reinterpret_cast<const xmltree_root *>(xml)->data;
}

void log_out_of_memory(const char *what) {
    glog_fatal("Out of memory: %s", what);
}

void log_error(const char *what) {
    glog_error("%s", what);
}

char empty_text[] = "";

//=== attribute list ===//

// Number of name/value pairs in a list; the entry after them is null.
std::size_t attr_pairs(char **attr) {
    std::size_t n = 0;
    while (attr[2 * n] != nullptr) {
        ++n;
    }
    return n;
}

// The mark text sits right after the null that ends the pairs.
char *attr_marks(char **attr, std::size_t pairs) {
    return attr[2 * pairs + 1];
}

void attr_list_free(char **attr) {
    if (attr == nullptr || attr == XMLTREE_NIL) {
        return;
    }
    std::size_t pairs = attr_pairs(attr);
    char *marks = attr_marks(attr, pairs);
    for (std::size_t i = 0; i < pairs; ++i) {
        unsigned char mark = static_cast<unsigned char>(marks[i]);
        if ((mark & XMLTREE_MARK_NAME) != 0) {
            std::free(attr[2 * i]);
        }
        if ((mark & XMLTREE_MARK_VALUE) != 0) {
            std::free(attr[2 * i + 1]);
        }
    }
    std::free(marks);
    std::free(attr);
}

// Releases one record and everything it owns except its children and siblings.
void release_record(xmltree *xml) {
    attr_list_free(xml->attr);
    if ((xml->flags & XMLTREE_TEXT_OWNED) != 0) {
        std::free(xml->txt);
    }
    if ((xml->flags & XMLTREE_NAME_OWNED) != 0) {
        std::free(xml->name);
    }
    if ((xml->flags & XMLTREE_DOCUMENT) != 0) {
        xmltree_root *root = root_of_record(xml);
        delete root->data;
        delete root;
    } else {
        delete xml;
    }
}

xmltree *new_element(const char *name) {
    auto *xml = new (std::nothrow) xmltree{};
    if (xml == nullptr) {
        return nullptr;
    }
    xml->name = const_cast<char *>(name);
    xml->attr = XMLTREE_NIL;
    xml->txt = empty_text;
    return xml;
}

//=== writer ===//

// A growable output text; once an allocation fails it stays failed and ignores further writes.
class text_buffer {
public:
    text_buffer() : data_(static_cast<char *>(std::malloc(1024))), cap_(data_ ? 1024 : 0) {
        if (data_ != nullptr) {
            data_[0] = '\0';
        }
    }
    ~text_buffer() { std::free(data_); }
    text_buffer(const text_buffer &) = delete;
    text_buffer &operator=(const text_buffer &) = delete;

    bool ok() const { return data_ != nullptr; }

    void append(const char *s, std::size_t n) {
        if (!reserve(n)) {
            return;
        }
        std::memcpy(data_ + len_, s, n);
        len_ += n;
        data_[len_] = '\0';
    }
    void append(const char *s) { append(s, std::strlen(s)); }
    void append_blanks(std::size_t n) {
        if (!reserve(n)) {
            return;
        }
        std::memset(data_ + len_, ' ', n);
        len_ += n;
        data_[len_] = '\0';
    }

    // Hands the text over, shrunk to its length plus the terminator; null after a failure.
    char *release() {
        if (data_ == nullptr) {
            return nullptr;
        }
        char *out = static_cast<char *>(std::realloc(data_, len_ + 1));
        if (out == nullptr) {
            out = data_; // shrinking failed: the larger block is still valid
        }
        data_ = nullptr;
        return out;
    }

private:
    bool reserve(std::size_t n) {
        if (data_ == nullptr) {
            return false;
        }
        if (cap_ - len_ > n) {
            return true;
        }
        // Geometric growth keeps writing a large document linear in its size.
        std::size_t want = cap_ * 2;
        if (want - len_ <= n) {
            want = len_ + n + 1024;
        }
        char *grown = static_cast<char *>(std::realloc(data_, want));
        if (grown == nullptr) {
            std::free(data_);
            data_ = nullptr;
            return false;
        }
        data_ = grown;
        cap_ = want;
        return true;
    }

    char *data_;
    std::size_t cap_;
    std::size_t len_ = 0;
};

// Escapes bytes [begin, begin + n) (stopping at a zero byte); attribute mode also escapes the
// double quote, tab and newline so that values survive attribute-value normalisation.
void append_escaped(text_buffer &out, const char *s, std::size_t n, bool attribute) {
    const char *run = s;
    const char *end = s + n;
    const char *p = s;
    for (; p < end && *p != '\0'; ++p) {
        const char *rep = nullptr;
        switch (*p) {
        case '&':
            rep = "&amp;";
            break;
        case '<':
            rep = "&lt;";
            break;
        case '>':
            rep = "&gt;";
            break;
        case '\r':
            rep = "&#xD;";
            break;
        case '"':
            rep = attribute ? "&quot;" : nullptr;
            break;
        case '\n':
            rep = attribute ? "&#xA;" : nullptr;
            break;
        case '\t':
            rep = attribute ? "&#x9;" : nullptr;
            break;
        default:
            break;
        }
        if (rep != nullptr) {
            out.append(run, static_cast<std::size_t>(p - run));
            out.append(rep);
            run = p + 1;
        }
    }
    out.append(run, static_cast<std::size_t>(p - run));
}

void append_escaped(text_buffer &out, const char *s, bool attribute) {
    append_escaped(out, s, std::strlen(s), attribute);
}

void append_attribute(text_buffer &out, const char *name, const char *value) {
    out.append(" ");
    out.append(name);
    out.append("=\"");
    append_escaped(out, value, true);
    out.append("\"");
}

// Part [from, to) of a parent's character content, clamped to the content's length.
void append_content(text_buffer &out, const char *txt, std::size_t from, std::size_t to) {
    std::size_t len = std::strlen(txt);
    if (to > len) {
        to = len;
    }
    if (from >= to) {
        return;
    }
    append_escaped(out, txt + from, to - from, false);
}

void write_open_tag(text_buffer &out, const xmltree *xml, std::size_t depth,
                    const document_data *doc) {
    out.append_blanks(4 * depth);
    out.append("<");
    out.append(xml->name);
    for (std::size_t i = 0; xml->attr[2 * i] != nullptr; ++i) {
        const char *name = xml->attr[2 * i];
        const char *value = xml->attr[2 * i + 1];
        // A repeated name is written once, with the value a lookup gives.
        if (xmltree_attr(xml, name) != value) {
            continue;
        }
        append_attribute(out, name, value);
    }
    if (doc != nullptr) {
        for (const attr_default &d : doc->defaults) {
            if (d.element != xml->name || xmltree_attr(xml, d.attr.c_str()) != d.value.c_str()) {
                continue;
            }
            append_attribute(out, d.attr.c_str(), d.value.c_str());
        }
    }
    if (xml->child != nullptr) {
        out.append(">\n");
    } else {
        out.append("/>\n");
        append_escaped(out, xml->txt, false);
    }
}

// Writes `top` and its descendants (not its following siblings) without recursion, so that a
// deeply nested document cannot exhaust the stack.
void write_subtree(text_buffer &out, const xmltree *top, const document_data *doc) {
    const xmltree *xml = top;
    std::size_t depth = 0;
    std::size_t content_from = 0; // where the parent's content not yet written starts
    for (;;) {
        if (xml != top) {
            append_content(out, xml->parent->txt, content_from, xml->off);
            content_from = xml->off;
        }
        write_open_tag(out, xml, depth, doc);
        if (xml->child != nullptr) {
            xml = xml->child;
            ++depth;
            content_from = 0;
            continue;
        }
        for (;;) {
            if (xml == top) {
                return;
            }
            if (xml->ordered != nullptr) {
                xml = xml->ordered;
                break;
            }
            const xmltree *parent = xml->parent;
            append_content(out, parent->txt, content_from, static_cast<std::size_t>(-1));
            --depth;
            out.append_blanks(4 * depth);
            out.append("</");
            out.append(parent->name);
            out.append(">\n");
            xml = parent;
            content_from = (xml != top && xml->parent != nullptr) ? xml->off : 0;
        }
    }
}

void append_instruction(text_buffer &out, const instruction &pi) {
    out.append(pi.target.c_str());
    if (!pi.content.empty()) {
        out.append(" ");
    }
    out.append(pi.content.c_str());
}

bool contains(const xmltree *outer, const xmltree *inner) {
    if (outer == inner) {
        return true;
    }
    if (outer->child == nullptr) {
        return false; // a childless element has nothing below it: no walk up a deep chain
    }
    for (; inner != nullptr; inner = inner->parent) {
        if (inner == outer) {
            return true;
        }
    }
    return false;
}

} // namespace

//=== creation and insertion ===//

xmltree *xmltree_new(const char *name) {
    auto *root = new (std::nothrow) xmltree_root{};
    if (root == nullptr) {
        log_out_of_memory("Unable to allocate memory for xml document");
        return nullptr;
    }
    root->element.name = const_cast<char *>(name);
    root->element.attr = XMLTREE_NIL;
    root->element.txt = empty_text;
    root->element.flags = XMLTREE_DOCUMENT;
    return &root->element;
}

xmltree *xmltree_add_child(xmltree *parent, const char *name, std::size_t off) {
    if (parent == nullptr) {
        return nullptr;
    }
    xmltree *xml = new_element(name);
    if (xml == nullptr) {
        log_out_of_memory("Unable to allocate memory for xml element");
        return nullptr;
    }
    return xmltree_insert(xml, parent, off);
}

xmltree *xmltree_insert(xmltree *xml, xmltree *dest, std::size_t off) {
    if (xml == nullptr || dest == nullptr) {
        return nullptr;
    }
    if (xml->parent != nullptr || contains(xml, dest)) {
        // Linking an element twice, or under itself, would make the tree a cycle.
        log_error("Unable to insert xml element: it already has a parent or contains the target");
        return nullptr;
    }
    if ((xml->flags & XMLTREE_DOCUMENT) != 0) {
        // Once inside another document, a root's own defaults no longer apply.
        xmltree_root *root = root_of_record(xml);
        delete root->data;
        root->data = nullptr;
    }
    xml->next = nullptr;
    xml->sibling = nullptr;
    xml->ordered = nullptr;
    xml->group_last = nullptr;
    xml->off = off;
    xml->parent = dest;

    xml->group_last = xml;
    xmltree *head = dest->child;
    if (head == nullptr) {
        dest->child = xml;
        dest->last = xml;
        return xml;
    }

    // Document order: after the last child whose offset is at most `off`. Appending (the usual
    // case, offsets never decreasing) goes straight to the end, so building is linear.
    if (head->off > off) {
        xml->ordered = head;
        dest->child = xml;
    } else if (dest->last != nullptr && dest->last->off <= off) {
        dest->last->ordered = xml;
        dest->last = xml;
    } else {
        xmltree *cur = head;
        while (cur->ordered != nullptr && cur->ordered->off <= off) {
            cur = cur->ordered;
        }
        xml->ordered = cur->ordered;
        cur->ordered = xml;
        if (xml->ordered == nullptr) {
            dest->last = xml;
        }
    }

    // Same-name groups: the chain of group heads starts at the old first child.
    xmltree *groups = head;
    xmltree *prev = nullptr;
    xmltree *cur = groups;
    while (cur != nullptr && std::strcmp(cur->name, xml->name) != 0) {
        prev = cur;
        cur = cur->sibling;
    }
    if (cur != nullptr && cur->off <= off) {
        xmltree *group = cur;
        xml->group_last = nullptr;
        if (group->group_last != nullptr && group->group_last->off <= off) {
            cur = group->group_last;
        } else {
            while (cur->next != nullptr && cur->next->off <= off) {
                cur = cur->next;
            }
        }
        xml->next = cur->next;
        cur->next = xml;
        if (xml->next == nullptr) {
            group->group_last = xml;
        }
        return xml;
    }
    if (cur != nullptr) {
        // The old head moves into the group's next chain and leaves the chain of heads.
        if (prev != nullptr) {
            prev->sibling = cur->sibling;
        } else {
            groups = cur->sibling;
        }
        cur->sibling = nullptr;
        xml->next = cur;
        xml->group_last = cur->group_last != nullptr ? cur->group_last : cur;
        cur->group_last = nullptr;
    }
    prev = nullptr;
    cur = groups;
    while (cur != nullptr && cur->off <= off) {
        prev = cur;
        cur = cur->sibling;
    }
    xml->sibling = cur;
    if (prev != nullptr) {
        prev->sibling = xml;
    }
    return xml;
}

//=== flags and attributes ===//

xmltree *xmltree_set_flag(xmltree *xml, std::uint16_t flags) {
    if (xml == nullptr) {
        return nullptr;
    }
    // The document bit describes how the record was allocated; callers cannot change it.
    xml->flags |= static_cast<std::uint16_t>(flags & ~XMLTREE_DOCUMENT);
    return xml;
}

xmltree *xmltree_set_attr(xmltree *xml, const char *name, const char *value) {
    if (xml == nullptr) {
        return nullptr;
    }
    const bool handover = (xml->flags & XMLTREE_HANDOVER) != 0;
    xml->flags &= static_cast<std::uint16_t>(~XMLTREE_HANDOVER);
    if (name == nullptr) {
        if (handover) {
            std::free(const_cast<char *>(value));
        }
        return xml;
    }

    std::size_t pairs = attr_pairs(xml->attr);
    std::size_t i = 0;
    while (i < pairs && std::strcmp(xml->attr[2 * i], name) != 0) {
        ++i;
    }

    if (i == pairs) {
        if (value == nullptr) {
            if (handover) {
                std::free(const_cast<char *>(name));
            }
            return xml;
        }
        char **old = xml->attr == XMLTREE_NIL ? nullptr : xml->attr;
        char *marks = old == nullptr ? nullptr : attr_marks(old, pairs);
        // pairs + 1 pairs, the null entry and the mark text.
        auto **grown =
            static_cast<char **>(std::realloc(old, (2 * (pairs + 1) + 2) * sizeof(char *)));
        char *grown_marks =
            grown == nullptr ? nullptr : static_cast<char *>(std::realloc(marks, pairs + 2));
        if (grown == nullptr || grown_marks == nullptr) {
            if (grown != nullptr && old == nullptr) {
                std::free(grown); // the element stays on the shared empty list
            } else if (grown != nullptr) {
                // Keep the list consistent: the old pairs with their old marks.
                grown[2 * pairs] = nullptr;
                grown[2 * pairs + 1] = marks;
                xml->attr = grown;
            }
            if (handover) {
                std::free(const_cast<char *>(name));
                std::free(const_cast<char *>(value));
            }
            log_out_of_memory("Unable to allocate memory for xml attribute");
            return nullptr;
        }
        grown[2 * pairs] = const_cast<char *>(name);
        grown[2 * pairs + 1] = const_cast<char *>(value);
        grown[2 * pairs + 2] = nullptr;
        grown[2 * pairs + 3] = grown_marks;
        grown_marks[pairs] =
            static_cast<char>(handover ? XMLTREE_MARK_VALUE | XMLTREE_MARK_NAME : ' ');
        grown_marks[pairs + 1] = '\0';
        xml->attr = grown;
        return xml;
    }

    char *marks = attr_marks(xml->attr, pairs);
    auto owned = static_cast<unsigned char>(static_cast<unsigned char>(marks[i]) &
                                            (XMLTREE_MARK_NAME | XMLTREE_MARK_VALUE));
    if (handover) {
        // The existing name stays; the handed-over copy is not needed.
        std::free(const_cast<char *>(name));
    }
    if ((owned & XMLTREE_MARK_VALUE) != 0 && xml->attr[2 * i + 1] != value) {
        std::free(xml->attr[2 * i + 1]);
    }
    owned = static_cast<unsigned char>(handover ? (owned | XMLTREE_MARK_VALUE)
                                                : (owned & ~XMLTREE_MARK_VALUE));
    const unsigned char mark = owned != 0 ? owned : static_cast<unsigned char>(' ');
    if (value != nullptr) {
        xml->attr[2 * i + 1] = const_cast<char *>(value);
        marks[i] = static_cast<char>(mark);
        return xml;
    }

    // Removal: release the name if owned, close the gap in the pairs and in the mark text.
    if ((owned & XMLTREE_MARK_NAME) != 0) {
        std::free(xml->attr[2 * i]);
    }
    std::memmove(&xml->attr[2 * i], &xml->attr[2 * i + 2],
                 (2 * (pairs - i - 1) + 2) * sizeof(char *));
    std::memmove(&marks[i], &marks[i + 1], pairs - i); // includes the terminator
    if (pairs == 1) {
        std::free(marks);
        std::free(xml->attr);
        xml->attr = XMLTREE_NIL;
    }
    return xml;
}

const char *xmltree_attr(const xmltree *xml, const char *name) {
    if (xml == nullptr || name == nullptr || xml->attr == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; xml->attr[2 * i] != nullptr; ++i) {
        if (std::strcmp(xml->attr[2 * i], name) == 0) {
            return xml->attr[2 * i + 1];
        }
    }
    const document_data *doc = document_of(xml);
    if (doc == nullptr || xml->name == nullptr) {
        return nullptr;
    }
    for (const attr_default &d : doc->defaults) {
        if (d.element == xml->name && d.attr == name) {
            return d.value.c_str();
        }
    }
    return nullptr;
}

//=== document-only data ===//

bool xmltree_add_default(xmltree *root, const char *element, const char *attr, const char *value) {
    if (root == nullptr || root->parent != nullptr || (root->flags & XMLTREE_DOCUMENT) == 0 ||
        element == nullptr || attr == nullptr || value == nullptr) {
        return false;
    }
    try {
        xmltree_root *r = root_of_record(root);
        if (r->data == nullptr) {
            r->data = new document_data{};
        }
        r->data->defaults.push_back(attr_default{element, attr, value});
    } catch (const std::bad_alloc &) {
        log_out_of_memory("Unable to allocate memory for xml attribute default");
        return false;
    }
    return true;
}

bool xmltree_add_instruction(xmltree *root, const char *target, const char *content,
                             bool after_root) {
    if (root == nullptr || root->parent != nullptr || (root->flags & XMLTREE_DOCUMENT) == 0 ||
        target == nullptr) {
        return false;
    }
    try {
        xmltree_root *r = root_of_record(root);
        if (r->data == nullptr) {
            r->data = new document_data{};
        }
        r->data->instructions.push_back(
            instruction{target, content != nullptr ? content : "", after_root});
    } catch (const std::bad_alloc &) {
        log_out_of_memory("Unable to allocate memory for xml processing instruction");
        return false;
    }
    return true;
}

//=== release ===//

void xmltree_free(xmltree *xml) {
    // Walk the document-order chain; each element's children are spliced in right after it
    // before it is released, so the whole forest goes without recursion or extra memory.
    while (xml != nullptr) {
        if (xml->child != nullptr) {
            xmltree *last = xml->child;
            while (last->ordered != nullptr) {
                last = last->ordered;
            }
            last->ordered = xml->ordered;
            xml->ordered = xml->child;
            xml->child = nullptr;
        }
        xmltree *following = xml->ordered;
        release_record(xml);
        xml = following;
    }
}

//=== writer ===//

char *xmltree_toxml_beautify(const xmltree *xml) {
    text_buffer out;
    if (!out.ok()) {
        log_out_of_memory("Unable to allocate memory for xml text");
        return nullptr;
    }
    if (xml != nullptr && xml->name != nullptr) {
        const document_data *doc = document_of(xml);
        const bool is_root = xml->parent == nullptr;
        if (is_root && doc != nullptr) {
            for (const instruction &pi : doc->instructions) {
                if (!pi.after_root) {
                    out.append("<?");
                    append_instruction(out, pi);
                    out.append("?>\n");
                }
            }
        }
        write_subtree(out, xml, doc);
        if (is_root && doc != nullptr) {
            for (const instruction &pi : doc->instructions) {
                if (pi.after_root) {
                    out.append("\n<?");
                    append_instruction(out, pi);
                    out.append("?>");
                }
            }
        }
    }
    char *text = out.release();
    if (text == nullptr) {
        log_out_of_memory("Unable to allocate memory for xml text");
    }
    return text;
}
