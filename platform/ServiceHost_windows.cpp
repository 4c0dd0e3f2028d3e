// The service framework on Windows: a service of its own process under the
// service control manager, or a console program for trying it by hand.
#include "platform/ServiceHost.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/EventLog.h"
#include "platform/ExePath.h"
#include "platform/ServiceAccount.h"
#include "platform/ServiceGiveUp.h"
#include "platform/TimeChangeWatch.h"
#include "platform/Win32Api_windows.h"

using platform::win::ErrorText;
using platform::win::UniqueServiceHandle;
using platform::win::Wide;

namespace platform {

const char* const kFirebirdServerService = "FirebirdServerDefaultInstance";

void BlockStopSignals() {}

}  // namespace platform

namespace {

// Reported while a start or a stop is pending: the most the manager should
// wait between two reports.
constexpr DWORD kWaitHintMs = 5000;
// A service that dies or ends with an error is started again after this long.
constexpr DWORD kRestartDelayMs = 5000;
// What the system gives the stop when it shuts down (the preshutdown
// timeout, set at --install; Windows' own default is 10 s on recent builds
// and once was 180 s): the stop sequence waits for the workers and bounds
// its own database writes, some 40 s at most.
constexpr DWORD kPreshutdownTimeoutMs = 60000;

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

// The double-NUL-terminated list of names that CreateServiceW takes.
std::wstring DependencyList(const std::vector<std::string>& names) {
  std::wstring out;
  for (const std::string& name : names) {
    out += Wide(name);
    out += L'\0';
  }
  out += L'\0';
  return out;
}

// What the application shares with the manager's callbacks and the loop.
struct ServiceState {
  std::mutex mutex;
  std::deque<KxMessage> queue;  // guarded by mutex
  bool stopRequested = false;   // guarded by mutex
  platform::win::UniqueHandle wake;  // auto-reset event: queue or stop changed

  // The service control manager's side (service mode only).
  std::mutex statusMutex;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;  // guarded by statusMutex
  SERVICE_STATUS status{};                       // guarded by statusMutex

  // Set when Serve()'s stop sequence has ended (console close waits on it).
  platform::win::UniqueHandle done;

  void Wake() { ::SetEvent(wake.Get()); }

  void RequestStop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopRequested = true;
    }
    Wake();
  }

  void Post(const KxMessage& message) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      queue.push_back(message);
    }
    Wake();
  }

  // True when the service control manager runs the service.
  bool Managed() {
    std::lock_guard<std::mutex> lock(statusMutex);
    return statusHandle != nullptr;
  }

  // Tells the manager the state (no-op in console mode). Pending states
  // carry a wait hint and a checkpoint that grows with every report.
  void Report(DWORD state, DWORD exitCode = 0) {
    std::lock_guard<std::mutex> lock(statusMutex);
    if (statusHandle == nullptr) return;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    // No control while the start is pending; never pause or continue. At a
    // shutdown the system sends PRESHUTDOWN first, while the other services
    // (Firebird's among them) still run, and waits for the stop up to the
    // preshutdown timeout; SHUTDOWN comes only to systems without it.
    // TIMECHANGE: the system's clock was set.
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN |
                                       SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_TIMECHANGE
                                 : 0;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwWaitHint = pending ? kWaitHintMs : 0;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exitCode;
    ::SetServiceStatus(statusHandle, &status);
  }

  // Repeats the pending state's report every second while `fn` runs, so
  // that a long stop sequence is not taken for a hung one.
  template <typename F>
  void WhilePending(DWORD state, F&& fn) {
    platform::win::UniqueHandle finished(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread ticker;
    if (statusHandle != nullptr && finished.Valid()) {
      ticker = std::thread([this, state, event = finished.Get()] {
        while (::WaitForSingleObject(event, 1000) == WAIT_TIMEOUT) Report(state);
      });
    }
    const auto endTicker = [&] {
      if (!ticker.joinable()) return;
      ::SetEvent(finished.Get());
      ticker.join();
    };
    try {
      fn();
    } catch (...) {
      endTicker();
      throw;
    }
    endTicker();
  }
};

