// Doubly linked list of 64-bit elements; nodes come from the list's pool.
#pragma once

#include "base/list.hpp"

/// Linked-list node, allocated from the list's pool.
struct pn_linkedlist_node {
    pn_linkedlist_node *prev; ///< previous node or null
    pn_linkedlist_node *next; ///< next node or null
    pn_elem element;          ///< the element (not owned)
};

/// Linked list: the list object, then its own operations and the end nodes.
struct pn_linkedlist : pn_list {
    bool (*add_first)(pn_linkedlist *l, pn_elem e); ///< prepends; true/false
    bool (*add_last)(pn_linkedlist *l, pn_elem e);  ///< appends; true/false
    pn_elem (*remove_first)(pn_linkedlist *l);      ///< removes the head element; null when empty
    pn_elem (*remove_last)(pn_linkedlist *l);       ///< removes the tail element; null when empty
    pn_elem (*get_first)(pn_linkedlist *l);         ///< head element, null when empty
    pn_elem (*get_last)(pn_linkedlist *l);          ///< tail element, null when empty
    void (*rotate)(pn_linkedlist *l);               ///< moves the head node to the tail
    pn_linkedlist_node *head;                       ///< first node or null
    pn_linkedlist_node *tail;                       ///< last node or null
};

/// Linked-list iterator state (fits in `pn_iterator_state`).
struct pn_linkedlist_iter {
    pn_linkedlist *list;         ///< the list
    pn_linkedlist_node *current; ///< node last returned, or null
    pn_linkedlist_node *next;    ///< node next returns, or null
};

/// The linked-list iterator table.
extern const pn_iterator_ops pn_linkedlist_iterator_ops;

/// Empty linked list of element type `type` from pool `pool`; null on failure (not logged).
[[nodiscard]] pn_linkedlist *pn_linkedlist_create(uint32_t type, uint32_t pool);
/// Releases every node, then the object; accepts null. Elements are not released.
void pn_linkedlist_destroy(pn_linkedlist *l);
