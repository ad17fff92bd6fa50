// Translation entry: the document of a unit, and of one IDL file read alone.
#include "idl/idl.hpp"

#include "base/diag.hpp"
#include "base/glog.hpp"
#include "base/owned.hpp"
#include "grammars/idl_parser.hpp"
#include "idl/idl_load.hpp"
#include "idl/idl_module.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_pragma.hpp"
#include "idl/idl_translate.hpp"
#include "model/parse.hpp"
#include "model/unit.hpp"
#include "peg/ast.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "xml/xmltree.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr const char xsi_namespace[] = "http://www.w3.org/2001/XMLSchema-instance";
constexpr const char dds_xml_namespace[] = "http://www.omg.org/spec/DDS-XML";

// The document root with its namespaces; `*types` is set to its one child.
xmltree *new_document(xmltree **types) {
    owned<xmltree, xmltree_free> document{xmltree_new("dds")};
    if (!document) {
        return nullptr;
    }
    *types = xmltree_add_child(document.get(), "types", 0);
    if (*types == nullptr) {
        return nullptr;
    }
    const idl_source none{};
    if (!idl_set_attr(none, document.get(), "xmlns:xsi", xsi_namespace, 0) ||
        !idl_set_attr(none, document.get(), "xmlns", dds_xml_namespace, 0)) {
        return nullptr; // reported
    }
    return document.release();
}

// Holds the diagnostics reported while the parse may still fail, so that a file that does not
// parse reports its parse error alone, as when it is parsed whole before any translation.
class held_diagnostics final : public diag_consumer {
public:
    held_diagnostics() : previous_(diag_set_consumer(this)) {}
    ~held_diagnostics() override { diag_set_consumer(previous_); }
    held_diagnostics(const held_diagnostics &) = delete;
    held_diagnostics &operator=(const held_diagnostics &) = delete;
    void consume(const diagnostic &d) override { held_.push_back(d); }
    // Stops holding; what was held is reported when report is set, else dropped.
    void release(bool report) {
        diag_set_consumer(previous_);
        if (report) {
            for (const diagnostic &d : held_) {
                diag_report(d);
            }
        }
        held_.clear();
    }

private:
    diag_consumer *previous_;
    std::vector<diagnostic> held_;
};

// Appends a piece of document text to a list of pieces that grow with the text, from 64 KB
// to 1 MB (each as large as the text before it): a long text grows without being copied, in
// few pieces, and the first ones fit into memory the preprocessor's buffers left rather than
// fresh pages; throws std::bad_alloc when memory runs out.
bool append_text(void *context, const char *data, std::size_t len) {
    auto *pieces = static_cast<std::vector<std::string> *>(context);
    if (pieces->empty() || pieces->back().size() + len > pieces->back().capacity()) {
        std::size_t written = 0;
        for (const std::string &piece : *pieces) {
            written += piece.size();
        }
        const std::size_t piece_bytes =
            std::clamp(written, std::size_t{64} << 10, std::size_t{1} << 20);
        pieces->emplace_back();
        pieces->back().reserve(len > piece_bytes ? len : piece_bytes);
    }
    pieces->back().append(data, len);
    return true;
}

// The text of a document made whole.
bool document_text(const xmltree *document, std::vector<std::string> *text) {
    text->clear();
    return xmltree_write_beautify(document, append_text, text);
}

struct parts_walk {
    const idl_source *src;
    xmltree *document;                   // the skeleton: `dds` with its namespaces and `types`
    xmltree *types;                      // its `types`
    std::vector<std::string> *text;      // text mode: the parts are written here, not kept
    bool written = false;                // text mode: the start tags are written
    bool failed = false;                 // a definition failed: the rest is parsed, not translated
    bool out_of_memory = false;          // the failure was an allocation that threw
    bool unusable = false;               // text mode: a definition changed `types` itself
    // The modules around the definitions now read, outermost first: their `module` elements,
    // or null for an include marker, whose definitions are not translated.
    std::vector<xmltree *> open{};
    std::size_t started = 0;              // text mode: open modules whose start tags are written
    owned<xmltree, xmltree_free> heads{}; // text mode: the elements of the open modules
};

// The start tags not yet written of the document and of the open modules: what is written next
// is inside them.
void start_tags(parts_walk *walk) {
    if (!walk->written) {
        walk->written = true;
        static_cast<void>(xmltree_write_start_tag(walk->document, 0, true, append_text, walk->text));
        static_cast<void>(xmltree_write_start_tag(walk->types, 1, true, append_text, walk->text));
    }
    for (; walk->started < walk->open.size(); ++walk->started) {
        static_cast<void>(xmltree_write_start_tag(walk->open[walk->started], 2 + walk->started,
                                                  true, append_text, walk->text));
    }
}

