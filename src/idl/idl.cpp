// Translation entry: preprocesses one IDL file and builds its DDS-XML document.
#include "idl/idl.hpp"

#include "base/glog.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_translate.hpp"
#include "preproc/preproc.hpp"
#include "xml/xmltree.hpp"
#include "base/owned.hpp"

#include <memory>

namespace {

constexpr const char xsi_namespace[] = "http://www.w3.org/2001/XMLSchema-instance";
constexpr const char dds_xml_namespace[] = "http://www.omg.org/spec/DDS-XML";

// Releases the preprocessor state on every path (also after a failed init: it is zeroed then).
struct preproc_guard {
    preproc_root *state;
    ~preproc_guard() { preproc_root_fini(state); }
};

} // namespace

xmltree *zadozeda_parse(const char *idl_path, pn_linkedlist *macros, pn_linkedlist *include_dirs) {
    owned<xmltree, xmltree_free> document{xmltree_new("dds")};
    if (!document) {
        glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "Failed to generate XML\n");
        return nullptr;
    }
    xmltree *types = xmltree_add_child(document.get(), "types", 0);
    if (types == nullptr) {
        glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "Failed to generate XML");
        return nullptr;
    }
    const idl_source none{};
    if (!idl_set_attr(none, document.get(), "xmlns:xsi", xsi_namespace, 0) ||
        !idl_set_attr(none, document.get(), "xmlns", dds_xml_namespace, 0)) {
        return nullptr; // logged "Failed to generate XML"
    }
    preproc_root state{};
    const preproc_guard guard{&state};
    if (!preproc_root_init(&state, macros, include_dirs) || !zadozeda_preproc(&state, idl_path)) {
        return nullptr; // the preprocessor has logged the cause
    }
    const idl_source src = idl_source_of(state, idl_path);
    if (!idl_translate(src, types)) {
        return nullptr;
    }
    return document.release();
}
