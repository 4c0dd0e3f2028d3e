// "key=value" settings of the simulated packages: one setting per line,
// spaces around key and value ignored, empty lines and lines beginning with
// '#' or ';' skipped, CR LF accepted.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "packages/common/PackageText.h"

namespace sim {

inline std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

using Setting = std::pair<std::string, std::string>;

// Settings in the order written. A line without '=' gives a key with an
// empty value.
inline std::vector<Setting> ParseSettings(const std::string& text) {
  std::vector<Setting> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    const std::string line = Trim(text.substr(pos, nl - pos));
    pos = nl + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
      out.emplace_back(line, "");
    else
      out.emplace_back(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
  }
  return out;
}

// Integer value; false when the text is not a whole decimal number.
inline bool ParseInt(const std::string& text, long long& value) {
  if (text.empty()) return false;
  size_t used = 0;
  try {
    value = std::stoll(text, &used, 10);
  } catch (...) {
    return false;
  }
  return used == text.size();
}

inline bool ParseDouble(const std::string& text, double& value) {
  if (text.empty()) return false;
  size_t used = 0;
  try {
    value = std::stod(text, &used);
  } catch (...) {
    return false;
  }
  return used == text.size();
}

// Text conversion shared by every package.
using pkg::FromUtf16;
using pkg::ToUtf16;

}  // namespace sim
