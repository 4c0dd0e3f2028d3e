#include "acquisition/KxCommThread.h"
#include "platform/ExceptionMessage.h"

#include <cmath>
#include <exception>
#include <utility>

#include "acquisition/KxCustomLog.h"
#include "database/EDatabaseError.h"
#include "database/FbQuery.h"
#include "database/TmodDatabase.h"
#include "log/TFileLog.h"
#include "model/KxBuildingData.h"
#include "model/KxVariavel.h"
#include "model/TmodFeriados.h"
#include "platform/Text.h"
#include "plugins/TelvaneSdk.h"

namespace {

std::string Id(int32_t id) { return text::IntToStr(id); }
std::string Count(int64_t n) { return std::to_string(n); }

// Result the thread gives a read that raised (any code but 0, 2 and 4 is a failure).
constexpr int kReadRaised = 3;

}  // namespace

KxCommThread::KxCommThread(KxBuildingData* buildingData, TmodFeriados* feriados, TFileLog* log,
                           KxCustomLog* alarmLog, KxClock& clock, TmodDatabase* database)
    : TThread(clock, "CommThread"),
      Log(log),
      BuildingData(buildingData),
      AlarmLog(alarmLog),
      Feriados(feriados),
      database_(database ? database : modDatabase),
      watch_(clock, TerminatedFlag()),
      ledger_(*database_) {
  SetReportSink([log](const std::string& line) { log->WriteLine(line); });
  Start();
}

KxCommThread::~KxCommThread() = default;

void KxCommThread::Execute() {
  Log->WriteLine("Thread comunicação iniciada!");
  Sleep(kStartPause);
  while (!Terminated()) {
    try {
      // The holidays are read once the connection is there: a reload that
      // fails keeps the last good list, and none at all may tag records.
      if (!WaitForDatabase()) break;
      if (!ReloadFeriados()) {
        Sleep(kFeriadosPause);
        continue;
      }
      KxListaEquipamentos* equips = BuildingData->ListaEquipamentos.get();
      int visited = 0;
      const int64_t passStart = Clock().MonotonicMs();
      // The count is read afresh at every step.
      for (int i = 0; equips && i < equips->Count(); ++i) {
        if (!WaitForDatabase()) break;
        CycleEquipamento(equips->Items(i));
        ++visited;
        if (Terminated()) break;
        Sleep(kEquipPause);
        if (Terminated()) break;
      }
      if (visited > 0 && !Terminated()) {
        passLenMs_.store(Clock().MonotonicMs() - passStart);
        passEndMs_.store(dt::ToMSecs(Clock().Now()));
      }
      // Without equipment a pass is only a reload of the holidays: do not
      // run them back to back.
      if (visited == 0 && !Terminated()) Sleep(kEmptyPassPause);
      // While the database refuses what is read, a pass stores nothing:
      // no need to ask it again at once.
      if (refusals_ > 0 && !Terminated()) Sleep(kLostPause);
    } catch (...) {
      Log->WriteLine("CommThread: " + CurrentExceptionMessage());
      Sleep(kErrorPause);
    }
  }
  Log->WriteLine("Thread comunicação finalizada!");
}

bool KxCommThread::ReloadFeriados() {
  // Until a list is read whole, each try reads over an attachment of its
  // own: one refused on the main connection would stay refused there.
  if (Feriados->Load(!feriadosLidos_)) {
    if (!SetFeriadosEspera("").empty())
      Log->WriteLine("CommThread: lista de feriados lida; as passagens começam.");
    feriadosLidos_ = true;
    return true;
  }
  if (feriadosLidos_) return true;
  // Without a list ever read, records would be tagged as if no holiday
  // existed: no visit until one is (the meters keep their records). A lost
  // connection has its own line.
  if (database_->Database.Lost()) return false;
  const std::string falha =
      Feriados->LastError().empty() ? std::string("erro sem mensagem") : Feriados->LastError();
  database_->SetCommStatus(1, "Aguardando a lista de feriados: " + falha);
  if (SetFeriadosEspera(falha).empty())
    Log->WriteLine("CommThread: nenhuma passagem até que a lista de feriados seja lida: " + falha);
  return false;
}

std::string KxCommThread::SetFeriadosEspera(const std::string& espera) {
  std::lock_guard<std::mutex> lock(progressLock_);
  return std::exchange(feriadosEspera_, espera);
}

