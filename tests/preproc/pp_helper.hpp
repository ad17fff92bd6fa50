// Runs the whole preprocessor over an in-memory text through a temporary file.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "preproc/preproc.hpp"

/// Outcome of one preprocessor run.
struct pp_result {
    bool ok;          ///< zadozeda_preproc succeeded
    std::string text; ///< the output text (only meaningful when ok)
    std::string path; ///< the resolved path of the temporary file
};

/// Writes `text` to a temporary file and preprocesses it with a fresh state.
inline pp_result run_pp(const std::string &text, pn_linkedlist *macros = nullptr) {
    std::string path = ::testing::TempDir() + "pp_input_" + std::to_string(getpid()) + ".idl";
    std::FILE *f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (!f) {
        return {false, {}, path};
    }
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    char resolved[4096] = {};
    if (!realpath(path.c_str(), resolved)) {
        return {false, {}, path};
    }
    preproc_root root{};
    pp_result r{false, {}, resolved};
    if (preproc_root_init(&root, macros, nullptr)) {
        r.ok = zadozeda_preproc(&root, path.c_str());
        if (r.ok) {
            r.text.assign(root.output.data, root.output.len);
        }
    }
    preproc_root_fini(&root);
    std::remove(path.c_str());
    return r;
}

/// Number of line ends in `s`.
inline size_t pp_lines(const std::string &s) {
    size_t n = 0;
    for (char c : s) {
        n += c == '\n';
    }
    return n;
}

/// Writes `text` to `file_path` (creating nothing else) and preprocesses the file named by
/// `arg_path`, which may be any path leading to it (relative, with "..", through a link).
inline pp_result run_pp_file(const std::string &file_path, const std::string &arg_path,
                             const std::string &text) {
    std::FILE *f = std::fopen(file_path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (!f) {
        return {false, {}, file_path};
    }
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    char resolved[4096] = {};
    pp_result r{false, {}, realpath(file_path.c_str(), resolved) ? resolved : file_path};
    preproc_root root{};
    if (preproc_root_init(&root, nullptr, nullptr)) {
        r.ok = zadozeda_preproc(&root, arg_path.c_str());
        if (r.ok) {
            r.text.assign(root.output.data, root.output.len);
        }
    }
    preproc_root_fini(&root);
    return r;
}
