#include "packages/mbus/MbusRecord.h"

#include <charconv>
#include <cstdio>

namespace mbus {

std::string DateTime::Text() const {
  char b[40];
  std::snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02d", year, month, day, hasTime ? hour : 0,
                hasTime ? minute : 0, hasTime ? second : 0);
  return b;
}

std::string Value::Text() const {
  switch (kind) {
    case Kind::None: return "";
    case Kind::Date: return date.Text();
    case Kind::Text: return text;
    case Kind::Bytes: {
      std::string out;
      char b[4];
      for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        if (i > 0) out += ' ';
        out += b;
      }
      return out;
    }
    case Kind::Number: break;
  }
  // Fixed notation, shortest digits that read back the same (a 32-bit real
  // with the digits of a float: 21.536703, not 21.536703109741211).
  char b[400];
  const auto r = fromReal32 ? std::to_chars(b, b + sizeof b, static_cast<float>(number), std::chars_format::fixed)
                            : std::to_chars(b, b + sizeof b, number, std::chars_format::fixed);
  if (r.ec != std::errc()) return "?";
  return std::string(b, r.ptr);
}

const char* FunctionText(Function function) {
  switch (function) {
    case Function::Instantaneous: return "instantâneo";
    case Function::Maximum: return "máximo";
    case Function::Minimum: return "mínimo";
    case Function::DuringError: return "durante erro";
  }
  return "?";
}

}  // namespace mbus
