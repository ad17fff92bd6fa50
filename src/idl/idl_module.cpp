// Modules and include references, typedefs, constants, forward declarations and the dispatch of
// definitions by node type.
#include "idl/idl_module.hpp"

#include "base/glog.hpp"
#include "grammars/idl_parser.hpp"
#include "idl/idl_enum.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_struct.hpp"
#include "idl/idl_types.hpp"
#include "idl/idl_union.hpp"
#include "preproc/preproc.hpp"

#include <vector>

namespace {

// A module whose definitions are being visited.
struct open_module {
    const ast *node;
    xmltree *element;
    std::size_t next;
};

// Each level indents its lines by four more blanks, so the document grows with the square of
// the depth: 100,000 levels of a few bytes each would write tens of gigabytes. Real models
// nest a handful of levels.
constexpr std::size_t k_max_module_depth = 4096;

// The `file` of an include element: the driver's reference for the directive's line, or the
// include's name with ".idl" made ".xml".
std::string include_ref(const idl_source &src, const std::string &path, std::uint64_t pos) {
    if (src.include_refs != nullptr) {
        const unsigned long line = idl_place_of(src, pos).line;
        for (const auto &ref : *src.include_refs) {
            if (ref.first == line) {
                return ref.second;
            }
        }
    }
    return idl_include_xml_path(path);
}

// Opens a module: an include marker becomes an `include` element (nothing to push); otherwise
// the `module` element is added and the module pushed so that its definitions get visited.
bool open_module_dcl(const ast *node, const idl_source &src, xmltree *parent,
                     std::vector<open_module> *stack) {
    xmltree *element = nullptr;
    if (!idl_open_module(node, src, parent, stack->size(), &element)) {
        return false;
    }
    if (element != nullptr) {
        stack->push_back({node, element, idl_first_non_annotation(node) + 1});
    }
    return true;
}

// Name node of a constructed type declared inside a typedef.
const ast *declared_type_identifier(const ast *type_node) {
    return idl_child(type_node, idl_first_non_annotation(type_node));
}

bool visit_declared_type(const ast *type_node, const idl_source &src, xmltree *parent) {
    switch (idl_type_of(type_node)) {
    case IDL_STRUCT_DEF:
        return idl_visit_struct_def(type_node, src, parent);
    case IDL_UNION_DEF:
        return idl_visit_union_def(type_node, src, parent);
    case IDL_ENUM_DCL:
        return idl_visit_enum_dcl(type_node, src, parent);
    case IDL_BITSET_DCL:
        return idl_visit_bitset_dcl(type_node, src, parent);
    case IDL_BITMASK_DCL:
        return idl_visit_bitmask_dcl(type_node, src, parent);
    default:
        return true; // forward declarations only name the type
    }
}

bool is_declared_type(std::uint64_t type) {
    return type == IDL_STRUCT_DEF || type == IDL_UNION_DEF || type == IDL_ENUM_DCL ||
           type == IDL_BITSET_DCL || type == IDL_BITMASK_DCL || type == IDL_STRUCT_FORWARD_DCL ||
           type == IDL_UNION_FORWARD_DCL;
}

bool add_named_element(const ast *node, const idl_source &src, xmltree *parent, const char *tag) {
    xmltree *element = idl_add_element(src, parent, tag);
    const ast *id = idl_child(node, idl_first_non_annotation(node));
    return element != nullptr && idl_apply_annotations(node, src, element) &&
           idl_set_attr(src, element, "name", idl_identifier_text(src, id), idl_start_of(id));
}

} // namespace

std::string idl_include_xml_path(std::string_view idl_path) {
    const std::size_t slash = idl_path.rfind('/');
    const std::size_t base = slash == std::string_view::npos ? 0 : slash + 1;
    std::string out(idl_path);
    const std::size_t ext = idl_path.find(".idl", base);
    if (ext == std::string_view::npos) {
        out += ".xml";
    } else {
        out.replace(ext, 4, ".xml");
    }
    return out;
}

