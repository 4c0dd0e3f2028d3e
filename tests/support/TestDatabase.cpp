#include "TestDatabase.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <firebird/Interface.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "database/EDatabaseError.h"
#include "database/FbQuery.h"
#include "database/FbTransaction.h"

#ifndef TELVANE_SOURCE_DIR
#error "TELVANE_SOURCE_DIR must be defined"
#endif

namespace {

constexpr const char* kDataDir = "/var/lib/firebird/3.0/data";
constexpr const char* kPrefix = "telvane_test_";

std::string FbMessage(Firebird::IStatus* status) {
  char buf[2048];
  Firebird::IMaster* master = Firebird::fb_get_master_interface();
  const unsigned n = master->getUtilInterface()->formatStatus(buf, sizeof buf - 1, status);
  return std::string(buf, n < sizeof buf ? n : sizeof buf - 1);
}

// Removes the files of test processes that no longer exist.
void SweepStale() {
  DIR* d = opendir(kDataDir);
  if (!d) return;
  const std::string prefix = kPrefix;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (pid <= 0) continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    unlink((std::string(kDataDir) + "/" + name).c_str());
  }
  closedir(d);
}

// Statements of a script: comments removed, split at ";" outside quotes.
std::vector<std::string> SplitScript(const std::string& script) {
  std::vector<std::string> out;
  std::string cur;
  const size_t n = script.size();
  for (size_t i = 0; i < n;) {
    const char c = script[i];
    if (c == '\'' || c == '"') {
      const size_t end = script.find(c, i + 1);
      const size_t stop = end == std::string::npos ? n : end + 1;
      cur.append(script, i, stop - i);
      i = stop;
    } else if (c == '-' && i + 1 < n && script[i + 1] == '-') {
      const size_t end = script.find('\n', i);
      i = end == std::string::npos ? n : end;
    } else if (c == '/' && i + 1 < n && script[i + 1] == '*') {
      const size_t end = script.find("*/", i + 2);
      i = end == std::string::npos ? n : end + 2;
      cur += ' ';
    } else if (c == ';') {
      out.push_back(cur);
      cur.clear();
      ++i;
    } else {
      cur += c;
      ++i;
    }
  }
  out.push_back(cur);
  std::vector<std::string> result;
  for (std::string& s : out) {
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) continue;
    const size_t e = s.find_last_not_of(" \t\r\n");
    result.push_back(s.substr(b, e - b + 1));
  }
  return result;
}

}  // namespace

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void RunSqlScript(FbConnection& connection, const std::string& script) {
  for (const std::string& sql : SplitScript(script)) {
    FbTransaction tr(connection, FbTransactionOptions{});
    tr.StartTransaction();
    {
      FbQuery q(connection, tr, sql);
      q.ExecQuery();
      q.Close();
    }
    tr.Commit();
  }
}

std::string TestDatabase::SysdbaPassword() {
  static const std::string password = [] {
    std::ifstream in("/etc/firebird/3.0/SYSDBA.password");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("ISC_PASSWORD=", 0) == 0) {
        std::string p = line.substr(13);
        if (p.size() >= 2 && p.front() == '"' && p.back() == '"') p = p.substr(1, p.size() - 2);
        return p;
      }
    }
    throw std::runtime_error("no ISC_PASSWORD in /etc/firebird/3.0/SYSDBA.password");
  }();
  return password;
}

TestDatabase::TestDatabase() : TestDatabase(Options{}) {}

TestDatabase::TestDatabase(const Options& options) { Create(options); }

TestDatabase::~TestDatabase() {
  try {
    Drop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TestDatabase: %s\n", e.what());
  }
}

FbConnectParams TestDatabase::Params() const {
  return FbConnectParams{Database(), "TELVUSR", "zqvmxt", "ISO8859_1"};
}

FbConnectParams TestDatabase::OnlineParams() const {
  return FbConnectParams{Database(), "telvusr", "zqvmxt", "ISO8859_1"};
}

