// The compiler form the other way round (--from-xml): DDS-XML type documents read back, their
// type names checked across the documents they include, and each written as an IDL file.
#pragma once

#include <vector>

struct compile_job;
struct driver_options;

/// Converts the document of each planned job (inputs `*.xml`, outputs `NAME.idl`) and returns
/// the exit status: 0 when every document converted, 1 when one failed. Diagnostics go to
/// standard error in the gcc layout, grouped per input in input order; `-o -` writes the one
/// IDL text to standard output.
[[nodiscard]] int reverse_run(const driver_options &opts, const std::vector<compile_job> &jobs,
                              bool colour);
