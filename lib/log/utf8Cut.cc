#include "lib/log/utf8Cut.h"

static bool IsContinuationByte(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

size_t Utf8CutLength(const char *text, size_t length, size_t limit) {
  if (length <= limit) {
    return length;
  }
  // The byte at `limit` is the first one dropped; while it continues a
  // sequence, the sequence's lead byte and the rest of it must go too. Stop
  // after the longest legal sequence so that malformed text still gets cut.
  size_t cut = limit;
  for (int steps = 0; cut > 0 && steps < 4; ++steps) {
    if (!IsContinuationByte(static_cast<unsigned char>(text[cut]))) {
      return cut;
    }
    --cut;
  }
  return IsContinuationByte(static_cast<unsigned char>(text[cut])) ? limit : cut;
}
