// Parse-tree nodes: characters, empty matches, trees with children, and parse errors.
#include "peg/ast.hpp"

#include <cinttypes>
#include <cstdio>

#include "base/teardown.hpp"
#include "peg/memory.hpp"
#include "peg/peg_detail.hpp"
#include "peg/peg_log.hpp"
#include "peg/vector.hpp"

namespace {

ast_error g_fallback_error{0, 1, 0, AST_ERROR_ABORTED};
ast g_fallback_node{AST_ERROR, 0};

bool is_fallback(const ast *node) {
    return node == &g_fallback_node;
}

// Set in a node's kind while a release walk has it queued, so that a node reachable twice is
// queued (and released) once without a hash lookup per node.
constexpr std::int32_t queued_mark = 0x40000000;

//=== release walk ===//

// Releases a tree in which no node occurs twice, without any memory of its own: the walk
// threads its way back up through the children slots it has emptied (pointer reversal).
void release_unshared(ast *root) {
    ast *up = nullptr;
    ast *cur = root;
    for (;;) {
        ast_tree *t = cur->kind == AST_TREE ? reinterpret_cast<ast_tree *>(cur->data) : nullptr;
        if (t && t->children && t->children->count > 0 && !peg_result_tree(t)) {
            void **slot = &t->children->items[t->children->count - 1];
            auto *child = static_cast<ast *>(*slot);
            if (!child || is_fallback(child)) {
                *slot = nullptr;
                --t->children->count;
                continue;
            }
            *slot = up;
            up = cur;
            cur = child;
            continue;
        }
        ast_delete(cur);
        if (!up)
            return;
        auto *pt = reinterpret_cast<ast_tree *>(up->data);
        void **slot = &pt->children->items[pt->children->count - 1];
        auto *grand = static_cast<ast *>(*slot);
        *slot = nullptr;
        --pt->children->count;
        cur = up;
        up = grand;
    }
}

// Collects every distinct node reachable from the roots into out (marking each), then
// releases them all. Each node's children vector is read before anything is released.
void release_reachable(ast *const *roots, std::uint64_t root_count) {
    vector out{};
    vector work{};
    bool ok = vector_init(&out, 64) && vector_init(&work, 64);
    for (std::uint64_t i = 0; ok && i < root_count; ++i)
        if (roots[i])
            ok = vector_add(&work, roots[i]);
    while (ok && work.count) {
        auto *node = static_cast<ast *>(vector_peek(&work));
        vector_pop(&work);
        if (is_fallback(node) || (node->kind & queued_mark))
            continue;
        if (!vector_add(&out, node)) {
            ok = false;
            break;
        }
        node->kind |= queued_mark;
        if ((node->kind & ~queued_mark) == AST_TREE && node->data) {
            auto *t = reinterpret_cast<ast_tree *>(node->data);
            // A parse result below a hand-built node goes as a whole with its root.
            if (t->children && !peg_result_tree(t))
                for (std::uint64_t i = t->children->count; ok && i > 0; --i)
                    if (t->children->items[i - 1])
                        ok = vector_add(&work, t->children->items[i - 1]);
        }
    }
    if (!ok) {
        // Without memory for the walk, fall back to the walk that needs none; it relies on
        // no node occurring twice, which holds for every tree a parse returns.
        for (std::uint64_t i = 0; i < out.count; ++i)
            static_cast<ast *>(out.items[i])->kind &= ~queued_mark;
        for (std::uint64_t i = 0; i < root_count; ++i)
            if (roots[i] && !is_fallback(roots[i]))
                release_unshared(roots[i]);
    } else {
        for (std::uint64_t i = 0; i < out.count; ++i) {
            auto *node = static_cast<ast *>(out.items[i]);
            node->kind &= ~queued_mark;
            ast_delete(node);
        }
    }
    vector_clear(&work);
    vector_clear(&out);
}

//=== debug dump ===//

const char *type_name(const char *const *names, std::uint64_t type, char *buf, std::size_t len) {
    if (type == AST_ERROR_ABORTED)
        return "(aborted)";
    if (names && names[type])
        return names[type];
    std::snprintf(buf, len, "#%" PRIu64, type);
    return buf;
}

void print_error_line(const ast_error *e, const char *const *names) {
    char buf[32];
    std::printf("parse error: failed to match '%s' at line=%zu, col=%zu, pos=%zu\n",
                type_name(names, e->type, buf, sizeof buf), static_cast<std::size_t>(e->line),
                static_cast<std::size_t>(e->column), static_cast<std::size_t>(e->pos));
}

} // namespace