bool KxCommThread::WaitForDatabase() {
  // Nothing read could be stored while the main connection is lost: wait
  // until it is attached again (a try every 5 s at most, FbConnection).
  while (!Terminated() && !database_->Database.EnsureAttached()) Sleep(kLostPause);
  return !Terminated();
}

void KxCommThread::CycleEquipamento(KxEquipamento* equip) {
  // A call left behind is still inside the equipment's object: it stays
  // failed, and is not called again, until that call returns.
  Beat();
  if (watch_.Busy(equip->EquipId)) return;
  Descricao = database_->GetEquipDescription(equip->EquipId);
  visitHeld_ = false;
  visitFailure_.clear();
  visitInvalid_ = visitFutureRecord_ = visitFutureAlarm_ = false;
  const bool ok = ReadEquipamento(equip);
  // A visit cut short by the stop request or by the loss of the database
  // says nothing about the equipment: no communication alarm, no status, and
  // Comunicando stays (the stop sequence resets every status right after; a
  // lost connection is the database's failure, not the meter's).
  if (!ok && (Terminated() || visitHeld_)) return;
  NoteOutcome(equip, ok);
  if (!RecordCommunicationChange(equip, ok)) return;
  if (ok)
    database_->SetEquipStatus(equip->EquipId, 1, "Comunicação normal");
  else
    database_->SetEquipStatus(equip->EquipId, 3, "Falha de comunicação");
  equip->Comunicando = ok;
}

bool KxCommThread::RecordCommunicationChange(KxEquipamento* equip, bool ok) {
  TDateTime date = Clock().Now();
  if (!SettleCommunicationAlarm(equip, ok, date)) return false;
  if (ok == equip->Comunicando) return true;
  const int32_t classe = ok ? 3 : 2;
  const KxAlarmeResult result =
      AlarmLog->LogAlarme(classe, date, ok ? kTextoComunicacaoNormal : kTextoSemComunicacao,
                          equip->EquipId, KxAlarmeRetry::Caller);
  // Kept out by a lost connection or a refusal of the database: Comunicando
  // stays as it was, so the next visit that finds the database records the
  // change (one alarm each way, always in pairs). After a lost connection
  // the insert may have been committed all the same: that visit looks it up
  // first.
  if (result == KxAlarmeResult::ConnectionLost) commInDoubt_[equip->EquipId] = {classe, date};
  return result != KxAlarmeResult::ConnectionLost && result != KxAlarmeResult::DatabaseRefusal;
}

bool KxCommThread::SettleCommunicationAlarm(KxEquipamento* equip, bool ok, TDateTime& date) {
  const auto it = commInDoubt_.find(equip->EquipId);
  if (it == commInDoubt_.end()) return true;
  const CommAlarm alarm = it->second;
  int64_t stored = 0;
  try {
    stored = database_->CountAlarme(equip->EquipId, alarm.date, alarm.classe,
                                    alarm.classe == 3 ? kTextoComunicacaoNormal
                                                      : kTextoSemComunicacao);
  } catch (...) {
    if (CurrentDatabaseFault() == EDatabaseFault::Refusal) NoteRefusal(CurrentExceptionMessage());
    return false;
  }
  commInDoubt_.erase(it);
  if (stored > 0)
    equip->Comunicando = alarm.classe == 3;  // the change it records took place
  else if (alarm.classe == (ok ? 3 : 2))
    date = alarm.date;  // offered again as it was
  return true;
}

bool KxCommThread::ReadEquipamento(KxEquipamento* equip) {
  if (!equip->Inicializado) {
    database_->SetCommStatus(1, "Inicializando leitura de " + Descricao);
    if (!LogVersao(equip)) return false;
    equip->Inicializado = true;
  }
  if (!SyncRelogio(equip)) return false;
  if (!CollectHistoricos(equip)) return false;
  database_->SetCommStatus(1, "Lendo " + Descricao + " - Alarmes");
  if (!CollectAlarmes(equip)) return false;
  EndRunsOfACleanVisit(equip->EquipId);
  return true;
}