// Text mode: translates a definition into a `types` element of a tree of its own and writes
// the elements it made as children of the innermost open module, or of the document's `types`;
// the tree goes right after, and the next one reuses its blocks. False when the translation
// fails.
bool write_part(parts_walk *walk, const ast *definition) {
    const owned<xmltree, xmltree_free> part{xmltree_new("types")};
    if (!part) {
        walk->src->out_of_memory = true; // reported by the tree
        return false;
    }
    if (!idl_visit_definition(definition, *walk->src, part.get())) {
        return false;
    }
    if (part->attr != XMLTREE_NIL || part->txt[0] != '\0') {
        walk->unusable = true; // the document is made whole instead
        return true;
    }
    for (const xmltree *child = part->child; child != nullptr; child = child->ordered) {
        start_tags(walk);
        static_cast<void>(
            xmltree_write_beautify_at(child, 2 + walk->open.size(), append_text, walk->text));
    }
    return true;
}

// A module's head: its element is made (in text mode, in a tree of the open modules' own, its
// start tag written once something goes inside it) and the module opened.
bool open_part(parts_walk *walk, const ast *head) {
    if (!walk->open.empty() && walk->open.back() == nullptr) {
        walk->open.push_back(nullptr); // inside an include marker: nothing is translated
        return true;
    }
    xmltree *parent = walk->open.empty() ? walk->types : walk->open.back();
    if (walk->text != nullptr) {
        if (!walk->heads) {
            walk->heads.reset(xmltree_new("types"));
            if (!walk->heads) {
                walk->src->out_of_memory = true; // reported by the tree
                return false;
            }
        }
        parent = walk->heads.get();
    }
    xmltree *element = nullptr;
    if (!idl_open_module(head, *walk->src, parent, walk->open.size(), &element)) {
        return false;
    }
    if (element == nullptr && walk->text != nullptr) {
        // An include marker: its element is complete.
        start_tags(walk);
        static_cast<void>(xmltree_write_beautify_at(parent->last, 2 + walk->open.size(),
                                                    append_text, walk->text));
    }
    walk->open.push_back(element);
    return true;
}

// A module's end: in text mode its end tag, or the tag of a module without definitions.
void close_part(parts_walk *walk) {
    const xmltree *element = walk->open.back();
    walk->open.pop_back();
    if (walk->text == nullptr || element == nullptr) {
        return;
    }
    const std::size_t depth = 2 + walk->open.size();
    if (walk->started > walk->open.size()) {
        walk->started = walk->open.size();
        static_cast<void>(xmltree_write_end_tag(element, depth, append_text, walk->text));
    } else {
        start_tags(walk);
        static_cast<void>(xmltree_write_start_tag(element, depth, false, append_text, walk->text));
    }
}

void translate_part(parse_part_event event, const ast *node, void *context) {
    auto *walk = static_cast<parts_walk *>(context);
    if (walk->failed || walk->unusable) {
        return;
    }
    try {
        bool ok = true;
        if (event == PART_OPEN) {
            ok = open_part(walk, node);
        } else if (event == PART_CLOSE) {
            close_part(walk);
        } else if (walk->open.empty() || walk->open.back() != nullptr) {
            ok = walk->text != nullptr
                     ? write_part(walk, node)
                     : idl_visit_definition(node, *walk->src,
                                            walk->open.empty() ? walk->types : walk->open.back());
        }
        walk->failed = !ok;
    } catch (const std::bad_alloc &) {
        walk->failed = true;
        walk->out_of_memory = true;
    }
}