// The state and the service that a run hands to the manager's callbacks
// and the console handler (one served service per process).
std::atomic<ServiceState*> g_state{nullptr};
const TServiceRun* g_run = nullptr;
std::atomic<int> g_serviceResult{1};

// Says, in the service's log and the event log, that the service ends
// because its health stayed false (KxServiceGiveUp).
void GiveUp(TService& service, const std::string& summary) {
  const std::string reason = KxServiceGiveUp::Reason(summary);
  service.ServiceReport(reason);
  platform::eventlog::Report(service.Name, platform::eventlog::Kind::Error, reason);
}

// The service's run, on the thread that calls it: start, the loop, stop.
// Returns the process exit status; the caller reports SERVICE_STOPPED.
int RunService(ServiceState& impl, TService& service) {
  // Under the manager a setting of the clock comes as the TIMECHANGE
  // control (ControlHandler), which the system sends for the clock only,
  // not for a change of time zone. A console run has a desktop of its own,
  // where the system's WM_TIMECHANGE broadcast reaches a hidden window.
  std::unique_ptr<KxTimeChangeWatch> watch;
  if (!impl.Managed()) {
    try {
      watch = std::make_unique<KxTimeChangeWatch>();
    } catch (const std::exception& e) {
      // The service still runs; only the detection of clock changes is lost.
      service.ServiceReport(std::string("clock change detection unavailable: ") + e.what());
    }
  }

  impl.Report(SERVICE_START_PENDING);
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
    // Said in the service's log (ServiceStart); a service also says it where
    // an administrator looks first.
    if (impl.Managed())
      platform::eventlog::Report(service.Name, platform::eventlog::Kind::Error,
                                 "the service did not start: see its log");
    return 1;
  }
  impl.Report(SERVICE_RUNNING);

  // The manager has no watchdog: a service whose health stays false ends
  // itself with an error, which the recovery actions restart.
  KxServiceGiveUp giveUp;
  bool gaveUp = false;
  auto nextHealth = std::chrono::steady_clock::now();
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextHealth) {
      std::string summary;
      bool healthy = false;
      try {
        healthy = service.ServiceHealth(summary);
      } catch (...) {
      }
      nextHealth = now + TServiceApplication::kHealthInterval;
      if (impl.Managed() && giveUp.Note(healthy, now)) {
        GiveUp(service, summary);
        gaveUp = true;
        break;
      }
    }
    const DWORD timeoutMs = static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(nextHealth - now).count() + 1);
    HANDLE handles[2] = {impl.wake.Get(), watch ? static_cast<HANDLE>(watch->Handle()) : nullptr};
    const DWORD count = watch ? 2 : 1;
    const DWORD r = ::WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
    if (r == WAIT_TIMEOUT) continue;
    if (r == WAIT_OBJECT_0 + 1) {
      if (watch->ClockWasSet()) Dispatch(service, KxMessage{WM_TIMECHANGE, 0, 0});
      continue;
    }
    if (r != WAIT_OBJECT_0) {
      service.ServiceReport("WaitForMultipleObjects: " + ErrorText(::GetLastError()));
      break;
    }
    std::deque<KxMessage> messages;
    bool stop;
    {
      std::lock_guard<std::mutex> lock(impl.mutex);
      messages.swap(impl.queue);
      stop = impl.stopRequested;
      impl.stopRequested = false;
    }
    for (const KxMessage& m : messages) Dispatch(service, m);
    if (stop) break;
  }

  int rc = 0;
  impl.Report(SERVICE_STOP_PENDING);
  try {
    impl.WhilePending(SERVICE_STOP_PENDING, [&service] {
      bool stopped = false;
      service.ServiceStop(stopped);
    });
  } catch (const std::exception& e) {
    service.ServiceReport(std::string("stop failed: ") + e.what());
    rc = 1;
  } catch (...) {
    rc = 1;
  }
  watch.reset();
  return gaveUp ? static_cast<int>(KxServiceGiveUp::kExitCode) : rc;
}

