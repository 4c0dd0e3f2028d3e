#include "packages/mbus/sim/MbusSimLine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "packages/fieldbus/SerialLine.h"
#include "packages/mbus/MbusHex.h"

namespace mbussim {

namespace {

using mbus::MbusFrame;
using Clock = std::chrono::steady_clock;

constexpr int kBitsPerCharacter = 11;
constexpr uint8_t kCiLongHeader = 0x72;      // header fields LSB first
constexpr uint8_t kCiLongHeaderMsb = 0x76;   // the same, MSB first

// The frame, checked as a meter's RSP_UD; throws saying why not.
MbusFrame::Parsed CheckTelegram(const Telegram& t) {
  MbusFrame::Parsed p;
  std::string why;
  if (!MbusFrame::Parse(t.data(), t.size(), p, why) || !MbusFrame::IsRspUd(p, -1, why))
    throw std::invalid_argument("telegrama inválido: " + why);
  return p;
}

// The telegram as the meter at `primary` sends it: its address in A and,
// when `id` >= 0, its identification number in a long header.
Telegram Rewrite(const Telegram& t, int primary, int64_t id) {
  const MbusFrame::Parsed p = CheckTelegram(t);
  std::vector<uint8_t> data(p.data, p.data + p.dataSize);
  const bool longHeader = p.ci == kCiLongHeader || p.ci == kCiLongHeaderMsb;
  if (id >= 0 && longHeader && data.size() >= 8) {
    for (int i = 0; i < 4; ++i) {
      const auto byte = static_cast<uint8_t>((static_cast<uint64_t>(id) >> (8 * i)) & 0xFF);
      data[p.ci == kCiLongHeader ? i : 3 - i] = byte;
    }
  }
  return MbusFrame::Long(p.c, static_cast<uint8_t>(primary), p.ci, data);
}

// A selection's 8 bytes (identification LSB first with F nibbles,
// manufacturer, version, medium, FF for any) against a meter's header bytes
// in the same order.
bool Selects(const uint8_t* pattern, const uint8_t* identity) {
  for (int i = 0; i < 4; ++i) {
    for (int shift : {0, 4}) {
      const int p = (pattern[i] >> shift) & 0xF;
      if (p != 0xF && p != ((identity[i] >> shift) & 0xF)) return false;
    }
  }
  if (!(pattern[4] == 0xFF && pattern[5] == 0xFF) && (pattern[4] != identity[4] || pattern[5] != identity[5]))
    return false;
  return (pattern[6] == 0xFF || pattern[6] == identity[6]) && (pattern[7] == 0xFF || pattern[7] == identity[7]);
}

// Several senders at once: a 0 bit wins on the bus, and each sender starts
// half a character after the one before it. Bits LSB first, as a UART
// sends them.
std::vector<uint8_t> Mix(const std::vector<std::vector<uint8_t>>& senders) {
  if (senders.size() == 1) return senders[0];
  size_t bits = 0;
  for (size_t i = 0; i < senders.size(); ++i) bits = std::max(bits, senders[i].size() * 8 + 4 * i);
  std::vector<uint8_t> out((bits + 7) / 8, 0xFF);
  for (size_t i = 0; i < senders.size(); ++i) {
    for (size_t k = 0; k < senders[i].size() * 8; ++k) {
      if ((senders[i][k / 8] >> (k % 8)) & 1) continue;
      const size_t at = k + 4 * i;
      out[at / 8] = static_cast<uint8_t>(out[at / 8] & ~(1u << (at % 8)));
    }
  }
  return out;
}

}  // namespace

Answer LoadAnswer(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": não foi possível ler");
  std::stringstream text;
  text << in.rdbuf();
  std::vector<uint8_t> bytes;
  std::string why;
  if (!mbus::MbusHex::Parse(text.str(), bytes, why)) throw std::runtime_error(path + ": " + why);
  Answer answer;
  for (size_t pos = 0; pos < bytes.size();) {
    const size_t n = MbusFrame::Length(bytes.data() + pos, bytes.size() - pos);
    if (n == 0 || n == MbusFrame::kNotAFrame || pos + n > bytes.size())
      throw std::runtime_error(path + ": quadro incompleto ou inválido no byte " + std::to_string(pos + 1));
    answer.emplace_back(bytes.begin() + static_cast<long>(pos), bytes.begin() + static_cast<long>(pos + n));
    try {
      CheckTelegram(answer.back());
    } catch (const std::exception& e) {
      throw std::runtime_error(path + ": " + e.what());
    }
    pos += n;
  }
  if (answer.empty()) throw std::runtime_error(path + ": nenhum quadro");
  return answer;
}

