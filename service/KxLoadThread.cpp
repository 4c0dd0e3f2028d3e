#include "service/KxLoadThread.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <utility>

#include "acquisition/KxAlarmLog.h"
#include "acquisition/KxCommThread.h"
#include "clock/KxAtualizacaoRelogioThread.h"
#include "database/ConnectionParams.h"
#include "database/EDatabaseError.h"
#include "database/TmodDatabase.h"
#include "log/TFileLog.h"
#include "model/KxBuildingData.h"
#include "model/TmodFeriados.h"
#include "online/KxOnlineThread.h"
#include "platform/ExceptionMessage.h"
#include "plugins/KxPackageWatch.h"
#include "service/KxBoundedTask.h"

namespace {

constexpr int32_t kClasseServico = 1000;
constexpr int32_t kSemEquipamento = -1;

// Raises every equipment's clock-update request, by index.
void MarcarRelogios(KxBuildingData& building) {
  KxListaEquipamentos& lista = *building.ListaEquipamentos;
  for (int i = 0; i < lista.Count(); ++i) lista.Items(i)->RelogioPendente = true;
}

}  // namespace

KxLoadThread::KxLoadThread(TFileLog* log, const FbConnectParams& params, KxClock& clock)
    : TThread(clock, "LoadThread"), Log(log), params_(params) {
  SetReportSink([log](const std::string& line) { log->WriteLine(line); });
  Start();
}

KxLoadThread::KxLoadThread(TFileLog* log) : KxLoadThread(log, MainConnectionParams()) {}

// What the stop frees and writes once the workers have ended or been left
// behind, in the stop's order. The task that does it owns all of it, so that
// a task left behind by a frozen server keeps whatever it may still use.
struct KxLoadThread::StopRemains {
  std::unique_ptr<KxOnlineThread> online;
  std::unique_ptr<KxCommThread> comm;
  std::unique_ptr<KxAtualizacaoRelogioThread> relogio;
  std::unique_ptr<KxBuildingData> building;
  std::unique_ptr<KxAlarmLog> alarmLog;
  std::unique_ptr<TmodFeriados> feriados;
  std::unique_ptr<TmodDatabase> database;
  TDateTime stopDate = 0;
  bool allEnded = true;

  void Run() {
    // Workers that ended (the online thread's own connection ends with it).
    online.reset();
    comm.reset();
    relogio.reset();
    // A worker left behind may still be inside an equipment object: the
    // installation and its packages stay.
    if (allEnded)
      building.reset();
    else
      building.release();
    if (database) database->ResetEquipStatus();
    if (alarmLog) {
      alarmLog->LogAlarme(kClasseServico, stopDate, "Serviço de comunicação PARADO.",
                          kSemEquipamento);
      // What the database still refuses goes to the file for the next start.
      alarmLog->KeepHeldEvents();
    }
    if (database && modDatabase == database.get()) modDatabase = nullptr;
    if (!allEnded) {
      // What a worker left behind may still use is never freed.
      alarmLog.release();
      feriados.release();
      database.release();
      return;
    }
    alarmLog.reset();
    feriados.reset();
    database.reset();
  }
};

KxLoadThread::~KxLoadThread() {
  // The stop sequence must never overlap the start sequence.
  Terminate();
  WaitFor();
  {
    std::lock_guard<std::mutex> lock(healthLock_);
    healthComm_ = nullptr;
    healthWorkers_.clear();
  }

  auto remains = std::make_shared<StopRemains>();
  remains->allEnded = StopWorkers();
  if (BuildingData) {
    std::lock_guard<std::mutex> lock(marcaLock_);
    marcavel_ = nullptr;
    carregando_ = false;
  }
  remains->online = std::move(OnlineThread);
  remains->comm = std::move(CommThread);
  remains->relogio = std::move(RelogioThread);
  remains->building = std::move(BuildingData);
  remains->alarmLog = std::move(AlarmLog);
  remains->feriados = std::move(Feriados);
  remains->database = std::move(database_);
  remains->stopDate = Clock().Now();
  if (!KxBoundedTask::Run(
          "StopThread", [remains] { remains->Run(); },
          std::chrono::duration_cast<std::chrono::milliseconds>(kStopWritesBound), Log))
    Log->WriteLine("Parada: banco de dados sem resposta há " +
                   std::to_string(kStopWritesBound.count()) +
                   " s; o serviço para sem gravar o status dos equipamentos e o alarme de "
                   "parada.");
}

