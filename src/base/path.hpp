// File-system paths as written: tidied by name, without asking the file system.
#pragma once

#include <string_view>
#include <vector>

/// The components of `path` with empty and "." ones dropped and each ".." folding away the
/// component before it. A ".." with nothing before it is dropped from an absolute path (the root
/// has no parent) and kept at the front of a relative one. The views index `path`.
[[nodiscard]] std::vector<std::string_view> path_components(std::string_view path);
