// Hex spelling of wire bytes, so that expected messages read like a dump and
// a mismatch shows where the bytes differ.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// "22 14 00 00" -> bytes; blanks and line breaks are ignored.
inline std::vector<uint8_t> FromHex(const std::string &text) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : text) {
    if (c != ' ' && c != '\n') {
      digits += c;
    }
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// bytes -> "22 14 00 00 ..." with a line break every 16 bytes.
inline std::string ToHex(const std::vector<uint8_t> &bytes) {
  std::string text;
  char cell[4];
  for (size_t i = 0; i < bytes.size(); i++) {
    snprintf(cell, sizeof(cell), "%02x", bytes[i]);
    text += cell;
    text += (i % 16 == 15) ? "\n" : " ";
  }
  return text;
}

// `count` zero bytes in hex.
inline std::string HexZeros(size_t count) {
  std::string text;
  for (size_t i = 0; i < count; i++) {
    text += "00 ";
  }
  return text;
}

// The hex of a text's bytes.
inline std::string HexText(const std::string &text) {
  return ToHex(std::vector<uint8_t>(text.begin(), text.end()));
}
