// Test support: a fresh Firebird database per test, and ways to break the
// connection to it for real.
//
//   TestDatabase db;                          // creates, fills the schema, grants TELVUSR
//   FbConnection conn(db.Params());           // the service's user (TELVUSR, ISO8859_1)
//   TmodDatabase mod(db.Params());            // modules take the same params
//   db.Exec("insert into EQUIPAMENTOS ...");  // as SYSDBA, committed at once
//   EXPECT_EQ(db.QueryInt("select count(*) from ALARMES"), 1);
//   EXPECT_EQ(db.QueryString("select TEXTO from ALARMES"), "Comunicação");
//
// - Each TestDatabase creates its own file (under /var/lib/firebird/3.0/data,
//   owned by the server's user) from db/schema.sql through the client library
//   as SYSDBA, runs db/grants.sql, and makes sure the user TELVUSR exists.
//   Forced writes are off by default (tests run faster); Options can turn
//   them on.
// - Exec/QueryInt/QueryString/QueryValue run as SYSDBA over a connection with
//   lc_ctype UTF8: the server transliterates the stored ISO 8859-1 text, so
//   what you read is what was really stored, independent of the service's
//   conversion. Texts in Exec are UTF-8.
// - The destructor drops the database. Close (destroy) every connection of
//   your own first; any that is left is cut off before the drop. Declare the
//   TestDatabase before the modules/connections that use it.
// - Files left behind by a killed test process are removed by the next
//   TestDatabase of any later process.
// - Needs root (reads /etc/firebird/3.0/SYSDBA.password) and the local server.
//
// Making the database unreachable for real:
// - UnreachableParams(): params that point at a closed port of 127.0.0.1;
//   attaching fails at once with isc_network_error/isc_net_connect_err.
// - TestDatabase::KillConnections(): ends every other attachment to this
//   database on the server (and waits until the server has); their next call
//   fails with isc_att_shutdown ("connection shutdown"), as when the server is
//   stopped in order. Caution (seen with 3.0.11, 1 run in 10 to 40): the
//   server answers the victim's first request after the kill with that error
//   but may leave a second one unanswered for ever. Only code that sends
//   nothing more to the server after a lost connection is safe against it.
// - TcpProxy: a relay between the client and the server. Connect through it
//   (proxy.Params(db.Params())), then Cut(): every relayed connection is
//   closed (the next call fails with isc_net_read_err/isc_net_write_err, as
//   when the server is killed) and new connections are refused until
//   Restore().
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "database/FbConnection.h"

class TestDatabase {
 public:
  struct Options {
    bool forcedWrites = false;
    bool schema = true;  // run db/schema.sql and db/grants.sql
  };

  TestDatabase();
  explicit TestDatabase(const Options& options);
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;
  ~TestDatabase();

  // The file on the server, and "127.0.0.1:<file>".
  const std::string& Path() const { return path_; }
  std::string Database() const { return "127.0.0.1:" + path_; }

  // The service's user: TELVUSR / zqvmxt / ISO8859_1 (as MainConnectionParams).
  FbConnectParams Params() const;
  // The online module's spelling: telvusr / zqvmxt / ISO8859_1.
  FbConnectParams OnlineParams() const;
  // SYSDBA with the given connection character set.
  FbConnectParams SysdbaParams(const std::string& charset = "UTF8") const;

  // The helper's own SYSDBA connection (lc_ctype UTF8), opened on first use.
  FbConnection& Sysdba();
  // Runs one statement in a write transaction of its own and commits it.
  void Exec(const std::string& sql);
  // First column of the first row. QueryValue: nullopt for no row or NULL;
  // QueryInt and QueryString throw std::runtime_error for those.
  std::optional<std::string> QueryValue(const std::string& sql);
  int64_t QueryInt(const std::string& sql);
  std::string QueryString(const std::string& sql);
  // Exact values (a TIMESTAMP to the millisecond, a FLOAT or NUMERIC as read).
  double QueryDateTime(const std::string& sql);
  double QueryDouble(const std::string& sql);

  // Ends every attachment to this database but the helper's own; returns how
  // many were ended.
  int KillConnections();

  static std::string SysdbaPassword();

 private:
  void Create(const Options& options);
  void Drop();

  std::string path_;
  std::unique_ptr<FbConnection> sysdba_;
};

// Params (TELVUSR) that point at a closed port: attaching fails at once.
FbConnectParams UnreachableParams();

// Runs `script` (statements separated by ";", comments allowed, no SET TERM)
// on `connection`, each statement committed on its own.
void RunSqlScript(FbConnection& connection, const std::string& script);
std::string ReadTextFile(const std::string& path);

// A TCP relay on 127.0.0.1 to the Firebird server (127.0.0.1:3050).
class TcpProxy {
 public:
  explicit TcpProxy(int targetPort = 3050);
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;
  ~TcpProxy();

  int Port() const { return port_; }
  // `params` with its database redirected through this relay.
  FbConnectParams Params(const FbConnectParams& params) const;

  // Closes every relayed connection and refuses new ones.
  void Cut();
  // Accepts and relays new connections again (on the same port).
  void Restore();
  // Relayed connections accepted so far.
  int Accepted() const { return accepted_.load(); }

 private:
  void Run();
  bool Listen();
  void Request(bool listening, bool closePairs);

  int targetPort_;
  int port_ = 0;
  int listenFd_ = -1;  // owned by the relay thread once it runs
  int wakeFds_[2] = {-1, -1};
  std::mutex mutex_;
  std::condition_variable cv_;
  bool wantListening_ = true;  // guarded by mutex_
  bool closePairs_ = false;    // guarded by mutex_
  bool stop_ = false;          // guarded by mutex_
  uint64_t requested_ = 0;     // guarded by mutex_
  uint64_t done_ = 0;          // guarded by mutex_
  std::atomic<int> accepted_{0};
  std::thread thread_;
};
