// The service framework on Linux: a foreground process, managed by systemd
// through a Type=notify unit.
#include "platform/ServiceHost.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <system_error>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef TELVANE_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "platform/ExePath.h"
#include "platform/TimeChangeWatch.h"

extern char** environ;

namespace platform {

const char* const kFirebirdServerService = "firebird3.0.service";

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void BlockStopSignals() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace platform

namespace {

const char kDefaultUnitDir[] = "/etc/systemd/system";
const char kWantedBy[] = "multi-user.target";

// Tells systemd how the service is doing (no-op outside systemd).
void Notify(const char* state) {
#ifdef TELVANE_HAVE_SYSTEMD
  sd_notify(0, state);
#else
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || path[0] == '\0') return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t len = std::strlen(path);
  if (len >= sizeof addr.sun_path) return;
  std::memcpy(addr.sun_path, path, len);
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract socket
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  ::sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
  ::close(fd);
#endif
}

// Asks the service how it does: WATCHDOG=1 only while it makes progress, and
// its summary as STATUS= whenever it changes.
void ReportHealth(TService& service, std::string& lastStatus) {
  std::string summary;
  bool healthy = true;
  try {
    healthy = service.ServiceHealth(summary);
  } catch (...) {
    healthy = false;
  }
  if (healthy) Notify("WATCHDOG=1");
  if (!summary.empty() && summary != lastStatus) {
    Notify(("STATUS=" + summary).c_str());
    lastStatus = summary;
  }
}

// A value for a unit file: '%' is a specifier there, '$' starts a variable
// in command lines, and a path with blanks or quotes must be quoted.
std::string UnitEscape(const std::string& value, bool commandLine) {
  std::string out;
  bool quote = false;
  for (char c : value) {
    switch (c) {
      case '%':
        out += "%%";
        break;
      case '$':
        out += commandLine ? "$$" : "$";
        break;
      case '"':
      case '\\':
        if (commandLine) {
          out += '\\';
          quote = true;
        }
        out += c;
        break;
      case ' ':
      case '\t':
      case '\'':
        quote = quote || commandLine;
        out += c;
        break;
      default:
        out += c;
    }
  }
  return quote ? "\"" + out + "\"" : out;
}

// The account the unit runs the service as: $TELVANE_SERVICE_USER when set,
// the service's own otherwise; "" or "root": root.
std::string ServiceAccount(const TService& service) {
  const char* chosen = std::getenv("TELVANE_SERVICE_USER");
  std::string name = chosen != nullptr && chosen[0] != '\0' ? chosen : service.Account;
  return name == "root" ? std::string() : name;
}

std::string UnitText(const TService& service, const std::string& exe, const std::string& folder,
                     const std::string& account) {
  std::string deps;
  for (const auto& d : service.Dependencies) deps += (deps.empty() ? "" : " ") + d;
  std::string t;
  t += "[Unit]\n";
  t += "Description=" + UnitEscape(service.DisplayName, false) + "\n";
  if (!deps.empty()) {
    t += "Requires=" + deps + "\n";
    t += "After=" + deps + "\n";
  }
  t += "\n[Service]\n";
  t += "Type=notify\n";
  t += "ExecStart=" + UnitEscape(exe, true) + "\n";
  t += "WorkingDirectory=" + UnitEscape(folder.empty() ? "/" : folder, false) + "\n";
  // A service that dies is started again; one that found another instance
  // running (exit status 3) is not.
  t += "Restart=on-failure\n";
  t += "RestartSec=5\n";
  t += "RestartPreventExitStatus=3\n";
  // Above the stop's own bound for its threads (20 s) plus its database work.
  t += "TimeoutStopSec=60\n";
  // WATCHDOG=1 comes every few seconds while every thread makes progress;
  // one that stands still for minutes stops it, and systemd restarts the
  // service this long after the last.
  t += "WatchdogSec=60\n";
  // Least privilege: an account of its own (serial ports through dialout),
  // no way to gain privileges, the system read-only but for what it writes
  // and the instance lock's folder.
  if (!account.empty()) {
    t += "User=" + account + "\n";
    t += "Group=" + account + "\n";
    if (::getgrnam("dialout") != nullptr) t += "SupplementaryGroups=dialout\n";
  }
  t += "NoNewPrivileges=yes\n";
  t += "ProtectSystem=strict\n";
  t += "ProtectHome=read-only\n";
  t += "PrivateTmp=yes\n";
  std::string writable;
  for (const auto& f : service.WritableFiles) writable += " " + UnitEscape(f, true);
  for (const auto& f : service.WritableFolders) writable += " " + UnitEscape(f, true);
  t += "ReadWritePaths=" + writable.substr(writable.empty() ? 0 : 1) +
       (writable.empty() ? "" : " ") + "/run/lock\n";
  t += "\n[Install]\n";
  t += std::string("WantedBy=") + kWantedBy + "\n";
  return t;
}

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Writes `text` to `path` through a temporary file renamed into place.
void WriteFileAtomically(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error(ErrnoText("cannot create " + tmp));
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string msg = ErrnoText("cannot write " + tmp);
      ::close(fd);
      ::unlink(tmp.c_str());
      throw std::runtime_error(msg);
    }
    done += static_cast<size_t>(n);
  }
  ::fchmod(fd, 0644);
  if (::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
    const std::string msg = ErrnoText("cannot write " + path);
    ::unlink(tmp.c_str());
    throw std::runtime_error(msg);
  }
}

