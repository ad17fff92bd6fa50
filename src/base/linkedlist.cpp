// Doubly linked list of 64-bit elements with its iterator.
#include "base/linkedlist.hpp"

namespace {

static_assert(sizeof(pn_linkedlist_iter) <= sizeof(pn_iterator_state),
              "state must fit the caller's buffer");

using node = pn_linkedlist_node;

pn_linkedlist *as_linked(pn_list *l) {
    return static_cast<pn_linkedlist *>(l);
}

node *node_new(pn_linkedlist *l, pn_elem e) {
    auto *n = static_cast<node *>(l->allocate_zeroed(1, sizeof(node)));
    if (n != nullptr)
        n->element = e;
    return n;
}

// Links `n` in front of `before`; a null `before` means after the tail.
void link_before(pn_linkedlist *l, node *before, node *n) {
    if (before == nullptr) {
        n->prev = l->tail;
        n->next = nullptr;
        if (l->tail != nullptr)
            l->tail->next = n;
        else
            l->head = n;
        l->tail = n;
    } else {
        n->prev = before->prev;
        n->next = before;
        if (before->prev != nullptr)
            before->prev->next = n;
        else
            l->head = n;
        before->prev = n;
    }
    ++l->size;
}

// Unlinks `n`, releases it and returns its element.
pn_elem unlink(pn_linkedlist *l, node *n) {
    if (n->prev != nullptr)
        n->prev->next = n->next;
    else
        l->head = n->next;
    if (n->next != nullptr)
        n->next->prev = n->prev;
    else
        l->tail = n->prev;
    pn_elem e = n->element;
    l->release(n);
    --l->size;
    return e;
}

node *node_at(pn_linkedlist *l, uint64_t i) {
    if (i >= l->size)
        return nullptr;
    // Walk from the nearer end.
    if (i < l->size / 2) {
        node *n = l->head;
        for (uint64_t k = 0; k < i; ++k)
            n = n->next;
        return n;
    }
    node *n = l->tail;
    for (uint64_t k = l->size - 1; k > i; --k)
        n = n->prev;
    return n;
}

//=== iterator ===//

void iter_init(void *state, void *container) {
    auto *it = static_cast<pn_linkedlist_iter *>(state);
    it->list = static_cast<pn_linkedlist *>(container);
    it->current = nullptr;
    it->next = it->list->head;
}

bool iter_has_next(void *state) {
    return static_cast<pn_linkedlist_iter *>(state)->next != nullptr;
}

pn_elem iter_next(void *state) {
    auto *it = static_cast<pn_linkedlist_iter *>(state);
    if (it->next == nullptr)
        return nullptr;
    it->current = it->next;
    it->next = it->current->next;
    return it->current->element;
}

bool iter_add(void *state, pn_elem e) {
    auto *it = static_cast<pn_linkedlist_iter *>(state);
    node *n = node_new(it->list, e);
    if (n == nullptr)
        return false;
    if (it->current != nullptr) {
        link_before(it->list, it->current->next, n);
        it->current = n;
    } else {
        // No current node: before the first next this is the head; after a remove it is the
        // place of the removed node, so the element lands where the iteration stands.
        link_before(it->list, it->next, n);
    }
    return true;
}

pn_elem iter_remove(void *state) {
    auto *it = static_cast<pn_linkedlist_iter *>(state);
    if (it->current == nullptr)
        return nullptr;
    node *n = it->current;
    it->current = nullptr;
    return unlink(it->list, n);
}

//=== list operations ===//

int32_t ll_index_of(pn_list *l, pn_elem e) {
    pn_linkedlist_iter it;
    iter_init(&it, l);
    int32_t i = 0;
    while (iter_has_next(&it)) {
        pn_elem stored = iter_next(&it);
        if (l->equals(stored, e))
            return i;
        if (i == INT32_MAX)
            break; // positions past the signed 32-bit range cannot be reported
        ++i;
    }
    return -1;
}

bool ll_contains(pn_list *l, pn_elem e) {
    return ll_index_of(l, e) != -1;
}

bool ll_add_last(pn_linkedlist *l, pn_elem e) {
    node *n = node_new(l, e);
    if (n == nullptr)
        return false;
    link_before(l, nullptr, n);
    return true;
}

bool ll_add_first(pn_linkedlist *l, pn_elem e) {
    node *n = node_new(l, e);
    if (n == nullptr)
        return false;
    link_before(l, l->head, n);
    return true;
}

bool ll_add(pn_list *l, pn_elem e) {
    return ll_add_last(as_linked(l), e);
}

bool ll_remove(pn_list *l, pn_elem e) {
    pn_linkedlist *ll = as_linked(l);
    for (node *n = ll->head; n != nullptr; n = n->next) {
        if (l->equals(n->element, e)) {
            unlink(ll, n);
            return true;
        }
    }
    return false;
}

void ll_clear(pn_list *l) {
    // Counts nodes rather than testing the returned element, so null elements are cleared too.
    pn_linkedlist *ll = as_linked(l);
    while (ll->head != nullptr)
        unlink(ll, ll->head);
}

pn_elem ll_get(pn_list *l, uint64_t i) {
    node *n = node_at(as_linked(l), i);
    return n != nullptr ? n->element : nullptr;
}

pn_elem ll_get_by_element(pn_list *l, pn_elem e) {
    const int32_t i = ll_index_of(l, e);
    return i == -1 ? nullptr : ll_get(l, static_cast<uint64_t>(i));
}

pn_elem ll_set(pn_list *l, uint64_t i, pn_elem e) {
    node *n = node_at(as_linked(l), i);
    if (n == nullptr)
        return nullptr;
    pn_elem old = n->element;
    n->element = e;
    return old;
}

pn_elem ll_remove_at(pn_list *l, uint64_t i) {
    node *n = node_at(as_linked(l), i);
    return n != nullptr ? unlink(as_linked(l), n) : nullptr;
}

bool ll_add_at(pn_list *l, uint64_t i, pn_elem e) {
    pn_linkedlist *ll = as_linked(l);
    if (i == 0)
        return ll_add_first(ll, e);
    if (i >= l->size)
        return ll_add_last(ll, e);
    node *n = node_new(ll, e);
    if (n == nullptr)
        return false;
    link_before(ll, node_at(ll, i), n);
    return true;
}

pn_elem ll_remove_first(pn_linkedlist *l) {
    return l->head != nullptr ? unlink(l, l->head) : nullptr;
}

pn_elem ll_remove_last(pn_linkedlist *l) {
    return l->tail != nullptr ? unlink(l, l->tail) : nullptr;
}

pn_elem ll_get_first(pn_linkedlist *l) {
    return l->head != nullptr ? l->head->element : nullptr;
}

pn_elem ll_get_last(pn_linkedlist *l) {
    return l->tail != nullptr ? l->tail->element : nullptr;
}

void ll_rotate(pn_linkedlist *l) {
    if (l->size < 2)
        return;
    node *n = l->head;
    l->head = n->next;
    l->head->prev = nullptr;
    n->prev = l->tail;
    n->next = nullptr;
    l->tail->next = n;
    l->tail = n;
}

} // namespace

