// Edges: a transition and the state of the same automaton where matching continues.
#include "peg/edge.hpp"

#include "peg/memory.hpp"
#include "peg/peg_log.hpp"

void edge_init(edge *e, trans t, std::uint64_t target, bool voided) {
    e->trans = t;
    e->target = target;
    e->voided = voided;
}

edge *edge_new(trans t, std::uint64_t target, bool voided) {
    auto *e = static_cast<edge *>(peg_malloc(sizeof(edge)));
    if (!e) {
        peg_log_oom("edge");
        return nullptr;
    }
    edge_init(e, t, target, voided);
    return e;
}

void edge_clear(edge *e) {
    if (e)
        trans_clear(&e->trans);
}

void edge_delete(edge *e) {
    edge_clear(e);
    peg_free(e);
}
