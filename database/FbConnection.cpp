#include "database/FbConnection.h"

#include <memory>

#include "database/FbInternal.h"

namespace {

// Attaches with the parameters; throws EDatabaseError.
Firebird::IAttachment* Attach(const FbConnectParams& params) {
  fbi::Status st;
  Firebird::IXpbBuilder* dpb = nullptr;
  try {
    dpb = fbi::Util()->getXpbBuilder(&st, Firebird::IXpbBuilder::DPB, nullptr, 0);
    dpb->insertString(&st, isc_dpb_user_name, params.UserName.c_str());
    dpb->insertString(&st, isc_dpb_password, params.Password.c_str());
    if (!params.Charset.empty()) dpb->insertString(&st, isc_dpb_lc_ctype, params.Charset.c_str());
    dpb->insertInt(&st, isc_dpb_sql_dialect, 3);
    Firebird::IAttachment* att = fbi::Provider()->attachDatabase(
        &st, params.Database.c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st));
    dpb->dispose();
    return att;
  } catch (const Firebird::FbException& e) {
    EDatabaseError err = fbi::ToError(e);
    if (dpb) dpb->dispose();
    throw err;
  }
}

void DetachQuietly(Firebird::IAttachment*& att) {
  if (!att) return;
  fbi::Status st;
  try {
    att->detach(&st);  // success releases it
  } catch (...) {
    att->release();
  }
  att = nullptr;
}

}  // namespace

namespace fbi {

// Re-attaches a lost connection when a try is due. Never throws.
void TryReattach(FbConnection& c, ConnState& s) {
  if (!s.lost.load()) return;
  {
    std::lock_guard<std::mutex> g(s.lossMutex);
    if (!s.lost.load() || s.closing || std::chrono::steady_clock::now() < s.nextTry) return;
    // Claim this try: other threads go on failing at once meanwhile.
    s.nextTry = std::chrono::steady_clock::now() + FbConnection::kRetryInterval;
  }
  FbConnection::Listener notify;
  {
    std::unique_lock<std::shared_mutex> ex(s.rw);  // waits for the operations in progress
    Firebird::IAttachment*& att = Access::Attachment(c);
    // The old attachment's objects die with it; their owners release them.
    DetachQuietly(att);
    try {
      att = Attach(c.Params());
    } catch (const EDatabaseError& e) {
      std::lock_guard<std::mutex> g(s.lossMutex);
      s.lossMessage = e.what();
      if (e.ConnectionLost()) s.lossCodes = e.Codes();
      s.nextTry = std::chrono::steady_clock::now() + FbConnection::kRetryInterval;
      return;
    }
    s.generation.fetch_add(1);
    std::lock_guard<std::mutex> g(s.lossMutex);
    s.lost.store(false);
    notify = s.listener;
  }
  if (notify) notify(true, std::string());
}

Use::Use(FbConnection& c) : conn_(c) {
  ConnState& s = Access::State(c);
  TryReattach(c, s);
  lock_ = std::shared_lock<std::shared_mutex>(s.rw);
  gen_ = s.generation.load();
  if (s.lost.load() || !c.Attachment()) {
    lock_.unlock();
    FailLost(c);
  }
}

void Use::Failed(const EDatabaseError& e) {
  if (!e.ConnectionLost()) return;
  ConnState& s = Access::State(conn_);
  FbConnection::Listener notify;
  {
    std::lock_guard<std::mutex> g(s.lossMutex);
    if (s.lost.load() || s.generation.load() != gen_) return;
    s.lost.store(true);
    s.losses.fetch_add(1);
    s.lossMessage = e.what();
    s.lossCodes = e.Codes();
    s.nextTry = std::chrono::steady_clock::now() + FbConnection::kRetryInterval;
    notify = s.listener;
  }
  if (notify) notify(false, e.what());
}

void FailLost(FbConnection& c) {
  ConnState& s = Access::State(c);
  std::string message;
  std::vector<intptr_t> codes;
  {
    std::lock_guard<std::mutex> g(s.lossMutex);
    message = s.lossMessage;
    codes = s.lossCodes;
  }
  if (message.empty()) message = "connection lost to database";
  codes.push_back(kLostDbConnection);
  throw EDatabaseError(message, std::move(codes));
}

}  // namespace fbi

FbConnection::FbConnection(const FbConnectParams& params)
    : params_(params), state_(new fbi::ConnState) {
  state_->latin1 =
      !(fbi::SameName(params.Charset, "UTF8") || fbi::SameName(params.Charset, "UNICODE_FSS"));
  try {
    attachment_ = Attach(params);
  } catch (...) {
    delete state_;
    state_ = nullptr;
    throw;
  }
  state_->generation = 1;
}

void FbConnection::SetCommitFault(CommitFaultHook hook) {
  state_->commitFault = std::move(hook);
}

void FbConnection::SetListener(Listener listener) {
  std::lock_guard<std::mutex> g(state_->lossMutex);
  state_->listener = std::move(listener);
}

bool FbConnection::Lost() const { return state_->lost.load(); }

uint64_t FbConnection::Losses() const { return state_->losses.load(); }

bool FbConnection::EnsureAttached() {
  fbi::TryReattach(*this, *state_);
  return !state_->lost.load();
}

FbConnection::~FbConnection() {
  {
    std::lock_guard<std::mutex> g(state_->lossMutex);
    state_->closing = true;  // no re-attach to end what is closing
  }
  try {
    std::vector<FbTransaction*> transactions;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      transactions.swap(state_->transactions);
    }
    // Every transaction still registered ends the way its options say, after
    // its queries have closed their cursors and freed their statements.
    for (FbTransaction* tr : transactions) fbi::Access::ConnectionClosing(*tr);
  } catch (...) {
  }
  {
    std::unique_lock<std::shared_mutex> ex(state_->rw);
    DetachQuietly(attachment_);
  }
  delete state_;
}
