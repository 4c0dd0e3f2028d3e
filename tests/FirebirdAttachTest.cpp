// The Firebird client library on this machine: attach to the local server
// over 127.0.0.1, run a query, and the failures the service must survive.
#include <gtest/gtest.h>

#include <firebird/Interface.h>
#include <ibase.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using namespace Firebird;

// The SYSDBA password of the local server (ISC_PASSWORD=... in the file).
std::string SysdbaPassword() {
  std::ifstream in("/etc/firebird/3.0/SYSDBA.password");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("ISC_PASSWORD=", 0) != 0) continue;
    std::string v = line.substr(13);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    return v;
  }
  return "";
}

// The error codes of a failed call, primary first.
std::vector<intptr_t> Codes(const FbException& e) {
  std::vector<intptr_t> codes;
  const intptr_t* v = e.getStatus()->getErrors();
  while (v[0] == isc_arg_gds && v[1] != 0) {
    codes.push_back(v[1]);
    v += 2;
    // Skip the arguments up to the next code.
    while (v[0] != isc_arg_end && v[0] != isc_arg_gds) v += (v[0] == isc_arg_cstring) ? 3 : 2;
  }
  return codes;
}

bool Has(const std::vector<intptr_t>& codes, intptr_t code) {
  for (intptr_t c : codes)
    if (c == code) return true;
  return false;
}

class FirebirdClient : public testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to read the SYSDBA password";
    password_ = SysdbaPassword();
    ASSERT_FALSE(password_.empty()) << "no SYSDBA password in /etc/firebird/3.0/SYSDBA.password";
    master_ = fb_get_master_interface();
    ASSERT_NE(master_, nullptr);
    provider_ = master_->getDispatcher();
    status_ = master_->getStatus();
  }
  void TearDown() override {
    if (status_) status_->dispose();
    if (provider_) provider_->release();
  }

  // DPB with user, password and ISO 8859-1 as the connection's character set.
  std::vector<unsigned char> Dpb(const std::string& user, const std::string& password) {
    ThrowStatusWrapper st(status_);
    IXpbBuilder* b = master_->getUtilInterface()->getXpbBuilder(&st, IXpbBuilder::DPB, nullptr, 0);
    b->insertString(&st, isc_dpb_user_name, user.c_str());
    b->insertString(&st, isc_dpb_password, password.c_str());
    b->insertString(&st, isc_dpb_lc_ctype, "ISO8859_1");
    b->insertInt(&st, isc_dpb_sql_dialect, 3);
    const unsigned char* buf = b->getBuffer(&st);
    std::vector<unsigned char> out(buf, buf + b->getBufferLength(&st));
    b->dispose();
    return out;
  }

  IMaster* master_ = nullptr;
  IProvider* provider_ = nullptr;
  IStatus* status_ = nullptr;
  std::string password_;
};

TEST_F(FirebirdClient, CreatesAttachesQueriesAndDrops) {
  ThrowStatusWrapper st(status_);
  const std::string file = "/var/lib/firebird/3.0/data/telvane-attach-" +
                           std::to_string(::getpid()) + ".fdb";
  const std::string db = "127.0.0.1:" + file;
  const auto dpb = Dpb("SYSDBA", password_);
  IAttachment* att = nullptr;
  try {
    att = provider_->createDatabase(&st, db.c_str(), static_cast<unsigned>(dpb.size()), dpb.data());
    att->detach(&st);
    att = nullptr;

    // Attach again, as the service does, and read one row.
    att = provider_->attachDatabase(&st, db.c_str(), static_cast<unsigned>(dpb.size()), dpb.data());
    ITransaction* tra = att->startTransaction(&st, 0, nullptr);
    IStatement* stmt = att->prepare(&st, tra, 0,
                                    "select cast(42 as integer), "
                                    "cast('a\xE7\xE3o' as varchar(10) character set iso8859_1) "
                                    "from rdb$database",
                                    SQL_DIALECT_V6, IStatement::PREPARE_PREFETCH_METADATA);
    IMessageMetadata* meta = stmt->getOutputMetadata(&st);
    std::vector<unsigned char> row(meta->getMessageLength(&st));
    IResultSet* rs = stmt->openCursor(&st, tra, nullptr, nullptr, meta, 0);
    ASSERT_EQ(rs->fetchNext(&st, row.data()), static_cast<int>(IStatus::RESULT_OK));
    int32_t value;
    std::memcpy(&value, row.data() + meta->getOffset(&st, 0), sizeof value);
    EXPECT_EQ(value, 42);
    const unsigned char* vc = row.data() + meta->getOffset(&st, 1);
    uint16_t len;
    std::memcpy(&len, vc, sizeof len);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(vc + 2), len), "a\xE7\xE3o");
    EXPECT_EQ(rs->fetchNext(&st, row.data()), static_cast<int>(IStatus::RESULT_NO_DATA));
    rs->close(&st);
    meta->release();
    stmt->free(&st);
    tra->commit(&st);
    att->dropDatabase(&st);
    att = nullptr;
  } catch (const FbException& e) {
    char text[1024];
    master_->getUtilInterface()->formatStatus(text, sizeof text, e.getStatus());
    if (att) {
      CheckStatusWrapper cs(master_->getStatus());
      att->dropDatabase(&cs);
    }
    FAIL() << text;
  }
  EXPECT_NE(::access(file.c_str(), F_OK), 0) << "database file left behind";
}

TEST_F(FirebirdClient, FailuresCarryTheirCodes) {
  struct Case {
    const char* what;
    std::string db, user, password;
    intptr_t code;
  };
  const std::vector<Case> cases = {
      {"wrong password", "127.0.0.1:employee", "SYSDBA", "wrong-password", isc_login},
      {"server not listening", "127.0.0.1/3051:employee", "SYSDBA", password_, isc_network_error},
      {"unknown database", "127.0.0.1:/var/lib/firebird/3.0/data/no-such-telvane.fdb", "SYSDBA",
       password_, isc_io_error},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ThrowStatusWrapper st(status_);
    const auto dpb = Dpb(c.user, c.password);
    try {
      IAttachment* att =
          provider_->attachDatabase(&st, c.db.c_str(), static_cast<unsigned>(dpb.size()), dpb.data());
      att->detach(&st);
      ADD_FAILURE() << "attached";
    } catch (const FbException& e) {
      const auto codes = Codes(e);
      EXPECT_TRUE(Has(codes, c.code)) << "primary code " << (codes.empty() ? 0 : codes[0]);
    }
  }
}

}  // namespace
