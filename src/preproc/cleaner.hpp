// Cleaning pass: comments removed, continuations joined, blanks folded, line count kept.
#pragma once

#include <cstdint>

#include "base/idlstring.hpp"

/// Raises the soft stack limit to `bytes` when it is lower; false (logged) when the limit
/// cannot be read or raised that far.
[[nodiscard]] bool idlpreproc_reserve_stack(uint64_t bytes);

/// Cleans the text `data` (`size` bytes) in one pass and appends the result to `out`; `path`
/// names it in messages. The result is never longer than the input. False on failure (logged).
[[nodiscard]] bool idlpreproc_clean_text(const char *data, uint64_t size, const char *path,
                                         idl_string *out);

/// Cleans like `idlpreproc_clean_text` by parsing with the line-cleaner grammar
/// (grammars/idlcleaner.peg) and walking its tree: the executable definition of cleaning that
/// the one-pass cleaner is tested against. Slow and memory-hungry (a tree node per piece);
/// never used in production. False on failure (logged).
[[nodiscard]] bool idlpreproc_clean_text_by_grammar(const char *data, uint64_t size,
                                                    const char *path, idl_string *out);

/// Reads the file at `path` whole, cleans it and appends the result to `out`; false on failure
/// (logged once: unreadable file, or "Out of memory: ..." naming the file).
[[nodiscard]] bool idlpreproc_clean_file(const char *path, idl_string *out);