// Runs `argv` and waits for it; its exit status, or -1 when it could not run.
int RunProgram(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid;
  int status = -1;
  if (posix_spawnp(&pid, args[0], nullptr, &attr, args.data(), environ) == 0) {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawnattr_destroy(&attr);
  return status;
}

struct AccountIds {
  uid_t uid;
  gid_t gid;
};

// The system account `name`, created with a group of its own, no home and
// no login shell when it does not exist.
AccountIds EnsureAccount(const std::string& name) {
  if (const passwd* pw = ::getpwnam(name.c_str())) return {pw->pw_uid, pw->pw_gid};
  const int rc = RunProgram({"useradd", "--system", "--user-group", "--no-create-home",
                             "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin", name});
  const passwd* pw = ::getpwnam(name.c_str());
  if (pw == nullptr)
    throw std::runtime_error("cannot create the user " + name + " (useradd: " +
                             (rc < 0 ? std::string("not run") : "exit status " + std::to_string(rc)) + ")");
  std::cout << "User " << name << " created for the service" << std::endl;
  return {pw->pw_uid, pw->pw_gid};
}

void GiveTo(const std::string& path, const AccountIds& ids) {
  if (::chown(path.c_str(), ids.uid, ids.gid) != 0)
    throw std::runtime_error(ErrnoText("cannot give " + path + " to the service's user"));
}

// Creates what the service writes and gives it to its account (a folder
// with everything already in it: a journal made by an earlier run as root).
void PrepareWritablePaths(const TService& service, const AccountIds& ids) {
  for (const std::string& file : service.WritableFiles) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) throw std::runtime_error(ErrnoText("cannot create " + file));
    ::close(fd);
    GiveTo(file, ids);
  }
  for (const std::string& folder : service.WritableFolders) {
    if (::mkdir(folder.c_str(), 0750) != 0 && errno != EEXIST)
      throw std::runtime_error(ErrnoText("cannot create " + folder));
    GiveTo(folder, ids);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
      if (entry.is_regular_file(ec)) GiveTo(entry.path().string(), ids);
  }
}

// Makes systemd read the units again after a change in its own unit folder.
void ReloadSystemd(const std::string& unitDir) {
  if (unitDir != kDefaultUnitDir || ::access("/run/systemd/system", F_OK) != 0) return;
  RunProgram({"systemctl", "daemon-reload"});
}

void Dispatch(TService& service, const KxMessage& message) {
  if (service.ApplicationEvents == nullptr || !service.ApplicationEvents->OnMessage) return;
  bool handled = false;
  try {
    service.ApplicationEvents->OnMessage(message, handled);
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
  } catch (...) {
  }
}

}  // namespace