FbConnectParams TestDatabase::SysdbaParams(const std::string& charset) const {
  return FbConnectParams{Database(), "SYSDBA", SysdbaPassword(), charset};
}

void TestDatabase::Create(const Options& options) {
  SweepStale();
  static std::atomic<int> seq{0};
  std::random_device rd;
  char name[128];
  std::snprintf(name, sizeof name, "%s/%s%ld_%d_%08x.fdb", kDataDir, kPrefix,
                static_cast<long>(getpid()), seq++, rd());
  path_ = name;

  Firebird::IMaster* master = Firebird::fb_get_master_interface();
  Firebird::IStatus* status = master->getStatus();
  Firebird::IProvider* provider = master->getDispatcher();
  Firebird::ThrowStatusWrapper st(status);
  Firebird::IXpbBuilder* dpb = nullptr;
  std::string error;
  try {
    dpb = master->getUtilInterface()->getXpbBuilder(&st, Firebird::IXpbBuilder::DPB, nullptr, 0);
    dpb->insertString(&st, isc_dpb_user_name, "SYSDBA");
    dpb->insertString(&st, isc_dpb_password, SysdbaPassword().c_str());
    dpb->insertString(&st, isc_dpb_lc_ctype, "UTF8");
    dpb->insertString(&st, isc_dpb_set_db_charset, "ISO8859_1");
    dpb->insertInt(&st, isc_dpb_sql_dialect, 3);
    dpb->insertInt(&st, isc_dpb_set_db_sql_dialect, 3);
    dpb->insertInt(&st, isc_dpb_page_size, 8192);
    dpb->insertInt(&st, isc_dpb_force_write, options.forcedWrites ? 1 : 0);
    Firebird::IAttachment* att = provider->createDatabase(
        &st, Database().c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st));
    att->detach(&st);
  } catch (const Firebird::FbException& e) {
    error = FbMessage(e.getStatus());
  }
  if (dpb) dpb->dispose();
  provider->release();
  status->dispose();
  if (!error.empty()) throw std::runtime_error("TestDatabase: cannot create " + path_ + ": " + error);

  if (options.schema) {
    RunSqlScript(Sysdba(), ReadTextFile(TELVANE_SOURCE_DIR "/db/schema.sql"));
    static std::once_flag userOnce;
    std::call_once(userOnce, [this] {
      if (QueryInt("select count(*) from sec$users where sec$user_name = 'TELVUSR'") == 0) {
        try {
          Exec("create user TELVUSR password 'zqvmxt'");
        } catch (const EDatabaseError&) {
          // created by another process at the same moment
        }
      }
    });
    RunSqlScript(Sysdba(), ReadTextFile(TELVANE_SOURCE_DIR "/db/grants.sql"));
  }
}

FbConnection& TestDatabase::Sysdba() {
  if (!sysdba_) sysdba_ = std::make_unique<FbConnection>(SysdbaParams("UTF8"));
  return *sysdba_;
}

void TestDatabase::Exec(const std::string& sql) { RunSqlScript(Sysdba(), sql); }

std::optional<std::string> TestDatabase::QueryValue(const std::string& sql) {
  FbTransaction tr(Sysdba(), FbTransactionOptions{});
  tr.StartTransaction();
  std::optional<std::string> result;
  {
    FbQuery q(Sysdba(), tr, sql);
    q.ExecQuery();
    if (!q.Eof() && q.FieldCount() > 0 && !q.FieldByIndex(0).IsNull())
      result = q.FieldByIndex(0).AsString();
    q.Close();
  }
  tr.Commit();
  return result;
}

