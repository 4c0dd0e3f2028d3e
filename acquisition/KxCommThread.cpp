#include "acquisition/KxCommThread.h"
#include "platform/ExceptionMessage.h"

#include <cstring>
#include <exception>

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
      database_(database ? database : modDatabase) {
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
        Sleep(kLostPause);
        continue;
      }
      KxListaEquipamentos* equips = BuildingData->ListaEquipamentos.get();
      int visited = 0;
      // The count is read afresh at every step.
      for (int i = 0; equips && i < equips->Count(); ++i) {
        if (!WaitForDatabase()) break;
        CycleEquipamento(equips->Items(i));
        ++visited;
        if (Terminated()) break;
        Sleep(kEquipPause);
        if (Terminated()) break;
      }
      // Without equipment a pass is only a reload of the holidays: do not
      // run them back to back.
      if (visited == 0 && !Terminated()) Sleep(kEmptyPassPause);
    } catch (...) {
      Log->WriteLine("CommThread: " + CurrentExceptionMessage());
      Sleep(kErrorPause);
    }
  }
  Log->WriteLine("Thread comunicação finalizada!");
}

bool KxCommThread::ReloadFeriados() {
  if (Feriados->Load()) {
    feriadosLidos_ = true;
    return true;
  }
  // Without a list ever read, records would be tagged as if no holiday
  // existed: wait for the connection rather than visit.
  return feriadosLidos_ || !database_->Database.Lost();
}

bool KxCommThread::WaitForDatabase() {
  // Nothing read could be stored while the main connection is lost: wait
  // until it is attached again (a try every 5 s at most, FbConnection).
  while (!Terminated() && !database_->Database.EnsureAttached()) Sleep(kLostPause);
  return !Terminated();
}

void KxCommThread::CycleEquipamento(KxEquipamento* equip) {
  Descricao = database_->GetEquipDescription(equip->EquipId);
  visitCutByLoss_ = false;
  const bool ok = ReadEquipamento(equip);
  // A visit cut short by the stop request or by the loss of the database
  // says nothing about the equipment: no communication alarm, no status, and
  // Comunicando stays (the stop sequence resets every status right after; a
  // lost connection is the database's failure, not the meter's).
  if (!ok && (Terminated() || visitCutByLoss_)) return;
  if (!RecordCommunicationChange(equip, ok)) return;
  if (ok)
    database_->SetEquipStatus(equip->EquipId, 1, "Comunicação normal");
  else
    database_->SetEquipStatus(equip->EquipId, 3, "Falha de comunicação");
  equip->Comunicando = ok;
}

bool KxCommThread::RecordCommunicationChange(KxEquipamento* equip, bool ok) {
  KxAlarmeResult result = KxAlarmeResult::Stored;
  if (!ok && equip->Comunicando) {
    result = AlarmLog->LogAlarme(2, Clock().Now(), "Sem comunicação com o equipamento.",
                                 equip->EquipId, KxAlarmeRetry::Caller);
  } else if (ok && !equip->Comunicando) {
    result = AlarmLog->LogAlarme(3, Clock().Now(), "Comunicação normal.", equip->EquipId,
                                 KxAlarmeRetry::Caller);
  }
  // Kept out by a lost connection: Comunicando stays as it was, so the next
  // visit that finds the database records the change (one alarm each way,
  // always in pairs).
  return result != KxAlarmeResult::ConnectionLost;
}

bool KxCommThread::ReadEquipamento(KxEquipamento* equip) {
  if (!equip->Inicializado) {
    database_->SetCommStatus(1, "Inicializando leitura de " + Descricao);
    LogVersao(equip);
    equip->Inicializado = true;
  }
  if (!SyncRelogio(equip)) return false;
  if (!CollectHistoricos(equip)) return false;
  database_->SetCommStatus(1, "Lendo " + Descricao + " - Alarmes");
  return CollectAlarmes(equip);
}

