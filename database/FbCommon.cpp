// Client library access, status conversion and value helpers of the layer.
#include <cmath>
#include <cstring>

#include "database/FbInternal.h"
#include "platform/FirebirdClient.h"
#include "platform/ThreadExit.h"
#include "platform/Text.h"

namespace fbi {
namespace {

constexpr intptr_t kUnavailable = 335544375;  // isc_unavailable

struct Api {
  Firebird::IMaster* master;
  Firebird::IUtil* util;
  Firebird::IProvider* provider;
  Api() {
    try {
      master = platform::FirebirdMaster();
    } catch (const std::runtime_error& e) {
      // No client library: to its callers, the same as a server that cannot
      // be reached (tried again at the next attach).
      throw EDatabaseError(e.what(), {kUnavailable});
    }
    util = master->getUtilInterface();
    provider = master->getDispatcher();  // kept for the life of the process
  }
};

Api& TheApi() {
  static Api api;
  return api;
}

// One IStatus per thread, disposed when the thread ends. The pointer itself
// has no destructor (see platform/ThreadExit.h).
Firebird::IStatus* ThisThreadStatus() {
  thread_local Firebird::IStatus* status = nullptr;
  if (!status) {
    status = Master()->getStatus();
    platform::AtThreadExit([](void* s) { static_cast<Firebird::IStatus*>(s)->dispose(); }, status);
  }
  return status;
}

bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i++]);
    const int extra = c < 0x80 ? 0
                      : (c & 0xE0) == 0xC0 ? 1
                      : (c & 0xF0) == 0xE0 ? 2
                      : (c & 0xF8) == 0xF0 ? 3
                                           : -1;
    if (extra < 0) return false;
    for (int k = 0; k < extra; ++k, ++i)
      if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return false;
  }
  return true;
}

}  // namespace

Firebird::IMaster* Master() { return TheApi().master; }
Firebird::IUtil* Util() { return TheApi().util; }
Firebird::IProvider* Provider() { return TheApi().provider; }

Status::Status() : Firebird::ThrowStatusWrapper(ThisThreadStatus()) {}

EDatabaseError ToError(Firebird::IStatus* status) {
  std::vector<intptr_t> codes;
  const intptr_t* v = status->getErrors();
  while (v && *v != isc_arg_end) {
    const intptr_t tag = v[0];
    if (tag == isc_arg_gds) {
      codes.push_back(v[1]);
      v += 2;
    } else if (tag == isc_arg_cstring) {
      v += 3;
    } else {
      v += 2;
    }
  }
  char buf[4096];
  const unsigned n = Util()->formatStatus(buf, sizeof buf - 1, status);
  std::string msg(buf, std::min<size_t>(n, sizeof buf - 1));
  // Arguments of the server's messages (names, values) come in the connection
  // character set; the rest is ASCII.
  if (!ValidUtf8(msg)) msg = text::FromLatin1(msg);
  if (msg.empty()) msg = "database error";
  return EDatabaseError(msg, std::move(codes));
}

EDatabaseError ToError(const Firebird::FbException& e) { return ToError(e.getStatus()); }

void Fail(const std::string& message, std::vector<intptr_t> codes) {
  throw EDatabaseError(message, std::move(codes));
}

void QuietClose(Firebird::IResultSet*& rs) {
  if (!rs) return;
  Status st;
  try {
    rs->close(&st);  // success releases it
  } catch (const Firebird::FbException&) {
    rs->release();
  }
  rs = nullptr;
}

void QuietClose(Firebird::IBlob*& blob) {
  if (!blob) return;
  Status st;
  try {
    blob->close(&st);
  } catch (const Firebird::FbException&) {
    blob->release();
  }
  blob = nullptr;
}

void QuietFree(Firebird::IStatement*& stmt) {
  if (!stmt) return;
  Status st;
  try {
    stmt->free(&st);
  } catch (const Firebird::FbException&) {
    stmt->release();
  }
  stmt = nullptr;
}

void QuietRelease(Firebird::IReferenceCounted* obj) {
  if (obj) obj->release();
}

// A TDateTime before 30/12/1899 is negative and keeps its time of day as a
// positive fraction: its whole part is the day, its fraction (without sign)
// the time, so 29/12/1899 06:00 is -1.25, not -0.75.
void ToTimestamp(double value, ISC_DATE& date, ISC_TIME& time) {
  if (!std::isfinite(value) || std::fabs(value) > 3e6) Fail("invalid date-time value", {kConvertError});
  const long long ms = std::llround(value * 86400000.0);
  const long long days = ms / 86400000;  // toward zero
  long long rest = ms % 86400000;
  if (rest < 0) rest = -rest;
  date = static_cast<ISC_DATE>(days + 15018);  // 30/12/1899 is day 15018
  time = static_cast<ISC_TIME>(rest * 10);     // 1/10000 s
}

double FromTimestamp(ISC_DATE date, ISC_TIME time) {
  const long long days = static_cast<long long>(date) - 15018;
  const long long rest = (static_cast<long long>(time) + 5) / 10;
  const long long ms = days * 86400000LL + (days < 0 ? -rest : rest);
  return static_cast<double>(ms) / 86400000.0;
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace fbi