namespace {

template <typename F>
auto QueryFirst(FbConnection& conn, const std::string& sql, F read) {
  FbTransaction tr(conn, FbTransactionOptions{});
  tr.StartTransaction();
  std::optional<decltype(read(std::declval<FbQuery::Field&>()))> result;
  {
    FbQuery q(conn, tr, sql);
    q.ExecQuery();
    if (!q.Eof() && q.FieldCount() > 0 && !q.FieldByIndex(0).IsNull()) result = read(q.FieldByIndex(0));
    q.Close();
  }
  tr.Commit();
  if (!result) throw std::runtime_error("no value from: " + sql);
  return *result;
}

}  // namespace

double TestDatabase::QueryDateTime(const std::string& sql) {
  return QueryFirst(Sysdba(), sql, [](FbQuery::Field& f) { return f.AsDateTime(); });
}

double TestDatabase::QueryDouble(const std::string& sql) {
  return QueryFirst(Sysdba(), sql, [](FbQuery::Field& f) { return f.AsDouble(); });
}

int64_t TestDatabase::QueryInt(const std::string& sql) {
  const auto v = QueryValue(sql);
  if (!v) throw std::runtime_error("no value from: " + sql);
  return std::stoll(*v);
}

std::string TestDatabase::QueryString(const std::string& sql) {
  const auto v = QueryValue(sql);
  if (!v) throw std::runtime_error("no value from: " + sql);
  return *v;
}

int TestDatabase::KillConnections() {
  const std::string where =
      " from mon$attachments where mon$attachment_id <> current_connection and "
      "mon$system_flag = 0";
  const int n = static_cast<int>(QueryInt("select count(*)" + where));
  if (n == 0) return 0;
  Exec("delete" + where);
  // The server ends them in the background; wait until they are gone so that
  // the victims' next calls meet a finished shutdown.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (QueryInt("select count(*)" + where) > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return n;
}

void TestDatabase::Drop() {
  if (path_.empty()) return;
  std::string error;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) {
      try {
        KillConnections();
      } catch (const std::exception&) {
      }
    }
    sysdba_.reset();
    Firebird::IMaster* master = Firebird::fb_get_master_interface();
    Firebird::IStatus* status = master->getStatus();
    Firebird::IProvider* provider = master->getDispatcher();
    Firebird::ThrowStatusWrapper st(status);
    Firebird::IXpbBuilder* dpb = nullptr;
    Firebird::IAttachment* att = nullptr;
    bool dropped = false;
    try {
      dpb = master->getUtilInterface()->getXpbBuilder(&st, Firebird::IXpbBuilder::DPB, nullptr, 0);
      dpb->insertString(&st, isc_dpb_user_name, "SYSDBA");
      dpb->insertString(&st, isc_dpb_password, SysdbaPassword().c_str());
      att = provider->attachDatabase(&st, Database().c_str(), dpb->getBufferLength(&st),
                                     dpb->getBuffer(&st));
      att->dropDatabase(&st);  // success releases it
      att = nullptr;
      dropped = true;
    } catch (const Firebird::FbException& e) {
      error = FbMessage(e.getStatus());
      if (att) {
        try {
          att->detach(&st);
        } catch (const Firebird::FbException&) {
          att->release();
        }
      }
    }
    if (dpb) dpb->dispose();
    provider->release();
    status->dispose();
    if (dropped) {
      path_.clear();
      return;
    }
  }
  unlink(path_.c_str());
  const std::string path = path_;
  path_.clear();
  throw std::runtime_error("cannot drop " + path + " (file removed): " + error);
}

FbConnectParams UnreachableParams() {
  return FbConnectParams{"127.0.0.1/3051:/var/lib/firebird/3.0/data/unreachable.fdb", "TELVUSR",
                         "zqvmxt", "ISO8859_1"};
}

// ---------------------------------------------------------------------------
// TcpProxy

TcpProxy::TcpProxy(int targetPort) : targetPort_(targetPort) {
  if (pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
  if (!Listen()) throw std::runtime_error("TcpProxy: cannot listen");
  thread_ = std::thread([this] { Run(); });
}

TcpProxy::~TcpProxy() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  const char c = 's';
  (void)!write(wakeFds_[1], &c, 1);
  thread_.join();
  close(wakeFds_[0]);
  close(wakeFds_[1]);
}