ast *peg_fallback_error_node() {
    g_fallback_node.kind = AST_ERROR;
    g_fallback_node.data = reinterpret_cast<std::uint64_t>(&g_fallback_error);
    return &g_fallback_node;
}

ast_tree *ast_as_tree(const ast *node) {
    return node && node->kind == AST_TREE ? reinterpret_cast<ast_tree *>(node->data) : nullptr;
}

ast_error *ast_as_error(const ast *node) {
    return node && node->kind == AST_ERROR ? reinterpret_cast<ast_error *>(node->data) : nullptr;
}

void ast_init(ast *node, std::int32_t kind, std::uint64_t data) {
    node->kind = kind;
    node->data = data;
}

ast *ast_new(std::int32_t kind, std::uint64_t data) {
    auto *node = static_cast<ast *>(peg_malloc(sizeof(ast)));
    if (!node) {
        peg_log_oom("parse-tree node");
        return nullptr;
    }
    ast_init(node, kind, data);
    return node;
}

void ast_clear(ast *node) {
    if (!node || is_fallback(node))
        return;
    auto *t = node->kind == AST_TREE ? reinterpret_cast<ast_tree *>(node->data) : nullptr;
    if (peg_result_tree(t)) {
        // A parse result's record shares the node's block: only the nodes below go now.
        peg_result_release_nodes(t);
        node->data = 0;
        return;
    }
    if (node->kind == AST_ERROR)
        peg_free(reinterpret_cast<ast_error *>(node->data));
    else if (node->kind == AST_TREE)
        ast_tree_delete(reinterpret_cast<ast_tree *>(node->data));
    node->data = 0;
}

void ast_delete(ast *node) {
    if (!node || is_fallback(node))
        return;
    ast_clear(node);
    peg_free(node);
}

void ast_tree_init(ast_tree *t, std::uint64_t type, vector *children, std::uint64_t start,
                   std::uint64_t end) {
    t->type = type;
    t->children = children;
    t->start = start;
    t->end = end;
}

ast_tree *ast_tree_new(std::uint64_t type, vector *children, std::uint64_t start,
                       std::uint64_t end) {
    auto *t = static_cast<ast_tree *>(peg_malloc(sizeof(ast_tree)));
    if (!t) {
        peg_log_oom("parse-tree record");
        return nullptr;
    }
    ast_tree_init(t, type, children, start, end);
    return t;
}

void ast_tree_clear(ast_tree *t) {
    if (!t)
        return;
    if (peg_result_tree(t)) {
        peg_result_release_nodes(t);
        return;
    }
    vector_delete(t->children);
    t->children = nullptr;
}

void ast_tree_delete(ast_tree *t) {
    if (peg_result_tree(t)) {
        peg_result_release_nodes(t); // the record lives in its node's block
        return;
    }
    ast_tree_clear(t);
    peg_free(t);
}

ast_error *ast_error_new(std::uint64_t pos, std::uint64_t line, std::uint64_t column,
                         std::uint64_t type) {
    auto *e = static_cast<ast_error *>(peg_malloc(sizeof(ast_error)));
    if (!e) {
        peg_log_oom("parse error record");
        return nullptr;
    }
    *e = ast_error{pos, line, column, type};
    return e;
}