// The control handler, on the dispatcher's thread (the main thread). STOP,
// PRESHUTDOWN and SHUTDOWN all run the whole stop sequence.
DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  ServiceState* state = g_state.load();
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN:
      if (state != nullptr) {
        state->Report(SERVICE_STOP_PENDING);
        state->RequestStop();
      }
      return NO_ERROR;
    case SERVICE_CONTROL_TIMECHANGE:
      // The system's clock was set: handed to the service as the console's
      // watch hands it.
      if (state != nullptr) state->Post(KxMessage{WM_TIMECHANGE, 0, 0});
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// The service thread that the dispatcher starts: the run's preparation,
// the service, and what ends the run, all before the manager is told the
// service has stopped.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  ServiceState* impl = g_state.load();
  const TServiceRun& run = *g_run;
  // A service of its own process: the name is the one it was started as.
  const std::wstring name = argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : L"";
  SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerExW(name.c_str(), ControlHandler, nullptr);
  if (handle == nullptr) {
    g_serviceResult.store(1);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(impl->statusMutex);
    impl->statusHandle = handle;
  }
  impl->Report(SERVICE_START_PENDING);
  // The manager starts services in the system folder; the plug-in folders
  // are relative to the current one, which is the executable's, as with the
  // systemd unit's WorkingDirectory.
  try {
    ::SetCurrentDirectoryW(Wide(platform::ExecutableFolder() + "\\").c_str());
  } catch (const std::exception& e) {
    platform::eventlog::Report(platform::win::Utf8(name), platform::eventlog::Kind::Warning,
                               e.what());
  }
  int code = 1;
  std::string reason;
  TService* service = nullptr;
  impl->WhilePending(SERVICE_START_PENDING, [&] {
    try {
      if (run.Prepare) service = run.Prepare(code, reason);
    } catch (const std::exception& e) {
      reason = e.what();
      code = 1;
    }
  });
  if (service == nullptr) {
    // Refused before it could start (another instance, no log): the
    // manager shows the code, the event log the reason.
    platform::eventlog::Report(platform::win::Utf8(name), platform::eventlog::Kind::Error,
                               reason.empty() ? "start refused" : reason);
    g_serviceResult.store(code);
    impl->Report(SERVICE_STOPPED, static_cast<DWORD>(code));
    return;
  }
  const int rc = RunService(*impl, *service);
  impl->WhilePending(SERVICE_STOP_PENDING, [&] {
    if (run.Finish) run.Finish();
  });
  g_serviceResult.store(rc);
  // Nothing that must happen comes after this: the process may be ended.
  impl->Report(SERVICE_STOPPED, static_cast<DWORD>(rc));
}

// Ctrl-C, Ctrl-Break and closing the console stop a console run, on a
// thread the system starts for the event.
BOOL WINAPI ConsoleHandler(DWORD event) {
  ServiceState* impl = g_state.load();
  if (impl == nullptr) return FALSE;
  impl->RequestStop();
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The process ends when this handler returns: let the stop sequence
    // finish first (the system allows some seconds).
    ::WaitForSingleObject(impl->done.Get(), INFINITE);
  }
  return TRUE;
}

// Makes `state` and `service` the ones that the callbacks reach for the
// life of the object.
class ServedBy {
 public:
  ServedBy(ServiceState* state, const TServiceRun* run) {
    g_run = run;
    g_state.store(state);
  }
  ~ServedBy() {
    g_state.store(nullptr);
    g_run = nullptr;
  }
};