FbConnectParams TcpProxy::Params(const FbConnectParams& params) const {
  FbConnectParams p = params;
  // "host:path" or "host/port:path" -> "127.0.0.1/<relay port>:path"
  const size_t colon = p.Database.find(':');
  const std::string path = colon == std::string::npos ? p.Database : p.Database.substr(colon + 1);
  p.Database = "127.0.0.1/" + std::to_string(port_) + ":" + path;
  return p;
}

bool TcpProxy::Listen() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port_));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return false;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  listenFd_ = fd;
  return true;
}

void TcpProxy::Request(bool listening, bool closePairs) {
  std::unique_lock<std::mutex> lock(mutex_);
  wantListening_ = listening;
  closePairs_ = closePairs;
  const uint64_t my = ++requested_;
  const char c = 'r';
  (void)!write(wakeFds_[1], &c, 1);
  cv_.wait(lock, [&] { return done_ >= my; });
}

void TcpProxy::Cut() { Request(false, true); }
void TcpProxy::Restore() { Request(true, false); }

void TcpProxy::Run() {
  std::vector<std::pair<int, int>> pairs;  // client, server
  auto closeAll = [&] {
    for (auto& p : pairs) {
      shutdown(p.first, SHUT_RDWR);
      shutdown(p.second, SHUT_RDWR);
      close(p.first);
      close(p.second);
    }
    pairs.clear();
  };
  std::vector<char> buf(65536);
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back({wakeFds_[0], POLLIN, 0});
    const int listenIndex = listenFd_ >= 0 ? 1 : -1;
    if (listenFd_ >= 0) fds.push_back({listenFd_, POLLIN, 0});
    const size_t base = fds.size();
    for (auto& p : pairs) {
      fds.push_back({p.first, POLLIN, 0});
      fds.push_back({p.second, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) {
      char tmp[64];
      while (read(wakeFds_[0], tmp, sizeof tmp) > 0) {
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) break;
      if (closePairs_) {
        closeAll();
        closePairs_ = false;
      }
      if (!wantListening_ && listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
      } else if (wantListening_ && listenFd_ < 0) {
        if (!Listen()) std::fprintf(stderr, "TcpProxy: cannot listen again on %d\n", port_);
      }
      done_ = requested_;
      cv_.notify_all();
      continue;
    }
    if (listenIndex > 0 && (fds[static_cast<size_t>(listenIndex)].revents & POLLIN)) {
      const int c = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) {
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(targetPort_));
        if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
          pairs.emplace_back(c, s);
          ++accepted_;
        } else {
          if (s >= 0) close(s);
          close(c);
        }
      }
      continue;  // the pair list changed
    }
    std::vector<size_t> dead;
    for (size_t k = 0; k < pairs.size(); ++k) {
      for (int dir = 0; dir < 2; ++dir) {
        const pollfd& pf = fds[base + 2 * k + static_cast<size_t>(dir)];
        if (!(pf.revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const int from = dir == 0 ? pairs[k].first : pairs[k].second;
        const int to = dir == 0 ? pairs[k].second : pairs[k].first;
        const ssize_t n = recv(from, buf.data(), buf.size(), 0);
        bool ok = n > 0;
        for (ssize_t off = 0; ok && off < n;) {
          const ssize_t w = send(to, buf.data() + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
          if (w <= 0) ok = false;
          off += w;
        }
        if (!ok) {
          dead.push_back(k);
          break;
        }
      }
    }
    for (auto it = dead.rbegin(); it != dead.rend(); ++it) {
      auto& p = pairs[*it];
      close(p.first);
      close(p.second);
      pairs.erase(pairs.begin() + static_cast<long>(*it));
    }
  }
  closeAll();
  if (listenFd_ >= 0) close(listenFd_);
  listenFd_ = -1;
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = requested_;
  cv_.notify_all();
}
