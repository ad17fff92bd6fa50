// Transitions: what one edge of a grammar automaton consumes.
#include "peg/trans.hpp"

#include "peg/memory.hpp"
#include "peg/peg_log.hpp"
#include "peg/set.hpp"

void trans_init(trans *t, std::int32_t kind, std::uint64_t data) {
    t->kind = kind;
    t->data = data;
}

trans *trans_new(std::int32_t kind, std::uint64_t data) {
    auto *t = static_cast<trans *>(peg_malloc(sizeof(trans)));
    if (!t) {
        peg_log_oom("transition");
        return nullptr;
    }
    trans_init(t, kind, data);
    return t;
}

void trans_clear(trans *t) {
    if (!t)
        return;
    if (t->kind == TRANS_CLASS) {
        set_delete(reinterpret_cast<set *>(t->data));
        t->data = 0;
    }
}

void trans_delete(trans *t) {
    trans_clear(t);
    peg_free(t);
}
