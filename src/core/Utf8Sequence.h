// UTF-8 validation shared by the daemon's argument check and the client's
// JSON output. Header-only, so that the client needs none of the daemon's
// libraries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The length of the valid UTF-8 sequence at the start of text (not empty),
// or 0.
inline size_t Utf8SequenceLength(std::string_view text) {
  auto byte = [&text](size_t i) { return static_cast<uint8_t>(text[i]); };
  uint8_t lead = byte(0);
  if (lead < 0x80) {
    return 1;
  }
  // The sequence length, the smallest code point it may encode, and the
  // code point bits of the lead byte.
  size_t length = 4;
  uint32_t min = 0x10000;
  uint32_t code = lead & 0x07;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    min = 0x80;
    code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    min = 0x800;
    code = lead & 0x0F;
  } else if ((lead & 0xF8) != 0xF0) {
    return 0;
  }
  if (text.size() < length) {
    return 0;
  }
  for (size_t i = 1; i < length; i++) {
    if ((byte(i) & 0xC0) != 0x80) {
      return 0;
    }
    code = (code << 6) | (byte(i) & 0x3F);
  }
  // Overlong forms, surrogates and values beyond Unicode are not valid.
  if (code < min || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
    return 0;
  }
  return length;
}
