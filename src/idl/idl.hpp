// Translation entry: one IDL file in, one DDS-XML document tree out.
#pragma once

#include <string>
#include <vector>

struct xmltree;
struct pn_linkedlist;

/// Preprocesses, parses and translates the IDL file at idl_path; macros (predefined
/// preproc_macro records) and include_dirs (C strings) go to the preprocessor unchanged and
/// stay owned by the caller. Returns the `dds` root, released by the caller with xmltree_free,
/// or null on any failure (already logged).
[[nodiscard]] xmltree *zadozeda_parse(const char *idl_path, pn_linkedlist *macros,
                                      pn_linkedlist *include_dirs);
/// As zadozeda_parse, but hands over the text `xmltree_write_beautify` would write for the
/// document, in pieces in order (text is replaced), instead of the document: the elements of each
/// top-level definition are written and released as soon as they are made, so the document is
/// never held whole. False, text empty, on any failure (logged as by zadozeda_parse).
[[nodiscard]] bool zadozeda_parse_text(const char *idl_path, pn_linkedlist *macros,
                                       pn_linkedlist *include_dirs, std::vector<std::string> *text);
