// Element-type and memory-pool registries shared by every `pn_` collection.
#pragma once

#include <cstddef>
#include <cstdint>

/// A collection element: a 64-bit slot holding a pointer or an integer; containers never own it.
using pn_elem = void *;

/// Hash of an element; hash containers use its low bits to choose a bucket.
using pn_hash_fn = uint64_t (*)(pn_elem e);
/// Equality of two elements (the stored element is passed first).
using pn_equals_fn = bool (*)(pn_elem a, pn_elem b);
/// Order of two elements: -1, 0 or 1.
using pn_compare_fn = int (*)(pn_elem a, pn_elem b);

/// Pool allocation of `size` bytes; null on failure.
using pn_alloc_fn = void *(*)(size_t size);
/// Pool release of a block (accepts null).
using pn_release_fn = void (*)(void *p);
/// Pool allocation of `count` x `size` zero-filled bytes; null on failure.
using pn_alloc_zeroed_fn = void *(*)(size_t count, size_t size);
/// Pool resize of a block to `size` bytes; null on failure, the old block then stays valid.
using pn_resize_fn = void *(*)(void *p, size_t size);

/// Number of element-type registry entries (indexes 0..16).
inline constexpr uint32_t PN_TYPE_COUNT = 17;
/// Number of pool registry entries (indexes 0..1).
inline constexpr uint32_t PN_POOL_COUNT = 2;

/// Built-in element types (indexes 6..16 are free for `pn_register_type`).
enum pn_type : uint32_t {
    PN_TYPE_INT32 = 0,
    PN_TYPE_INT64 = 1,
    PN_TYPE_UINT32 = 2,
    PN_TYPE_UINT64 = 3,
    PN_TYPE_STRING = 4,
    PN_TYPE_UINTPTR = 5,
};

/// One element-type entry; registered when `hash` is non-null.
struct pn_data_ops_t {
    pn_hash_fn hash;       ///< element -> unsigned 64-bit hash
    pn_equals_fn equals;   ///< element equality
    pn_compare_fn compare; ///< element order
};

/// One memory-pool entry; registered when `allocate` is non-null.
struct pn_pool_ops_t {
    pn_alloc_fn allocate;               ///< allocate bytes
    pn_release_fn release;              ///< release a block
    pn_alloc_zeroed_fn allocate_zeroed; ///< allocate zero-filled
    pn_resize_fn resize;                ///< resize a block
};

/// Stores an element-type entry; 0, or 1 without storing when index > 16.
[[nodiscard]] int pn_register_type(uint32_t index, pn_hash_fn hash, pn_equals_fn equals,
                                   pn_compare_fn compare);
/// Stores a pool entry (a null `allocate` unregisters it); 0, or 1 when index > 1.
[[nodiscard]] int pn_register_pool(uint32_t index, pn_alloc_fn allocate, pn_release_fn release,
                                   pn_alloc_zeroed_fn allocate_zeroed, pn_resize_fn resize);
/// The element-type entry, or null when index > 16 or the entry is not registered.
[[nodiscard]] const pn_data_ops_t *pn_data_ops(uint32_t index);
/// The pool entry, or null when index > 1 or the entry is not registered.
[[nodiscard]] const pn_pool_ops_t *pn_pool_ops(uint32_t index);

/// int32 hash: the 64-bit slot value itself.
uint64_t int32_hash(pn_elem e);
/// int32 equality: the low 32 bits are equal.
bool int32_equals(pn_elem a, pn_elem b);
/// int32 order: signed order of the low 32 bits.
int int32_compare(pn_elem a, pn_elem b);
/// int64 hash: the value itself.
uint64_t int64_hash(pn_elem e);
/// int64 equality: 64-bit equality.
bool int64_equals(pn_elem a, pn_elem b);
/// int64 order: signed 64-bit order.
int int64_compare(pn_elem a, pn_elem b);
/// uint32 hash: the value itself.
uint64_t uint32_hash(pn_elem e);
/// uint32 equality: the low 32 bits are equal.
bool uint32_equals(pn_elem a, pn_elem b);
/// uint32 order: unsigned order of the low 32 bits.
int uint32_compare(pn_elem a, pn_elem b);
/// uint64 hash: the value itself.
uint64_t uint64_hash(pn_elem e);
/// uint64 equality: 64-bit equality.
bool uint64_equals(pn_elem a, pn_elem b);
/// uint64 order: unsigned 64-bit order.
int uint64_compare(pn_elem a, pn_elem b);
/// Text hash: low 32 bits h (5555, then h*33 + signed byte), high 32 bits the length; null is 0.
uint64_t string_hash(pn_elem e);
/// Text equality by `strcmp`; a null text equals only null.
bool string_equals(pn_elem a, pn_elem b);
/// Text order by `strcmp` (as -1, 0, 1); null sorts before every text.
int string_compare(pn_elem a, pn_elem b);
/// uintptr hash: the value itself.
uint64_t uintptr_hash(pn_elem e);
/// uintptr equality: 64-bit equality of the stored values (never what they point to).
bool uintptr_equals(pn_elem a, pn_elem b);
/// uintptr order: unsigned 64-bit order.
int uintptr_compare(pn_elem a, pn_elem b);