const pn_iterator_ops pn_linkedlist_iterator_ops = {
    iter_init, iter_has_next, iter_next, iter_add, iter_remove, {nullptr, nullptr, nullptr}};

pn_linkedlist *pn_linkedlist_create(uint32_t type, uint32_t pool) {
    auto *l = static_cast<pn_linkedlist *>(pn_list_create(type, pool, sizeof(pn_linkedlist)));
    if (l == nullptr)
        return nullptr;
    l->contains = ll_contains;
    l->add = ll_add;
    l->remove = ll_remove;
    l->clear = ll_clear;
    l->iterator = &pn_linkedlist_iterator_ops;
    l->get = ll_get;
    l->get_by_element = ll_get_by_element;
    l->set = ll_set;
    l->remove_at = ll_remove_at;
    l->add_at = ll_add_at;
    l->index_of = ll_index_of;
    l->add_first = ll_add_first;
    l->add_last = ll_add_last;
    l->remove_first = ll_remove_first;
    l->remove_last = ll_remove_last;
    l->get_first = ll_get_first;
    l->get_last = ll_get_last;
    l->rotate = ll_rotate;
    l->head = nullptr;
    l->tail = nullptr;
    return l;
}

void pn_linkedlist_destroy(pn_linkedlist *l) {
    if (l == nullptr)
        return;
    while (l->size > 0 && l->head != nullptr)
        ll_remove_first(l);
    pn_list_destroy(l);
}
