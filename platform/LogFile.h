// The file under the text log: opened for appending and held for as long as
// it is open, so that other processes may read it but never write it (a
// second copy of the service, started in the same folder, is refused).
//
// POSIX: O_APPEND and an exclusive flock(); Windows: a share mode that lets
// others read only. Both restart by emptying the held file in place, so the
// hold is never let go and the restart needs no right beyond writing the
// file itself (the installed service may not create files in its folder).
//
// Threads: not thread-safe; its owner (TFileLog) serialises every call.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

// The file is held by another open log (another process).
class ELogFileInUse : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class KxLogFile {
 public:
  // Opens `path` for appending, creating it when missing; what a previous
  // run wrote stays and new bytes go after it. Throws ELogFileInUse when
  // another holds the file, std::runtime_error with the system's reason
  // when it can be neither opened nor created.
  explicit KxLogFile(const std::string& path);
  KxLogFile(const KxLogFile&) = delete;
  KxLogFile& operator=(const KxLogFile&) = delete;
  // Closes the file, letting go of it.
  ~KxLogFile();

  // Appends all of `bytes` straight to the system's file (no buffering). A
  // write that the system refuses drops the rest of them. Never throws.
  void Append(std::string_view bytes);
  // The file's size in bytes; -1 when the system cannot tell.
  long long Size() const;
  // Starts the file afresh: its content is discarded and appending goes on
  // into an empty file at the same path, held all along. False when that
  // could not be done: the file is then as it was and appending goes on at
  // its end (a later call may try again). Never throws.
  bool Restart();

 private:
  struct Handle;
  std::string path_;
  std::unique_ptr<Handle> handle_;
};