bool KxLoadThread::StopWorkers() {
  // Every worker is asked first, so that one stuck in a package call does
  // not keep the others running; then each is awaited, online, acquisition,
  // clock, within one bound for all. One that ended stays to be freed by
  // the stop's bounded task (freeing the online thread ends its connection).
  for (TThread* worker : {static_cast<TThread*>(OnlineThread.get()),
                          static_cast<TThread*>(CommThread.get()),
                          static_cast<TThread*>(RelogioThread.get())})
    if (worker) worker->Terminate();
  const auto deadline = std::chrono::steady_clock::now() + kStopBound;
  bool allEnded = true;
  auto await = [&](auto& worker) {
    if (!worker) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (AwaitOrAbandon(*worker, std::max(left, std::chrono::milliseconds(0)), Log)) return;
    worker.release();
    allEnded = false;
  };
  await(OnlineThread);
  await(CommThread);
  await(RelogioThread);
  // A worker that ended may have left a package call behind that has not
  // returned (KxPackageWatch): the installation stays for it too.
  return allEnded && KxPackageWatch::CallsOut() == 0;
}

bool KxLoadThread::AwaitOrAbandon(TThread& thread, std::chrono::milliseconds left, TFileLog* log) {
  if (thread.WaitFor(left)) return true;
  log->WriteLine(thread.Name() + ": não terminou em " + std::to_string(kStopBound.count()) +
                 " s após o pedido de parada; o serviço para sem ela.");
  thread.Abandon();
  return false;
}

void KxLoadThread::MarkClocksForUpdate() {
  std::lock_guard<std::mutex> lock(marcaLock_);
  if (marcavel_)
    MarcarRelogios(*marcavel_);
  else if (carregando_)
    marcarAoCarregar_ = true;
}

bool KxLoadThread::OpenDatabase() {
  bool reported = false;
  while (!Terminated()) {
    try {
      database_ = std::make_unique<TmodDatabase>(params_);
      if (reported) Log->WriteLine("Conexão com o banco de dados estabelecida!");
      return true;
    } catch (const std::exception& e) {
      // One line for the whole wait, however long the server stays away.
      if (!reported)
        Log->WriteLine(std::string("Banco de dados indisponível, nova tentativa a cada 5 s: ") +
                       e.what());
      reported = true;
    }
    Sleep(kRetryPause);
  }
  return false;
}

bool KxLoadThread::WaitForDatabase() {
  while (!Terminated() && !database_->Database.EnsureAttached()) Sleep(kLostPause);
  return !Terminated();
}

KxLoadThread::LoadResult KxLoadThread::LoadInstallation(std::string& reason) {
  database_->ResetEquipStatus();
  auto building = std::make_unique<KxBuildingData>(Log, database_.get());
  {
    std::lock_guard<std::mutex> lock(marcaLock_);
    carregando_ = true;
  }
  // Any loss during the load counts, also one that a per-row guard or a
  // status write swallowed: a row read with a failed query must not decide
  // what is collected.
  const uint64_t losses = database_->Database.Losses();
  bool lost = false;
  bool failed = false;
  try {
    building->Load(TerminatedFlag());
  } catch (...) {
    lost = CurrentErrorIsConnectionLost();
    failed = !lost;
    reason = CurrentExceptionMessage();
  }
  if (lost || database_->Database.Losses() != losses) {
    Log->WriteLine(
        "Conexão com o banco de dados perdida durante a carga: a instalação será "
        "carregada de novo.");
    // Equipment, variables, drivers (unloading their packages), interfaces.
    building.reset();
    return LoadResult::ConnectionLost;
  }
  if (failed) {
    building.reset();
    return LoadResult::Failed;
  }
  BuildingData = std::move(building);
  return LoadResult::Loaded;
}