std::unique_ptr<MbusSimLine> MbusSimLine::Tcp(int port, const LineOptions& options) {
  std::unique_ptr<MbusSimLine> s(new MbusSimLine());
  s->options_ = options;
  s->listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s->listenFd_ < 0) throw std::runtime_error("socket failed");
  const int one = 1;
  setsockopt(s->listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(s->listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(s->listenFd_, 4) != 0)
    throw std::runtime_error("cannot listen on port " + std::to_string(port));
  socklen_t len = sizeof addr;
  getsockname(s->listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  s->port_ = ntohs(addr.sin_port);
  s->thread_ = std::thread([p = s.get()] { p->Run(); });
  return s;
}

std::unique_ptr<MbusSimLine> MbusSimLine::Serial(const std::string& device, const LineOptions& options) {
  std::unique_ptr<MbusSimLine> s(new MbusSimLine());
  s->options_ = options;
  s->serial_ = true;
  fb::SerialFormat format;
  format.baud = options.baud;
  s->serialLine_ = std::make_unique<fb::SerialLine>(device, format);
  int err = 0;
  if (!s->serialLine_->Open(err))
    throw std::runtime_error("cannot open " + device + ": error " + std::to_string(err));
  s->thread_ = std::thread([p = s.get()] { p->Run(); });
  return s;
}

MbusSimLine::~MbusSimLine() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (clientFd_ >= 0) ::close(clientFd_);
  if (listenFd_ >= 0) ::close(listenFd_);
}

void MbusSimLine::AddMeter(const MeterSetup& setup) {
  if (setup.primary < 0 || setup.primary > MbusFrame::kMaxPrimary || setup.answers.empty())
    throw std::invalid_argument("medidor simulado inválido");
  Meter m;
  m.setup.primary = setup.primary;
  m.setup.id = setup.id;
  for (const Answer& answer : setup.answers) {
    if (answer.empty()) throw std::invalid_argument("resposta sem telegramas");
    Answer rewritten;
    for (const Telegram& t : answer) rewritten.push_back(Rewrite(t, setup.primary, setup.id));
    m.setup.answers.push_back(rewritten);
  }
  const Telegram& first = m.setup.answers[0][0];
  const uint8_t ci = first[6];
  if ((ci == kCiLongHeader || ci == kCiLongHeaderMsb) && first.size() >= 7 + 8 + 2) {
    m.hasIdentity = true;
    for (int i = 0; i < 8; ++i) {
      // The selection's byte order (LSB first) whatever the header's.
      const bool msb = ci == kCiLongHeaderMsb;
      const int from = !msb ? i : i < 4 ? 3 - i : i < 6 ? 9 - i : i;
      m.identity[static_cast<size_t>(i)] = first[7 + static_cast<size_t>(from)];
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  meters_[setup.primary] = m;
}

void MbusSimLine::SetSilent(int primary, bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  meters_.at(primary).silent = silent;
}

void MbusSimLine::SetGarbage(int primary, bool garbage) {
  std::lock_guard<std::mutex> lock(mutex_);
  meters_.at(primary).garbage = garbage;
}

void MbusSimLine::DropAnswers(int primary, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  meters_.at(primary).drop = count;
}

void MbusSimLine::SetOptions(const LineOptions& options) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_ = options;
}

void MbusSimLine::DropConnections() {
  drop_ = true;
  while (drop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int64_t MbusSimLine::Requests(int primary) {
  std::lock_guard<std::mutex> lock(mutex_);
  return meters_.at(primary).requests;
}

int64_t MbusSimLine::Readings(int primary) {
  std::lock_guard<std::mutex> lock(mutex_);
  return meters_.at(primary).readings;
}

void MbusSimLine::Run() {
  while (!stop_.load()) {
    if (serial_)
      ServeSerial();
    else
      ServeTcp();
  }
}

void MbusSimLine::ServeSerial() {
  uint8_t buf[512];
  int err = 0;
  // The pair was made again (a test restarting socat): the device's name
  // now leads to a new one.
  if (!serialLine_->IsOpen() && !serialLine_->Open(err)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return;
  }
  const long n = serialLine_->Receive(buf, sizeof buf, Clock::now() + std::chrono::milliseconds(20), err);
  if (n > 0) {
    Take(buf, static_cast<size_t>(n), Clock::now());
  } else if (n < 0) {
    serialLine_->Close();
    pending_.clear();
  }
}

void MbusSimLine::ServeTcp() {
  if (drop_.load()) {
    if (clientFd_ >= 0) ::close(clientFd_);
    clientFd_ = -1;
    pending_.clear();
    drop_ = false;
  }
  pollfd p[2] = {{listenFd_, POLLIN, 0}, {clientFd_, POLLIN, 0}};
  if (::poll(p, clientFd_ >= 0 ? 2 : 1, 20) <= 0) return;
  if (p[0].revents & POLLIN) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      // A converter serves one connection: the newest.
      if (clientFd_ >= 0) ::close(clientFd_);
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      clientFd_ = fd;
      pending_.clear();
      ++connections_;
    }
    return;
  }
  if (clientFd_ >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
    uint8_t buf[512];
    const ssize_t n = ::recv(clientFd_, buf, sizeof buf, 0);
    if (n <= 0) {
      ::close(clientFd_);
      clientFd_ = -1;
      pending_.clear();
      return;
    }
    Take(buf, static_cast<size_t>(n), Clock::now());
  }
}

void MbusSimLine::Take(const uint8_t* data, size_t size, Clock::time_point at) {
  if (pending_.empty()) pendingSince_ = at;
  pending_.insert(pending_.end(), data, data + size);
  while (!pending_.empty()) {
    const size_t need = MbusFrame::Length(pending_.data(), pending_.size());
    if (need == MbusFrame::kNotAFrame) {
      ++badRequests_;
      pending_.erase(pending_.begin());
      continue;
    }
    if (need == 0 || pending_.size() < need) return;
    MbusFrame::Parsed frame;
    std::string why;
    if (!MbusFrame::Parse(pending_.data(), need, frame, why)) {
      ++badRequests_;
      pending_.erase(pending_.begin());
      continue;
    }
    const std::vector<uint8_t> answer = Handle(frame);
    const auto started = pendingSince_;
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(need));
    pendingSince_ = Clock::now();
    if (!answer.empty()) Send(answer, need, started);
  }
}

