// A Firebird transaction with the items read_committed, rec_version and
// nowait, plus read (read-only) or write.
#pragma once

namespace Firebird {
class ITransaction;
}
namespace fbi {
struct Access;
struct TxState;
}
class FbConnection;

struct FbTransactionOptions {
  bool ReadOnly = false;
  // Whether a query run outside an active transaction may start it (and then
  // commit it when the query closes). Where not allowed, such a query fails.
  bool AllowImplicitStart = false;
  // What happens to a transaction still active when it or its connection is
  // destroyed: commit (true) or roll back (false).
  bool CommitOnClose = true;
};

class FbTransaction {
 public:
  FbTransaction(FbConnection& connection, FbTransactionOptions options);
  FbTransaction(const FbTransaction&) = delete;
  FbTransaction& operator=(const FbTransaction&) = delete;
  ~FbTransaction();  // ends an active transaction as the options say; never throws

  // Each throws EDatabaseError on failure. StartTransaction on an active
  // transaction, Commit or Rollback on an inactive one, raise too.
  void StartTransaction();
  void Commit();
  void Rollback();
  bool InTransaction() const;

  FbConnection& Connection() const { return connection_; }
  const FbTransactionOptions& Options() const { return options_; }
  Firebird::ITransaction* Handle() const { return handle_; }

 private:
  friend struct fbi::Access;

  FbConnection& connection_;
  FbTransactionOptions options_;
  Firebird::ITransaction* handle_ = nullptr;
  // The queries that run under this transaction (their cursors are closed
  // before it ends), whether it was started implicitly, and whether its
  // connection is gone.
  fbi::TxState* state_ = nullptr;
};
