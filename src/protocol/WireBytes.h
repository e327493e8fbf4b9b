// Little-endian reads and writes of the fixed-width integers of the control
// protocol. The wire format is little-endian on every host, so messages are
// built and parsed one byte at a time instead of by copying structures.
#pragma once

#include <cstdint>

inline void PutU8(uint8_t *at, uint8_t value) {
  at[0] = value;
}

inline void PutU32(uint8_t *at, uint32_t value) {
  for (int i = 0; i < 4; i++) {
    at[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

inline void PutU64(uint8_t *at, uint64_t value) {
  for (int i = 0; i < 8; i++) {
    at[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

inline uint32_t GetU32(const uint8_t *at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; i--) {
    value = (value << 8) | at[i];
  }
  return value;
}

inline uint64_t GetU64(const uint8_t *at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; i--) {
    value = (value << 8) | at[i];
  }
  return value;
}
