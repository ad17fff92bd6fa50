// Translation entry: one IDL file in, one DDS-XML document tree out.
#pragma once

struct xmltree;
struct pn_linkedlist;

/// Preprocesses, parses and translates the IDL file at idl_path; macros (predefined
/// preproc_macro records) and include_dirs (C strings) go to the preprocessor unchanged and
/// stay owned by the caller. Returns the `dds` root, released by the caller with xmltree_free,
/// or null on any failure (already logged).
[[nodiscard]] xmltree *zadozeda_parse(const char *idl_path, pn_linkedlist *macros,
                                      pn_linkedlist *include_dirs);
