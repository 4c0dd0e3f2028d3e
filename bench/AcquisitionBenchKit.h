// Pieces shared by the acquisition benchmarks (bench_ingest, bench_pass,
// bench_memory): a clock without pauses, a scripted meter, a bare
// client-library insert loop and a counting TCP relay.
#pragma once

#include <arpa/inet.h>
#include <firebird/Interface.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "database/FbConnection.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "plugins/TelvaneSdk.h"

namespace bench {

using Steady = std::chrono::steady_clock;

inline double Seconds(Steady::time_point a, Steady::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Real time, no pauses (a stop request still ends them).
class NoPauseClock : public KxClock {
 public:
  TDateTime Now() override { return dt::SystemNow(); }
  void Sleep(unsigned, const KxWakeup&) override { std::this_thread::yield(); }
};

// A meter whose channel 0 holds `backlog` records, one a minute, ending an
// hour ago; other channels hold nothing. With a block size, it stops before
// each block of records until the bench lets it go on (RunBlock), so that the
// thread's work and a bare loop can run in alternating blocks.
class BacklogMeter : public KxEquipamento {
 public:
  BacklogMeter(int32_t id, KxListaCanais* canais, int backlog, int blockSize = 0)
      : KxEquipamento(id, canais),
        backlog_(backlog),
        blockSize_(blockSize),
        first_(dt::SystemNow() - 1.0 / 24 - backlog / 1440.0) {}

  int ReadHistorico(int32_t index, TDateTime, TDateTime& date, float& value) override {
    if (index != 0) return ReadEnd;
    std::unique_lock<std::mutex> lock(mutex_);
    if (blockSize_ > 0 && delivered_ < backlog_ && delivered_ % blockSize_ == 0) {
      // The previous block is stored: wait for the next go.
      blockEnd_ = Steady::now();
      waiting_ = true;
      cv_.notify_all();
      cv_.wait(lock, [&] { return released_ > delivered_ / blockSize_; });
      waiting_ = false;
    }
    if (delivered_ >= backlog_) {
      if (!done_) {
        done_ = true;
        blockEnd_ = Steady::now();
        cv_.notify_all();
      }
      return ReadEnd;
    }
    date = first_ + delivered_ / 1440.0 + 17.0 / 86400;  // 17 s past the minute
    value = static_cast<float>(delivered_) * 0.5f;
    ++delivered_;
    return ReadOk;
  }
  int ReadAlarme(TDateTime, TDateTime&, std::u16string&, int32_t&) override {
    ++alarmReads;
    return ReadEnd;
  }
  int SetRelogio() override { return 0; }
  int ReadVersao(std::u16string& v) override {
    v = u"bench";
    return 0;
  }
  int ReadOnline(std::vector<std::u16string>&, std::vector<std::u16string>&) override {
    return 1;
  }

  std::atomic<long long> alarmReads{0};  // one per successful visit

  // Lets the thread store the next block; returns the seconds it took (from
  // the go to its asking for the first record of the block after).
  double RunBlock() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return waiting_ || done_; });
    const auto go = Steady::now();
    ++released_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return done_ || (waiting_ && released_ <= delivered_ / blockSize_); });
    return Seconds(go, blockEnd_);
  }
  bool Done() {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  const int backlog_;
  const int blockSize_;
  const TDateTime first_;
  int delivered_ = 0;
  int released_ = 0;
  bool waiting_ = false, done_ = false;
  Steady::time_point blockEnd_;
};

// The acquisition's insert written directly on the client library: statement
// prepared once, message buffer filled by hand, one transaction per row.
class BareInsert {
 public:
  explicit BareInsert(const FbConnectParams& p) : status_(master_->getStatus()), st_(status_) {
    Firebird::IUtil* util = master_->getUtilInterface();
    Firebird::IXpbBuilder* dpb = util->getXpbBuilder(&st_, Firebird::IXpbBuilder::DPB, nullptr, 0);
    dpb->insertString(&st_, isc_dpb_user_name, p.UserName.c_str());
    dpb->insertString(&st_, isc_dpb_password, p.Password.c_str());
    dpb->insertString(&st_, isc_dpb_lc_ctype, p.Charset.c_str());
    dpb->insertInt(&st_, isc_dpb_sql_dialect, 3);
    provider_ = master_->getDispatcher();
    att_ = provider_->attachDatabase(&st_, p.Database.c_str(), dpb->getBufferLength(&st_),
                                     dpb->getBuffer(&st_));
    dpb->dispose();
    Firebird::IXpbBuilder* tpb = util->getXpbBuilder(&st_, Firebird::IXpbBuilder::TPB, nullptr, 0);
    tpb->insertTag(&st_, isc_tpb_read_committed);
    tpb->insertTag(&st_, isc_tpb_rec_version);
    tpb->insertTag(&st_, isc_tpb_nowait);
    tpb->insertTag(&st_, isc_tpb_write);
    tpb_.assign(tpb->getBuffer(&st_), tpb->getBuffer(&st_) + tpb->getBufferLength(&st_));
    tpb->dispose();
    Firebird::ITransaction* tra =
        att_->startTransaction(&st_, static_cast<unsigned>(tpb_.size()), tpb_.data());
    const char* sql =
        "insert into HISTORICOS_H (DATA, VALOR, CANAL_ID, PERIODO) values (?, ?, ?, ?)";
    stmt_ = att_->prepare(&st_, tra, 0, sql, SQL_DIALECT_V6,
                          Firebird::IStatement::PREPARE_PREFETCH_METADATA);
    tra->commit(&st_);
    meta_ = stmt_->getInputMetadata(&st_);
    buf_.assign(meta_->getMessageLength(&st_), 0);
    for (unsigned i = 0; i < 4; ++i) {
      off_[i] = meta_->getOffset(&st_, i);
      *reinterpret_cast<short*>(&buf_[meta_->getNullOffset(&st_, i)]) = 0;
    }
  }
  ~BareInsert() {
    meta_->release();
    stmt_->free(&st_);
    att_->detach(&st_);
    provider_->release();
    status_->dispose();
  }