struct TServiceApplication::Impl {
  std::mutex mutex;
  std::deque<KxMessage> queue;  // guarded by mutex
  bool stopRequested = false;   // guarded by mutex
  int wakeFd = -1;

  void Wake() {
    const uint64_t one = 1;
    while (::write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
};

TServiceApplication::TServiceApplication() : impl_(std::make_unique<Impl>()) {
  impl_->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (impl_->wakeFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

TServiceApplication::~TServiceApplication() { ::close(impl_->wakeFd); }

bool TServiceApplication::Initialize(int argc, char** argv) {
  mode_ = Mode::Serve;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--install" || arg == "-install" || arg == "/install") {
      mode_ = Mode::Install;
    } else if (arg == "--uninstall" || arg == "-uninstall" || arg == "/uninstall") {
      mode_ = Mode::Uninstall;
    } else if (arg == "--help" || arg == "-h") {
      mode_ = Mode::Help;
    } else {
      std::cerr << "unknown argument: " << arg << "\n";
      mode_ = Mode::Help;
      std::cerr << "usage: " << (argc > 0 ? argv[0] : "telvane") << " [--install | --uninstall]\n";
      return false;
    }
  }
  if (mode_ == Mode::Help) {
    std::cout << "usage: " << (argc > 0 ? argv[0] : "telvane") << " [--install | --uninstall]\n"
              << "  (no argument)  run the service in the foreground until SIGTERM/SIGINT\n"
              << "  --install      write and enable the systemd unit\n"
              << "  --uninstall    remove the systemd unit\n";
  }
  return true;
}

int TServiceApplication::Run(TService& service) {
  switch (mode_) {
    case Mode::Install:
      return Install(service);
    case Mode::Uninstall:
      return Uninstall(service);
    case Mode::Help:
      return 0;
    case Mode::Serve:
      break;
  }
  return Serve(service);
}

int TServiceApplication::Run(const TServiceRun& run) {
  if (mode_ == Mode::Help) return 0;
  int code = 1;
  std::string reason;
  TService* service = run.Prepare ? run.Prepare(code, reason) : nullptr;
  if (service == nullptr) {
    if (!reason.empty()) std::cerr << reason << std::endl;
    return code;
  }
  const int rc = Run(*service);
  if (run.Finish) run.Finish();
  return rc;
}

std::string TServiceApplication::UnitDirectory() {
  const char* dir = std::getenv("TELVANE_UNIT_DIR");
  return (dir != nullptr && dir[0] != '\0') ? dir : kDefaultUnitDir;
}

int TServiceApplication::Install(TService& service) {
  const std::string dir = UnitDirectory();
  const std::string unit = dir + "/" + service.Name + ".service";
  try {
    const std::string exe = platform::ExecutablePath();
    const std::string account = ServiceAccount(service);
    if (!account.empty()) PrepareWritablePaths(service, EnsureAccount(account));
    WriteFileAtomically(unit, UnitText(service, exe, platform::ExtractFolder(exe), account));
    // Enabled at once, so that the service starts with the system.
    const std::string wants = dir + "/" + kWantedBy + ".wants";
    if (::mkdir(wants.c_str(), 0755) != 0 && errno != EEXIST)
      throw std::runtime_error(ErrnoText("cannot create " + wants));
    const std::string link = wants + "/" + service.Name + ".service";
    ::unlink(link.c_str());
    if (::symlink(unit.c_str(), link.c_str()) != 0)
      throw std::runtime_error(ErrnoText("cannot create " + link));
  } catch (const std::exception& e) {
    std::cerr << "Service " << service.Name << " was not installed: " << e.what() << std::endl;
    return 1;
  }
  ReloadSystemd(dir);
  std::cout << "Service " << service.Name << " installed: " << unit << std::endl;
  service.ServiceAfterInstall();
  return 0;
}

int TServiceApplication::Uninstall(TService& service) {
  const std::string dir = UnitDirectory();
  const std::string unit = dir + "/" + service.Name + ".service";
  struct stat st {};
  if (::lstat(unit.c_str(), &st) != 0) {
    std::cerr << "Service " << service.Name << " is not installed (" << unit << ": "
              << std::strerror(errno) << ")" << std::endl;
    return 1;
  }
  const std::string link = dir + "/" + kWantedBy + ".wants/" + service.Name + ".service";
  ::unlink(link.c_str());
  if (::unlink(unit.c_str()) != 0) {
    std::cerr << "Service " << service.Name << " was not removed: "
              << ErrnoText("cannot delete " + unit) << std::endl;
    return 1;
  }
  ReloadSystemd(dir);
  std::cout << "Service " << service.Name << " removed: " << unit << std::endl;
  service.ServiceAfterUninstall();
  return 0;
}

void TServiceApplication::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopRequested = true;
  }
  impl_->Wake();
}

