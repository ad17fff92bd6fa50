// Real inputs for tests that compare two ways of doing the same work over many texts.
#pragma once

#include <string>
#include <vector>

/// Every `.idl` file under tests/golden and the shared corpus beside the project, read whole,
/// in path order; missing folders are skipped.
[[nodiscard]] std::vector<std::string> golden_and_corpus_texts();
