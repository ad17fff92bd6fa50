// Conditional sections: the stack of open `#if` chains and the directives that change it.
#include "preproc/cond.hpp"

#include <new>
#include <string>

#include "base/glog.hpp"
#include "grammars/directive_parser.hpp"
#include "preproc/ifexpr_eval.hpp"
#include "preproc/macro.hpp"
#include "preproc/pptree.hpp"

namespace {

// Whether a definition of the `Identifier` child of `tree` is in force at the line counter.
bool name_defined(preproc_root *root, const ast *tree, const char *line_text) {
    const ast_tree *id = ast_as_tree(pptree_child(tree, 0));
    if (!id) {
        return false;
    }
    std::string name(line_text + id->start, id->end - id->start);
    return preproc_find_macro(name.c_str(), root->macros, root->line) != nullptr;
}

} // namespace

bool preproc_cond_skipping(const preproc_cond_stack &stack) {
    return !stack.empty() && stack.back().skipping;
}

bool preproc_cond_is_conditional(uint64_t type) {
    switch (type) {
    case DIRECTIVE_IFDIRECTIVE:
    case DIRECTIVE_IFDEFDIRECTIVE:
    case DIRECTIVE_IFNDEFDIRECTIVE:
    case DIRECTIVE_ELIFDIRECTIVE:
    case DIRECTIVE_ELSEDIRECTIVE:
    case DIRECTIVE_ENDIFDIRECTIVE:
        return true;
    default:
        return false;
    }
}

bool preproc_cond_apply(preproc_root *root, preproc_cond_stack &stack, const ast *tree,
                        const char *line_text) {
    const uint64_t type = pptree_type(tree);
    switch (type) {
    case DIRECTIVE_IFDIRECTIVE:
    case DIRECTIVE_IFDEFDIRECTIVE:
    case DIRECTIVE_IFNDEFDIRECTIVE: {
        preproc_cond entry{};
        if (preproc_cond_skipping(stack)) {
            // A chain inside a skipped group is dead from the start: nothing is evaluated.
            entry.skipping = true;
            entry.taken = true;
        } else {
            if (type == DIRECTIVE_IFDIRECTIVE) {
                int r = preproc_constexpr(tree, root, line_text);
                if (r < 0) {
                    return false;
                }
                entry.skipping = r == 0;
            } else {
                bool def = name_defined(root, tree, line_text);
                entry.skipping = type == DIRECTIVE_IFDEFDIRECTIVE ? !def : def;
            }
            entry.taken = !entry.skipping;
        }
        try {
            stack.push_back(entry);
        } catch (const std::bad_alloc &) {
            glog_fatal("Out of memory: Unable to allocate memory");
            return false;
        }
        return true;
    }
    case DIRECTIVE_ELIFDIRECTIVE: {
        if (stack.empty()) {
            glog_error("#elif without #if");
            return false;
        }
        preproc_cond &top = stack.back();
        if (top.taken) {
            top.skipping = true;
            return true;
        }
        int r = preproc_constexpr(tree, root, line_text);
        if (r < 0) {
            return false;
        }
        top.skipping = r == 0;
        top.taken = r != 0;
        return true;
    }
    case DIRECTIVE_ELSEDIRECTIVE: {
        if (stack.empty()) {
            glog_error("#else without #if");
            return false;
        }
        preproc_cond &top = stack.back();
        if (top.taken) {
            top.skipping = true;
            if (top.else_seen) {
                glog_error("#else after #else");
            }
        } else {
            top.skipping = false;
            top.taken = true;
        }
        top.else_seen = true;
        return true;
    }
    case DIRECTIVE_ENDIFDIRECTIVE:
        if (stack.empty()) {
            glog_error("#endif without #if");
            return false;
        }
        stack.pop_back();
        return true;
    default:
        return false;
    }
}
