// "key=value" settings of the simulated packages: one setting per line,
// spaces around key and value ignored, empty lines and lines beginning with
// '#' or ';' skipped, CR LF accepted.
#pragma once

#include <string>
#include <utility>
#include <vector>

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

// UTF-8 to UTF-16 for the few texts the packages hand to the service
// (their own literals: well-formed input assumed, bad bytes become '?').
inline std::u16string ToUtf16(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp;
    int extra;
    if (c < 0x80) { cp = c; extra = 0; }
    else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; extra = 1; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; extra = 2; }
    else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; extra = 3; }
    else { out += u'?'; ++i; continue; }
    ++i;
    bool ok = true;
    for (int k = 0; k < extra; ++k, ++i) {
      if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) { ok = false; break; }
      cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { out += u'?'; continue; }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

inline std::string FromUtf16(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = '?';
    }
    if (cp < 0x80) out += static_cast<char>(cp);
    else if (cp < 0x800) { out += static_cast<char>(0xC0 | (cp >> 6)); out += static_cast<char>(0x80 | (cp & 0x3F)); }
    else if (cp < 0x10000) { out += static_cast<char>(0xE0 | (cp >> 12)); out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)); out += static_cast<char>(0x80 | (cp & 0x3F)); }
    else { out += static_cast<char>(0xF0 | (cp >> 18)); out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F)); out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)); out += static_cast<char>(0x80 | (cp & 0x3F)); }
  }
  return out;
}

}  // namespace sim
