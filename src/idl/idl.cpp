// Translation entry: preprocesses one IDL file and builds its DDS-XML document.
#include "idl/idl.hpp"

#include "base/glog.hpp"
#include "base/owned.hpp"
#include "idl/idl_load.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_module.hpp"
#include "idl/idl_pragma.hpp"
#include "idl/idl_translate.hpp"
#include "preproc/preproc.hpp"
#include "xml/xmltree.hpp"

#include <memory>
#include <mutex>
#include <new>

namespace {

constexpr const char xsi_namespace[] = "http://www.w3.org/2001/XMLSchema-instance";
constexpr const char dds_xml_namespace[] = "http://www.omg.org/spec/DDS-XML";

// Releases the preprocessor state on every path (also after a failed init: it is zeroed then).
struct preproc_guard {
    preproc_root *state;
    ~preproc_guard() { preproc_root_fini(state); }
};

// Owns the preprocessed text once it has been taken out of the preprocessor state.
struct text_guard {
    idl_string text{};
    ~text_guard() { idl_string_free(&text); }
};

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

xmltree *translate_file(const char *idl_path, pn_linkedlist *macros, pn_linkedlist *include_dirs) {
    // The tree reports its own failures to allocate: one record for running out of memory.
    owned<xmltree, xmltree_free> document{xmltree_new("dds")};
    if (!document) {
        return nullptr;
    }
    xmltree *types = xmltree_add_child(document.get(), "types", 0);
    if (types == nullptr) {
        return nullptr;
    }
    const idl_source none{};
    if (!idl_set_attr(none, document.get(), "xmlns:xsi", xsi_namespace, 0) ||
        !idl_set_attr(none, document.get(), "xmlns", dds_xml_namespace, 0)) {
        return nullptr; // reported
    }
    text_guard text;
    idl_source src;
    {
        preproc_root state{};
        const preproc_guard guard{&state};
        if (!preproc_root_init(&state, macros, include_dirs) ||
            !zadozeda_preproc(&state, idl_path)) {
            return nullptr; // the preprocessor has logged the cause
        }
        // Only the text and the file records are needed from here on: the macro table and the
        // preprocessor's grammars go before the parse builds its tree.
        // The text grew by doubling; its slack goes back before the trees join it.
        idl_string_shrink_to_fit(&state.output);
        src = idl_source_of(state, idl_path);
        text.text = state.output;
        state.output = idl_string{};
    }
    if (!idl_translate(src, types)) {
        return nullptr;
    }
    return document.release();
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
    // Node texts and names are copied into standard strings on the way; running out of memory
    // there ends the translation like any other failure, with everything released.
    try {
        return translate_file(idl_path, macros, include_dirs);
    } catch (const std::bad_alloc &) {
        glog_at(GLOG_GLOBAL_INSTANCE, GLOG_FATAL, "Out of memory: Unable to translate %s",
                idl_path);
        return nullptr;
    }
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
