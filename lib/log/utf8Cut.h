// Shortening text without splitting a UTF-8 sequence.
#pragma once

#include <cstddef>

// The largest length not above `limit` at which `text` (of `length` bytes)
// can be cut without leaving part of a multi-byte sequence behind.
size_t Utf8CutLength(const char *text, size_t length, size_t limit);