void KxCommThread::EndRunsOfACleanVisit(int32_t equipId) {
  if (!visitInvalid_) EndRun(equipId, kRecordInvalido);
  if (!visitFutureRecord_) EndRun(equipId, kDadosFuturos);
  if (!visitFutureAlarm_) EndRun(equipId, kAlarmesFuturos);
  EndRun(equipId, kExcecaoHistorico);
  EndRun(equipId, kExcecaoAlarmes);
}

void KxCommThread::EndRun(int32_t equipId, Queixa cause) {
  const char* what = nullptr;
  switch (cause) {
    case kRecordInvalido: what = "fim dos records invalidos"; break;
    case kDadosFuturos: what = "fim dos dados futuros"; break;
    case kAlarmesFuturos: what = "fim dos alarmes futuros"; break;
    case kExcecaoRelogio: what = "fim das exceções ao atualizar relógio"; break;
    case kExcecaoHistorico: what = "fim das exceções ao ler histórico"; break;
    case kExcecaoAlarmes: what = "fim das exceções ao ler alarmes"; break;
    case kRelogioRecusado:
    case kVisitaEmFalha: return;  // their ends are lines of their own
  }
  if (const int64_t n = runs_.End(equipId, cause))
    Log->WriteLine("CommThread [" + Id(equipId) + "]: " + what + " (" + Count(n) + ")");
}

bool KxCommThread::SyncRelogio(KxEquipamento* equip) {
  if (!equip->RelogioPendente) return true;
  const int32_t id = equip->EquipId;
  try {
    database_->SetCommStatus(1, "Atualizando relogio de " + Descricao);
    const auto r = watch_.Call<int>(id, [equip] { return equip->SetRelogio(); });
    if (!r) return LeftBehind(equip, "SetRelogio");
    if (*r == 0) {
      const int64_t refused = runs_.End(id, kRelogioRecusado);
      Log->WriteLine("Telvane: relogio atualizado [" + Id(id) + "]!" +
                     (refused > 0 ? " (" + Count(refused) + " recusas)" : std::string()));
      EndRun(id, kExcecaoRelogio);
      equip->RelogioPendente = false;
    } else if (runs_.Note(id, kRelogioRecusado)) {
      // The request stays raised: the next visit tries again.
      Log->WriteLine("Telvane: erro atualizando relogio [" + Id(id) + "]!");
    }
    return true;
  } catch (...) {
    if (runs_.Note(id, kExcecaoRelogio))
      Log->WriteLine("CommThread: exceção ao atualizar relógio do equipamento [" + Id(id) +
                     "]: " + CurrentExceptionMessage());
    return FailVisit("exceção em SetRelogio");
  }
}

bool KxCommThread::LogVersao(KxEquipamento* equip) {
  try {
    struct Answer {
      int r;
      std::u16string versao;
    };
    const auto a = watch_.Call<Answer>(equip->EquipId, [equip] {
      Answer x{0, {}};
      x.r = equip->ReadVersao(x.versao);
      return x;
    });
    if (!a) return LeftBehind(equip, "ReadVersao");
    if (a->r == 0)
      Log->WriteLine("Equipamento [" + Id(equip->EquipId) + "]: " + text::FromUtf16(a->versao));
    else
      Log->WriteLine("Erro lendo versão do equipamento [" + Id(equip->EquipId) + "]");
  } catch (...) {
    Log->WriteLine("CommThread: exceção ao ler versão do equipamento [" + Id(equip->EquipId) +
                   "]: " + CurrentExceptionMessage());
  }
  return true;
}

bool KxCommThread::LeftBehind(KxEquipamento* equip, const char* call) {
  const std::string why =
      std::string("sem resposta de ") + call + " em " + Count(KxPackageWatch::kCallBound.count()) + " s";
  if (!Terminated())
    Log->WriteLine("CommThread: equipamento [" + Id(equip->EquipId) + "] " + why +
                   ": em falha até que a chamada retorne.");
  return FailVisit(why);
}

bool KxCommThread::FailVisit(const std::string& why) {
  if (visitFailure_.empty()) visitFailure_ = why;
  return false;
}

bool KxCommThread::ReadFailed(const char* call, int r) {
  return FailVisit(std::string(call) + " devolveu " + Count(r));
}

