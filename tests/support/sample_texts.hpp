// Real inputs for tests that compare two ways of doing the same work over many texts.
#pragma once

#include <string>
#include <vector>

/// Every `.idl` file under tests/golden, tests/models and the corpus folder (when it exists),
/// read whole, in path order; a missing folder is skipped with a note on standard output.
[[nodiscard]] std::vector<std::string> golden_and_corpus_texts();
