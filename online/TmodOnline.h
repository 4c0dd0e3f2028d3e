// The online data module: its own connection and the statements of the
// live values. Used by one thread only; none of the operations catches.
#pragma once

#include <cstdint>
#include <string>

#include "database/ConnectionParams.h"
#include "database/FbConnection.h"
#include "database/FbQuery.h"
#include "database/FbTransaction.h"

class TmodOnline {
 public:
  // Opens its connection; throws EDatabaseError when it cannot.
  explicit TmodOnline(const FbConnectParams& params = OnlineConnectionParams());
  TmodOnline(const TmodOnline&) = delete;
  TmodOnline& operator=(const TmodOnline&) = delete;
  ~TmodOnline();

  void PurgeExpiredRequests();
  void OpenRequests();
  int32_t NextRequestedEquip();  // -1 at the end
  void BeginValues();
  void StoreOnlineValue(int32_t equipId, const std::string& name, const std::string& value);
  void CommitValues();

  FbConnection DB;
  FbTransaction Transaction;
  FbTransaction TransactionValues;
  FbQuery LimpaEquips;
  FbQuery Equipamentos;
  FbQuery Valores;
};

// Created by the program entry; lives until the process ends.
extern TmodOnline* modOnline;
