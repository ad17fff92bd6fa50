// Grammar automata: one per rule, with the mode that shapes the node it leaves.
#include "peg/fa.hpp"

#include "peg/memory.hpp"
#include "peg/peg_log.hpp"
#include "peg/state.hpp"

void fa_init(fa *a, std::int32_t mode, std::uint64_t type, state *states,
             std::uint64_t state_count) {
    a->mode = mode;
    a->type = type;
    a->states = states;
    a->state_count = state_count;
}

fa *fa_new(std::int32_t mode, std::uint64_t type, state *states, std::uint64_t state_count) {
    auto *a = static_cast<fa *>(peg_malloc(sizeof(fa)));
    if (!a) {
        peg_log_oom("automaton");
        return nullptr;
    }
    fa_init(a, mode, type, states, state_count);
    return a;
}

void fa_clear(fa *a) {
    if (!a)
        return;
    if (a->states)
        for (std::uint64_t i = 0; i < a->state_count; ++i)
            state_clear(&a->states[i]);
    peg_free(a->states);
    a->states = nullptr;
    a->state_count = 0;
}

void fa_delete(fa *a) {
    fa_clear(a);
    peg_free(a);
}
