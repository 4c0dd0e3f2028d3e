#pragma once

#include <cstdint>
#include <string>

#include "platform/DateTime.h"

// What became of one alarm handed to LogAlarme.
enum class KxAlarmeResult {
  Stored,          // the row is in ALARMES
  Refused,         // the insert failed for the row itself (a value, a constraint): given up
  ConnectionLost,  // the database could not be reached: the alarm may be offered again later
  // The database refused it for a reason not of the row (permissions, I/O
  // or a full disk, a lock conflict, ...): it may be offered again later.
  DatabaseRefusal,
};

// Whether an alarm that finds the connection lost is offered again later.
enum class KxAlarmeRetry {
  Never,   // lost for good if it cannot be stored now (the service's own events)
  Caller,  // the caller offers it again once the connection is back
};

class KxCustomLog {
 public:
  virtual ~KxCustomLog() = default;
  // Inserts one alarm; equipId -1 stands for an event of the service itself.
  // `failure`, when given, receives the database's message of a result
  // other than Stored.
  virtual KxAlarmeResult LogAlarme(int32_t classe, TDateTime data, const std::string& texto,
                                   int32_t equipId, KxAlarmeRetry retry = KxAlarmeRetry::Never,
                                   std::string* failure = nullptr) = 0;
};