void KxLoadThread::LoadUntilLoaded() {
  unsigned pause = kRetryPause;
  int failures = 0;
  for (;;) {
    std::string reason;
    switch (LoadInstallation(reason)) {
      case LoadResult::Loaded:
        if (failures > 0) {
          Log->WriteLine("Instalação carregada após " + std::to_string(failures) +
                         " tentativas com falha.");
          std::lock_guard<std::mutex> lock(healthLock_);
          loadFailure_.clear();
        }
        return;
      case LoadResult::ConnectionLost:
        if (!WaitForDatabase()) return;
        break;
      case LoadResult::Failed:
        ++failures;
        NoteLoadFailure(reason, pause);
        Sleep(pause);
        if (Terminated()) return;
        pause = std::min(pause * 2, kLoadRetryMaxPause);
        // The server checks a user's rights on a table once per attachment
        // and keeps the answer: a grant given back reaches only a new one.
        CloseMainModule();
        if (!OpenMainModule()) return;
        break;
    }
  }
}

void KxLoadThread::NoteLoadFailure(const std::string& reason, unsigned pause) {
  // The column takes 255 characters: the database layer cuts the rest.
  database_->SetCommStatus(1, "Falha ao carregar a instalação: " + reason);
  std::string former;
  {
    std::lock_guard<std::mutex> lock(healthLock_);
    former = std::exchange(loadFailure_, reason);
  }
  if (former != reason)
    Log->WriteLine("Falha ao carregar a instalação, nova tentativa em " +
                   std::to_string(pause / 1000) + " s (pausas crescentes até " +
                   std::to_string(kLoadRetryMaxPause / 60000) + " min): " + reason);
}

bool KxLoadThread::OpenMainModule() {
  if (!OpenDatabase()) return false;
  // The main connection attaches again by itself after a loss; the log gets
  // one line when it is lost and one when it is back.
  TFileLog* log = Log;
  database_->Database.SetListener([log](bool connected, const std::string& message) {
    if (connected)
      log->WriteLine("Conexão com o banco de dados restabelecida!");
    else
      log->WriteLine("Conexão com o banco de dados perdida: " + message);
  });
  modDatabase = database_.get();
  // The events a stop (or the main module closed for a new try at the
  // load) could not store are read back and inserted ahead of the next
  // alarm (KxAlarmLog).
  AlarmLog = std::make_unique<KxAlarmLog>(Log, database_.get(),
                                          KxAlarmLog::HeldEventsPath(Log->Path()));
  return true;
}

void KxLoadThread::CloseMainModule() {
  // Events still held (a refusing database) go to the file, which the next
  // alarm log reads back: a new try at the load loses none of them.
  if (AlarmLog) AlarmLog->KeepHeldEvents();
  AlarmLog.reset();
  modDatabase = nullptr;
  database_.reset();
}

