// Modules and include references, typedefs, constants, forward declarations and the dispatch of
// definitions by node type.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct ast;
struct xmltree;
struct idl_source;

/// Hands one definition node (module, constant, type declaration, annotation declaration) to
/// its visitor with parent; false when it fails or has no translation (logged).
[[nodiscard]] bool idl_visit_definition(const ast *node, const idl_source &src, xmltree *parent);
/// Adds a `module` element with its definitions, or an `include` element for an include marker,
/// to parent; nested modules are walked without recursion. False on failure (logged).
[[nodiscard]] bool idl_visit_module_dcl(const ast *node, const idl_source &src, xmltree *parent);
/// Adds the element of a module head (a module node whose children after its name, if any, are
/// not visited) to parent, `depth` modules being open around it: an `include` element for an
/// include marker (*element then null: its definitions are not translated), else the `module`
/// element with its annotations and name, put in *element for its definitions. False on failure,
/// such as nesting too deep (logged).
[[nodiscard]] bool idl_open_module(const ast *node, const idl_source &src, xmltree *parent,
                                   std::size_t depth, xmltree **element);
/// Adds one `typedef` element per declarator (after the element of a type declared in place) to
/// parent; false on failure, including a type without a DDS-XML name (logged).
[[nodiscard]] bool idl_visit_typedef_dcl(const ast *node, const idl_source &src, xmltree *parent);
/// Adds one `const` element (`name`, `type`, `nonBasicTypeName`, `value`) to parent; false on
/// failure, including a `fixed` constant (logged).
[[nodiscard]] bool idl_visit_const_dcl(const ast *node, const idl_source &src, xmltree *parent);
/// Adds a content-less `struct` element with the declared name to parent; false on failure.
[[nodiscard]] bool idl_visit_struct_forward_dcl(const ast *node, const idl_source &src,
                                                xmltree *parent);
/// Adds a content-less `union` element with the declared name to parent; false on failure.
[[nodiscard]] bool idl_visit_union_forward_dcl(const ast *node, const idl_source &src,
                                               xmltree *parent);
/// XML counterpart of an included path: the first ".idl" of its last component becomes ".xml",
/// or ".xml" is appended when there is none; everything else is kept.
[[nodiscard]] std::string idl_include_xml_path(std::string_view idl_path);
