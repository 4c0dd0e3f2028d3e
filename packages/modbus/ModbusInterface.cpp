// ModbusInterface: one Modbus bus (a TCP gateway or an RS-485 serial line)
// on libmodbus, shared by every ModbusMeter on it.
//
// CONFIGS: see BusSettings.h (and docs/ModbusMeter.md). Configure refuses
// unusable settings with a log line saying why; Open makes the libmodbus
// context and tries to connect (TCP) or open the serial device (RTU).
// Whatever Open gave, a request that finds the bus without a connection
// connects again first, so a lost gateway or an unplugged adapter comes back
// without restarting the service. Log lines are written when the connection
// is lost and when it is back, once each way.
//
// Exchange (slot 0) serves the requests of ModbusProtocol.h. Requests get the
// bus one at a time, in arrival order (BusQueue); each is bounded by
// timeout_ms per attempt and 1 + retries attempts. A reply that does not come
// in time closes a TCP connection (a late reply must not answer the next
// request) and flushes a serial line.
//
// Threads: Exchange is called by the sampling threads of the meters and by
// the service's online thread at once; Configure, Open and Close by the
// service's load thread before and after them. Everything that touches the
// libmodbus context happens while holding the bus.
#include <modbus/modbus.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "packages/common/PackageText.h"
#include "packages/modbus/BusQueue.h"
#include "packages/modbus/BusSettings.h"
#include "packages/modbus/ModbusProtocol.h"
#include "packages/modbus/SerialPort.h"
#include "packages/modbus/SystemError.h"
#include "plugins/TelvaneSdk.h"

namespace {

using mb::Status;

class ModbusInterface : public KxInterface {
 public:
  explicit ModbusInterface(KxPackageLog* log) : log_(log) {}
  ~ModbusInterface() override { FreeContext(); }

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
    std::memcpy(reply, &answer, sizeof answer);
    return sizeof answer;
  }

  bool Configure(const uint8_t* bytes, int32_t count) override {
    const std::string text(bytes != nullptr && count > 0 ? reinterpret_cast<const char*>(bytes) : "",
                           bytes != nullptr && count > 0 ? static_cast<size_t>(count) : 0);
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
    mb::BusTurn turn(bus_, nullptr);
    if (!configured_) return false;
    if (!MakeContext()) return false;
    return Connect();
  }

  void Close() override {
    mb::BusTurn turn(bus_, nullptr);
    if (ctx_ != nullptr && connected_) modbus_close(ctx_);
    connected_ = false;
  }

 private:
  void Log(const std::string& text) {
    log_->WriteLine(pkg::ToUtf16("ModbusInterface [" + std::to_string(InterfaceId) + "]: " + text));
  }

  // Called holding the bus.
  bool MakeContext() {
    if (ctx_ != nullptr) return true;
    mb::ClearModbusError();
    if (settings_.mode == mb::BusSettings::Mode::Tcp)
      ctx_ = modbus_new_tcp_pi(settings_.host.c_str(), std::to_string(settings_.port).c_str());
    else
      ctx_ = modbus_new_rtu(mb::SerialPortPath(settings_.device).c_str(), settings_.baud,
                            settings_.parity, settings_.dataBits, settings_.stopBits);
    if (ctx_ == nullptr) {
      Log("não foi possível preparar " + settings_.Describe() + ": " +
          ErrorText(mb::LastModbusError()));
      return false;
    }
    // Retries are ours: libmodbus must neither reconnect nor sleep by itself.
    modbus_set_error_recovery(ctx_, MODBUS_ERROR_RECOVERY_NONE);
    const uint32_t ms = static_cast<uint32_t>(settings_.timeoutMs);
    modbus_set_response_timeout(ctx_, ms / 1000, (ms % 1000) * 1000);
    const uint32_t byteMs = ms < 500 ? ms : 500;
    modbus_set_byte_timeout(ctx_, byteMs / 1000, (byteMs % 1000) * 1000);
    return true;
  }

  void FreeContext() {
    if (ctx_ == nullptr) return;
    if (connected_) modbus_close(ctx_);
    modbus_free(ctx_);
    ctx_ = nullptr;
    connected_ = false;
  }

