// File-system paths as written: tidied by name, without asking the file system.
#include "base/path.hpp"

std::vector<std::string_view> path_components(std::string_view path) {
    const bool absolute = !path.empty() && path.front() == '/';
    std::vector<std::string_view> parts;
    std::size_t from = 0;
    while (from <= path.size()) {
        std::size_t slash = path.find('/', from);
        if (slash == std::string_view::npos) {
            slash = path.size();
        }
        const std::string_view part = path.substr(from, slash - from);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        from = slash + 1;
    }
    return parts;
}

std::string path_absolute(std::string_view path, std::string_view cwd) {
    std::string full(path);
    if ((full.empty() || full.front() != '/') && !cwd.empty()) {
        full = std::string(cwd) + "/" + full;
    }
    std::string out = !full.empty() && full.front() == '/' ? "/" : "";
    for (const std::string_view part : path_components(full)) {
        if (!out.empty() && out.back() != '/') {
            out += '/';
        }
        out += part;
    }
    return out;
}

std::string path_relative(std::string_view path, std::string_view from) {
    const std::vector<std::string_view> to = path_components(path);
    const std::vector<std::string_view> base = path_components(from);
    std::size_t common = 0;
    while (common < to.size() && common < base.size() && to[common] == base[common]) {
        ++common;
    }
    std::string out;
    auto add = [&out](std::string_view part) {
        if (!out.empty()) {
            out += '/';
        }
        out += part;
    };
    for (std::size_t i = common; i < base.size(); ++i) {
        add("..");
    }
    for (std::size_t i = common; i < to.size(); ++i) {
        add(to[i]);
    }
    return out.empty() ? "." : out;
}