void ast_recursive_delete(ast *node) {
    if (!node || is_fallback(node) || teardown_skipped())
        return; // skipped: the process is exiting and its pages go back all at once
    release_reachable(&node, 1);
}

void ast_recursive_clear(ast *node) {
    if (!node || is_fallback(node))
        return;
    if (node->kind == AST_TREE)
        ast_tree_recursive_clear(reinterpret_cast<ast_tree *>(node->data));
    ast_clear(node);
}

void ast_tree_recursive_clear(ast_tree *t) {
    if (!t)
        return;
    if (peg_result_tree(t)) {
        peg_result_release_nodes(t);
        return;
    }
    if (t->children)
        release_reachable(reinterpret_cast<ast *const *>(t->children->items), t->children->count);
    ast_tree_clear(t);
}

void ast_tree_recursive_delete(ast_tree *t) {
    if (peg_result_tree(t)) {
        peg_result_release_nodes(t); // the record lives in its node's block
        return;
    }
    ast_tree_recursive_clear(t);
    peg_free(t);
}

char *ast_children_as_string(const ast *node) {
    const ast_tree *t = ast_as_tree(node);
    if (!t) {
        peg_log_error("children as string: not a tree node");
        return nullptr;
    }
    std::uint64_t count = t->children ? t->children->count : 0;
    auto *buf = static_cast<char *>(peg_calloc(count + 1, 1));
    if (!buf) {
        peg_log_oom("children as string");
        return nullptr;
    }
    std::uint64_t n = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        auto *child = static_cast<const ast *>(t->children->items[i]);
        if (child && child->kind == AST_CHAR)
            buf[n++] = static_cast<char>(child->data & 0xFF);
    }
    return buf;
}

void display_ast(const ast *node, const char *const *names) {
    if (!node) {
        std::fputs("NULL", stdout);
        return;
    }
    if (node->kind == AST_ERROR) {
        print_error_line(ast_as_error(node), names);
        return;
    }
    if (node->kind != AST_CHAR && node->kind != AST_TREE)
        return;
    // Explicit stack of (node, depth) so that any nesting depth prints.
    struct item {
        const ast *node;
        std::uint64_t depth;
    };
    std::uint64_t cap = 64, top = 0;
    auto *stack = static_cast<item *>(peg_malloc(cap * sizeof(item)));
    if (!stack) {
        peg_log_oom("tree dump");
        return;
    }
    stack[top++] = {node, 0};
    char buf[32];
    while (top) {
        item it = stack[--top];
        for (std::uint64_t i = 1; i < it.depth; ++i)
            std::fputs("    ", stdout);
        if (it.node && it.node->kind == AST_CHAR) {
            if (it.depth >= 1)
                std::fputs("|   ", stdout);
            std::printf("%c\n", static_cast<int>(it.node->data & 0xFF));
        } else if (it.node && it.node->kind == AST_TREE) {
            const ast_tree *t = ast_as_tree(it.node);
            if (it.depth >= 1)
                std::fputs("->  ", stdout);
            std::printf("%s\n", type_name(names, t->type, buf, sizeof buf));
            std::uint64_t count = t->children ? t->children->count : 0;
            if (top + count > cap) {
                std::uint64_t grown = cap;
                while (top + count > grown)
                    grown *= 2;
                auto *bigger = static_cast<item *>(peg_realloc(stack, grown * sizeof(item)));
                if (!bigger) {
                    peg_log_oom("tree dump");
                    break;
                }
                stack = bigger;
                cap = grown;
            }
            for (std::uint64_t i = count; i > 0; --i)
                stack[top++] = {static_cast<const ast *>(t->children->items[i - 1]), it.depth + 1};
        }
    }
    peg_free(stack);
}

void display_parse_error(const ast *node, const char *const *names) {
    if (const ast_error *e = ast_as_error(node))
        print_error_line(e, names);
}