bool idl_open_module(const ast *node, const idl_source &src, xmltree *parent, std::size_t depth,
                     xmltree **element) {
    *element = nullptr;
    const std::size_t first = idl_first_non_annotation(node);
    const ast *id = idl_child(node, first);
    const std::string_view name = idl_text_of(src, id);
    if (name.find(PREPROC_MARKER_SUFFIX) != std::string_view::npos) {
        std::string path(name.size() + 1, '\0');
        const std::int64_t len = preproc_include_marker_decode(name.data(), name.size(), &path[0]);
        if (len >= 0) {
            path.resize(static_cast<std::size_t>(len));
            xmltree *include = idl_add_element(src, parent, "include");
            return include != nullptr &&
                   idl_set_attr(src, include, "file", include_ref(src, path, idl_start_of(id)),
                                idl_start_of(id));
        }
        // Not a well-formed marker: a module the user named so.
    }
    if (depth >= k_max_module_depth) {
        idl_report(src, DIAG_ERROR, idl_start_of(node),
                   "Modules nest deeper than " + std::to_string(k_max_module_depth) + " levels",
                   "");
        return false;
    }
    xmltree *made = idl_add_element(src, parent, "module");
    if (made == nullptr || !idl_apply_annotations(node, src, made) ||
        !idl_set_attr(src, made, "name", idl_unescaped(name), idl_start_of(id))) {
        return false;
    }
    *element = made;
    return true;
}

bool idl_visit_definition(const ast *node, const idl_source &src, xmltree *parent) {
    switch (idl_type_of(node)) {
    case IDL_ANNOTATION_DCL: {
        const ast *id = idl_child(node, 0);
        idl_warn(src, idl_start_of(id),
                 "Custom annotation '" + std::string(idl_identifier_text(src, id)) +
                     "' will be ignored",
                 DIAG_W_CUSTOM_ANNOTATION);
        return true;
    }
    case IDL_MODULE_DCL:
        return idl_visit_module_dcl(node, src, parent);
    case IDL_CONST_DCL:
        return idl_visit_const_dcl(node, src, parent);
    case IDL_BITSET_DCL:
        return idl_visit_bitset_dcl(node, src, parent);
    case IDL_BITMASK_DCL:
        return idl_visit_bitmask_dcl(node, src, parent);
    case IDL_STRUCT_FORWARD_DCL:
        return idl_visit_struct_forward_dcl(node, src, parent);
    case IDL_STRUCT_DEF:
        return idl_visit_struct_def(node, src, parent);
    case IDL_UNION_FORWARD_DCL:
        return idl_visit_union_forward_dcl(node, src, parent);
    case IDL_UNION_DEF:
        return idl_visit_union_def(node, src, parent);
    case IDL_ENUM_DCL:
        return idl_visit_enum_dcl(node, src, parent);
    case IDL_TYPEDEF_DCL:
        return idl_visit_typedef_dcl(node, src, parent);
    default: {
        idl_report(
            src, DIAG_ERROR, idl_start_of(node),
            std::string("Declaration '") + idl_construct_name(node) + "' has no DDS-XML form", "");
        return false;
    }
    }
}