  // Connects (TCP) or opens the serial line (RTU). Holding the bus. The
  // first failure after a success (or at the first try) is logged.
  bool Connect() {
    mb::ClearModbusError();
    if (modbus_connect(ctx_) == 0) {
      connected_ = true;
      if (down_ || !everConnected_) Log("conectada a " + settings_.Describe());
      down_ = false;
      everConnected_ = true;
      // Gateways and converters that drop what comes at once after the
      // connection.
      if (settings_.connectPauseMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(settings_.connectPauseMs));
      return true;
    }
    const int err = mb::LastModbusError();
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

  void Disconnect() {
    if (connected_) modbus_close(ctx_);
    connected_ = false;
  }

  // One read request, attempt after attempt. Takes the bus.
  void Read(const mb::Request& req, mb::ReadReply& answer) {
    if (req.cancel != nullptr && req.cancel->load()) {
      answer.status = Status::Cancelled;
      return;
    }
    mb::BusTurn turn(bus_, req.cancel);
    if (!turn.Held()) {
      answer.status = Status::Cancelled;
      return;
    }
    if (!configured_ || !MakeContext()) {
      answer.status = Status::NotConfigured;
      return;
    }
    const int attempts = 1 + settings_.retries;
    for (int attempt = 0; attempt < attempts; ++attempt) {
      if (attempt > 0 && req.cancel != nullptr && req.cancel->load()) {
        answer.status = Status::Cancelled;
        return;
      }
      if (!connected_ && !Connect()) {
        answer.status = Status::Connection;
        answer.detail = lastConnectErrno_;
        continue;
      }
      if (ReadOnce(req, answer)) return;
    }
  }

  // One attempt on a connected context; true when there is nothing more to
  // try (a reply, valid or a Modbus exception).
  bool ReadOnce(const mb::Request& req, mb::ReadReply& answer) {
    modbus_set_slave(ctx_, req.unit);
    PauseBeforeRequest();
    mb::ClearModbusError();
    const int n = req.table == mb::Table::Input
                      ? modbus_read_input_registers(ctx_, req.address, req.count, answer.registers)
                      : modbus_read_registers(ctx_, req.address, req.count, answer.registers);
    lastRequestEnd_ = std::chrono::steady_clock::now();
    if (n == req.count) {
      answer.status = Status::Ok;
      answer.detail = 0;
      answer.count = req.count;
      return true;
    }
    const int err = n < 0 ? mb::LastModbusError() : EMBBADDATA;
    if (err > MODBUS_ENOBASE && err <= MODBUS_ENOBASE + MODBUS_EXCEPTION_GATEWAY_TARGET) {
      answer.status = Status::Exception;
      answer.detail = err - MODBUS_ENOBASE;
      return true;
    }
    if (err == ETIMEDOUT) {
      answer.status = Status::NoAnswer;
      answer.detail = 0;
      ForgetPendingReply();
      return false;
    }
    if (err == EMBBADCRC || err == EMBBADDATA || err == EMBBADSLAVE || err == EMBMDATA ||
        err == EMBBADEXC || err == EMBUNKEXC) {
      answer.status = Status::BadFrame;
      answer.detail = err;
      ForgetPendingReply();
      return false;
    }
    // The connection itself failed (reset, broken pipe, device gone).
    answer.status = Status::Connection;
    answer.detail = err;
    if (!down_) Log("conexão perdida com " + settings_.Describe() + ": " + ErrorText(err));
    down_ = true;
    Disconnect();
    return false;
  }

  // After a reply that did not come (or came wrong), whatever arrives late
  // must not be taken for the next request's reply.
  void ForgetPendingReply() {
    if (settings_.mode == mb::BusSettings::Mode::Tcp)
      Disconnect();
    else
      modbus_flush(ctx_);
  }

  static std::string ErrorText(int err) {
    switch (err) {
      case ECONNREFUSED: return "conexão recusada";
      case ETIMEDOUT: return "tempo esgotado";
      case ECONNRESET:
      case EPIPE: return "conexão encerrada pelo outro lado";
      case EHOSTUNREACH:
      case ENETUNREACH: return "destino inalcançável";
      case ENOENT: return "dispositivo inexistente";
      case EACCES: return "sem permissão";
      default:
        return "erro " + std::to_string(err) + " (" +
               (err > MODBUS_ENOBASE ? std::string(modbus_strerror(err)) : mb::ModbusErrorText(err)) +
               ")";
    }
  }

  KxPackageLog* log_;
  mb::BusSettings settings_;  // written by Configure, before any request
  bool configured_ = false;
  mb::BusQueue bus_;
  // Held by whoever holds the bus:
  modbus_t* ctx_ = nullptr;
  bool connected_ = false;
  bool everConnected_ = false;
  bool down_ = false;  // a failure was logged and no success since
  int lastConnectErrno_ = 0;
  std::chrono::steady_clock::time_point lastRequestEnd_{};
};

}  // namespace

TELVANE_EXPORT KxInterface* _CreateInterface(KxPackageLog* log) { return new ModbusInterface(log); }