void KxCommThread::NoteOutcome(KxEquipamento* equip, bool ok) {
  const int32_t id = equip->EquipId;
  if (ok) {
    if (const int64_t failed = runs_.End(id, kVisitaEmFalha))
      Log->WriteLine("CommThread: equipamento [" + Id(id) + "] voltou a responder (" +
                     Count(failed) + " visitas em falha)");
  } else if (runs_.Note(id, kVisitaEmFalha)) {
    Log->WriteLine("CommThread: equipamento [" + Id(id) + "] em falha: " +
                   (visitFailure_.empty() ? std::string("falha de comunicação") : visitFailure_));
  }
  failingCount_.store(runs_.Open(kVisitaEmFalha));
}

KxCommThread::Progress KxCommThread::GetProgress() const {
  Progress p;
  p.failing = failingCount_.load();
  const int64_t end = passEndMs_.load();
  p.lastPassEnd = end == 0 ? TDateTime(0) : dt::FromMSecs(end);
  p.lastPassMs = passLenMs_.load();
  p.stored = storedCount_.load();
  std::lock_guard<std::mutex> lock(progressLock_);
  p.feriadosEspera = feriadosEspera_;
  return p;
}

bool KxCommThread::CollectHistoricos(KxEquipamento* equip) {
  KxListaCanais* canais = equip->Canais;
  for (int i = 0; canais && i < canais->Count(); ++i) {
    KxCanal* canal = canais->Items(i);
    // Its variable failed to load: its records wait in the meter.
    if (BuildingData->CanalAguardaVariavel(canal->CanalId)) continue;
    const std::string descricao = database_->GetCanalDescription(canal->CanalId);
    database_->SetCommStatus(1, "Lendo " + Descricao + " - " + descricao);
    if (!CollectHistoricoCanal(equip, canal)) return false;
  }
  return true;
}

bool KxCommThread::IsFutureDate(TDateTime date) {
  const TDateTime now = Clock().Now();
  return date > now && dt::HoursBetween(now, date) >= kFutureHours;
}

bool KxCommThread::IsUnusableDate(TDateTime date, TDateTime from) {
  return !dt::IsValid(date) || dt::ToMSecs(date) == dt::ToMSecs(from);
}

bool KxCommThread::CollectHistoricoCanal(KxEquipamento* equip, KxCanal* canal) {
  if (!OfferHeldHistorico(equip, canal)) return HoldVisit();
  int failures = 0;
  int64_t invalid = 0;  // invalid answers of this channel in this visit
  // The same variables serve every call of the loop; a package sets them on ReadOk.
  TDateTime date = 0;
  float value = 0;
  for (;;) {
    Beat();
    int r;
    try {
      const TDateTime from = canal->UltimaData;
      struct Answer {
        int r;
        TDateTime date;
        float value;
      };
      const auto a = watch_.Call<Answer>(
          equip->EquipId, [equip, index = canal->EquipIndex, from, date, value] {
            Answer x{0, date, value};
            x.r = equip->ReadHistorico(index, from, x.date, x.value);
            return x;
          });
      if (!a) return LeftBehind(equip, "ReadHistorico");
      r = a->r;
      date = a->date;
      value = a->value;
      if (r == ReadOk && IsUnusableDate(date, from)) r = ReadInvalid;
      const bool future = r == ReadOk && IsFutureDate(date);
      if (r == ReadOk && !future && !std::isfinite(value)) {
        canal->UltimaData = date;
        r = ReadInvalid;
      }
      if (r == ReadOk) {
        EndRun(equip->EquipId, kRecordInvalido);
        if (future) {
          visitFutureRecord_ = true;
          if (runs_.Note(equip->EquipId, kDadosFuturos))
            Log->WriteLine("CommThread: inserção de dados futuros [" + Id(equip->EquipId) +
                           "]: CanalID=" + Id(canal->CanalId) + ", Data=" + dt::FormatShort(date));
          equip->RelogioPendente = true;
        } else {
          // Moved before the insert: a record refused for itself is not
          // asked for again. One held for the database is stored first
          // thing at the channel's next visit.
          canal->UltimaData = date;
          if (StoreHistorico(equip, canal, date, value) == Stored::Held) return HoldVisit();
        }
      } else if (r == ReadInvalid) {
        if (!NoteInvalid(equip, ++invalid)) return false;
        r = ReadOk;
      }
    } catch (...) {
      if (runs_.Note(equip->EquipId, kExcecaoHistorico))
        Log->WriteLine("CommThread: exceção ao ler histórico do equipamento [" +
                       Id(equip->EquipId) + "]: " + CurrentExceptionMessage());
      FailVisit("exceção em ReadHistorico");
      r = kReadRaised;
    }
    if (Terminated()) return false;
    if (r == ReadOk) continue;
    if (r == ReadEnd) return true;
    if (++failures >= 1) return ReadFailed("ReadHistorico", r);
  }
}

