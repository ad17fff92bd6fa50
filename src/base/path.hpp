// File-system paths as written: tidied by name, without asking the file system.
#pragma once

#include <string>
#include <string_view>
#include <vector>

/// The components of `path` with empty and "." ones dropped and each ".." folding away the
/// component before it. A ".." with nothing before it is dropped from an absolute path (the root
/// has no parent) and kept at the front of a relative one. The views index `path`.
[[nodiscard]] std::vector<std::string_view> path_components(std::string_view path);
/// `path` made absolute against the folder `cwd` (left relative when `cwd` is empty) and tidied as
/// path_components tidies it: "/" for the root.
[[nodiscard]] std::string path_absolute(std::string_view path, std::string_view cwd);
/// The way from the folder `from` to `path`, both tidied first: a ".." for each component of
/// `from` past the ones they share, then the rest of `path`; "." when they are the same. Meant
/// for two absolute paths, or two relative ones.
[[nodiscard]] std::string path_relative(std::string_view path, std::string_view from);