void TServiceApplication::PostMessage(const KxMessage& message) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->queue.push_back(message);
  }
  impl_->Wake();
}

int TServiceApplication::Serve(TService& service) {
  // The stop signals are blocked (BlockStopSignals) and so wait here; a
  // signal that arrives during the start is taken once the loop runs.
  const sigset_t stopSignals = platform::StopSignals();
  const int signalFd = ::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signalFd < 0) {
    std::cerr << ErrnoText("signalfd") << std::endl;
    return 1;
  }
  std::unique_ptr<KxTimeChangeWatch> watch;
  try {
    watch = std::make_unique<KxTimeChangeWatch>();
  } catch (const std::exception& e) {
    // The service still runs; only the detection of clock changes is lost.
    service.ServiceReport(std::string("clock change detection unavailable: ") + e.what());
  }

  bool started = false;
  try {
    service.ServiceStart(started);
  } catch (const std::exception& e) {
    service.ServiceReport(std::string("start failed: ") + e.what());
    started = false;
  } catch (...) {
    started = false;
  }
  if (!started) {
    ::close(signalFd);
    return 1;
  }
  Notify("READY=1");

  auto nextHealth = std::chrono::steady_clock::now();
  std::string lastStatus;
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextHealth) {
      ReportHealth(service, lastStatus);
      nextHealth = now + kHealthInterval;
    }
    const int timeoutMs = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(nextHealth - now).count() + 1);
    pollfd fds[3] = {{signalFd, POLLIN, 0}, {impl_->wakeFd, POLLIN, 0}, {-1, POLLIN, 0}};
    if (watch) fds[2].fd = watch->Handle();
    const int ready = ::poll(fds, 3, timeoutMs);
    if (ready == 0) continue;
    if (ready < 0) {
      if (errno == EINTR) continue;
      service.ServiceReport(ErrnoText("poll"));
      break;
    }
    if (fds[0].revents != 0) {
      signalfd_siginfo info{};
      if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) break;
    }
    if (fds[2].revents != 0) {
      bool set = false;
      try {
        set = watch->ClockWasSet();
      } catch (const std::exception& e) {
        service.ServiceReport(std::string("clock change detection stopped: ") + e.what());
        watch.reset();
      }
      if (set) Dispatch(service, KxMessage{WM_TIMECHANGE, 0, 0});
    }
    if (fds[1].revents != 0) {
      uint64_t count;
      while (::read(impl_->wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
      }
      std::deque<KxMessage> messages;
      bool stop;
      {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        messages.swap(impl_->queue);
        stop = impl_->stopRequested;
        impl_->stopRequested = false;
      }
      for (const KxMessage& m : messages) Dispatch(service, m);
      if (stop) break;
    }
  }

  Notify("STOPPING=1");
  ::close(signalFd);
  int rc = 0;
  try {
    bool stopped = false;
    service.ServiceStop(stopped);
  } catch (const std::exception& e) {
    service.ServiceReport(std::string("stop failed: ") + e.what());
    rc = 1;
  } catch (...) {
    rc = 1;
  }
  return rc;
}