bool KxCommThread::HoldVisit() {
  visitHeld_ = true;
  return false;
}

bool KxCommThread::NoteInvalid(KxEquipamento* equip, int64_t inVisit) {
  visitInvalid_ = true;
  if (runs_.Note(equip->EquipId, kRecordInvalido))
    Log->WriteLine("CommThread [" + Id(equip->EquipId) + "]: record invalido");
  if (inVisit < kMaxInvalidPerVisit) return true;
  // A package that answers nothing but invalid records would hold the
  // pass for ever: the read fails, and the next visit asks again.
  return FailVisit(Count(inVisit) + " records invalidos");
}

void KxCommThread::NoteRefusal(const std::string& message) {
  if (refusals_++ == 0)
    Log->WriteLine("CommThread: o banco de dados recusa os dados, guardados para a próxima "
                   "visita: " + message);
}

void KxCommThread::NoteAccepted() {
  if (refusals_ == 0) return;
  Log->WriteLine("CommThread: o banco de dados voltou a aceitar os dados (" + Count(refusals_) +
                 " recusas)");
  refusals_ = 0;
}

KxCommThread::Stored KxCommThread::StoreHistorico(KxEquipamento* equip, KxCanal* canal,
                                                  TDateTime date, float value) {
  const TDateTime stored = dt::ZeroSeconds(date);
  bool commitCut = false;
  try {
    if (ledger_.IsStored(canal->CanalId, date, stored, value)) {
      ledger_.NoteStored(canal->CanalId, stored, value);
      return Stored::Stored;
    }
    // A channel without a variable has no tariff periods: PERIODO 0.
    const int32_t periodo =
        canal->Variavel ? canal->Variavel->GetPeriodoId(*Feriados->ListaFeriados, stored) : 0;
    database_->InsertHistorico(canal->CanalId, stored, value, periodo, &commitCut);
    storedCount_.fetch_add(1);
    ledger_.NoteStored(canal->CanalId, stored, value);
    NoteAccepted();
    return Stored::Stored;
  } catch (...) {
    const EDatabaseFault fault = CurrentDatabaseFault();
    const std::string message = CurrentExceptionMessage();
    if (fault == EDatabaseFault::Record) {
      Log->WriteLine("CommThread: exceção ao inserir dados no DB [" + Id(equip->EquipId) +
                     "]: " + message);
      Log->WriteLine("\tCanalID=" + Id(canal->CanalId) + ", Data=" + dt::FormatShort(stored));
      return Stored::Skipped;
    }
    // Held for the channel's next visit. A lost connection reports itself
    // once (FbConnection); when the commit itself was cut, the server may
    // hold the row already.
    if (fault == EDatabaseFault::Refusal) NoteRefusal(message);
    ledger_.Hold(canal->CanalId, date, value, commitCut);
    return Stored::Held;
  }
}

bool KxCommThread::OfferHeldHistorico(KxEquipamento* equip, KxCanal* canal) {
  try {
    ledger_.BeginChannel(*canal);
  } catch (...) {
    if (CurrentDatabaseFault() == EDatabaseFault::Refusal) NoteRefusal(CurrentExceptionMessage());
    return false;
  }
  const auto held = ledger_.TakeHeld(canal->CanalId);
  return !held || StoreHistorico(equip, canal, held->date, held->value) != Stored::Held;
}