void KxLoadThread::Execute() {
  Log->WriteLine("Carregando dados do banco...");

  // The server may not be up yet (the service starting before it, or a
  // restart of the server): wait for it. A stop request during the wait ends
  // the thread with nothing created, so the stop inserts no alarm.
  if (!OpenMainModule()) return;
  AlarmLog->LogAlarme(kClasseServico, Clock().Now(), "Serviço de comunicação INICIADO.",
                      kSemEquipamento);

  // A load that failed is thrown away whole and done again from the start:
  // half an installation would collect some meters and silently leave out
  // the others.
  LoadUntilLoaded();
  // A stop while the main module was being opened again.
  if (!database_) return;
  if (!BuildingData) BuildingData = std::make_unique<KxBuildingData>(Log, database_.get());
  {
    // From here on the equipment list no longer changes.
    std::lock_guard<std::mutex> lock(marcaLock_);
    carregando_ = false;
    marcavel_ = BuildingData.get();
    if (marcarAoCarregar_) MarcarRelogios(*marcavel_);
    marcarAoCarregar_ = false;
  }

  Feriados = std::make_unique<TmodFeriados>(database_.get());

  CommThread = std::make_unique<KxCommThread>(BuildingData.get(), Feriados.get(), Log,
                                              AlarmLog.get(), Clock(), database_.get());
  RelogioThread =
      std::make_unique<KxAtualizacaoRelogioThread>(BuildingData.get(), Log, AlarmLog.get(), Clock());
  FbConnectParams online = params_;
  online.UserName = OnlineConnectionParams().UserName;
  OnlineThread = std::make_unique<KxOnlineThread>(BuildingData.get(), Log, online, Clock());

  {
    std::lock_guard<std::mutex> lock(healthLock_);
    healthComm_ = CommThread.get();
    healthWorkers_ = {CommThread.get(), OnlineThread.get(), RelogioThread.get()};
    healthEquips_ = BuildingData->ListaEquipamentos ? BuildingData->ListaEquipamentos->Count() : 0;
    healthCanaisAguardando_ = BuildingData->CanaisAguardando();
  }

  if (Terminated())
    Log->WriteLine("Carga do banco interrompida!");
  else
    Log->WriteLine("Dados do banco carregados!");
}

bool KxLoadThread::Health(std::chrono::steady_clock::time_point now, std::string& summary) {
  std::lock_guard<std::mutex> lock(healthLock_);
  std::vector<const TThread*> threads;
  // Between failed loads the thread pauses up to kLoadRetryMaxPause by
  // design: kBlockedBound judges it then.
  if (!Finished() && loadFailure_.empty())
    threads.push_back(this);
  else
    beats_.erase(this);
  for (const TThread* w : healthWorkers_) threads.push_back(w);
  std::string stalled;
  for (const TThread* t : threads) {
    Beats& b = beats_[t];
    const uint64_t count = t->Beats();
    if (count != b.count || b.since == std::chrono::steady_clock::time_point{}) {
      b.count = count;
      b.since = now;
    }
    const bool ended = t != this && t->Finished() && !Terminated();
    if (ended || now - b.since > kStallBound)
      stalled += (stalled.empty() ? "" : ", ") + t->Name() + (ended ? " encerrada" : "");
  }
  // Why nothing can be collected now; empty when it can.
  std::string blocked;
  if (!healthComm_) {
    if (!loadFailure_.empty()) {
      blocked = "Sem instalação carregada: " + loadFailure_;
      summary = blocked;
    } else {
      summary = Finished() ? "Sem instalação carregada" : "Carregando a instalação";
    }
  } else {
    const KxCommThread::Progress p = healthComm_->GetProgress();
    if (!p.feriadosEspera.empty()) blocked = "Sem lista de feriados: " + p.feriadosEspera;
    summary = blocked.empty() ? "" : blocked + "; ";
    summary += std::to_string(healthEquips_) + " equipamentos, " + std::to_string(p.failing) +
               " em falha; ";
    if (p.lastPassEnd == 0)
      summary += "primeira passagem em curso";
    else
      summary += "última passagem " + dt::FormatLong(p.lastPassEnd) + " (" +
                 std::to_string((p.lastPassMs + 500) / 1000) + " s)";
    summary += "; " + std::to_string(p.stored) + " registros gravados desde o início";
    if (healthCanaisAguardando_ > 0)
      summary += "; " + std::to_string(healthCanaisAguardando_) +
                 " canais aguardando variável não carregada";
  }
  if (blocked.empty())
    blockedSince_ = {};
  else if (blockedSince_ == std::chrono::steady_clock::time_point{})
    blockedSince_ = now;
  const bool blockedTooLong = !blocked.empty() && now - blockedSince_ > kBlockedBound;
  if (stalled.empty() && !blockedTooLong) return true;
  if (!stalled.empty()) summary = "Sem progresso: " + stalled + "; " + summary;
  return false;
}
