// Translation entry: the document of a unit, and of one IDL file read alone.
#include "idl/idl.hpp"

#include "base/glog.hpp"
#include "base/owned.hpp"
#include "idl/idl_load.hpp"
#include "idl/idl_module.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_pragma.hpp"
#include "idl/idl_translate.hpp"
#include "xml/xmltree.hpp"

#include <memory>
#include <mutex>
#include <new>

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
    const owned<idl_unit, idl_unit_delete> unit{idl_unit_read(idl_path, macros)};
    return unit ? idl_unit_document(unit.get()) : nullptr;
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
