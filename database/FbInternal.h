// Internals of the database layer, shared by its .cpp files only.
#pragma once

#include <firebird/Interface.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "database/EDatabaseError.h"
#include "database/FbConnection.h"
#include "database/FbQuery.h"
#include "database/FbTransaction.h"

namespace fbi {

Firebird::IMaster* Master();
Firebird::IUtil* Util();
Firebird::IProvider* Provider();

// A status wrapper over this thread's IStatus (one per thread, disposed when
// the thread ends). Construct one per call sequence on the stack.
class Status : public Firebird::ThrowStatusWrapper {
 public:
  Status();
};

// The text and codes of a client library failure.
EDatabaseError ToError(const Firebird::FbException& e);
EDatabaseError ToError(Firebird::IStatus* status);
// An error of the layer itself (no client library call behind it).
[[noreturn]] void Fail(const std::string& message, std::vector<intptr_t> codes = {});

// Some codes the layer raises itself.
constexpr intptr_t kArithExcept = 335544321;       // isc_arith_except
constexpr intptr_t kStringTruncation = 335544914;  // isc_string_truncation
constexpr intptr_t kBadTransHandle = 335544332;    // isc_bad_trans_handle
constexpr intptr_t kConvertError = 335544334;      // isc_convert_error
constexpr intptr_t kBadDbHandle = 335544324;       // isc_bad_db_handle
constexpr intptr_t kDsqlError = 335544569;         // isc_dsql_error
constexpr intptr_t kLostDbConnection = 335544741;  // isc_lost_db_connection

// Release helpers for the reference-counting rule of the OO API: a successful
// commit, rollback, free, close or detach has already released the object;
// after a failure it is still alive and must be released. Never throw.
void QuietClose(Firebird::IResultSet*& rs);
void QuietClose(Firebird::IBlob*& blob);
void QuietFree(Firebird::IStatement*& stmt);
void QuietRelease(Firebird::IReferenceCounted* obj);

// TDateTime <-> Firebird date and time, through whole milliseconds.
void ToTimestamp(double value, ISC_DATE& date, ISC_TIME& time);
double FromTimestamp(ISC_DATE date, ISC_TIME time);

// Case-insensitive ASCII comparison of identifiers.
bool SameName(const std::string& a, const std::string& b);

// What a transaction needs of the queries that run under it.
struct QueryHook {
  virtual ~QueryHook() = default;
  // Close the cursor without raising (the transaction is about to end).
  virtual void CloseCursorQuietly() = 0;
  // Close the cursor and free the statement (the connection is closing).
  virtual void DropStatement() = 0;
  // The transaction object is being destroyed.
  virtual void TransactionGone() = 0;
  virtual bool CursorOpen() const = 0;
};

struct ConnState {
  std::mutex mutex;
  std::vector<FbTransaction*> transactions;  // guarded by mutex
  // Bumped at every attach; a statement prepared under another generation is
  // prepared again before use, a transaction started under another one is
  // dropped. Written under `rw` held exclusively.
  std::atomic<uint64_t> generation{0};
  bool latin1 = true;  // texts travel as ISO 8859-1 (else as UTF-8)

  // Every call into the client library holds it shared; a re-attach holds it
  // exclusively. Never taken twice by one thread.
  std::shared_mutex rw;

  // The loss and its retry schedule, guarded by lossMutex.
  std::mutex lossMutex;
  std::atomic<bool> lost{false};
  std::atomic<uint64_t> losses{0};
  bool closing = false;
  std::chrono::steady_clock::time_point nextTry{};
  std::string lossMessage;
  std::vector<intptr_t> lossCodes;
  FbConnection::Listener listener;
  FbConnection::CommitFaultHook commitFault;  // set before the connection is shared
};

// Holds the connection for one operation that needs a working attachment:
// first re-attaches when the connection is lost and a try is due, then
// raises the loss (without any client call) when it is still lost, then
// holds the lock shared. Failed() records an error met under it.
class Use {
 public:
  explicit Use(FbConnection& c);
  uint64_t Generation() const { return gen_; }
  // Marks the connection lost when `e` says so and no re-attach happened
  // since this operation began.
  void Failed(const EDatabaseError& e);

 private:
  FbConnection& conn_;
  std::shared_lock<std::shared_mutex> lock_;
  uint64_t gen_ = 0;
};

// The lock alone, for the calls that end or free things (rollback, close,
// free): they work, or fail quietly, on a lost connection too.
inline std::shared_lock<std::shared_mutex> Quiet(FbConnection& c);

// Re-attaches a lost connection when a try is due; never throws.
void TryReattach(FbConnection& c, ConnState& s);

// The error of an operation refused because the connection is lost.
[[noreturn]] void FailLost(FbConnection& c);

struct TxState {
  std::mutex mutex;
  std::vector<QueryHook*> queries;  // guarded by mutex
  bool implicitStart = false;       // started by a query; commits when the last cursor closes
  bool connectionGone = false;
  uint64_t generation = 0;  // of the attachment the handle belongs to
};

// Private access to the classes of the layer.
struct Access {
  static ConnState& State(FbConnection& c) { return *c.state_; }
  static Firebird::IAttachment*& Attachment(FbConnection& c) { return c.attachment_; }
  static TxState& State(FbTransaction& t) { return *t.state_; }
  static Firebird::ITransaction*& Handle(FbTransaction& t) { return t.handle_; }
  // The handle belongs to an attachment that is gone.
  static bool Stale(const FbTransaction& t);
  // Releases the handle without ending it (its attachment is gone).
  static void DropStale(FbTransaction& t);

  static void AddQuery(FbTransaction& t, QueryHook* q);
  static void RemoveQuery(FbTransaction& t, QueryHook* q);
  // Called by the connection before it detaches.
  static void ConnectionClosing(FbTransaction& t);
  // Commits a transaction a query started implicitly, once no cursor is open.
  static void EndImplicit(FbTransaction& t);

  static void Bind(FbQuery::Param& p, FbQuery::Impl* q, size_t index) {
    p.q_ = q;
    p.index_ = index;
  }
  static void Bind(FbQuery::Field& f, FbQuery::Impl* q, size_t index) {
    f.q_ = q;
    f.index_ = index;
  }
};

inline std::shared_lock<std::shared_mutex> Quiet(FbConnection& c) {
  return std::shared_lock<std::shared_mutex>(Access::State(c).rw);
}

}  // namespace fbi
