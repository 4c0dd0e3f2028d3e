// Small text helpers shared by the M-Bus sources (reasons and descriptions
// are Portuguese; bytes show as 0xNN).
#pragma once

#include <cstdio>
#include <string>
#include <utility>

namespace mbus {

// A byte as "0x1F".
inline std::string Hex2(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%02X", v & 0xFFu);
  return b;
}

// Sets `why` and returns false: the last statement of a refusal.
inline bool Fail(std::string& why, std::string text) {
  why = std::move(text);
  return false;
}

}  // namespace mbus