  // Inserts rows i = from .. to-1 of channel `canal`; returns the seconds taken.
  double Rows(int canal, int from, int to) {
    const auto t0 = Steady::now();
    const TDateTime first = dt::EncodeDate(2020, 1, 1);
    for (int i = from; i < to; ++i) {
      const long long ms = std::llround((first + i / 1440.0) * 86400000.0);
      ISC_TIMESTAMP ts;
      ts.timestamp_date = static_cast<ISC_DATE>(ms / 86400000 + 15018);
      ts.timestamp_time = static_cast<ISC_TIME>((ms % 86400000) * 10);
      const float valor = static_cast<float>(i) * 0.5f;
      const int32_t periodo = i % 4 + 1;
      std::memcpy(&buf_[off_[0]], &ts, sizeof ts);
      std::memcpy(&buf_[off_[1]], &valor, sizeof valor);
      std::memcpy(&buf_[off_[2]], &canal, sizeof canal);
      std::memcpy(&buf_[off_[3]], &periodo, sizeof periodo);
      Firebird::ITransaction* tra =
          att_->startTransaction(&st_, static_cast<unsigned>(tpb_.size()), tpb_.data());
      stmt_->execute(&st_, tra, meta_, buf_.data(), nullptr, nullptr);
      tra->commit(&st_);
    }
    return Seconds(t0, Steady::now());
  }

  // One bare round trip to the server.
  void Ping() { att_->ping(&st_); }

 private:
  Firebird::IMaster* master_ = Firebird::fb_get_master_interface();
  Firebird::IStatus* status_;
  Firebird::ThrowStatusWrapper st_;
  Firebird::IProvider* provider_ = nullptr;
  Firebird::IAttachment* att_ = nullptr;
  Firebird::IStatement* stmt_ = nullptr;
  Firebird::IMessageMetadata* meta_ = nullptr;
  std::vector<unsigned char> tpb_;
  std::vector<unsigned char> buf_;
  unsigned off_[4] = {};
};

// A TCP relay to the local server that counts what the client sends: every
// chunk the client writes and the server answers is about one round trip.
class CountingRelay {
 public:
  CountingRelay() {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 16))
      throw std::runtime_error("relay: bind/listen");
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ::pipe(wake_);
    thread_ = std::thread([this] { Run(); });
  }
  ~CountingRelay() {
    stop_ = true;
    ::write(wake_[1], "x", 1);
    thread_.join();
    ::close(listen_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }
  // `database` "127.0.0.1:<path>" made to go through the relay.
  std::string Through(const std::string& database) const {
    const auto colon = database.find(':');
    return "127.0.0.1/" + std::to_string(port_) + ":" + database.substr(colon + 1);
  }
  // Client writes answered by the server (requests) so far.
  long long Requests() const { return requests_.load(); }

 private:
  void Run() {
    std::vector<std::pair<int, int>> pairs;  // client, server
    std::vector<bool> pending;               // client wrote since the server last answered
    char buf[65536];
    while (!stop_) {
      std::vector<pollfd> fds{{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      for (auto& p : pairs) {
        fds.push_back({p.first, POLLIN, 0});
        fds.push_back({p.second, POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[1].revents) break;
      if (fds[0].revents & POLLIN) {
        int c = ::accept(listen_, nullptr, nullptr);
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(3050);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (c >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
          // Relay at once: Nagle's wait would add delayed-ACK stalls.
          const int one = 1;
          ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          pairs.push_back({c, s});
          pending.push_back(false);
        } else {
          if (c >= 0) ::close(c);
          ::close(s);
        }
      }
      for (size_t i = 0; i < pairs.size(); ++i) {
        const pollfd& fc = fds[2 + 2 * i];
        const pollfd& fs = fds[3 + 2 * i];
        bool closed = false;
        if (fc.revents & (POLLIN | POLLHUP | POLLERR)) {
          ssize_t n = ::read(pairs[i].first, buf, sizeof buf);
          if (n <= 0 || !WriteAll(pairs[i].second, buf, n)) closed = true;
          else pending[i] = true;
        }
        if (!closed && (fs.revents & (POLLIN | POLLHUP | POLLERR))) {
          ssize_t n = ::read(pairs[i].second, buf, sizeof buf);
          if (n <= 0 || !WriteAll(pairs[i].first, buf, n)) closed = true;
          else if (pending[i]) {
            pending[i] = false;
            ++requests_;
          }
        }
        if (closed) {
          ::close(pairs[i].first);
          ::close(pairs[i].second);
          pairs.erase(pairs.begin() + static_cast<long>(i));
          pending.erase(pending.begin() + static_cast<long>(i));
          break;  // indexes moved: poll again
        }
      }
    }
    for (auto& p : pairs) {
      ::close(p.first);
      ::close(p.second);
    }
  }
  static bool WriteAll(int fd, const char* p, ssize_t n) {
    while (n > 0) {
      ssize_t w = ::write(fd, p, static_cast<size_t>(n));
      if (w <= 0) return false;
      p += w;
      n -= w;
    }
    return true;
  }

  int listen_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::atomic<long long> requests_{0};
  std::thread thread_;
};

// Resident set size of this process, in KiB.
inline long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace bench