bool KxCommThread::SyncRelogio(KxEquipamento* equip) {
  if (!equip->RelogioPendente) return true;
  try {
    database_->SetCommStatus(1, "Atualizando relogio de " + Descricao);
    if (equip->SetRelogio() == 0) {
      Log->WriteLine("Telvane: relogio atualizado [" + Id(equip->EquipId) + "]!");
      equip->RelogioPendente = false;
    } else {
      // The request stays raised: the next visit tries again.
      Log->WriteLine("Telvane: erro atualizando relogio [" + Id(equip->EquipId) + "]!");
    }
    return true;
  } catch (...) {
    Log->WriteLine("CommThread: exceção ao atualizar relógio do equipamento [" +
                   Id(equip->EquipId) + "]: " + CurrentExceptionMessage());
    return false;
  }
}

void KxCommThread::LogVersao(KxEquipamento* equip) {
  try {
    std::u16string versao;
    if (equip->ReadVersao(versao) == 0)
      Log->WriteLine("Equipamento [" + Id(equip->EquipId) + "]: " + text::FromUtf16(versao));
    else
      Log->WriteLine("Erro lendo versão do equipamento [" + Id(equip->EquipId) + "]");
  } catch (...) {
    Log->WriteLine("CommThread: exceção ao ler versão do equipamento [" + Id(equip->EquipId) +
                   "]: " + CurrentExceptionMessage());
  }
}

