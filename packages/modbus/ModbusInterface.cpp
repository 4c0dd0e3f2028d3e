// ModbusInterface: one Modbus bus (a TCP gateway, an RS-485 serial line, or
// an RS-485 line behind a transparent serial-to-Ethernet converter), shared
// by every ModbusMeter on it.
//
// CONFIGS: see BusSettings.h (and docs/ModbusMeter.md). Configure refuses
// unusable settings with a log line saying why; Open makes the bus's link
// (BusLink: libmodbus for Modbus TCP and RTU, RtuTcpLink for RTU frames over
// TCP) and tries to connect (TCP) or open the serial device (RTU).
// Whatever Open gave, a request that finds the bus without a connection
// connects again first, so a lost gateway or an unplugged adapter comes back
// without restarting the service. Log lines are written when the connection
// is lost and when it is back, once each way.
//
// Exchange (slot 0) serves the requests of ModbusProtocol.h. Requests get the
// bus one at a time, in arrival order (BusQueue); each is bounded by
// timeout_ms per attempt and 1 + retries attempts. Every reply tells how
// many requests on the line were answered so far, by any unit (its meters
// tell a dead unit from a silent line by it). A reply that does not come
// in time closes a TCP connection (a late reply must not answer the next
// request) and flushes a serial line.
//
// Threads: Exchange is called by the sampling threads of the meters and by
// the service's online thread at once; Configure, Open and Close by the
// service's load thread before and after them. Everything that touches the
// link happens while holding the bus.
#include <modbus/modbus.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "packages/common/PackageText.h"
#include "packages/modbus/BusLink.h"
#include "packages/fieldbus/BusQueue.h"
#include "packages/fieldbus/ConfigText.h"
#include "packages/fieldbus/FailureRun.h"
#include "packages/modbus/BusSettings.h"
#include "packages/modbus/LibmodbusLink.h"
#include "packages/modbus/ModbusProtocol.h"
#include "packages/modbus/RtuTcpLink.h"
#include "packages/fieldbus/SystemError.h"
#include "plugins/TelvaneSdk.h"

namespace {

using mb::Status;

class ModbusInterface : public KxInterface {
 public:
  explicit ModbusInterface(KxPackageLog* log) : log_(log) {}
  ~ModbusInterface() override = default;

  int Exchange(const void* request, int32_t requestSize, void* reply,
               int32_t replyCapacity) override {
    if (request == nullptr || requestSize != static_cast<int32_t>(sizeof(mb::Request)))
      return -1;
    mb::Request req;
    std::memcpy(&req, request, sizeof req);
    if (req.magic != mb::kRequestMagic) return -1;
    if (req.kind == mb::RequestKind::Settings) {
      if (reply == nullptr || replyCapacity < static_cast<int32_t>(sizeof(mb::SettingsReply)))
        return -1;
      mb::SettingsReply answer;
      answer.periodS = settings_.periodS;
      answer.timeoutMs = settings_.timeoutMs;
      answer.attempts = 1 + settings_.retries;
      answer.tcp = settings_.mode == mb::BusSettings::Mode::Tcp ? 1 : 0;
      const std::string line = settings_.Line();
      line.copy(answer.bus, sizeof answer.bus - 1);
      answer.lineAnswers = lineAnswers_.load();
      std::memcpy(reply, &answer, sizeof answer);
      return sizeof answer;
    }
    if (req.kind != mb::RequestKind::Read || reply == nullptr ||
        replyCapacity < static_cast<int32_t>(sizeof(mb::ReadReply)) || req.count < 1 ||
        req.count > mb::kMaxRegisters ||
        !mb::UnitAllowed(req.unit, settings_.mode == mb::BusSettings::Mode::Tcp))
      return -1;
    mb::ReadReply answer;
    Read(req, answer);
    answer.lineAnswers = lineAnswers_.load();
    std::memcpy(reply, &answer, sizeof answer);
    return sizeof answer;
  }

  bool Configure(const uint8_t* bytes, int32_t count) override {
    const std::string text = fb::ConfigBytes(bytes, count);
    std::string error;
    mb::BusSettings parsed;
    if (!mb::ParseBusSettings(text, parsed, error)) {
      Log("configuração inválida: " + error);
      return false;
    }
    settings_ = parsed;
    configured_ = true;
    Log(settings_.Describe() + ", timeout " + std::to_string(settings_.timeoutMs) + " ms, " +
        std::to_string(settings_.retries) + " repetição(ões)" +
        (settings_.periodS > 0 ? ", período de comissionamento " +
                                     std::to_string(settings_.periodS) + " s"
                               : ""));
    return true;
  }

  bool Open() override {
    fb::BusTurn turn(bus_, nullptr);
    if (!configured_) return false;
    if (!MakeLink()) return false;
    return Connect();
  }

  void Close() override {
    fb::BusTurn turn(bus_, nullptr);
    if (link_ != nullptr) link_->Close();
  }

 private:
  void Log(const std::string& text) {
    log_->WriteLine(pkg::ToUtf16("ModbusInterface [" + std::to_string(InterfaceId) + "]: " + text));
  }

