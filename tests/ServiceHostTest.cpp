// The service host: the framework's serve loop, install/uninstall, the
// service object, and the program itself (started as a real process).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/ExePath.h"
#include "platform/ServiceHost.h"
#include "platform/Text.h"
#include "service/TTelvaneMain.h"
#include "support/ProcClock.h"
#include "support/ProcUtil.h"

namespace {

using namespace std::chrono_literals;

const std::string kStart = "-------------------- LOG Started!";
const std::string kStop = "==================== LOG Stopped!";

std::vector<std::string> LogTexts(const std::string& path) {
  std::vector<std::string> out;
  for (const auto& l : proc::SplitCrLf(proc::ReadFile(path))) out.push_back(proc::LineText(l));
  return out;
}

bool LogHas(const std::string& path, const std::string& utf8) {
  return proc::ReadFile(path).find("\t" + text::ToCp1252(utf8) + "\r\n") != std::string::npos;
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    if (old != nullptr) old_ = old, had_ = true;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_)
      ::setenv(name_, old_.c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// A service that records its events.
class FakeService : public TService {
 public:
  FakeService() {
    Name = "FakeSvc";
    DisplayName = "Fake 100% Service";
    Dependencies = {"firebird3.0.service"};
    hook.OnMessage = [this](const KxMessage& m, bool& handled) {
      handled = m.Msg == WM_TIMECHANGE;
      Record("msg " + std::to_string(m.Msg));
    };
    ApplicationEvents = &hook;
  }
  void ServiceStart(bool& Started) override {
    Record("start");
    if (throwOnStart) throw std::runtime_error("start boom");
    Started = startResult;
  }
  void ServiceStop(bool& Stopped) override {
    Record("stop");
    if (throwOnStop) throw std::runtime_error("stop boom");
    Stopped = true;
  }
  void ServiceReport(const std::string& line) override { Record("report " + line); }
  void ServiceAfterInstall() override { Record("installed"); }
  void ServiceAfterUninstall() override { Record("uninstalled"); }

  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  bool Saw(const std::string& e) {
    for (const auto& x : Events())
      if (x == e) return true;
    return false;
  }

  bool startResult = true;
  bool throwOnStart = false;
  bool throwOnStop = false;
  TApplicationEvents hook;

 private:
  void Record(const std::string& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(e);
  }
  std::mutex mutex_;
  std::vector<std::string> events_;
};

// ---------------------------------------------------------------------------
// The framework, in process.

TEST(ServiceHost, CommandLineModes) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    TServiceApplication::Mode mode;
  };
  using M = TServiceApplication::Mode;
  const std::vector<Case> cases = {
      {{}, true, M::Serve},
      {{"--install"}, true, M::Install},
      {{"/install"}, true, M::Install},
      {{"--uninstall"}, true, M::Uninstall},
      {{"--help"}, true, M::Help},
      {{"--bogus"}, false, M::Help},
      {{"--install", "extra"}, false, M::Help},
  };
  for (const auto& c : cases) {
    std::vector<std::string> store = {"telvane"};
    store.insert(store.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (auto& s : store) argv.push_back(s.data());
    TServiceApplication app;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(app.Initialize(static_cast<int>(argv.size()), argv.data()), c.ok);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(app.RunMode(), c.mode);
  }
}

TEST(ServiceHost, ServeDeliversMessagesThenStops) {
  FakeService svc;
  TServiceApplication app;
  std::atomic<int> rc{-1};
  std::thread runner([&] { rc = app.Serve(svc); });
  ASSERT_TRUE(proc::WaitUntil([&] { return svc.Saw("start"); }));
  app.PostMessage(KxMessage{WM_TIMECHANGE, 0, 0});
  app.PostMessage(KxMessage{0x0010, 0, 0});
  ASSERT_TRUE(proc::WaitUntil([&] { return svc.Saw("msg 16"); }));
  app.RequestStop();
  runner.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(svc.Events(), (std::vector<std::string>{"start", "msg 30", "msg 16", "stop"}));
}

TEST(ServiceHost, StopRequestedBeforeTheLoopStillStopsInOrder) {
  FakeService svc;
  TServiceApplication app;
  app.RequestStop();
  EXPECT_EQ(app.Serve(svc), 0);
  EXPECT_EQ(svc.Events(), (std::vector<std::string>{"start", "stop"}));
}

TEST(ServiceHost, FailedStartEndsTheRunWithoutServing) {
  struct Case {
    bool startResult, throwOnStart;
  };
  for (const Case c : {Case{false, false}, Case{true, true}}) {
    FakeService svc;
    svc.startResult = c.startResult;
    svc.throwOnStart = c.throwOnStart;
    TServiceApplication app;
    app.PostMessage(KxMessage{WM_TIMECHANGE, 0, 0});
    EXPECT_EQ(app.Serve(svc), 1);
    // What went wrong reaches the service's own report (its log).
    if (c.throwOnStart)
      EXPECT_EQ(svc.Events(), (std::vector<std::string>{"start", "report start failed: start boom"}));
    else
      EXPECT_EQ(svc.Events(), std::vector<std::string>{"start"});
  }
}

TEST(ServiceHost, StopThatRaisesGivesAFailureStatus) {
  FakeService svc;
  svc.throwOnStop = true;
  TServiceApplication app;
  app.RequestStop();
  EXPECT_EQ(app.Serve(svc), 1);
  EXPECT_EQ(svc.Events(),
            (std::vector<std::string>{"start", "stop", "report stop failed: stop boom"}));
}

TEST(ServiceHost, ClockChangeReachesTheMessageHook) {
  FakeService svc;
  TServiceApplication app;
  std::thread runner([&] { app.Serve(svc); });
  ASSERT_TRUE(proc::WaitUntil([&] { return svc.Saw("start"); }));
  std::string why;
  bool real = false;
  // The loop arms its watch before the start; setting the clock now is seen.
  // Where the system refuses to set the clock, the message is posted instead.
  if (proc::SetClockToNow(why)) {
    real = true;
  } else {
    std::cerr << "cannot set the system clock (" << why << "); posting WM_TIMECHANGE instead\n";
    app.PostMessage(KxMessage{WM_TIMECHANGE, 0, 0});
  }
  EXPECT_TRUE(proc::WaitUntil([&] { return svc.Saw("msg 30"); }, 5s)) << "real=" << real;
  app.RequestStop();
  runner.join();
}

TEST(ServiceHost, InstallWritesAndEnablesTheUnitUninstallRemovesIt) {
  proc::TempDir dir;
  ScopedEnv env("TELVANE_UNIT_DIR", dir.Path());
  FakeService svc;
  TServiceApplication app;
  testing::internal::CaptureStdout();
  ASSERT_EQ(app.Install(svc), 0);
  testing::internal::GetCapturedStdout();

  const std::string exe = platform::ExecutablePath();
  const std::string unit = dir / "FakeSvc.service";
  EXPECT_EQ(proc::ReadFile(unit),
            "[Unit]\n"
            "Description=Fake 100%% Service\n"
            "Requires=firebird3.0.service\n"
            "After=firebird3.0.service\n"
            "\n[Service]\n"
            "Type=notify\n"
            "ExecStart=" + exe + "\n"
            "WorkingDirectory=" + platform::ExecutableFolder() + "\n"
            "Restart=on-failure\n"
            "RestartSec=5\n"
            "RestartPreventExitStatus=3\n"
            "TimeoutStopSec=60\n"
            "WatchdogSec=60\n"
            "NoNewPrivileges=yes\n"
            "ProtectSystem=strict\n"
            "ProtectHome=read-only\n"
            "PrivateTmp=yes\n"
            "ReadWritePaths=/run/lock\n"
            "\n[Install]\n"
            "WantedBy=multi-user.target\n");
  const std::string link = dir / "multi-user.target.wants/FakeSvc.service";
  EXPECT_EQ(std::filesystem::read_symlink(link), unit);
  EXPECT_FALSE(proc::FileExists(unit + ".tmp"));

  // Installing again replaces the unit.
  testing::internal::CaptureStdout();
  EXPECT_EQ(app.Install(svc), 0);
  testing::internal::GetCapturedStdout();

  testing::internal::CaptureStdout();
  EXPECT_EQ(app.Uninstall(svc), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(proc::FileExists(unit));
  EXPECT_FALSE(std::filesystem::is_symlink(link));

  // Nothing left to remove: an error, and no after-uninstall event.
  testing::internal::CaptureStderr();
  EXPECT_EQ(app.Uninstall(svc), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("not installed"), std::string::npos);
  EXPECT_EQ(svc.Events(), (std::vector<std::string>{"installed", "installed", "uninstalled"}));
}

TEST(ServiceHost, InstallIntoAMissingFolderFails) {
  proc::TempDir dir;
  ScopedEnv env("TELVANE_UNIT_DIR", dir / "no/such/folder");
  FakeService svc;
  TServiceApplication app;
  testing::internal::CaptureStderr();
  EXPECT_EQ(app.Install(svc), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("not installed"), std::string::npos);
  EXPECT_TRUE(svc.Events().empty());
}

// ---------------------------------------------------------------------------
// The service object, in process (no start: that needs the whole system).

TEST(TTelvaneMain, PropertiesAndTimeChangeWithoutALoadThread) {
  proc::TempDir dir;
  const std::string path = dir / "Telvane.log";
  {
    TTelvaneMain svc(path);
    EXPECT_EQ(svc.Name, "TelvaneMain");
    EXPECT_EQ(svc.DisplayName, "Quadrix Telvane");
    EXPECT_EQ(svc.Dependencies, std::vector<std::string>{platform::kFirebirdServerService});
    ASSERT_EQ(svc.ApplicationEvents, &svc.TimeChangeDetect);

    struct Case {
      unsigned msg;
      bool handled;
    };
    for (const Case c : {Case{WM_TIMECHANGE, true}, Case{0x0010, false}, Case{0x001F, false}}) {
      bool handled = !c.handled;
      svc.ApplicationEvents->OnMessage(KxMessage{c.msg, 0, 0}, handled);
      EXPECT_EQ(handled, c.handled) << c.msg;
    }
  }
  EXPECT_EQ(LogTexts(path), (std::vector<std::string>{
                                kStart,
                                text::ToCp1252("Telvane: alteração manual de relógio detectada!"),
                                kStop, "", ""}));
}

TEST(TTelvaneMain, LogThatCannotBeCreatedFailsTheConstructor) {
  EXPECT_THROW(TTelvaneMain("/nonexistent-folder/Telvane.log"), std::runtime_error);
}

// ---------------------------------------------------------------------------
// The program, as a process. It opens the online connection to RATEIO_DB at
// start (scripts/test prepares that database).

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      throw std::runtime_error("bind notify socket");
  }
  ~NotifySocket() { ::close(fd_); }
  const std::string& Path() const { return path_; }
  // Everything received so far, messages joined by '\n'.
  const std::string& Received() {
    char buf[512];
    ssize_t n;
    while ((n = ::recv(fd_, buf, sizeof buf, 0)) > 0) received_ += std::string(buf, n) + "\n";
    return received_;
  }
  bool Got(const std::string& state) { return Received().find(state + "\n") != std::string::npos; }

