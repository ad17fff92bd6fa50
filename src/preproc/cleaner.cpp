// Cleaning pass: comments removed, continuations joined, blanks folded, line count kept.
#include "preproc/cleaner.hpp"

#include <cstdio>
#include <memory>
#include <sys/resource.h>

#include "base/glog.hpp"
#include "grammars/idlcleaner_parser.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "preproc/pptree.hpp"
#include "base/owned.hpp"

namespace {

void close_file(std::FILE *f) {
    if (f) {
        std::fclose(f);
    }
}

// The matcher recurses once per matched edge, about this many stack bytes per input byte.
constexpr uint64_t k_stack_per_byte = 80;

} // namespace

bool idlpreproc_reserve_stack(uint64_t bytes) {
    struct rlimit lim {};
    if (getrlimit(RLIMIT_STACK, &lim) != 0) {
        glog_error("Failed to read stack value");
        return false;
    }
    if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= bytes) {
        return true;
    }
    // Only the soft limit is raised; the hard limit is never lowered, so a later, larger file
    // in the same process can still raise it again.
    struct rlimit want = lim;
    want.rlim_cur = bytes;
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < bytes) {
        want.rlim_max = bytes; // needs privilege; refused otherwise
    }
    if (setrlimit(RLIMIT_STACK, &want) != 0) {
        glog_error("Failed to read stack value");
        return false;
    }
    return true;
}

bool idlpreproc_clean_text(const char *data, uint64_t size, const char *path, idl_string *out) {
    if (size > UINT64_MAX / k_stack_per_byte ||
        !idlpreproc_reserve_stack(size * k_stack_per_byte)) {
        if (size > UINT64_MAX / k_stack_per_byte) {
            glog_error("Failed to read stack value");
        }
        return false;
    }
    owned<parser, parser_delete> cleaner{idlcleaner_parser_new()};
    if (!cleaner) {
        glog_error("Failed to create parser");
        return false;
    }
    input in;
    input_init(&in, data, size);
    owned<ast, ast_recursive_delete> tree{parse(cleaner.get(), &in)};
    if (!tree) {
        glog_error("Failed to create ast from %s", path);
        return false;
    }
    if (const ast_error *err = ast_as_error(tree.get())) {
        glog_error("Failed to parse file: %s:%lu:%lu", path, static_cast<unsigned long>(err->line),
                   static_cast<unsigned long>(err->column));
        return false;
    }
    uint64_t spaces = 0;
    uint64_t newlines = 0;
    bool in_comment = false;
    const uint64_t count = pptree_count(tree.get());
    for (uint64_t i = 0; i < count; ++i) {
        const ast_tree *t = ast_as_tree(pptree_child(tree.get(), i));
        if (!t) {
            glog_error("Failed to parse file: %s", path);
            return false;
        }
        const uint64_t len = t->end - t->start;
        bool ok = true;
        switch (t->type) {
        case IDLCLEANER_S:
            spaces += len;
            break;
        case IDLCLEANER_NEWLINE:
            ok = idl_string_append_set(out, '\n', newlines + 1);
            spaces = 0;
            newlines = 0;
            in_comment = false;
            break;
        case IDLCLEANER_MULTILINE:
            newlines += 1;
            break;
        case IDLCLEANER_SINGLE_COMMENT:
            in_comment = true;
            break;
        case IDLCLEANER_MULTI_COMMENT: {
            uint64_t inner = 0;
            uint64_t last_end = t->start;
            for (uint64_t c = 0; c < pptree_count(pptree_child(tree.get(), i)); ++c) {
                const ast_tree *ct = ast_as_tree(pptree_child(pptree_child(tree.get(), i), c));
                if (ct && ct->type == IDLCLEANER_NEWLINE) {
                    ++inner;
                    last_end = ct->end;
                }
            }
            if (inner == 0) {
                spaces += len;
            } else {
                // Blanks before the comment would end the line: they are dropped like any
                // other trailing blanks.
                ok = idl_string_append_set(out, '\n', inner);
                spaces = t->end - last_end;
            }
            break;
        }
        default:
            if (t->type == IDLCLEANER_TEXT ||
                (t->type > IDLCLEANER_MULTI_COMMENT_END && t->type < idlcleaner_type_count)) {
                // Text, and literals kept whole with their blanks and comment marks.
                if (!in_comment) {
                    ok = idl_string_append_set(out, ' ', spaces) &&
                         idl_string_append_string(out, data + t->start, len);
                    spaces = 0;
                }
                break;
            }
            glog_error("Failed to parse file: %s", path);
            return false;
        }
        if (!ok) {
            return false; // logged by the string module
        }
    }
    // Line ends eaten by a continuation on the last line still count as lines.
    if (newlines > 0 && !idl_string_append_set(out, '\n', newlines)) {
        return false;
    }
    return true;
}

bool idlpreproc_clean_file(const char *path, idl_string *out) {
    owned<std::FILE, close_file> file{std::fopen(path, "rb")};
    if (!file) {
        glog_error("Unable to open file: %s", path);
        return false;
    }
    owned<input, input_and_data_delete> in{input_from_file_new(file.get())};
    if (!in) {
        glog_error("Failed to create input");
        return false;
    }
    return idlpreproc_clean_text(in->data, in->size, path, out);
}
