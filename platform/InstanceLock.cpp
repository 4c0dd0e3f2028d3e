#include "platform/InstanceLock.h"

std::string KxInstanceLock::SafeName(const std::string& target) {
  std::string out;
  for (unsigned char c : target) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == '_';
    out += keep ? static_cast<char>(c) : '_';
  }
  return out;
}