std::vector<uint8_t> MbusSimLine::Handle(const MbusFrame::Parsed& f) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Meter*> targets;
  for (auto& [primary, m] : meters_) {
    if (f.a == primary || f.a == MbusFrame::kBroadcastReply || f.a == MbusFrame::kBroadcast ||
        (f.a == MbusFrame::kSelected && m.selected))
      targets.push_back(&m);
  }
  const bool answers = f.a != MbusFrame::kBroadcast;
  std::vector<std::vector<uint8_t>> senders;
  if (f.kind == MbusFrame::Kind::Short && f.c == MbusFrame::kSndNke) {
    for (Meter* m : targets) {
      m->lastFcb = false;
      m->position = -1;
      if (f.a == MbusFrame::kSelected) m->selected = false;
      if (!m->silent && answers) senders.push_back({MbusFrame::kAck});
    }
  } else if (f.kind == MbusFrame::Kind::Short && (f.c & 0xCF) == (MbusFrame::kReqUd2 & 0xCF)) {
    const bool fcv = (f.c & 0x10) != 0;
    const bool fcb = (f.c & MbusFrame::kFcb) != 0;
    for (Meter* m : targets) {
      const bool toggled = !fcv || fcb != m->lastFcb || m->position < 0;
      if (fcv) m->lastFcb = fcb;
      Telegram t = NextTelegram(*m, toggled);
      ++m->requests;
      if (m->silent || !answers) continue;
      if (m->drop > 0) {
        --m->drop;
        continue;
      }
      if (m->garbage) t[t.size() - 2] = static_cast<uint8_t>(t[t.size() - 2] ^ 0x5A);
      senders.push_back(t);
    }
  } else if (f.kind == MbusFrame::Kind::Long && (f.c & 0xDF) == MbusFrame::kSndUd &&
             f.a == MbusFrame::kSelected && f.ci == MbusFrame::kCiSelect && f.dataSize == 8) {
    for (auto& [primary, m] : meters_) {
      m.selected = m.hasIdentity && Selects(f.data, m.identity.data());
      if (!m.selected) continue;
      m.lastFcb = (f.c & MbusFrame::kFcb) != 0;
      if (!m.silent) senders.push_back({MbusFrame::kAck});
    }
  }
  if (senders.empty()) return {};
  return Mix(senders);
}

Telegram MbusSimLine::NextTelegram(Meter& m, bool toggled) {
  const std::vector<Answer>& answers = m.setup.answers;
  if (toggled || m.position < 0) {
    if (m.position < 0 || m.current < 0 ||
        m.position + 1 >= static_cast<int>(answers[static_cast<size_t>(m.current)].size())) {
      m.current = m.next;
      if (m.next + 1 < static_cast<int>(answers.size())) ++m.next;
      m.position = 0;
      ++m.readings;
    } else {
      ++m.position;
    }
  }
  return answers[static_cast<size_t>(m.current)][static_cast<size_t>(m.position)];
}

void MbusSimLine::Send(const std::vector<uint8_t>& bytes, size_t requestSize, Clock::time_point requestStart) {
  LineOptions o;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    o = options_;
  }
  const auto character = std::chrono::microseconds(int64_t{kBitsPerCharacter} * 1000000 / o.baud);
  // The request's last byte reaches the meter its own time after the first.
  auto start = o.pace ? std::max(Clock::now(), requestStart + character * static_cast<int64_t>(requestSize))
                      : Clock::now();
  start += std::chrono::milliseconds(o.turnaroundMs);
  std::this_thread::sleep_until(start);
  if (!o.pace) {
    Write(bytes.data(), bytes.size());
    return;
  }
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::this_thread::sleep_until(start + character * static_cast<int64_t>(i));
    Write(&bytes[i], 1);
  }
}

void MbusSimLine::Write(const uint8_t* data, size_t size) {
  if (serial_) {
    int err = 0;
    if (serialLine_->IsOpen()) serialLine_->Send(data, size, Clock::now() + std::chrono::seconds(1), err);
    return;
  }
  if (clientFd_ < 0) return;
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(clientFd_, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace mbussim
