#pragma once

#include <cstdint>
#include <string>

#include "platform/DateTime.h"

class KxCustomLog {
 public:
  virtual ~KxCustomLog() = default;
  // Inserts one alarm; equipId -1 stands for an event of the service itself.
  virtual void LogAlarme(int32_t classe, TDateTime data, const std::string& texto,
                         int32_t equipId) = 0;
};
