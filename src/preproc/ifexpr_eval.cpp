// Evaluation of `#if`/`#elif` conditions in unsigned 64-bit arithmetic.
#include "preproc/ifexpr_eval.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/arch.hpp"
#include "base/glog.hpp"
#include "base/idlstring.hpp"
#include "base/owned.hpp"
#include "grammars/directive_parser.hpp"
#include "grammars/ifexpr_parser.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "preproc/macro.hpp"
#include "preproc/place.hpp"
#include "preproc/pptree.hpp"
#include "preproc/preproc.hpp"

namespace {

// Result of evaluating one node. A soft failure counts as 0 inside an operand and fails only a
// whole condition; a hard failure (division by zero, an unsupported construct) always fails it.
enum class eval : int { ok, soft, hard };

// Conditions nest through parentheses and prefix operators; deeper trees are refused rather
// than risking the native stack.
constexpr int k_max_depth = 2000;

struct evaluator {
    preproc_root *root;
    const char *text;

    std::string span(const ast_tree *t) const {
        return std::string(text + t->start, t->end - t->start);
    }

    static bool is_operator_level(uint64_t type) {
        switch (type) {
        case IFEXPR_LOGICALOREXPR:
        case IFEXPR_LOGICALANDEXPR:
        case IFEXPR_OREXPR:
        case IFEXPR_XOREXPR:
        case IFEXPR_ANDEXPR:
        case IFEXPR_EQUALITYEXPR:
        case IFEXPR_RELATIONALEXPR:
        case IFEXPR_SHIFTEXPR:
        case IFEXPR_ADDITIVEEXPR:
        case IFEXPR_MULTIPLICATIVEEXPR:
            return true;
        default:
            return false;
        }
    }

    // value := v op w; false for a zero divisor.
    static bool combine(uint64_t op, uint64_t &v, uint64_t w) {
        switch (op) {
        case IFEXPR_OROPER:
            v = (v != 0 || w != 0) ? 1 : 0;
            break;
        case IFEXPR_ANDOPER:
            v = (v != 0 && w != 0) ? 1 : 0;
            break;
        case IFEXPR_BITOROPER:
            v |= w;
            break;
        case IFEXPR_BITXOROPER:
            v ^= w;
            break;
        case IFEXPR_BITANDOPER:
            v &= w;
            break;
        case IFEXPR_EQUALOPER:
            v = v == w ? 1 : 0;
            break;
        case IFEXPR_NOTEQUALOPER:
            v = v != w ? 1 : 0;
            break;
        case IFEXPR_LESSOPER:
            v = v < w ? 1 : 0;
            break;
        case IFEXPR_GREATEROPER:
            v = v > w ? 1 : 0;
            break;
        case IFEXPR_LESSOREQUALOPER:
            v = v <= w ? 1 : 0;
            break;
        case IFEXPR_GREATEROREQUALOPER:
            v = v >= w ? 1 : 0;
            break;
        case IFEXPR_LSHIFTOPER:
            v <<= (w % 64);
            break;
        case IFEXPR_RSHIFTOPER:
            v >>= (w % 64);
            break;
        case IFEXPR_PLUSOPER:
            v += w;
            break;
        case IFEXPR_MINUSOPER:
            v -= w;
            break;
        case IFEXPR_MULTOPER:
            v *= w;
            break;
        case IFEXPR_DIVOPER:
        case IFEXPR_MODOPER:
            if (w == 0) {
                preproc_report(PREPROC_RECORD_BARE, "division by zero in preprocessor expression");
                return false;
            }
            v = op == IFEXPR_DIVOPER ? v / w : v % w;
            break;
        default:
            break;
        }
        return true;
    }

    eval unsupported(const ast *node) {
        const uint64_t type = pptree_type(node);
        const char *name = type < ifexpr_type_count ? ifexpr_type_strings[type] : "construct";
        preproc_report(PREPROC_RECORD_BARE,
                       std::string("cannot use ") + name + " in preprocessor expression");
        return eval::hard;
    }

    eval integer(const ast *node, uint64_t &value) {
        const ast_tree *t = ast_as_tree(node);
        uint64_t end = t->end;
        if (pptree_count(node) > 0) {
            const ast_tree *suffix = ast_as_tree(pptree_child(node, 0));
            if (suffix) {
                end = suffix->start;
            }
        }
        std::string digits(text + t->start, end - t->start);
        value = arch_strtoul(digits.c_str(), nullptr, 0);
        return eval::ok;
    }

    eval escape(const ast *node, uint64_t &value) {
        const ast_tree *t = ast_as_tree(node);
        switch (t->type) {
        case IFEXPR_CONTROL_ESCAPE: {
            const char c = t->end > t->start ? text[t->start] : 0;
            switch (c) {
            case 'a':
                value = 7;
                break;
            case 'b':
                value = 8;
                break;
            case 'f':
                value = 12;
                break;
            case 'n':
                value = 10;
                break;
            case 'r':
                value = 13;
                break;
            case 't':
                value = 9;
                break;
            case 'v':
                value = 11;
                break;
            case '\\':
                value = 92;
                break;
            case '\'':
                value = 39;
                break;
            case '"':
                value = 34;
                break;
            case '?':
                value = 63;
                break;
            default:
                return unsupported(node);
            }
            return eval::ok;
        }
        case IFEXPR_OCTAL_ESCAPE:
            value = arch_strtoul(span(t).c_str(), nullptr, 8);
            return eval::ok;
        case IFEXPR_HEX_ESCAPE:
            value = arch_strtoul(span(t).c_str(), nullptr, 16);
            return eval::ok;
        default:
            return unsupported(node);
        }
    }

