#include "packages/fieldbus/ConfigText.h"

#include <cctype>

namespace fb {

namespace {

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

}  // namespace

bool ForEachConfigItem(const std::string& text, const ConfigItemFn& apply, std::set<std::string>& keys,
                       std::string& error) {
  std::set<std::string>& seen = keys;
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

bool ConfigInt(const std::string& key, const std::string& value, int low, int high, int& field,
               std::string& error) {
  if (ParseIntInRange(value, low, high, field)) return true;
  error = "valor inválido para " + key + ": '" + value + "' (inteiro de " + std::to_string(low) + " a " +
          std::to_string(high) + ")";
  return false;
}

bool ConfigParity(const std::string& value, char& field, std::string& error) {
  const char p = value.size() == 1 ? static_cast<char>(std::toupper(static_cast<unsigned char>(value[0]))) : '?';
  if (p == 'N' || p == 'E' || p == 'O') {
    field = p;
    return true;
  }
  error = "valor inválido para parity: '" + value + "' (N, E ou O)";
  return false;
}

std::string ConfigBytes(const uint8_t* bytes, int32_t count) {
  if (bytes == nullptr || count <= 0) return "";
  return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
}

}  // namespace fb
