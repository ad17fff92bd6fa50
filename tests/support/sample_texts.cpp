// Real inputs for tests that compare two ways of doing the same work over many texts.
#include "support/sample_texts.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;

std::vector<std::string> golden_and_corpus_texts() {
    const fs::path source = VANDREL_SOURCE_DIR;
    const fs::path roots[] = {source / "tests" / "golden", source / "tests" / "models",
                              fs::path(VANDREL_CORPUS_DIR)};
    std::vector<fs::path> files;
    for (const fs::path &root : roots) {
        std::error_code ec;
        if (!fs::is_directory(root, ec)) {
            std::cout << "note: no folder " << root.string()
                      << ": its models are not among the sample texts\n";
            continue;
        }
        for (const auto &entry : fs::recursive_directory_iterator(root, ec)) {
            if (entry.is_regular_file() && entry.path().extension() == ".idl") {
                files.push_back(entry.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> texts;
    for (const fs::path &f : files) {
        std::ifstream in(f, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        texts.push_back(s.str());
    }
    return texts;
}