bool KxCommThread::CollectAlarmes(KxEquipamento* equip) {
  if (!OfferHeldAlarme(equip)) return HoldVisit();
  int failures = 0;
  int64_t invalid = 0;
  TDateTime date = 0;
  std::u16string texto;
  int32_t classe = 0;
  for (;;) {
    Beat();
    int r;
    try {
      const TDateTime from = equip->DataUltimoAlarme;
      struct Answer {
        int r;
        TDateTime date;
        std::u16string texto;
        int32_t classe;
      };
      const auto a = watch_.Call<Answer>(equip->EquipId, [equip, from, date, texto, classe] {
        Answer x{0, date, texto, classe};
        x.r = equip->ReadAlarme(from, x.date, x.texto, x.classe);
        return x;
      });
      if (!a) return LeftBehind(equip, "ReadAlarme");
      r = a->r;
      date = a->date;
      texto = a->texto;
      classe = a->classe;
      if (r == ReadOk && IsUnusableDate(date, from)) r = ReadInvalid;
      if (r == ReadOk) {
        EndRun(equip->EquipId, kRecordInvalido);
        if (IsFutureDate(date)) {
          // Unlike history, no clock update is requested.
          visitFutureAlarm_ = true;
          if (runs_.Note(equip->EquipId, kAlarmesFuturos))
            Log->WriteLine("CommThread: inserção de alarmes futuros [" + Id(equip->EquipId) +
                           "] Data=" + dt::FormatShort(date));
        } else {
          equip->DataUltimoAlarme = date;
          const std::string t = text::FromUtf16(texto);
          if (t.empty()) {
            Log->WriteLine("Alarme vazio: " + t);
          } else if (t[0] == '#') {
            Log->WriteLine("Equip [" + Id(equip->EquipId) + "] alarm: " + dt::FormatShort(date) +
                           " - " + t);
          } else if (StoreAlarme(equip, KxDeliveryLedger::HeldAlarm{date, t, classe}) ==
                     Stored::Held) {
            return HoldVisit();
          }
        }
      } else if (r == ReadInvalid) {
        if (!NoteInvalid(equip, ++invalid)) return false;
        r = ReadOk;
      }
    } catch (...) {
      if (runs_.Note(equip->EquipId, kExcecaoAlarmes))
        Log->WriteLine("CommThread: exceção ao ler alarmes do equipamento [" +
                       Id(equip->EquipId) + "]: " + CurrentExceptionMessage());
      FailVisit("exceção em ReadAlarme");
      r = kReadRaised;
    }
    if (Terminated()) return false;
    if (r == ReadOk) continue;
    if (r == ReadEnd) return true;
    if (++failures >= 1) return ReadFailed("ReadAlarme", r);
  }
}

KxCommThread::Stored KxCommThread::StoreAlarme(KxEquipamento* equip,
                                               const KxDeliveryLedger::HeldAlarm& alarme) {
  try {
    if (ledger_.IsStored(equip->EquipId, alarme)) {
      ledger_.NoteStored(equip->EquipId, alarme);
      return Stored::Stored;
    }
  } catch (...) {
    // The look-up could not be made: held, still in doubt as it was.
    if (CurrentDatabaseFault() == EDatabaseFault::Refusal) NoteRefusal(CurrentExceptionMessage());
    ledger_.Hold(equip->EquipId, alarme, false);
    return Stored::Held;
  }
  std::string failure;
  try {
    switch (AlarmLog->LogAlarme(alarme.classe, alarme.date, alarme.texto, equip->EquipId,
                                KxAlarmeRetry::Caller, &failure)) {
      case KxAlarmeResult::Stored:
        ledger_.NoteStored(equip->EquipId, alarme);
        NoteAccepted();
        return Stored::Stored;
      case KxAlarmeResult::Refused:
        return Stored::Skipped;  // the alarm log wrote its line
      case KxAlarmeResult::DatabaseRefusal:
        NoteRefusal(failure);
        ledger_.Hold(equip->EquipId, alarme, false);
        return Stored::Held;
      case KxAlarmeResult::ConnectionLost:
        // Its insert may or may not have reached the server.
        ledger_.Hold(equip->EquipId, alarme, true);
        return Stored::Held;
    }
  } catch (...) {
    Log->WriteLine("CommThread: exceção ao inserir alarme no DB [" + Id(equip->EquipId) +
                   "]: " + CurrentExceptionMessage());
  }
  return Stored::Skipped;
}

bool KxCommThread::OfferHeldAlarme(KxEquipamento* equip) {
  try {
    ledger_.BeginAlarms(equip->EquipId);
  } catch (...) {
    if (CurrentDatabaseFault() == EDatabaseFault::Refusal) NoteRefusal(CurrentExceptionMessage());
    return false;
  }
  const auto held = ledger_.TakeHeldAlarm(equip->EquipId);
  return !held || StoreAlarme(equip, *held) != Stored::Held;
}
