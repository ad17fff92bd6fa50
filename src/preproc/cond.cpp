// Conditional sections: the stack of open `#if` chains and the directives that change it.
#include "preproc/cond.hpp"

#include <new>
#include <string>
#include <string_view>

#include "base/glog.hpp"
#include "grammars/directive_parser.hpp"
#include "preproc/ifexpr_eval.hpp"
#include "preproc/macro.hpp"
#include "preproc/place.hpp"
#include "preproc/pptree.hpp"

namespace {

// Whether a definition of the `Identifier` child of `tree` is in force at the line counter.
bool name_defined(preproc_root *root, const ast *tree, const char *line_text) {
    const ast_tree *id = ast_as_tree(pptree_child(tree, 0));
    if (!id) {
        return false;
    }
    std::string name(line_text + id->start, id->end - id->start);
    return preproc_look_up(root, name, root->line, true) != nullptr;
}

} // namespace

uint64_t preproc_cond_word_type(const char *word, uint64_t len) {
    const std::string_view w(word, len);
    if (w == "if") {
        return DIRECTIVE_IFDIRECTIVE;
    }
    if (w == "ifdef") {
        return DIRECTIVE_IFDEFDIRECTIVE;
    }
    if (w == "ifndef") {
        return DIRECTIVE_IFNDEFDIRECTIVE;
    }
    if (w == "elif") {
        return DIRECTIVE_ELIFDIRECTIVE;
    }
    if (w == "else") {
        return DIRECTIVE_ELSEDIRECTIVE;
    }
    if (w == "endif") {
        return DIRECTIVE_ENDIFDIRECTIVE;
    }
    return 0;
}

bool preproc_cond_skip(preproc_cond_stack &stack, uint64_t type) {
    switch (type) {
    case DIRECTIVE_IFDIRECTIVE:
    case DIRECTIVE_IFDEFDIRECTIVE:
    case DIRECTIVE_IFNDEFDIRECTIVE: {
        const preproc_place &place = preproc_current_place();
        preproc_cond entry{true, true, false, place.line, place.path, type};
        stack.push_back(entry); // bad_alloc is caught by the directive pass
        return true;
    }
    case DIRECTIVE_ENDIFDIRECTIVE:
        if (stack.empty()) {
            return false;
        }
        stack.pop_back();
        return true;
    case DIRECTIVE_ELIFDIRECTIVE:
    case DIRECTIVE_ELSEDIRECTIVE:
        // A chain whose group was selected stays skipped; an #else still counts, so that a
        // second one is reported.
        if (stack.empty() || !stack.back().taken ||
            (type == DIRECTIVE_ELSEDIRECTIVE && stack.back().else_seen)) {
            return false;
        }
        stack.back().else_seen = stack.back().else_seen || type == DIRECTIVE_ELSEDIRECTIVE;
        return true;
    default:
        return false;
    }
}

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
        entry.line = preproc_current_place().line;
        entry.path = preproc_current_place().path;
        entry.opened_by = type;
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
            preproc_report(PREPROC_RECORD_BARE, "#elif without #if");
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
            preproc_report(PREPROC_RECORD_BARE, "#else without #if");
            return false;
        }
        preproc_cond &top = stack.back();
        if (top.taken) {
            top.skipping = true;
            if (top.else_seen) {
                preproc_report(PREPROC_RECORD_BARE, "#else after #else");
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
            preproc_report(PREPROC_RECORD_BARE, "#endif without #if");
            return false;
        }
        stack.pop_back();
        return true;
    default:
        return false;
    }
}
