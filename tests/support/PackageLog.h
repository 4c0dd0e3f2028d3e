// The log a package writes to, kept line by line (UTF-8) for a test to look
// at. WriteLine is called from any thread of the package.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "plugins/TelvaneSdk.h"

namespace kit {

class PackageLog : public KxPackageLog {
 public:
  void WriteLine(const std::u16string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(text::FromUtf16(text));
  }
  int Count(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& l : lines_) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  bool Has(const std::string& prefix) { return !Line(prefix).empty(); }
  // The first line that begins with `prefix` ("" when none).
  std::string Line(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_)
      if (l.rfind(prefix, 0) == 0) return l;
    return "";
  }
  std::string All() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& l : lines_) out += "  " + l + "\n";
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace kit
