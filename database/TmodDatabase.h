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

class TmodDatabase {
 public:
  // Opens the main connection; throws EDatabaseError when it cannot.
  explicit TmodDatabase(const FbConnectParams& params = MainConnectionParams());
  TmodDatabase(const TmodDatabase&) = delete;
  TmodDatabase& operator=(const TmodDatabase&) = delete;
  ~TmodDatabase();

  // Each operation runs one transaction of its own, rolls it back on any
  // failure and then returns its default; none throws, none logs.
  TDateTime GetLastRecordDate(int32_t canalId);  // default 01/01/2000; 0 on failure
  TDateTime GetLastAlarmDate(int32_t equipId);   // default 01/01/2000; 0 on failure
  void SetEquipStatus(int32_t equipId, int32_t status, const std::string& texto);
  void ResetEquipStatus();
  std::string GetEquipDescription(int32_t equipId);  // "Erro" on failure
  std::string GetCanalDescription(int32_t canalId);  // "Erro" on failure
  void SetCommStatus(int32_t id, const std::string& mensagem);

  FbConnection Database;
  FbTransaction DefaultTransaction;
  FbTransaction HistoricoTrans;
  FbTransaction StatusTransaction;
  FbTransaction AlarmesTrans;
  FbTransaction GenericTrans;
  FbQuery LastRecordDateFast;
  FbQuery LastRecordDate;
  FbQuery LastAlarmDate;
  FbQuery AddHistorico;
  FbQuery AddAlarme;
  FbQuery StatusEquipamentos;
  FbQuery InicializaStatus;
  FbQuery Generic;
};

// The one main module, created and freed by the configuration load thread.
extern TmodDatabase* modDatabase;