    eval dispatch(const ast *node, uint64_t &value, int depth) {
        if (depth > k_max_depth) {
            preproc_report(PREPROC_RECORD_PLACE, "preprocessor expression nested too deeply");
            return eval::hard;
        }
        const ast_tree *t = ast_as_tree(node);
        if (!t) {
            return unsupported(node);
        }
        const uint64_t type = t->type;
        if (type == IFEXPR_CONSTEXPR) {
            return dispatch(pptree_child(node, 0), value, depth + 1);
        }
        if (is_operator_level(type)) {
            const uint64_t n = pptree_count(node);
            value = 0;
            if (dispatch(pptree_child(node, 0), value, depth + 1) == eval::hard) {
                return eval::hard;
            }
            for (uint64_t i = 1; i + 1 < n; i += 2) {
                uint64_t w = 0;
                if (dispatch(pptree_child(node, i + 1), w, depth + 1) == eval::hard) {
                    return eval::hard;
                }
                if (!combine(pptree_type(pptree_child(node, i)), value, w)) {
                    return eval::hard;
                }
            }
            return eval::ok;
        }
        switch (type) {
        case IFEXPR_UNARYEXPR: {
            const uint64_t op = pptree_type(pptree_child(node, 0));
            const ast *operand = pptree_child(node, 1);
            if (op == IFEXPR_UNARYDEFOPER) {
                const ast_tree *id = ast_as_tree(operand);
                if (!id || id->type != IFEXPR_IDENTIFIER) {
                    preproc_report(PREPROC_RECORD_BARE,
                                   "operator \"defined\" requires an identifier");
                    return eval::soft;
                }
                value = preproc_look_up(root, span(id), root->line, true) ? 1 : 0;
                return eval::ok;
            }
            value = 0;
            if (dispatch(operand, value, depth + 1) == eval::hard) {
                return eval::hard;
            }
            switch (op) {
            case IFEXPR_MINUSOPER:
                value = 0 - value;
                break;
            case IFEXPR_PLUSOPER:
                break;
            case IFEXPR_TILDEOPER:
                value = ~value;
                break;
            case IFEXPR_EXCLAMATIONOPER:
                value = value == 0 ? 1 : 0;
                break;
            default:
                return unsupported(pptree_child(node, 0));
            }
            return eval::ok;
        }
        case IFEXPR_INTEGERLITERAL:
            return integer(node, value);
        case IFEXPR_FLOATINGPTLITERAL:
            preproc_report(PREPROC_RECORD_BARE,
                           "cannot use floating constant in preprocessor expression");
            return eval::soft;
        case IFEXPR_STRINGLITERAL:
            preproc_report(PREPROC_RECORD_BARE,
                           "cannot use string constant in preprocessor expression");
            return eval::soft;
        case IFEXPR_CHARACTERLITERAL: {
            const ast *c = pptree_child(node, 0);
            if (c && c->kind == AST_CHAR) {
                value = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(c->data)));
                return eval::ok;
            }
            return escape(c, value);
        }
        case IFEXPR_IDENTIFIER:
            value = 0;
            // The operator word with no name after it ("#if defined", "defined + 1") is a
            // misused `defined`, not a name that happens to be undefined.
            if (span(t) == "defined") {
                preproc_report(PREPROC_RECORD_BARE, "operator \"defined\" requires an identifier");
                return eval::soft;
            }
            return eval::ok;
        default:
            return unsupported(node);
        }
    }
};

} // namespace

int preproc_eval_condition(preproc_root *root, const char *text, uint64_t len) {
    input in;
    input_init(&in, text, len);
    owned<ast, ast_recursive_delete> tree{parse(root->condition_parser, &in)};
    if (!tree) {
        glog_error("Failed to create ast from if expression");
        return -1;
    }
    if (pptree_aborted(tree.get())) {
        return -1;
    }
    if (tree->kind == AST_ERROR) {
        preproc_report(PREPROC_RECORD_BARE, "Failed to parse if expression");
        return -1;
    }
    evaluator ev{root, text};
    uint64_t value = 0;
    if (ev.dispatch(tree.get(), value, 0) != eval::ok) {
        return -1;
    }
    return value != 0 ? 1 : 0;
}

int preproc_constexpr(const ast *directive_tree, preproc_root *root, const char *line_text) {
    const ast_tree *line = ast_as_tree(pptree_child(directive_tree, 0));
    if (!line || line->type != DIRECTIVE_LINE) {
        preproc_report(PREPROC_RECORD_BARE, "Failed to parse if expression");
        return -1;
    }
    idl_string cond = idl_string_strdup(line_text + line->start, line->end - line->start);
    if (!cond.data) {
        return -1; // logged by the string module
    }
    int result = -1;
    if (preproc_expand_condition(root, &cond)) {
        result = preproc_eval_condition(root, cond.data, cond.len);
    }
    idl_string_free(&cond);
    return result;
}