// The document of the unit's text made while it is parsed: each definition outside a module is
// translated as soon as it is matched (a module's head opens its element, its end closes it),
// and its nodes go before the next one is read, so the tree of the whole text, or of a whole
// module, is never held. With text set, the document is not kept either: the elements of each
// definition are written to text and released, and the result is null. The
// reports, the document and its text are those of the translation of the whole tree. *parsed is
// false, nothing reported and the result null, when the text has key pragmas (resolved over
// the whole tree) or does not parse: the caller then parses it whole.
xmltree *document_by_parts(const idl_unit &unit, std::vector<std::string> *text, bool *parsed) {
    *parsed = false;
    const idl_source &src = unit.src;
    if (!src.pragmas.empty()) {
        return nullptr;
    }
    const owned<parser, parser_delete> grammar{idl_parser_new()};
    if (!grammar) {
        return nullptr; // parsed whole, which reports it
    }
    try {
        xmltree *types = nullptr;
        owned<xmltree, xmltree_free> document{new_document(&types)};
        if (!document) {
            return nullptr;
        }
        held_diagnostics held;
        parts_walk walk{&src, document.get(), types, text};
        if (text != nullptr) {
            text->clear();
        }
        input in{};
        input_init(&in, src.text.data(), src.text.size());
        if (!parse_parts_nested(grammar.get(), &in, translate_part, &walk) || walk.unusable) {
            held.release(false);
            src.out_of_memory = false;
            return nullptr;
        }
        *parsed = true;
        held.release(true);
        if (walk.failed && text != nullptr) {
            text->clear();
        }
        if (walk.out_of_memory) {
            glog_at(GLOG_GLOBAL_INSTANCE, GLOG_FATAL, "Out of memory: Unable to translate %s",
                    unit.path.c_str());
            return nullptr;
        }
        if (walk.failed) {
            // Running out of memory has been reported where it happened, once.
            if (!src.out_of_memory) {
                glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "Failed to generate XML");
            }
            return nullptr;
        }
        if (text == nullptr) {
            return document.release();
        }
        if (walk.written) {
            static_cast<void>(xmltree_write_end_tag(types, 1, append_text, text));
        } else {
            static_cast<void>(xmltree_write_start_tag(document.get(), 0, true, append_text, text));
            static_cast<void>(xmltree_write_start_tag(types, 1, false, append_text, text));
        }
        static_cast<void>(xmltree_write_end_tag(document.get(), 0, append_text, text));
        return nullptr;
    } catch (const std::bad_alloc &) {
        *parsed = true;
        glog_at(GLOG_GLOBAL_INSTANCE, GLOG_FATAL, "Out of memory: Unable to translate %s",
                unit.path.c_str());
        if (text != nullptr) {
            text->clear();
        }
        return nullptr;
    }
}

// The document of the file at idl_path (text null), or its text (the result then null and
// *done telling success); reported as zadozeda_parse reports.
xmltree *read_document(const char *idl_path, pn_linkedlist *macros, std::vector<std::string> *text,
                       bool *done) {
    *done = false;
    const owned<idl_unit, idl_unit_delete> unit{idl_unit_read_text(idl_path, macros)};
    if (!unit) {
        return nullptr;
    }
    bool parsed = false;
    xmltree *made = document_by_parts(*unit, text, &parsed);
    if (parsed) {
        *done = made != nullptr || (text != nullptr && !text->empty());
        return made;
    }
    // Parsed whole: the parse error is reported, or the key pragmas are resolved over the tree.
    unit->tree = idl_parse_source(unit->src);
    if (unit->tree == nullptr) {
        return nullptr;
    }
    owned<xmltree, xmltree_free> document{idl_unit_document(unit.get())};
    if (!document || text == nullptr) {
        *done = document != nullptr;
        return document.release();
    }
    try {
        *done = document_text(document.get(), text);
    } catch (const std::bad_alloc &) {
        glog_at(GLOG_GLOBAL_INSTANCE, GLOG_FATAL, "Out of memory: Unable to translate %s",
                idl_path);
        text->clear();
    }
    return nullptr;
}

} // namespace

bool idl_translate_tree(const ast *tree, const idl_source &src, xmltree *types) {
    if (!idl_pragma_resolve_keys(tree, src)) {
        return false; // reported
    }
    const std::size_t count = idl_child_count(tree);
    for (std::size_t i = 0; i < count; ++i) {
        if (!idl_visit_definition(idl_child(tree, i), src, types)) {
            // Running out of memory has been reported where it happened, once.
            if (!src.out_of_memory) {
                glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "Failed to generate XML");
            }
            return false;
        }
    }
    return true;
}

bool idl_translate(const idl_source &src, xmltree *types) {
    const owned<ast, ast_recursive_delete> tree{idl_parse_source(src)};
    return tree && idl_translate_tree(tree.get(), src, types); // failures reported where found
}

xmltree *zadozeda_parse(const char *idl_path, pn_linkedlist *macros, pn_linkedlist *include_dirs) {
    // This form reads no included file: the include folders are never searched.
    static_cast<void>(include_dirs);
    bool done = false;
    return read_document(idl_path, macros, nullptr, &done);
}

bool zadozeda_parse_text(const char *idl_path, pn_linkedlist *macros, pn_linkedlist *include_dirs,
                         std::vector<std::string> *text) {
    static_cast<void>(include_dirs);
    bool done = false;
    static_cast<void>(read_document(idl_path, macros, text, &done));
    return done;
}

xmltree *idl_unit_document(const idl_unit *unit) {
    const std::lock_guard<std::mutex> hold(unit->translating);
    try {
        xmltree *types = nullptr;
        owned<xmltree, xmltree_free> document{new_document(&types)};
        if (!document || !idl_translate_tree(unit->tree, unit->src, types)) {
            return nullptr;
        }
        return document.release();
    } catch (const std::bad_alloc &) {
        glog_at(GLOG_GLOBAL_INSTANCE, GLOG_FATAL, "Out of memory: Unable to translate %s",
                unit->path.c_str());
        return nullptr;
    }
}
