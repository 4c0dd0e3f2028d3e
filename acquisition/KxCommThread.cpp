#include "acquisition/KxCommThread.h"
#include "platform/ExceptionMessage.h"

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
      Feriados->Load();
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

bool KxCommThread::WaitForDatabase() {
  // Nothing read could be stored while the main connection is lost: wait
  // until it is attached again (a try every 5 s at most, FbConnection).
  while (!Terminated() && !database_->Database.EnsureAttached()) Sleep(kLostPause);
  return !Terminated();
}

void KxCommThread::CycleEquipamento(KxEquipamento* equip) {
  Descricao = database_->GetEquipDescription(equip->EquipId);
  const bool ok = ReadEquipamento(equip);
  // A visit cut short by the stop request says nothing about the equipment:
  // no loss-of-communication alarm, no failure status (the stop sequence
  // resets every status right after).
  if (!ok && Terminated()) return;
  if (!ok && equip->Comunicando) {
    AlarmLog->LogAlarme(2, Clock().Now(), "Sem comunicação com o equipamento.", equip->EquipId);
  } else if (ok && !equip->Comunicando) {
    AlarmLog->LogAlarme(3, Clock().Now(), "Comunicação normal.", equip->EquipId);
  }
  if (ok)
    database_->SetEquipStatus(equip->EquipId, 1, "Comunicação normal");
  else
    database_->SetEquipStatus(equip->EquipId, 3, "Falha de comunicação");
  equip->Comunicando = ok;
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
  return !dt::IsValid(date) || !(date > from);
}

bool KxCommThread::CollectHistoricoCanal(KxEquipamento* equip, KxCanal* canal) {
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
          // asked for again. One that could not be stored because the
          // connection is lost is given back: the from-date returns to where it
          // was and the visit fails, so the record is read again once the
          // database is back.
          const TDateTime previous = canal->UltimaData;
          canal->UltimaData = date;
          if (!StoreHistorico(equip, canal, date, value)) {
            canal->UltimaData = previous;
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
    const auto doubt = inDoubt_.find(canal->CanalId);
    if (doubt != inDoubt_.end()) {
      const bool same = dt::ToMSecs(doubt->second) == dt::ToMSecs(stored);
      if (same && HistoricoExists(canal->CanalId, stored)) {
        // The commit that was cut had reached the server.
        db.HistoricoTrans.Commit();
        inDoubt_.erase(doubt);
        return true;
      }
      inDoubt_.erase(doubt);
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
    return true;
  } catch (...) {
    if (CurrentErrorIsConnectionLost()) {
      // The connection's own line reports the loss, once.
      if (committing) inDoubt_[canal->CanalId] = stored;
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

bool KxCommThread::HistoricoExists(int32_t canalId, TDateTime stored) {
  TmodDatabase& db = *database_;
  if (!existsQuery_)
    existsQuery_ = std::make_unique<FbQuery>(
        db.Database, db.HistoricoTrans,
        "select count(*) as N from HISTORICOS_H where CANAL_ID = :CANAL_ID and DATA = :DATA");
  existsQuery_->ParamByName("CANAL_ID").SetInteger(canalId);
  existsQuery_->ParamByName("DATA").SetDateTime(stored);
  existsQuery_->ExecQuery();
  const bool found = !existsQuery_->Eof() && existsQuery_->FieldByName("N").AsInteger() > 0;
  existsQuery_->Close();
  return found;
}

bool KxCommThread::CollectAlarmes(KxEquipamento* equip) {
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
          const TDateTime previous = equip->DataUltimoAlarme;
          equip->DataUltimoAlarme = date;
          const std::string t = text::FromUtf16(texto);
          if (t.empty()) {
            Log->WriteLine("Alarme vazio: " + t);
          } else if (t[0] == '#') {
            Log->WriteLine("Equip [" + Id(equip->EquipId) + "] alarm: " + dt::FormatShort(date) +
                           " - " + t);
          } else {
            try {
              // An alarm whose insert was cut by a lost connection may have
              // reached the server: when it comes again it is stored only if
              // it is not there yet.
              bool stored = false;
              const auto doubt = alarmInDoubt_.find(equip->EquipId);
              if (doubt != alarmInDoubt_.end()) {
                if (dt::ToMSecs(doubt->second) == dt::ToMSecs(date)) {
                  try {
                    stored = AlarmeExists(equip->EquipId, date, classe);
                  } catch (...) {
                    // Still no database: the alarm stays in doubt and is
                    // asked for again.
                    equip->DataUltimoAlarme = previous;
                    return false;
                  }
                }
                alarmInDoubt_.erase(doubt);
              }
              // Given back when the connection is lost, as for history.
              if (!stored && AlarmLog->LogAlarme(classe, date, t, equip->EquipId) ==
                                 KxAlarmeResult::ConnectionLost) {
                alarmInDoubt_[equip->EquipId] = date;
                equip->DataUltimoAlarme = previous;
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