// What --install sets beyond the service itself: a restart after a crash
// and after an exit with an error (the failure-actions flag; without it the
// manager restarts only a process that died), and the preshutdown timeout.
// The service works without them: a setting the system refuses is said on
// the console, and the installation stands.
void ConfigureRecovery(SC_HANDLE created, const std::string& name) {
  const auto warn = [&](const char* what) {
    std::cerr << "Service " << name << ": " << what << " not set: ChangeServiceConfig2W: "
              << ErrorText(::GetLastError()) << std::endl;
  };
  SC_ACTION restart{SC_ACTION_RESTART, kRestartDelayMs};
  SERVICE_FAILURE_ACTIONSW actions{};
  actions.dwResetPeriod = 24 * 3600;
  actions.cActions = 1;
  actions.lpsaActions = &restart;
  if (!::ChangeServiceConfig2W(created, SERVICE_CONFIG_FAILURE_ACTIONS, &actions))
    warn("the restart after a failure");
  SERVICE_FAILURE_ACTIONS_FLAG onError{TRUE};
  if (!::ChangeServiceConfig2W(created, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onError))
    warn("the restart after an exit with an error");
  SERVICE_PRESHUTDOWN_INFO preshutdown{kPreshutdownTimeoutMs};
  if (!::ChangeServiceConfig2W(created, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown))
    warn("the preshutdown timeout");
}

bool IsSwitch(const std::string& arg, const char* name) {
  return arg == std::string("--") + name || arg == std::string("-") + name ||
         arg == std::string("/") + name;
}

void Usage(std::ostream& out, const char* program) {
  out << "usage: " << program << " [--install | --uninstall | --console]\n"
      << "  (no argument)  run as the service (started by the service control manager)\n"
      << "  --console      run in this console until Ctrl-C\n"
      << "  --install      register the service (automatic start)\n"
      << "  --uninstall    remove the service\n";
}

}  // namespace

struct TServiceApplication::Impl : ServiceState {};

TServiceApplication::TServiceApplication() : impl_(std::make_unique<Impl>()) {
  impl_->wake.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  impl_->done.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!impl_->wake.Valid() || !impl_->done.Valid())
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "CreateEventW");
}

TServiceApplication::~TServiceApplication() = default;

bool TServiceApplication::Initialize(int argc, char** argv) {
  // What the program writes on the console is UTF-8.
  ::SetConsoleOutputCP(CP_UTF8);
  const char* program = argc > 0 ? argv[0] : "telvane.exe";
  mode_ = Mode::Serve;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (IsSwitch(arg, "install")) {
      mode_ = Mode::Install;
    } else if (IsSwitch(arg, "uninstall")) {
      mode_ = Mode::Uninstall;
    } else if (IsSwitch(arg, "console")) {
      mode_ = Mode::Console;
    } else if (arg == "--help" || arg == "-h" || arg == "/?") {
      mode_ = Mode::Help;
    } else {
      std::cerr << "unknown argument: " << arg << "\n";
      mode_ = Mode::Help;
      Usage(std::cerr, program);
      return false;
    }
  }
  if (mode_ == Mode::Help) Usage(std::cout, program);
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
    case Mode::Console: {
      ServedBy served(impl_.get(), nullptr);
      ::SetConsoleCtrlHandler(ConsoleHandler, TRUE);
      const int rc = RunService(*impl_, service);
      ::SetEvent(impl_->done.Get());
      ::SetConsoleCtrlHandler(ConsoleHandler, FALSE);
      return rc;
    }
    case Mode::Serve:
      break;
  }
  return Serve(service);
}

int TServiceApplication::Run(const TServiceRun& run) {
  if (mode_ == Mode::Help) return 0;
  if (mode_ == Mode::Serve) return Serve(run);
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

int TServiceApplication::Serve(TService& service) {
  TServiceRun run;
  run.Prepare = [&service](int&, std::string&) { return &service; };
  return Serve(run);
}

int TServiceApplication::Serve(const TServiceRun& run) {
  ServedBy served(impl_.get(), &run);
  g_serviceResult.store(1);
  // The name is not looked at for a service of its own process; the
  // dispatcher connects at once, before anything that could wait.
  std::wstring name = L"";
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
  // Returns when the service has stopped.
  if (!::StartServiceCtrlDispatcherW(table)) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
      std::cerr << "Not started by the service control manager: install the service with "
                   "--install and start it with \"sc start <name>\", or try it here with "
                   "--console."
                << std::endl;
    else
      std::cerr << "StartServiceCtrlDispatcherW: " << ErrorText(err) << std::endl;
    return 1;
  }
  ::SetEvent(impl_->done.Get());
  return g_serviceResult.load();
}