  // Called holding the bus.
  bool MakeLink() {
    if (link_ != nullptr) return true;
    int err = 0;
    if (settings_.mode == mb::BusSettings::Mode::RtuOverTcp)
      link_ = std::make_unique<mb::RtuTcpLink>(settings_.host, settings_.port, settings_.timeoutMs);
    else
      link_ = mb::LibmodbusLink::Create(settings_, err);
    if (link_ == nullptr) {
      Log("não foi possível preparar " + settings_.Describe() + ": " + ErrorText(err));
      return false;
    }
    return true;
  }

  // Connects (TCP) or opens the serial line (RTU). Holding the bus. The
  // first failure after a success (or at the first try) is logged.
  bool Connect() {
    int err = 0;
    if (link_->Open(err)) {
      // Again after a loss; not after each of a run of losses (a gateway
      // that takes the connection and drops it at every request).
      if ((down_ && losses_ <= 1) || !everConnected_) Log("conectada a " + settings_.Describe());
      down_ = false;
      everConnected_ = true;
      // Gateways and converters that drop what comes at once after the
      // connection.
      if (settings_.connectPauseMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(settings_.connectPauseMs));
      return true;
    }
    if (!down_) Log("sem conexão com " + settings_.Describe() + ": " + ErrorText(err));
    down_ = true;
    lastConnectErrno_ = err;
    return false;
  }

  // Serial devices and gateways that need a silence between two requests
  // (beyond the protocol's own): at least request_pause_ms since the end of
  // the last one on this bus. Called with the bus held.
  void PauseBeforeRequest() {
    if (settings_.requestPauseMs <= 0) return;
    const auto due = lastRequestEnd_ + std::chrono::milliseconds(settings_.requestPauseMs);
    const auto now = std::chrono::steady_clock::now();
    if (due > now) std::this_thread::sleep_for(due - now);
  }

  // One read request, attempt after attempt. Takes the bus.
  void Read(const mb::Request& req, mb::ReadReply& answer) {
    if (req.cancel != nullptr && req.cancel->load()) {
      answer.status = Status::Cancelled;
      return;
    }
    fb::BusTurn turn(bus_, req.cancel);
    if (!turn.Held()) {
      answer.status = Status::Cancelled;
      return;
    }
    if (!configured_ || !MakeLink()) {
      answer.status = Status::NotConfigured;
      return;
    }
    const int attempts = 1 + settings_.retries;
    for (int attempt = 0; attempt < attempts; ++attempt) {
      if (attempt > 0 && req.cancel != nullptr && req.cancel->load()) {
        answer.status = Status::Cancelled;
        return;
      }
      if (!link_->IsOpen() && !Connect()) {
        answer.status = Status::Connection;
        answer.detail = lastConnectErrno_;
        continue;
      }
      if (ReadOnce(req, answer)) return;
    }
  }

  // One attempt on an open link; true when there is nothing more to try (a
  // reply, valid or a Modbus exception).
  bool ReadOnce(const mb::Request& req, mb::ReadReply& answer) {
    PauseBeforeRequest();
    answer.status = link_->Read(req, answer.registers, answer.detail);
    lastRequestEnd_ = std::chrono::steady_clock::now();
    switch (answer.status) {
      case Status::Ok:
        answer.count = req.count;
        NoteAnswer(true);
        return true;
      case Status::Exception:
        // 10 and 11 come from a gateway that could not reach the unit.
        NoteAnswer(answer.detail != 10 && answer.detail != 11);
        return true;
      case Status::Connection:
        if (++losses_ == 1)
          Log("conexão perdida com " + settings_.Describe() + ": " + ErrorText(answer.detail));
        down_ = true;
        link_->Close();
        return false;
      default:  // NoAnswer, BadFrame: the link forgot any late reply
        return false;
    }
  }

  // A request got a reply (`fromUnit`: from a unit of the line). A run of
  // lost connections with no reply between them ends here, said with its
  // count. Holding the bus.
  void NoteAnswer(bool fromUnit) {
    if (fromUnit) lineAnswers_.fetch_add(1);
    if (losses_ > 1)
      Log("conexão com " + settings_.Describe() + " estável novamente" +
          fb::FailureRun::Times(losses_, "perda(s)"));
    losses_ = 0;
  }

  static std::string ErrorText(int err) {
    if (err > MODBUS_ENOBASE)
      return "erro " + std::to_string(err) + " (" + std::string(modbus_strerror(err)) + ")";
    return fb::LineErrorText(err);
  }

  KxPackageLog* log_;
  mb::BusSettings settings_;  // written by Configure, before any request
  bool configured_ = false;
  fb::BusQueue bus_;
  // Held by whoever holds the bus:
  std::unique_ptr<mb::BusLink> link_;
  bool everConnected_ = false;
  bool down_ = false;  // a failure was logged and no success since
  int64_t losses_ = 0;  // connections lost since the last reply
  int lastConnectErrno_ = 0;
  std::chrono::steady_clock::time_point lastRequestEnd_{};
  // Requests answered on the line (ReadReply::lineAnswers): counted holding
  // the bus, read by any caller without it.
  std::atomic<uint64_t> lineAnswers_{0};
};

}  // namespace

TELVANE_EXPORT KxInterface* _CreateInterface(KxPackageLog* log) { return new ModbusInterface(log); }
