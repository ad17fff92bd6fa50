// Shared pieces of the fuzz targets.
#include "fuzz_support.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "base/glog.hpp"
#include "base/hashmap.hpp"
#include "grammars/directive_parser.hpp"
#include "peg/ast.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "preproc/macro.hpp"
#include "preproc/pptree.hpp"

namespace {

template <auto Release> struct release_with {
    template <class T> void operator()(T *p) const noexcept { Release(p); }
};
template <class T, auto Release> using owned = std::unique_ptr<T, release_with<Release>>;

// Removes the scratch file when the process ends normally.
struct scratch_file {
    std::string path;
    scratch_file() {
        struct stat st {};
        const char *dir =
            (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) ? "/dev/shm" : "/tmp";
        path = std::string(dir) + "/vandrel-fuzz-" + std::to_string(::getpid()) + ".idl";
    }
    ~scratch_file() { ::unlink(path.c_str()); }
};

// Records would cost more than most inputs; VANDREL_FUZZ_LOG=1 keeps them for reproducing.
const bool quiet_logs = [] {
    const char *keep = std::getenv("VANDREL_FUZZ_LOG");
    if (keep == nullptr || keep[0] != '1') {
        glog_set_level(GLOG_GLOBAL_INSTANCE, GLOG_FATAL + 1);
    }
    return true;
}();

} // namespace

fuzz_preproc::fuzz_preproc() {
    ok = preproc_root_init(&root, nullptr, nullptr);
}

fuzz_preproc::~fuzz_preproc() {
    preproc_root_fini(&root);
}

bool fuzz_reset_macros(fuzz_preproc &pp) {
    if (!pp.ok) {
        return false;
    }
    pp.stack.clear();
    pp.root.line = 1;
    preproc_macro_table_destroy(pp.root.macros);
    pp.root.macros = pn_hashmap_create(PN_TYPE_STRING, 0, 32);
    pp.ok = pp.root.macros != nullptr;
    return pp.ok;
}

bool fuzz_apply_directive(fuzz_preproc &pp, const std::string &line) {
    if (!pp.ok) {
        return false;
    }
    input in;
    input_init(&in, line.data(), line.size());
    owned<ast, ast_recursive_delete> tree{parse(pp.root.directive_parser, &in)};
    if (!tree || tree->kind == AST_ERROR) {
        return false;
    }
    const uint64_t type = pptree_type(tree.get());
    if (preproc_cond_is_conditional(type)) {
        return preproc_cond_apply(&pp.root, pp.stack, tree.get(), line.c_str());
    }
    switch (type) {
    case DIRECTIVE_DEFINEDIRECTIVE:
    case DIRECTIVE_DEFINEDIRECTIVEARG:
        return preproc_define(&pp.root, tree.get(), line.c_str());
    case DIRECTIVE_UNDEFINEGROUP:
        return preproc_undef(&pp.root, tree.get(), line.c_str());
    case DIRECTIVE_INCLUDERELATIVEPATH: {
        // An include path must survive the marker module name unchanged.
        const ast_tree *t = ast_as_tree(tree.get());
        if (t->end <= t->start) {
            return false;
        }
        const size_t len = t->end - t->start;
        idl_string marker{};
        if (!preproc_include_marker_encode(line.data() + t->start, len, &marker)) {
            return false;
        }
        std::string decoded(marker.len + 1, '\0');
        const int64_t n = preproc_include_marker_decode(marker.data, marker.len, decoded.data());
        const bool same = n == static_cast<int64_t>(len) &&
                          decoded.compare(0, len, line.data() + t->start, len) == 0;
        idl_string_free(&marker);
        if (!same) {
            std::fprintf(stderr, "include marker does not give back its path\n");
            std::abort();
        }
        return true;
    }
    default:
        return true;
    }
}

const std::string &fuzz_scratch_path() {
    static const scratch_file file;
    return file.path;
}

bool fuzz_write_scratch(const uint8_t *data, size_t size) {
    const int fd =
        ::open(fuzz_scratch_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0;
}

namespace {

// Removes the scratch folder and its files when the process ends normally.
struct scratch_folder {
    std::string path = fuzz_scratch_path() + ".d";
    bool ok = ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
    ~scratch_folder() {
        for (const char *name : {"a.idl", "b.idl", "c.idl", "d.idl"}) {
            ::unlink((path + "/" + name).c_str());
        }
        ::rmdir(path.c_str());
    }
};

} // namespace

const std::string &fuzz_scratch_folder() {
    static const scratch_folder folder;
    return folder.path;
}

bool fuzz_write_files(const uint8_t *data, size_t size, std::vector<std::string> &paths) {
    const std::string &folder = fuzz_scratch_folder();
    const std::string_view all(reinterpret_cast<const char *>(data), size);
    paths.clear();
    std::size_t from = 0;
    for (const char *name : {"a.idl", "b.idl", "c.idl", "d.idl"}) {
        const std::string path = folder + "/" + name;
        ::unlink(path.c_str());
        if (from > all.size()) {
            continue;
        }
        std::size_t end = paths.size() == 3 ? std::string_view::npos : all.find("\n---\n", from);
        const std::string_view text = all.substr(
            from, end == std::string_view::npos ? std::string_view::npos : end + 1 - from);
        from = end == std::string_view::npos ? all.size() + 1 : end + 5;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) {
            return false;
        }
        const bool written =
            ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (::close(fd) != 0 || !written) {
            return false;
        }
        paths.push_back(path);
    }
    return true;
}