int TServiceApplication::Install(TService& service) {
  std::string exe;
  try {
    exe = platform::ExecutablePath();
    UniqueServiceHandle manager(
        ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) throw std::runtime_error("OpenSCManagerW: " + ErrorText(::GetLastError()));
    // Quoted: a path with blanks would otherwise be split.
    const std::wstring command = L"\"" + Wide(exe) + L"\"";
    const std::wstring dependencies = DependencyList(service.Dependencies);
    // Whoever may write the folder chooses the code the service runs: only
    // SYSTEM and administrators may, and the service's own account may write
    // its log and the folders its packages write in. Refused when that
    // cannot be set.
    for (const std::string& line : platform::serviceaccount::SecureFolder(
             platform::ExtractFolder(exe), service.Name, service.WritableFiles,
             service.WritableFolders))
      std::cout << line << std::endl;
    // Its virtual account by default; $TELVANE_SERVICE_USER=LocalSystem
    // keeps the system's account.
    const char* chosen = std::getenv("TELVANE_SERVICE_USER");
    const bool system = chosen != nullptr && std::string(chosen) == "LocalSystem";
    const std::wstring account = Wide(platform::serviceaccount::VirtualAccount(service.Name));
    UniqueServiceHandle created(::CreateServiceW(
        manager.Get(), Wide(service.Name).c_str(), Wide(service.DisplayName).c_str(),
        // SERVICE_START: a restart among the failure actions needs it.
        SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
        dependencies.c_str(), system ? nullptr : account.c_str(), nullptr));
    if (!created) throw std::runtime_error("CreateServiceW: " + ErrorText(::GetLastError()));
    ConfigureRecovery(created.Get(), service.Name);
    // Where a service without a console says why it did not start.
    std::string why;
    if (!platform::eventlog::Register(service.Name, exe, why))
      std::cerr << "Service " << service.Name << ": event log source not registered: " << why
                << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "Service " << service.Name << " was not installed: " << e.what() << std::endl;
    return 1;
  }
  std::cout << "Service " << service.Name << " installed: " << exe << std::endl;
  service.ServiceAfterInstall();
  return 0;
}

int TServiceApplication::Uninstall(TService& service) {
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    std::cerr << "Service " << service.Name
              << " was not removed: OpenSCManagerW: " << ErrorText(::GetLastError()) << std::endl;
    return 1;
  }
  UniqueServiceHandle existing(::OpenServiceW(manager.Get(), Wide(service.Name).c_str(), DELETE));
  if (!existing) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_SERVICE_DOES_NOT_EXIST)
      std::cerr << "Service " << service.Name << " is not installed" << std::endl;
    else
      std::cerr << "Service " << service.Name << " was not removed: " << ErrorText(err)
                << std::endl;
    return 1;
  }
  // A running service is removed once it stops (it is not stopped here).
  if (!::DeleteService(existing.Get())) {
    std::cerr << "Service " << service.Name
              << " was not removed: DeleteService: " << ErrorText(::GetLastError()) << std::endl;
    return 1;
  }
  std::string why;
  if (!platform::eventlog::Deregister(service.Name, why))
    std::cerr << "Service " << service.Name << ": event log source not removed: " << why
              << std::endl;
  std::cout << "Service " << service.Name << " removed" << std::endl;
  service.ServiceAfterUninstall();
  return 0;
}

void TServiceApplication::RequestStop() { impl_->RequestStop(); }

void TServiceApplication::PostMessage(const KxMessage& message) { impl_->Post(message); }
