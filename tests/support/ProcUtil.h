// Helpers for tests that run programs, look at files and wait for things.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

namespace proc {

// A fresh directory in the system's temporary folder (/tmp, or $TMPDIR),
// removed with its contents at destruction.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "telvane-test");
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole file as bytes; "" when it cannot be read.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
long long FileSize(const std::string& path);  // -1 when missing
void CopyFile(const std::string& from, const std::string& to, mode_t mode);

// Splits log bytes into lines at CR LF (the last, unterminated piece is kept
// only when it is not empty).
std::vector<std::string> SplitCrLf(const std::string& bytes);
// The text of a log line: what follows the "dd/mm/yyyy hh:mm:ss\t" prefix;
// the whole line when it has no such prefix.
std::string LineText(const std::string& line);
// True when `line` starts with a well-formed "dd/mm/yyyy hh:mm:ss\t".
bool HasTimestamp(const std::string& line);

// Polls `done` every 10 ms until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A child process. Its stdout and stderr go to files in `outDir`.
struct ChildOptions {
  std::vector<std::string> args;            // argv[1..]
  std::string cwd;                          // "" = inherit
  std::map<std::string, std::string> env;   // set (added to the environment)
  std::vector<std::string> unsetEnv;        // removed from the environment
  bool newNetworkNamespace = false;         // no network at all (no database)
  bool blockStopSignals = false;            // start with SIGTERM/INT/HUP blocked
};

class Child {
 public:
  Child(const std::string& exe, const ChildOptions& options, const std::string& outDir);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Kills (SIGKILL) and reaps the child if it still runs.
  ~Child();

  pid_t Pid() const { return pid_; }
  void Signal(int sig);
  // Waits for the exit; true when it ended within `timeout`. `status` is the
  // raw wait status.
  bool Wait(std::chrono::milliseconds timeout, int& status);
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::string outPath_, errPath_;
};

// Exit code of a raw wait status, or -signal when killed by a signal.
int ExitCode(int status);

}  // namespace proc
