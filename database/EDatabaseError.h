// The one exception type of the database layer.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Why the server refused a statement, as far as a writer of rows must know.
enum class EDatabaseFault {
  // The connection is gone (see ConnectionLost): nothing was decided about
  // the row.
  ConnectionLost,
  // The row itself: a value the server cannot convert or compute with, a
  // check, not-null, unique or foreign-key constraint, an exception a
  // trigger raises for the row. Offering the same row again fails again.
  Record,
  // The database, not the row: permissions, I/O errors and a full disk,
  // lock conflicts and deadlocks, a database shut down or read-only,
  // resource limits, and every code not placed above. The same row may be
  // taken later.
  Refusal,
};

class EDatabaseError : public std::runtime_error {
 public:
  // `message`: Firebird's full, human-readable text (UTF-8), lines joined by
  // "\n-" as the client library formats them. `codes`: the status vector's
  // error codes (isc_* numbers), primary first.
  EDatabaseError(const std::string& message, std::vector<intptr_t> codes);

  const std::vector<intptr_t>& Codes() const { return codes_; }
  intptr_t PrimaryCode() const { return codes_.empty() ? 0 : codes_.front(); }
  bool HasCode(intptr_t code) const;
  // True when the client library reported a lost or shut-down connection
  // (network read/write errors, connection lost or refused, attachment or
  // database shut down) rather than an error of the statement itself.
  bool ConnectionLost() const;
  // The class of the failure, by its error codes: a lost connection
  // anywhere in the status vector; otherwise the first code that is not a
  // generic SQL wrapper decides between Record and Refusal.
  EDatabaseFault Fault() const;

 private:
  std::vector<intptr_t> codes_;
};

// Whether the exception being handled is an EDatabaseError that says the
// connection is lost. Call only inside a catch block.
// The fault of the exception being handled: an EDatabaseError's own class;
// any other exception comes from binding the row's values on our side and
// counts as the row's fault. Call only inside a catch block.
inline EDatabaseFault CurrentDatabaseFault() {
  try {
    throw;
  } catch (const EDatabaseError& e) {
    return e.Fault();
  } catch (...) {
    return EDatabaseFault::Record;
  }
}

inline bool CurrentErrorIsConnectionLost() {
  try {
    throw;
  } catch (const EDatabaseError& e) {
    return e.ConnectionLost();
  } catch (...) {
    return false;
  }
}