 private:
  std::string path_;
  int fd_ = -1;
  std::string received_;
};

// A copy of the program in a folder of its own, run from another folder.
class ServiceProgram : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(bin_);
    std::filesystem::create_directories(work_);
    proc::CopyFile(TELVANE_EXE, exe_, 0755);
  }

  std::unique_ptr<proc::Child> Start(const std::vector<std::string>& args,
                                     std::map<std::string, std::string> env = {},
                                     bool noNetwork = false) {
    proc::ChildOptions o;
    o.args = args;
    o.cwd = work_;
    o.env = std::move(env);
    o.unsetEnv = {"NOTIFY_SOCKET"};
    o.newNetworkNamespace = noNetwork;
    return std::make_unique<proc::Child>(exe_, o, dir_.Path());
  }

  // Runs to the end; returns the exit code.
  int RunToEnd(const std::vector<std::string>& args, std::map<std::string, std::string> env = {},
               std::string* err = nullptr, bool noNetwork = false) {
    auto child = Start(args, std::move(env), noNetwork);
    int status = 0;
    EXPECT_TRUE(child->Wait(60s, status)) << "did not end";
    if (err) *err = child->Stderr();
    return proc::ExitCode(status);
  }

  proc::TempDir dir_{"telvane-exe"};
  const std::string bin_ = dir_ / "bin";
  const std::string work_ = dir_ / "work";
  const std::string exe_ = bin_ + "/telvane";
  const std::string log_ = bin_ + "/Telvane.log";
};

