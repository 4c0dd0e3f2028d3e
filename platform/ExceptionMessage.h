// The message of the exception being handled, for the log lines of the
// error guards. Call only inside a catch block.
#pragma once

#include <exception>
#include <string>

inline std::string CurrentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "exceção desconhecida";
  }
}
