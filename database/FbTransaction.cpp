#include "database/FbTransaction.h"

#include <algorithm>
#include <string>

#include "database/FbInternal.h"

namespace {

// The transaction parameter block: read_committed, rec_version, nowait and
// read or write. Built once per kind.
const std::string& Tpb(bool readOnly) {
  static const auto build = [](bool ro) {
    fbi::Status st;
    Firebird::IXpbBuilder* tpb =
        fbi::Util()->getXpbBuilder(&st, Firebird::IXpbBuilder::TPB, nullptr, 0);
    tpb->insertTag(&st, isc_tpb_read_committed);
    tpb->insertTag(&st, isc_tpb_rec_version);
    tpb->insertTag(&st, isc_tpb_nowait);
    tpb->insertTag(&st, ro ? isc_tpb_read : isc_tpb_write);
    std::string bytes(reinterpret_cast<const char*>(tpb->getBuffer(&st)),
                      tpb->getBufferLength(&st));
    tpb->dispose();
    return bytes;
  };
  static const std::string read = build(true);
  static const std::string write = build(false);
  return readOnly ? read : write;
}

// What the connection's fault hook asks of this commit.
FbConnection::CommitFault InjectedFault(FbConnection& c, const FbTransaction& t) {
  const auto& hook = fbi::Access::State(c).commitFault;
  return hook ? hook(t) : FbConnection::CommitFault::None;
}

std::vector<fbi::QueryHook*> QueriesOf(fbi::TxState& s) {
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.queries;
}

// Ends an active transaction as its options say; never throws.
void EndQuietly(FbTransaction& t) {
  if (!t.InTransaction()) return;
  try {
    if (t.Options().CommitOnClose)
      t.Commit();
    else
      t.Rollback();
  } catch (...) {
  }
  if (t.InTransaction()) {
    try {
      t.Rollback();  // a failing rollback releases the handle
    } catch (...) {
    }
  }
}

}  // namespace

namespace fbi {

void Access::AddQuery(FbTransaction& t, QueryHook* q) {
  std::lock_guard<std::mutex> lock(t.state_->mutex);
  t.state_->queries.push_back(q);
}

void Access::RemoveQuery(FbTransaction& t, QueryHook* q) {
  std::lock_guard<std::mutex> lock(t.state_->mutex);
  auto& v = t.state_->queries;
  v.erase(std::remove(v.begin(), v.end(), q), v.end());
}

void Access::ConnectionClosing(FbTransaction& t) {
  for (QueryHook* q : QueriesOf(*t.state_)) q->DropStatement();
  EndQuietly(t);
  DropStale(t);
  t.state_->connectionGone = true;
}

bool Access::Stale(const FbTransaction& t) {
  return t.handle_ && t.state_->generation != Access::State(t.connection_).generation.load();
}

void Access::DropStale(FbTransaction& t) {
  if (!t.handle_) return;
  t.handle_->release();
  t.handle_ = nullptr;
  t.state_->implicitStart = false;
}

void Access::EndImplicit(FbTransaction& t) {
  if (!t.handle_ || !t.state_->implicitStart) return;
  for (QueryHook* q : QueriesOf(*t.state_))
    if (q->CursorOpen()) return;
  t.Commit();
}

}  // namespace fbi

FbTransaction::FbTransaction(FbConnection& connection, FbTransactionOptions options)
    : connection_(connection), options_(options), state_(new fbi::TxState) {
  fbi::ConnState& cs = fbi::Access::State(connection_);
  std::lock_guard<std::mutex> lock(cs.mutex);
  cs.transactions.push_back(this);
}

FbTransaction::~FbTransaction() {
  if (!state_->connectionGone) {
    EndQuietly(*this);
    fbi::Access::DropStale(*this);
    fbi::ConnState& cs = fbi::Access::State(connection_);
    std::lock_guard<std::mutex> lock(cs.mutex);
    auto& v = cs.transactions;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
  {
    std::shared_lock<std::shared_mutex> lock;
    if (!state_->connectionGone) lock = fbi::Quiet(connection_);
    for (fbi::QueryHook* q : QueriesOf(*state_)) q->TransactionGone();
  }
  delete state_;
}

void FbTransaction::StartTransaction() {
  if (state_->connectionGone) fbi::Fail("connection is closed", {fbi::kBadDbHandle});
  // A handle of an attachment that is gone is dropped, not ended.
  if (fbi::Access::Stale(*this)) fbi::Access::DropStale(*this);
  if (handle_) fbi::Fail("transaction is already active", {fbi::kBadTransHandle});
  const std::string& tpb = Tpb(options_.ReadOnly);
  fbi::Use use(connection_);
  fbi::Status st;
  try {
    handle_ = connection_.Attachment()->startTransaction(
        &st, static_cast<unsigned>(tpb.size()), reinterpret_cast<const unsigned char*>(tpb.data()));
  } catch (const Firebird::FbException& e) {
    handle_ = nullptr;
    EDatabaseError err = fbi::ToError(e);
    use.Failed(err);
    throw err;
  }
  state_->generation = use.Generation();
  state_->implicitStart = false;
}

void FbTransaction::Commit() {
  if (!handle_) fbi::Fail("transaction is not active", {fbi::kBadTransHandle});
  if (fbi::Access::Stale(*this)) {
    // The attachment it belonged to is gone, and its work with it.
    fbi::Access::DropStale(*this);
    fbi::FailLost(connection_);
  }
  try {
    fbi::Use use(connection_);
    if (state_->generation != use.Generation()) fbi::FailLost(connection_);
    for (fbi::QueryHook* q : QueriesOf(*state_)) q->CloseCursorQuietly();
    const FbConnection::CommitFault fault = InjectedFault(connection_, *this);
    fbi::Status st;
    try {
      if (fault != FbConnection::CommitFault::LoseBefore) {
        handle_->commit(&st);  // success releases it
        if (fault == FbConnection::CommitFault::LoseAfter) handle_ = nullptr;
      }
    } catch (const Firebird::FbException& e) {
      EDatabaseError err = fbi::ToError(e);
      use.Failed(err);
      throw err;
    }
    if (fault != FbConnection::CommitFault::None) {
      // As when the server dies with the commit under way: the caller
      // cannot tell whether it was done.
      EDatabaseError err("Error reading data from the connection. (falha injetada)",
                         {335544726 /* isc_net_read_err */});
      use.Failed(err);
      throw err;
    }
  } catch (const EDatabaseError& err) {
    // A transaction of a lost connection can never end otherwise; any other
    // failure leaves it active for the caller's rollback.
    if (err.ConnectionLost()) fbi::Access::DropStale(*this);
    throw;
  }
  handle_ = nullptr;
  state_->implicitStart = false;
}

void FbTransaction::Rollback() {
  if (!handle_) fbi::Fail("transaction is not active", {fbi::kBadTransHandle});
  if (fbi::Access::Stale(*this)) {
    fbi::Access::DropStale(*this);  // ended with its attachment
    return;
  }
  auto lock = fbi::Quiet(connection_);
  for (fbi::QueryHook* q : QueriesOf(*state_)) q->CloseCursorQuietly();
  fbi::Status st;
  try {
    handle_->rollback(&st);  // success releases it
  } catch (const Firebird::FbException& e) {
    EDatabaseError err = fbi::ToError(e);
    handle_->release();
    handle_ = nullptr;
    state_->implicitStart = false;
    throw err;
  }
  handle_ = nullptr;
  state_->implicitStart = false;
}

bool FbTransaction::InTransaction() const {
  return handle_ != nullptr && !fbi::Access::Stale(*this);
}
