// The one exception type of the database layer.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

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

 private:
  std::vector<intptr_t> codes_;
};

// Whether the exception being handled is an EDatabaseError that says the
// connection is lost. Call only inside a catch block.
inline bool CurrentErrorIsConnectionLost() {
  try {
    throw;
  } catch (const EDatabaseError& e) {
    return e.ConnectionLost();
  } catch (...) {
    return false;
  }
}
