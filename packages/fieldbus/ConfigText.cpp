#include "packages/fieldbus/ConfigText.h"

#include <cctype>
#include <set>

namespace fb {

namespace {

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

}  // namespace

bool ForEachConfigItem(const std::string& text, const ConfigItemFn& apply, std::string& error) {
  std::set<std::string> seen;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of(";\n", pos);
    if (end == std::string::npos) end = text.size();
    const std::string item = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (item.empty() || item[0] == '#') continue;
    const size_t eq = item.find('=');
    if (eq == std::string::npos) {
      error = "item sem '=': '" + item + "'";
      return false;
    }
    const std::string key = Trim(item.substr(0, eq));
    if (!seen.insert(key).second) {
      error = "chave repetida: '" + key + "'";
      return false;
    }
    if (!apply(key, Trim(item.substr(eq + 1)), error)) return false;
  }
  return true;
}

bool ParseIntInRange(const std::string& text, int low, int high, int& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  const int n = std::stoi(text);
  if (n < low || n > high) return false;
  value = n;
  return true;
}

}  // namespace fb
