// The portable helpers (files, log lines, waiting); the child processes are
// in ProcChild.cpp.
#include "support/ProcUtil.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace proc {

TempDir::TempDir(const std::string& prefix) {
  namespace fs = std::filesystem;
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<size_t> pick(0, sizeof kChars - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix + "-";
    for (int i = 0; i < 6; ++i) name += kChars[pick(random)];
    const fs::path path = fs::temp_directory_path() / name;
    std::error_code ec;
    if (fs::create_directory(path, ec)) {  // false when it already exists
      path_ = path.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

long long FileSize(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? -1 : static_cast<long long>(size);
}

std::vector<std::string> SplitCrLf(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t pos = 0;
  for (;;) {
    const size_t end = bytes.find("\r\n", pos);
    if (end == std::string::npos) break;
    lines.push_back(bytes.substr(pos, end - pos));
    pos = end + 2;
  }
  if (pos < bytes.size()) lines.push_back(bytes.substr(pos));
  return lines;
}

bool HasTimestamp(const std::string& line) {
  // dd/mm/yyyy hh:mm:ss<TAB>
  static const char kPattern[] = "99/99/9999 99:99:99\t";
  if (line.size() < sizeof kPattern - 1) return false;
  for (size_t i = 0; i + 1 < sizeof kPattern; ++i) {
    const char p = kPattern[i];
    const char c = line[i];
    if (p == '9' ? (c < '0' || c > '9') : c != p) return false;
  }
  return true;
}

std::string LineText(const std::string& line) {
  return HasTimestamp(line) ? line.substr(20) : line;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace proc
