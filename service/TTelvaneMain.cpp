#include "service/TTelvaneMain.h"

#include <filesystem>

#include "acquisition/KxAlarmLog.h"
#include "platform/ExePath.h"

TTelvaneMain* TelvaneMain = nullptr;

TTelvaneMain::TTelvaneMain()
    : TTelvaneMain(platform::ExecutableFolder() + platform::kPathDelimiter + "Telvane.log") {}

TTelvaneMain::TTelvaneMain(const std::string& logPath) {
  Name = "TelvaneMain";
  DisplayName = "Quadrix Telvane";
  Dependencies = {platform::kFirebirdServerService};
  // Installed, it runs as an account of its own that may write its log,
  // the file of the events a stop could not store, and the folders where the
  // Modbus and M-Bus meters keep their journals, nothing else.
  Account = "telvane";
  const std::filesystem::path log = std::filesystem::absolute(logPath);
  WritableFiles = {log.string(), KxAlarmLog::HeldEventsPath(log.string())};
  WritableFolders = {(log.parent_path() / "ModbusJournal").string(),
                     (log.parent_path() / "MbusJournal").string()};
  TimeChangeDetect.OnMessage = [this](const KxMessage& Message, bool& Handled) {
    TimeChangeDetectMessage(Message, Handled);
  };
  ApplicationEvents = &TimeChangeDetect;
  Log = std::make_unique<TFileLog>(logPath);
}

TTelvaneMain::~TTelvaneMain() {
  // Normally ServiceStop has already freed the load thread. When it has not
  // (a run that ended without the stop sequence), stop it here, while the log
  // it writes to still exists.
  StopLoadThread();
  Log.reset();
}

void TTelvaneMain::StopLoadThread() {
  if (!LoadThread) return;
  LoadThread->Terminate();
  // A load stuck in a package call (an interface whose Open never returns)
  // must not hold the stop for ever: it is left behind with all it built.
  if (!KxLoadThread::AwaitOrAbandon(*LoadThread, KxLoadThread::kStopBound, Log.get())) {
    LoadThread.release();
    return;
  }
  LoadThread.reset();
}

void TTelvaneMain::ServiceStart(bool& Started) {
  Log->WriteLine("Telvane 2.17 Iniciado!");
  LoadThread.reset(new KxLoadThread(Log.get()));
  Started = true;
}

void TTelvaneMain::ServiceStop(bool& Stopped) {
  StopLoadThread();
  Stopped = true;
  Log->WriteLine("Telvane Encerrado!");
}

bool TTelvaneMain::ServiceHealth(std::string& summary) {
  summary.clear();
  if (!LoadThread) return true;
  const auto now = std::chrono::steady_clock::now();
  const bool healthy = LoadThread->Health(now, summary);
  if (healthy != healthy_) {
    Log->WriteLine(healthy ? "Telvane: todas as threads voltaram a progredir: " + summary
                           : "Telvane: " + summary);
    healthy_ = healthy;
  }
  if (summaryLogged_ == std::chrono::steady_clock::time_point{} ||
      now - summaryLogged_ >= kSummaryLogInterval) {
    // Not at the first look: the load has only begun then.
    if (summaryLogged_ != std::chrono::steady_clock::time_point{})
      Log->WriteLine("Telvane: " + summary);
    summaryLogged_ = now;
  }
  return healthy;
}

void TTelvaneMain::ServiceReport(const std::string& line) {
  Log->WriteLine("Telvane: " + line);
  TService::ServiceReport(line);
}

void TTelvaneMain::ServiceAfterInstall() { Log->WriteLine("Serviço instalado!"); }

void TTelvaneMain::ServiceAfterUninstall() { Log->WriteLine("Serviço desinstalado!"); }

void TTelvaneMain::TimeChangeDetectMessage(const KxMessage& Message, bool& Handled) {
  if (Message.Msg != WM_TIMECHANGE) {
    Handled = false;
    return;
  }
  Handled = true;
  if (LoadThread) LoadThread->MarkClocksForUpdate();
  Log->WriteLine("Telvane: alteração manual de relógio detectada!");
}
