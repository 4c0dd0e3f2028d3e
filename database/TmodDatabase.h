// The main data module: the main connection and the statements of the
// acquisition path, with the operations that wrap them.
//
// Threads: the operations take no lock. GetLastRecordDate/GetLastAlarmDate
// are used by the loading thread only; GetEquipDescription,
// GetCanalDescription and SetCommStatus share Generic and must never overlap
// (loading thread, then the acquisition thread); AddHistorico belongs to the
// acquisition thread and AddAlarme to KxAlarmLog, under its lock.
#pragma once

#include <cstdint>
#include <string>

#include "database/ConnectionParams.h"
#include "database/FbConnection.h"
#include "database/FbQuery.h"
#include "database/FbTransaction.h"
#include "platform/DateTime.h"

// The texts of the communication events the acquisition writes with each
// equipment's id (classes 2 and 3): the service's own rows among the
// equipment's alarms.
inline constexpr char kTextoSemComunicacao[] = "Sem comunicação com o equipamento.";
inline constexpr char kTextoComunicacaoNormal[] = "Comunicação normal.";

class TmodDatabase {
 public:
  // Opens the main connection; throws EDatabaseError when it cannot.
  explicit TmodDatabase(const FbConnectParams& params = MainConnectionParams());
  TmodDatabase(const TmodDatabase&) = delete;
  TmodDatabase& operator=(const TmodDatabase&) = delete;
  ~TmodDatabase();

  // Each operation runs one transaction of its own, rolls it back on any
  // failure and then returns its default; none throws, none logs.
  // The two look-ups give 0 on failure, with the database's message in
  // `failure` when one is passed (the loader reports it).
  TDateTime GetLastRecordDate(int32_t canalId,
                              std::string* failure = nullptr);  // default 01/01/2000
  TDateTime GetLastAlarmDate(int32_t equipId,
                             std::string* failure = nullptr);  // default 01/01/2000
  void SetEquipStatus(int32_t equipId, int32_t status, const std::string& texto);
  void ResetEquipStatus();
  std::string GetEquipDescription(int32_t equipId);  // "Erro" on failure
  std::string GetCanalDescription(int32_t canalId);  // "Erro" on failure
  void SetCommStatus(int32_t id, const std::string& mensagem);

  // What the acquisition thread reads to recognise a record or alarm that
  // may be stored already (acquisition/KxDeliveryLedger.h). Each runs one
  // read of its own in LookupTrans (the acquisition thread's) and, unlike
  // the operations above, throws EDatabaseError on failure after rolling
  // back. Dates are compared to the millisecond.
  //  - NewestRecordDate: the greatest DATA of the channel over all of
  //    HISTORICOS_H, also ahead of the server's clock; 0 when it has none.
  //  - CountHistorico: rows of the channel with that DATA and VALOR.
  //  - NewestAlarmDate: the greatest DATA among all ALARMES rows of the
  //    equipment, its communication events included; 0 when none.
  //  - CountAlarme: rows of the equipment with that DATA, CLASSE and TEXTO.
  TDateTime NewestRecordDate(int32_t canalId);
  int64_t CountHistorico(int32_t canalId, TDateTime data, float valor);
  TDateTime NewestAlarmDate(int32_t equipId);
  int64_t CountAlarme(int32_t equipId, TDateTime data, int32_t classe, const std::string& texto);

  // The inserts of the acquisition path, each one row in a transaction of
  // its own, committed. They throw like the look-ups, after rolling back:
  // EDatabaseError with its fault (EDatabaseFault), or what binding a value
  // threw (the row's fault).
  //  - InsertHistorico: one HISTORICOS_H row, in HistoricoTrans (the
  //    acquisition thread's). `commitCut`, when given, is set when the
  //    failure was the connection lost during the commit: the row may then
  //    be stored.
  //  - InsertAlarme: one ALARMES row, in AlarmesTrans (KxAlarmLog's, under
  //    its lock); `equipId` -1 stores EQUIP_ID NULL (an event of the service
  //    itself).
  //  - CountAlarmeLog: the alarm log's own look-up, in AlarmesTrans under
  //    its lock: rows with that EQUIP_ID (-1: NULL), DATA, CLASSE and TEXTO.
  void InsertHistorico(int32_t canalId, TDateTime data, float valor, int32_t periodo,
                       bool* commitCut = nullptr);
  void InsertAlarme(int32_t equipId, TDateTime data, const std::string& texto, int32_t classe);
  int64_t CountAlarmeLog(int32_t equipId, TDateTime data, int32_t classe,
                         const std::string& texto);

  FbConnection Database;
  FbTransaction DefaultTransaction;
  FbTransaction HistoricoTrans;
  FbTransaction StatusTransaction;
  FbTransaction AlarmesTrans;
  FbTransaction GenericTrans;
  FbTransaction LookupTrans;  // read-only, the acquisition thread's look-ups
  FbQuery LastRecordDateFast;
  FbQuery LastRecordDate;
  FbQuery LastAlarmDate;
  FbQuery AddHistorico;
  FbQuery AddAlarme;
  FbQuery StatusEquipamentos;
  FbQuery InicializaStatus;
  FbQuery Generic;
  FbQuery NewestRecord;
  FbQuery CountHistoricoRows;
  FbQuery NewestAlarm;
  FbQuery CountAlarmeRows;
  FbQuery CountAlarmeLogRows;
};

// The one main module, created and freed by the configuration load thread.
extern TmodDatabase* modDatabase;
