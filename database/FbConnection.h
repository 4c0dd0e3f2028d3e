// One attachment to a Firebird database through the client library's own
// C++ interface (firebird/Interface.h).
//
// Thread safety: the client library serialises calls on one attachment, so
// several threads may use one FbConnection at once, each through its own
// FbTransaction and FbQuery objects. One FbTransaction or FbQuery must not be
// used by two threads at once.
#pragma once

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
  Firebird::IAttachment* Attachment() const { return attachment_; }

 private:
  friend struct fbi::Access;

  FbConnectParams params_;
  Firebird::IAttachment* attachment_ = nullptr;
  // The transactions to end at detach, and the attachment's generation (a
  // query prepared under an older generation prepares itself again).
  fbi::ConnState* state_ = nullptr;
};
