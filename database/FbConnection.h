// One attachment to a Firebird database through the client library's own
// C++ interface (firebird/Interface.h).
//
// Thread safety: the client library serialises calls on one attachment, so
// several threads may use one FbConnection at once, each through its own
// FbTransaction and FbQuery objects. One FbTransaction or FbQuery must not be
// used by two threads at once.
//
// A lost connection (the server stopped, killed or restarted; see
// EDatabaseError::ConnectionLost) attaches again by itself: the operation
// that meets the loss fails with the client library's error, and so does
// every later one, at once and without touching the network, until a new
// attachment works. A new attachment is tried by the next operation that
// comes at least kRetryInterval after the loss or after the last failed try,
// never more often. The re-attach waits for the operations in progress
// (they hold the connection's lock shared, the re-attach holds it
// exclusively). Transactions of the old attachment are dropped, neither
// committed nor rolled back (the server has ended them): they read as not
// active, a commit of one fails as a lost connection, a rollback is a no-op.
// Statements are prepared again at their next use.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

struct FbConnectParams {
  std::string Database;  // e.g. "127.0.0.1:RATEIO_DB"
  std::string UserName;
  std::string Password;
  std::string Charset = "ISO8859_1";  // connection character set; SQL dialect 3
};

namespace Firebird {
class IAttachment;
}
namespace fbi {
struct Access;
struct ConnState;
}
class FbTransaction;

class FbConnection {
 public:
  // Attaches; throws EDatabaseError when the database cannot be reached.
  explicit FbConnection(const FbConnectParams& params);
  FbConnection(const FbConnection&) = delete;
  FbConnection& operator=(const FbConnection&) = delete;
  // Ends every still-active transaction the way its options say (commit or
  // roll back), then detaches. Never throws.
  ~FbConnection();

  const FbConnectParams& Params() const { return params_; }
  // The current attachment; only meaningful under the layer's lock.
  Firebird::IAttachment* Attachment() const { return attachment_; }

  static constexpr std::chrono::milliseconds kRetryInterval{5000};

  // Called once when the connection is found lost (connected = false, with
  // the client library's message) and once when it is attached again
  // (connected = true, empty message), on the thread whose operation saw it.
  // It must not use this connection. Set it before the connection is shared.
  using Listener = std::function<void(bool connected, const std::string& message)>;
  void SetListener(Listener listener);
  // True from the loss of the connection until it is attached again.
  bool Lost() const;
  // How many times the connection was found lost since it was made: a
  // caller compares two readings to learn whether a loss came in between.
  uint64_t Losses() const;
  // When lost and a try is due, tries to attach again. True when attached.
  bool EnsureAttached();

  // Fault injection, for tests of what a caller does with a commit whose
  // outcome it cannot know (the connection drops while the commit is under
  // way). Consulted at every commit of a transaction of this connection;
  // LoseBefore drops the connection without committing, LoseAfter commits
  // and then drops it. Either way the commit fails as a lost connection, the
  // loss is reported as a real one, and the next attach is due after
  // kRetryInterval. Set it before the connection is shared.
  enum class CommitFault { None, LoseBefore, LoseAfter };
  using CommitFaultHook = std::function<CommitFault(const FbTransaction& transaction)>;
  void SetCommitFault(CommitFaultHook hook);

 private:
  friend struct fbi::Access;

  FbConnectParams params_;
  Firebird::IAttachment* attachment_ = nullptr;
  // The transactions to end at detach, and the attachment's generation (a
  // query prepared under an older generation prepares itself again).
  fbi::ConnState* state_ = nullptr;
};
