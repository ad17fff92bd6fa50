// How a command-line run uses memory: what the heap keeps between stages, and what it makes
// resident before a conversion starts.
#pragma once

#include <cstdint>

/// Sets the heap's policy for the whole process; called once, first thing in main.
void driver_memory_policy();
/// Before a conversion of input_bytes bytes of IDL on the calling thread: makes about as much
/// heap resident, in one request, as such a conversion touches (its peak grows by a few bytes
/// per input byte), so that the conversion does not fault its pages in one at a time.
void driver_memory_expect(std::uint64_t input_bytes);
