#include "database/FbConnection.h"

#include <memory>

#include "database/FbInternal.h"

FbConnection::FbConnection(const FbConnectParams& params)
    : params_(params), state_(new fbi::ConnState) {
  state_->latin1 =
      !(fbi::SameName(params.Charset, "UTF8") || fbi::SameName(params.Charset, "UNICODE_FSS"));
  fbi::Status st;
  Firebird::IXpbBuilder* dpb = nullptr;
  try {
    dpb = fbi::Util()->getXpbBuilder(&st, Firebird::IXpbBuilder::DPB, nullptr, 0);
    dpb->insertString(&st, isc_dpb_user_name, params.UserName.c_str());
    dpb->insertString(&st, isc_dpb_password, params.Password.c_str());
    if (!params.Charset.empty()) dpb->insertString(&st, isc_dpb_lc_ctype, params.Charset.c_str());
    dpb->insertInt(&st, isc_dpb_sql_dialect, 3);
    attachment_ = fbi::Provider()->attachDatabase(&st, params.Database.c_str(),
                                                  dpb->getBufferLength(&st), dpb->getBuffer(&st));
    dpb->dispose();
  } catch (const Firebird::FbException& e) {
    EDatabaseError err = fbi::ToError(e);
    if (dpb) dpb->dispose();
    delete state_;
    state_ = nullptr;
    throw err;
  }
  state_->generation = 1;
}

FbConnection::~FbConnection() {
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
  if (attachment_) {
    fbi::Status st;
    try {
      attachment_->detach(&st);  // success releases it
    } catch (...) {
      attachment_->release();
    }
    attachment_ = nullptr;
  }
  delete state_;
}
