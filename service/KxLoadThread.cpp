#include "service/KxLoadThread.h"

#include <exception>
#include <string>

#include "acquisition/KxAlarmLog.h"
#include "acquisition/KxCommThread.h"
#include "clock/KxAtualizacaoRelogioThread.h"
#include "database/ConnectionParams.h"
#include "database/TmodDatabase.h"
#include "log/TFileLog.h"
#include "model/KxBuildingData.h"
#include "model/TmodFeriados.h"
#include "online/KxOnlineThread.h"

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

KxLoadThread::~KxLoadThread() {
  // The stop sequence must never overlap the start sequence.
  Terminate();
  WaitFor();

  // Each worker is asked to stop only after the previous one has ended.
  if (OnlineThread) {
    OnlineThread->Terminate();
    OnlineThread->WaitFor();
    OnlineThread.reset();
  }
  if (CommThread) {
    CommThread->Terminate();
    CommThread->WaitFor();
    CommThread.reset();
  }
  if (RelogioThread) {
    RelogioThread->Terminate();
    RelogioThread->WaitFor();
    RelogioThread.reset();
  }
  if (BuildingData) {
    {
      std::lock_guard<std::mutex> lock(marcaLock_);
      marcavel_ = nullptr;
      carregando_ = false;
    }
    BuildingData.reset();
  }
  if (database_) database_->ResetEquipStatus();
  if (AlarmLog) {
    AlarmLog->LogAlarme(kClasseServico, Clock().Now(), "Serviço de comunicação PARADO.",
                        kSemEquipamento);
    AlarmLog.reset();
  }
  Feriados.reset();
  if (database_) {
    if (modDatabase == database_.get()) modDatabase = nullptr;
    database_.reset();
  }
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

void KxLoadThread::Execute() {
  Log->WriteLine("Carregando dados do banco...");

  // The server may not be up yet (the service starting before it, or a
  // restart of the server): wait for it. A stop request during the wait ends
  // the thread with nothing created, so the stop inserts no alarm.
  if (!OpenDatabase()) return;
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

  AlarmLog = std::make_unique<KxAlarmLog>(Log, database_.get());
  AlarmLog->LogAlarme(kClasseServico, Clock().Now(), "Serviço de comunicação INICIADO.",
                      kSemEquipamento);

  database_->ResetEquipStatus();

  BuildingData = std::make_unique<KxBuildingData>(Log, database_.get());
  {
    std::lock_guard<std::mutex> lock(marcaLock_);
    carregando_ = true;
  }
  BuildingData->Load(TerminatedFlag());
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

  if (Terminated())
    Log->WriteLine("Carga do banco interrompida!");
  else
    Log->WriteLine("Dados do banco carregados!");
}