bool KxCommThread::CollectHistoricos(KxEquipamento* equip) {
  KxListaCanais* canais = equip->Canais;
  for (int i = 0; canais && i < canais->Count(); ++i) {
    KxCanal* canal = canais->Items(i);
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
  if (!StorePendingHistorico(equip, canal)) {
    visitCutByLoss_ = true;
    return false;
  }
  int failures = 0;
  // The same variables serve every call of the loop; a package sets them on ReadOk.
  TDateTime date = 0;
  float value = 0;
  for (;;) {
    int r;
    try {
      const TDateTime from = canal->UltimaData;
      r = equip->ReadHistorico(canal->EquipIndex, from, date, value);
      if (r == ReadOk && IsUnusableDate(date, from)) r = ReadInvalid;
      if (r == ReadOk) {
        if (IsFutureDate(date)) {
          Log->WriteLine("CommThread: inserção de dados futuros [" + Id(equip->EquipId) +
                         "]: CanalID=" + Id(canal->CanalId) + ", Data=" + dt::FormatShort(date));
          equip->RelogioPendente = true;
        } else {
          // Moved before the insert: a record refused by the database is not
          // asked for again. One kept out by a lost connection is kept by
          // StoreHistorico and stored first thing at the channel's next visit.
          canal->UltimaData = date;
          if (!StoreHistorico(equip, canal, date, value)) {
            visitCutByLoss_ = true;
            return false;
          }
        }
      } else if (r == ReadInvalid) {
        Log->WriteLine("CommThread [" + Id(equip->EquipId) + "]: record invalido");
        r = ReadOk;
      }
    } catch (...) {
      Log->WriteLine("CommThread: exceção ao ler histórico do equipamento [" +
                     Id(equip->EquipId) + "]: " + CurrentExceptionMessage());
      r = kReadRaised;
    }
    if (Terminated()) return false;
    if (r == ReadOk) continue;
    if (r == ReadEnd) return true;
    if (++failures >= 1) return false;
  }
}

bool KxCommThread::StoreHistorico(KxEquipamento* equip, KxCanal* canal, TDateTime date,
                                  float value) {
  const TDateTime stored = dt::ZeroSeconds(date);
  TmodDatabase& db = *database_;
  bool committing = false;
  try {
    db.HistoricoTrans.StartTransaction();
    if (WasStoredBeforeTheLoss(canal->CanalId, date, stored, value)) {
      db.HistoricoTrans.Commit();
      NoteStored(canal->CanalId, stored, value);
      return true;
    }
    db.AddHistorico.ParamByName("DATA").SetDateTime(stored);
    db.AddHistorico.ParamByName("VALOR").SetFloat(value);
    db.AddHistorico.ParamByName("CANAL_ID").SetInteger(canal->CanalId);
    // A channel without a variable has no tariff periods: PERIODO 0.
    const int32_t periodo =
        canal->Variavel ? canal->Variavel->GetPeriodoId(*Feriados->ListaFeriados, stored) : 0;
    db.AddHistorico.ParamByName("PERIODO").SetInteger(periodo);
    db.AddHistorico.ExecQuery();
    committing = true;
    db.HistoricoTrans.Commit();
    NoteStored(canal->CanalId, stored, value);
    return true;
  } catch (...) {
    if (CurrentErrorIsConnectionLost()) {
      // The connection's own line reports the loss, once. The record is
      // kept for the channel's next visit; when the commit itself was cut,
      // the server may hold it already.
      historicoPendente_[canal->CanalId] = HistoricoPendente{date, value};
      if (committing) NoteInDoubt(canal->CanalId, date, stored, value);
      try {
        if (db.HistoricoTrans.InTransaction()) db.HistoricoTrans.Rollback();
      } catch (...) {
      }
      return false;
    }
    Log->WriteLine("CommThread: exceção ao inserir dados no DB [" + Id(equip->EquipId) +
                   "]: " + CurrentExceptionMessage());
    Log->WriteLine("\tCanalID=" + Id(canal->CanalId) + ", Data=" + dt::FormatShort(stored));
    // A rollback that fails too escapes to the read loop, which ends the channel.
    if (db.HistoricoTrans.InTransaction()) db.HistoricoTrans.Rollback();
    return true;
  }
}

bool KxCommThread::AlarmeExists(int32_t equipId, TDateTime date, int32_t classe) {
  TmodDatabase& db = *database_;
  if (!alarmExistsQuery_)
    alarmExistsQuery_ = std::make_unique<FbQuery>(
        db.Database, db.HistoricoTrans,
        "select count(*) as N from ALARMES where EQUIP_ID = :EQUIP_ID and DATA = :DATA and "
        "CLASSE = :CLASSE");
  db.HistoricoTrans.StartTransaction();
  try {
    alarmExistsQuery_->ParamByName("EQUIP_ID").SetInteger(equipId);
    alarmExistsQuery_->ParamByName("DATA").SetDateTime(date);
    alarmExistsQuery_->ParamByName("CLASSE").SetInteger(classe);
    alarmExistsQuery_->ExecQuery();
    const bool found =
        !alarmExistsQuery_->Eof() && alarmExistsQuery_->FieldByName("N").AsInteger() > 0;
    alarmExistsQuery_->Close();
    db.HistoricoTrans.Commit();
    return found;
  } catch (...) {
    if (db.HistoricoTrans.InTransaction()) db.HistoricoTrans.Rollback();
    throw;
  }
}

namespace {

uint32_t Bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

bool KxCommThread::StorePendingHistorico(KxEquipamento* equip, KxCanal* canal) {
  const auto it = historicoPendente_.find(canal->CanalId);
  if (it == historicoPendente_.end()) return true;
  const HistoricoPendente pendente = it->second;
  historicoPendente_.erase(it);
  return StoreHistorico(equip, canal, pendente.date, pendente.value);
}

void KxCommThread::NoteStored(int32_t canalId, TDateTime stored, float value) {
  MinuteRows& rows = minuteRows_[canalId];
  const int64_t minute = dt::ToMSecs(stored);
  if (rows.minute != minute) {
    rows.minute = minute;
    rows.count.clear();
  }
  ++rows.count[Bits(value)];
}

void KxCommThread::NoteInDoubt(int32_t canalId, TDateTime date, TDateTime stored, float value) {
  const MinuteRows& rows = minuteRows_[canalId];
  int64_t before = 0;
  if (rows.minute == dt::ToMSecs(stored)) {
    const auto it = rows.count.find(Bits(value));
    if (it != rows.count.end()) before = it->second;
  }
  inDoubt_[canalId] = InDoubt{dt::ToMSecs(date), Bits(value), before};
}

bool KxCommThread::WasStoredBeforeTheLoss(int32_t canalId, TDateTime date, TDateTime stored,
                                          float value) {
  const auto doubt = inDoubt_.find(canalId);
  if (doubt == inDoubt_.end()) return false;
  const InDoubt d = doubt->second;
  // Another record than the one in doubt: the meter moved on, nothing to match.
  if (d.dateMs != dt::ToMSecs(date) || d.valueBits != Bits(value)) {
    inDoubt_.erase(doubt);
    return false;
  }
  // The rows that look the same (one channel, one stored minute, one value)
  // are told apart by number: those this thread had committed before the
  // one in doubt, and the one in doubt if its commit got through. A count
  // that fails (the connection lost again) leaves the record in doubt.
  const bool there = HistoricoCount(canalId, stored, value) > d.sameBefore;
  inDoubt_.erase(canalId);
  return there;
}

int64_t KxCommThread::HistoricoCount(int32_t canalId, TDateTime stored, float value) {
  TmodDatabase& db = *database_;
  if (!existsQuery_)
    existsQuery_ = std::make_unique<FbQuery>(
        db.Database, db.HistoricoTrans,
        "select count(*) as N from HISTORICOS_H where CANAL_ID = :CANAL_ID and DATA = :DATA "
        "and VALOR = :VALOR");
  existsQuery_->ParamByName("CANAL_ID").SetInteger(canalId);
  existsQuery_->ParamByName("DATA").SetDateTime(stored);
  existsQuery_->ParamByName("VALOR").SetFloat(value);
  existsQuery_->ExecQuery();
  const int64_t n = existsQuery_->Eof() ? 0 : existsQuery_->FieldByName("N").AsInteger();
  existsQuery_->Close();
  return n;
}

bool KxCommThread::CollectAlarmes(KxEquipamento* equip) {
  if (!StorePendingAlarme(equip)) {
    visitCutByLoss_ = true;
    return false;
  }
  int failures = 0;
  TDateTime date = 0;
  std::u16string texto;
  int32_t classe = 0;
  for (;;) {
    int r;
    try {
      const TDateTime from = equip->DataUltimoAlarme;
      r = equip->ReadAlarme(from, date, texto, classe);
      if (r == ReadOk && IsUnusableDate(date, from)) r = ReadInvalid;
      if (r == ReadOk) {
        if (IsFutureDate(date)) {
          // Unlike history, no clock update is requested.
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
          } else {
            try {
              if (!StoreAlarme(equip, AlarmePendente{date, t, classe})) {
                visitCutByLoss_ = true;
                return false;
              }
            } catch (...) {
              Log->WriteLine("CommThread: exceção ao inserir alarme no DB [" +
                             Id(equip->EquipId) + "]: " + CurrentExceptionMessage());
            }
          }
        }
      } else if (r == ReadInvalid) {
        Log->WriteLine("CommThread [" + Id(equip->EquipId) + "]: record invalido");
        r = ReadOk;
      }
    } catch (...) {
      Log->WriteLine("CommThread: exceção ao ler alarmes do equipamento [" + Id(equip->EquipId) +
                     "]: " + CurrentExceptionMessage());
      r = kReadRaised;
    }
    if (Terminated()) return false;
    if (r == ReadOk) continue;
    if (r == ReadEnd) return true;
    if (++failures >= 1) return false;
  }
}

bool KxCommThread::StoreAlarme(KxEquipamento* equip, const AlarmePendente& alarme) {
  if (AlarmLog->LogAlarme(alarme.classe, alarme.date, alarme.texto, equip->EquipId,
                          KxAlarmeRetry::Caller) != KxAlarmeResult::ConnectionLost)
    return true;
  // Its insert may or may not have reached the server: kept here, and stored
  // (unless found there) before anything more is read from the equipment.
  alarmePendente_[equip->EquipId] = alarme;
  return false;
}

bool KxCommThread::StorePendingAlarme(KxEquipamento* equip) {
  const auto it = alarmePendente_.find(equip->EquipId);
  if (it == alarmePendente_.end()) return true;
  const AlarmePendente alarme = it->second;
  bool there = false;
  try {
    there = AlarmeExists(equip->EquipId, alarme.date, alarme.classe);
  } catch (...) {
    if (CurrentErrorIsConnectionLost()) return false;  // still no database: kept
  }
  alarmePendente_.erase(it);
  return there || StoreAlarme(equip, alarme);
}