bool idl_visit_module_dcl(const ast *node, const idl_source &src, xmltree *parent) {
    // Modules nest without bound, so their definitions are walked with an explicit stack.
    std::vector<open_module> stack;
    if (!open_module_dcl(node, src, parent, &stack)) {
        return false;
    }
    while (!stack.empty()) {
        open_module &top = stack.back();
        if (top.next >= idl_child_count(top.node)) {
            stack.pop_back();
            continue;
        }
        const ast *child = idl_child(top.node, top.next++);
        xmltree *element = top.element;
        const bool ok = idl_type_of(child) == IDL_MODULE_DCL
                            ? open_module_dcl(child, src, element, &stack)
                            : idl_visit_definition(child, src, element);
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool idl_visit_typedef_dcl(const ast *annotated, const idl_source &src, xmltree *parent) {
    // The helpers find the aliased type as child 0: they see the typedef without annotations.
    const idl_unannotated view(annotated);
    const ast *node = view.get();
    const ast *type_node = idl_child(node, 0);
    const ast *declarators = idl_child(node, 1);
    const bool declared = is_declared_type(idl_type_of(type_node));
    std::string declared_name;
    if (declared) {
        // The type declared in place comes first; the aliases then refer to it by name.
        if (!visit_declared_type(type_node, src, parent)) {
            return false;
        }
        declared_name = idl_identifier_text(src, declared_type_identifier(type_node));
    }
    const std::size_t count = idl_child_count(declarators);
    for (std::size_t d = 0; d < count; ++d) {
        const ast *declarator = idl_child(declarators, d);
        const ast *id = idl_declarator_identifier(declarator);
        const std::uint64_t pos = idl_start_of(type_node);
        xmltree *element = idl_add_element(src, parent, "typedef");
        if (element == nullptr || !idl_apply_annotations(annotated, src, element) ||
            !idl_set_attr(src, element, "name", idl_identifier_text(src, id), idl_start_of(id))) {
            return false;
        }
        if (declared) {
            if (!idl_set_attr(src, element, "type", "nonBasic", pos) ||
                !idl_set_attr(src, element, "nonBasicTypeName", declared_name, pos)) {
                return false;
            }
        } else {
            const char *type = idl_visit_type_spec(node, src, element);
            if (type == nullptr || !idl_set_attr(src, element, "type", type, pos)) {
                return false;
            }
            if (std::string_view(type) == "nonBasic" &&
                !idl_set_attr(src, element, "nonBasicTypeName",
                              idl_visit_scoped_name(type_node, src), pos)) {
                return false;
            }
            if (!idl_visit_bounded_string(node, src, element) ||
                !idl_visit_sequence(node, src, element)) {
                return false;
            }
        }
        if (!idl_visit_array_declarator(declarator, src, element)) {
            return false;
        }
    }
    return true;
}

bool idl_visit_const_dcl(const ast *node, const idl_source &src, xmltree *parent) {
    const std::size_t first = idl_first_non_annotation(node);
    const ast *type_node = idl_child(idl_child(node, first), 0);
    const char *type = idl_type_name(type_node);
    const std::uint64_t pos = idl_start_of(type_node);
    if (type == nullptr) {
        idl_report(src, DIAG_ERROR, pos,
                   std::string("Constant type '") + idl_construct_name(type_node) +
                       "' has no DDS-XML type name",
                   "");
        return false;
    }
    xmltree *element = idl_add_element(src, parent, "const");
    const ast *id = idl_child(node, first + 1);
    if (element == nullptr || !idl_apply_annotations(node, src, element) ||
        !idl_set_attr(src, element, "name", idl_identifier_text(src, id), idl_start_of(id)) ||
        !idl_set_attr(src, element, "type", type, pos)) {
        return false;
    }
    if (std::string_view(type) == "nonBasic" &&
        !idl_set_attr(src, element, "nonBasicTypeName", idl_scoped_name_text(src, type_node),
                      pos)) {
        return false;
    }
    const ast *value = idl_child(node, first + 2);
    std::string room;
    return idl_set_attr(src, element, "value",
                        idl_unescaped_expression(idl_text_of(src, value), &room),
                        idl_start_of(value));
}

bool idl_visit_struct_forward_dcl(const ast *node, const idl_source &src, xmltree *parent) {
    return add_named_element(node, src, parent, "struct");
}

bool idl_visit_union_forward_dcl(const ast *node, const idl_source &src, xmltree *parent) {
    return add_named_element(node, src, parent, "union");
}
