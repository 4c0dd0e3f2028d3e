// One running service per database: a system-wide, exclusive lock named
// after the database target, taken before anything is loaded.
//
// Two copies of the program collecting the same meters into one database
// would store every record and alarm twice. The lock is held by the process
// for as long as the object lives and is released by the system when the
// process ends, however it ends. POSIX: flock() on a file under /run/lock
// (/tmp when that folder is missing); Windows: a named mutex in the Global
// namespace.
//
// Threads: create and destroy it on one thread; it takes no further calls.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

// Another process holds the lock of that target.
class EInstanceRunning : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class KxInstanceLock {
 public:
  // Takes the lock of `target` (for example "127.0.0.1:RATEIO_DB") without
  // waiting. Throws EInstanceRunning when another process holds it (the
  // message names the target, where the lock is and, when known, the other
  // process), std::runtime_error when the lock cannot be made at all.
  explicit KxInstanceLock(const std::string& target);
  KxInstanceLock(const KxInstanceLock&) = delete;
  KxInstanceLock& operator=(const KxInstanceLock&) = delete;
  ~KxInstanceLock();

  // Where the lock lives (a file path, or the mutex's name).
  const std::string& Name() const { return name_; }

  // The lock's name for `target`: the target with every character but
  // letters, digits, '.', '-' and '_' replaced by '_'.
  static std::string SafeName(const std::string& target);

 private:
  std::string name_;
  struct Handle;
  std::unique_ptr<Handle> handle_;
};
