// Hex text of M-Bus frames, as the probe reads answers from files and the
// tests keep them: bytes as pairs of hex digits, separated by any white
// space ("68 3C 3C 68 08 ..."; a token of several pairs is several bytes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mbus {

class MbusHex {
 public:
  // False with `why` (Portuguese) at the first character that is neither a
  // hex digit nor white space, or a token with an odd number of digits.
  static bool Parse(const std::string& text, std::vector<uint8_t>& out, std::string& why) {
    out.clear();
    size_t i = 0;
    while (i < text.size()) {
      if (Space(text[i])) {
        ++i;
        continue;
      }
      const size_t start = i;
      while (i < text.size() && !Space(text[i])) {
        if (Digit(text[i]) < 0) {
          why = "caractere inválido na posição " + std::to_string(i + 1);
          return false;
        }
        ++i;
      }
      if ((i - start) % 2 != 0) {
        why = "número ímpar de dígitos hexadecimais na posição " + std::to_string(start + 1);
        return false;
      }
      for (size_t k = start; k < i; k += 2)
        out.push_back(static_cast<uint8_t>(Digit(text[k]) * 16 + Digit(text[k + 1])));
    }
    return true;
  }

 private:
  static bool Space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
  static int Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
};

}  // namespace mbus