TEST_F(ServiceProgram, RunsFromAnotherFolderLogsBesideItselfAndStopsOnSigterm) {
  NotifySocket notify(dir_ / "notify.sock");
  auto child = Start({}, {{"NOTIFY_SOCKET", notify.Path()}});
  ASSERT_TRUE(proc::WaitUntil([&] { return LogHas(log_, "Telvane 2.17 Iniciado!"); }))
      << child->Stderr();
  ASSERT_TRUE(proc::WaitUntil([&] { return notify.Got("READY=1"); })) << notify.Received();
  EXPECT_FALSE(notify.Got("STOPPING=1"));
  // The health, at once after the start: the watchdog's beat and a summary.
  EXPECT_TRUE(proc::WaitUntil([&] { return notify.Got("WATCHDOG=1"); })) << notify.Received();
  EXPECT_NE(notify.Received().find("\nSTATUS="), std::string::npos) << notify.Received();
  EXPECT_FALSE(proc::FileExists(work_ + "/Telvane.log"));

  child->Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(child->Wait(60s, status)) << "no exit after SIGTERM";
  EXPECT_EQ(proc::ExitCode(status), 0) << child->Stderr();
  EXPECT_TRUE(notify.Got("STOPPING=1")) << notify.Received();

  const auto texts = LogTexts(log_);
  ASSERT_GE(texts.size(), 6u);
  EXPECT_EQ(texts[0], kStart);
  EXPECT_EQ(texts[1], "Telvane 2.17 Iniciado!");
  EXPECT_EQ(texts[texts.size() - 4], "Telvane Encerrado!");
  EXPECT_EQ(texts[texts.size() - 3], kStop);
  EXPECT_EQ(texts[texts.size() - 1], "");
  for (const auto& line : proc::SplitCrLf(proc::ReadFile(log_))) {
    if (!line.empty()) {
      EXPECT_TRUE(proc::HasTimestamp(line)) << line;
    }
  }
}

