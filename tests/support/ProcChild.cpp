// Child processes of the tests (POSIX), and copying an executable.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/ProcUtil.h"

namespace proc {

void CopyFile(const std::string& from, const std::string& to, mode_t mode) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
  ::chmod(to.c_str(), mode);
}

Child::Child(const std::string& exe, const ChildOptions& options, const std::string& outDir) {
  static int counter = 0;
  const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(++counter);
  outPath_ = outDir + "/child-" + tag + ".out";
  errPath_ = outDir + "/child-" + tag + ".err";

  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> argStore;
  argStore.push_back(exe);
  for (const auto& a : options.args) argStore.push_back(a);
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string kv = *e;
    const size_t eq = kv.find('=');
    if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& name : options.unsetEnv) env.erase(name);
  for (const auto& [k, v] : options.env) env[k] = v;
  std::vector<std::string> envStore;
  for (const auto& [k, v] : env) envStore.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0 || err < 0) throw std::runtime_error("cannot create child output files");

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid_ == 0) {
    sigset_t mask;
    sigemptyset(&mask);
    if (options.blockStopSignals) {
      sigaddset(&mask, SIGTERM);
      sigaddset(&mask, SIGINT);
      sigaddset(&mask, SIGHUP);
    }
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    if (options.newNetworkNamespace && ::unshare(CLONE_NEWNET) != 0) ::_exit(125);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out);
  ::close(err);
}

Child::~Child() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
  }
}

void Child::Signal(int sig) {
  if (!reaped_) ::kill(pid_, sig);
}

bool Child::Wait(std::chrono::milliseconds timeout, int& status) {
  if (reaped_) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string Child::Stdout() const { return ReadFile(outPath_); }
std::string Child::Stderr() const { return ReadFile(errPath_); }

int ExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1000;
}

}  // namespace proc
