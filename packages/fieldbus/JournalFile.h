// The file under a SampleJournal: reads at any offset, appends that are on
// the disk when they return, and the durable replacement of the whole file.
// Paths are UTF-8. System calls live in JournalFile_posix.cpp and
// JournalFile_windows.cpp; error numbers are the system's (POSIX errno,
// Windows GetLastError()).
//
// Threads: not thread-safe; the SampleJournal that owns it serialises its use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fb {

class JournalFile {
 public:
  // Opens `path` for reading and writing, creating it when missing (the
  // folder must exist). Throws std::runtime_error with the reason.
  explicit JournalFile(const std::string& path);
  ~JournalFile();
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  int64_t Size() const { return size_; }
  // Exactly `n` bytes at `offset`; false when they cannot be read.
  bool ReadAt(int64_t offset, void* buf, size_t n) const;
  // Writes `n` bytes at the end and waits until they are on the disk. On a
  // failure the file is cut back to its former size (as far as possible),
  // false is returned and LastError() tells why.
  bool Append(const void* buf, size_t n);
  // Cuts the file to `size` bytes, durably.
  bool Truncate(int64_t size);
  int LastError() const { return lastError_; }

  // Makes the file at `from` (complete and synced by the caller) the file at
  // `to`, replacing a file there, atomically and durably (POSIX: rename,
  // then the folder synced; Windows: MoveFileExW, written through).
  static bool Replace(const std::string& from, const std::string& to, int& error);
  // Text of a system error number, in the system's words.
  static std::string ErrorText(int error);

 private:
  static constexpr intptr_t kNoFile = -1;
  intptr_t fd_ = kNoFile;  // POSIX: the descriptor; Windows: the HANDLE
  int64_t size_ = 0;
  int lastError_ = 0;
  std::string path_;
};

}  // namespace fb