TEST_F(ServiceProgram, SigintAndSighupStopInOrderToo) {
  for (int sig : {SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    std::filesystem::remove(log_);
    NotifySocket notify(dir_ / ("notify-" + std::to_string(sig) + ".sock"));
    auto child = Start({}, {{"NOTIFY_SOCKET", notify.Path()}});
    ASSERT_TRUE(proc::WaitUntil([&] { return notify.Got("READY=1"); })) << child->Stderr();
    child->Signal(sig);
    int status = 0;
    ASSERT_TRUE(child->Wait(60s, status));
    EXPECT_EQ(proc::ExitCode(status), 0) << child->Stderr();
    const auto texts = LogTexts(log_);
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts[texts.size() - 4], "Telvane Encerrado!");
    EXPECT_EQ(texts[texts.size() - 3], kStop);
  }
}

TEST_F(ServiceProgram, ManualClockChangeIsLogged) {
  NotifySocket notify(dir_ / "notify.sock");
  auto child = Start({}, {{"NOTIFY_SOCKET", notify.Path()}});
  ASSERT_TRUE(proc::WaitUntil([&] { return notify.Got("READY=1"); })) << child->Stderr();
  std::string why;
  if (!proc::SetClockToNow(why)) GTEST_SKIP() << "cannot set the system clock here: " << why;
  EXPECT_TRUE(proc::WaitUntil(
      [&] { return LogHas(log_, "Telvane: alteração manual de relógio detectada!"); }, 10s));
  child->Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(child->Wait(60s, status));
  EXPECT_EQ(proc::ExitCode(status), 0);
}

