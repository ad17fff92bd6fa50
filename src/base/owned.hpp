// Ownership adapter: a unique_ptr that releases a record through its own release function.
#pragma once

#include <cstdlib>
#include <memory>

/// Deleter calling `Release(p)`; release functions accept null, so an empty pointer is fine too.
template <auto Release> struct release_with {
    template <class T> void operator()(T *p) const noexcept { Release(p); }
};

/// Owns a `T` made by a `_new`/`_create` function and released by `Release`.
template <class T, auto Release> using owned = std::unique_ptr<T, release_with<Release>>;

/// Releases text the C library allocated (realpath, strdup); accepts null.
inline void owned_text_free(char *text) {
    std::free(text);
}

/// Owns such a text.
using owned_text = owned<char, owned_text_free>;