TEST_F(ServiceProgram, InstallAndUninstallLeaveThreeLinesEach) {
  const std::string units = dir_ / "units";
  std::filesystem::create_directories(units);
  const std::map<std::string, std::string> env = {{"TELVANE_UNIT_DIR", units}};
  const std::string unit = units + "/TelvaneMain.service";

  // Installed as root, with a copy of /etc of its own (in a mount namespace
  // of its own), so that the account it creates is created there only.
  if (::geteuid() != 0) GTEST_SKIP() << "--install creates an account: needs root";
  const std::string etc = dir_ / "etc";
  std::filesystem::create_directories(etc);
  std::filesystem::create_directories(bin_ + "/ModbusJournal");
  proc::WriteFile(bin_ + "/ModbusJournal/equip-40.jrn", "");  // left by a run as root
  proc::ChildOptions o;
  o.args = {"-m", "--propagation", "private", "sh", "-c",
            "cp -a /etc/. \"$0\"/ && mount --bind \"$0\" /etc && exec \"$1\" --install", etc, exe_};
  o.cwd = work_;
  o.env = env;
  o.unsetEnv = {"NOTIFY_SOCKET", "TELVANE_SERVICE_USER"};
  proc::Child install("/usr/bin/unshare", o, dir_.Path());
  int status = 0;
  ASSERT_TRUE(install.Wait(60s, status));
  ASSERT_EQ(proc::ExitCode(status), 0) << install.Stderr();
  EXPECT_NE(install.Stdout().find("User telvane created for the service"), std::string::npos)
      << install.Stdout();
  EXPECT_EQ(LogTexts(log_), (std::vector<std::string>{kStart, text::ToCp1252("Serviço instalado!"),
                                                      kStop, "", ""}));
  // A system account with no login, which owns what the service writes.
  long uid = -1;
  std::istringstream passwd(proc::ReadFile(etc + "/passwd"));
  for (std::string line; std::getline(passwd, line);)
    if (line.rfind("telvane:", 0) == 0) {
      EXPECT_NE(line.find(":/usr/sbin/nologin"), std::string::npos) << line;
      uid = std::stol(line.substr(line.find(':', 9) + 1));
    }
  ASSERT_GT(uid, 0);
  for (const std::string& path : {log_, bin_ + "/Telvane.eventos", bin_ + "/ModbusJournal",
                                   bin_ + "/ModbusJournal/equip-40.jrn", bin_ + "/MbusJournal"}) {
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(static_cast<long>(st.st_uid), uid) << path;
  }
  EXPECT_FALSE(proc::FileExists(work_ + "/ModbusJournal"));
  std::string err;
  const std::string unitText = proc::ReadFile(unit);
  for (const std::string& line :
       std::vector<std::string>{"User=telvane", "Group=telvane", "NoNewPrivileges=yes", "ProtectSystem=strict", "PrivateTmp=yes",
        "ReadWritePaths=" + log_ + " " + bin_ + "/Telvane.eventos " + bin_ +
            "/ModbusJournal " + bin_ + "/MbusJournal /run/lock"})
    EXPECT_NE(unitText.find("\n" + line + "\n"), std::string::npos) << line << "\n" << unitText;
  EXPECT_NE(unitText.find("Description=Quadrix Telvane\n"), std::string::npos) << unitText;
  EXPECT_NE(unitText.find("Requires=firebird3.0.service\n"), std::string::npos);
  EXPECT_NE(unitText.find("After=firebird3.0.service\n"), std::string::npos);
  EXPECT_NE(unitText.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(unitText.find("ExecStart=" + exe_ + "\n"), std::string::npos) << unitText;
  EXPECT_NE(unitText.find("WorkingDirectory=" + bin_ + "\n"), std::string::npos);
  EXPECT_NE(unitText.find("WantedBy=multi-user.target\n"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_symlink(units + "/multi-user.target.wants/TelvaneMain.service"));

  std::filesystem::remove(log_);
  ASSERT_EQ(RunToEnd({"--uninstall"}, env, &err), 0) << err;
  EXPECT_EQ(LogTexts(log_), (std::vector<std::string>{
                                kStart, text::ToCp1252("Serviço desinstalado!"), kStop, "", ""}));
  EXPECT_FALSE(proc::FileExists(unit));

  // Removing what is not installed fails and logs nothing but the banners.
  std::filesystem::remove(log_);
  EXPECT_EQ(RunToEnd({"--uninstall"}, env, &err), 1);
  EXPECT_NE(err.find("not installed"), std::string::npos) << err;
  EXPECT_EQ(LogTexts(log_), (std::vector<std::string>{kStart, kStop, "", ""}));
}

TEST_F(ServiceProgram, InstalledPathWithBlanksAndPercentIsQuoted) {
  const std::string odd = dir_ / "pasta 100% nova";
  std::filesystem::create_directories(odd);
  proc::CopyFile(TELVANE_EXE, odd + "/telvane", 0755);
  const std::string units = dir_ / "units";
  std::filesystem::create_directories(units);
  proc::ChildOptions o;
  o.args = {"--install"};
  o.cwd = work_;
  // Run as root when asked to: no account is made.
  o.env = {{"TELVANE_UNIT_DIR", units}, {"TELVANE_SERVICE_USER", "root"}};
  proc::Child child(odd + "/telvane", o, dir_.Path());
  int status = 0;
  ASSERT_TRUE(child.Wait(60s, status));
  ASSERT_EQ(proc::ExitCode(status), 0) << child.Stderr();
  const std::string unitText = proc::ReadFile(units + "/TelvaneMain.service");
  EXPECT_EQ(unitText.find("User="), std::string::npos) << unitText;
  const std::string escaped = dir_ / "pasta 100%% nova";
  EXPECT_NE(unitText.find("ExecStart=\"" + escaped + "/telvane\"\n"), std::string::npos)
      << unitText;
  EXPECT_NE(unitText.find("WorkingDirectory=" + escaped + "\n"), std::string::npos) << unitText;
}

TEST_F(ServiceProgram, UnknownArgumentIsRefusedBeforeAnythingRuns) {
  std::string err;
  EXPECT_EQ(RunToEnd({"--bogus"}, {}, &err), 2);
  EXPECT_NE(err.find("--bogus"), std::string::npos) << err;
  EXPECT_FALSE(proc::FileExists(log_));
}

TEST_F(ServiceProgram, UnreachableDatabaseIsReportedAndTheServiceStillRuns) {
  // A network namespace of its own: no server answers on 127.0.0.1. The
  // program says so (stderr and log) and runs the service, whose load thread
  // waits for the server; a stop ends it in order.
  auto child = Start({}, {}, /*noNetwork=*/true);
  ASSERT_TRUE(proc::WaitUntil([&] {
    const auto texts = LogTexts(log_);
    for (const auto& t : texts)
      if (t.rfind(text::ToCp1252("Banco de dados indisponível, nova tentativa a cada 5 s: "), 0) == 0)
        return true;
    return false;
  })) << child->Stderr();
  child->Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(child->Wait(60s, status)) << "no exit after SIGTERM";
  EXPECT_EQ(proc::ExitCode(status), 0) << child->Stderr();
  EXPECT_NE(child->Stderr().find("127.0.0.1"), std::string::npos) << child->Stderr();
  const auto texts = LogTexts(log_);
  ASSERT_EQ(texts.size(), 9u);
  EXPECT_EQ(texts[0], kStart);
  EXPECT_EQ(texts[1].rfind(text::ToCp1252("Banco de dados indisponível ao iniciar: "), 0), 0u);
  EXPECT_EQ(texts[2], "Telvane 2.17 Iniciado!");
  EXPECT_EQ(texts[3], "Carregando dados do banco...");
  EXPECT_EQ(texts[4].rfind(text::ToCp1252("Banco de dados indisponível, nova tentativa a cada 5 s: "), 0),
            0u);
  EXPECT_EQ(texts[5], "Telvane Encerrado!");
  EXPECT_EQ(texts[6], kStop);
}

}  // namespace
