// What the ModbusMeter driver asks of the ModbusInterface through
// KxInterface::Exchange (slot 0, the packages' own operation). Both packages
// are built from this header with the same compiler, so the structures cross
// the library boundary as they are.
//
// Exchange(&request, sizeof request, &reply, sizeof reply) returns the size
// of the reply it wrote, or -1 when the request is not one of these (wrong
// magic, size or kind). Every reply begins with kReplyMagic, so a driver
// given another kind of interface finds out at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace mb {

constexpr uint32_t kRequestMagic = 0x4D425251;  // "MBRQ"
constexpr uint32_t kReplyMagic = 0x4D425250;    // "MBRP"
constexpr int kMaxRegisters = 125;              // most registers one read may ask for

enum class RequestKind : uint32_t {
  Settings = 1,  // reply: SettingsReply
  Read = 2,      // reply: ReadReply
};

enum class Table : uint8_t {
  Holding = 3,  // function 03, read holding registers
  Input = 4,    // function 04, read input registers
};

struct Request {
  uint32_t magic = kRequestMagic;
  RequestKind kind = RequestKind::Read;
  uint8_t unit = 0;  // see UnitAllowed
  Table table = Table::Holding;
  uint16_t address = 0;  // first register (protocol address, 0-based)
  uint16_t count = 0;    // 1..kMaxRegisters
  // Set by the driver when it must stop: a request still waiting for the bus
  // gives up (status Cancelled). May be null.
  const std::atomic<bool>* cancel = nullptr;
};

constexpr int kBusNameSize = 160;  // SettingsReply::bus, its terminating zero included

// The settings of the interface that concern its meters.
struct SettingsReply {
  uint32_t magic = kReplyMagic;
  int32_t periodS = 0;      // CONFIGS period_s (commissioning); 0 when not given
  int32_t timeoutMs = 0;    // CONFIGS timeout_ms
  int32_t attempts = 0;     // 1 + CONFIGS retries
  int32_t tcp = 0;          // 1 on Modbus TCP, where unit ids 0 and 255 are in use too
  // What identifies the line the meters are on, whatever its timeouts and
  // pauses: "TCP host:port", "RTU sobre TCP host:port" or "RTU <device as
  // opened>" (zero-terminated UTF-8, cut to fit). Part of a meter's identity.
  char bus[kBusNameSize] = {};
  uint64_t lineAnswers = 0;  // see ReadReply
};

// The unit ids a bus can address: 1 to 247 on a serial line (0 is the
// broadcast, which no meter answers), 0 to 247 and 255 on Modbus TCP
// (native TCP meters often answer 0 or 255 only).
inline bool UnitAllowed(int32_t unit, bool tcp) {
  return tcp ? (unit >= 0 && unit <= 247) || unit == 255 : unit >= 1 && unit <= 247;
}

enum class Status : int32_t {
  Ok = 0,
  NoAnswer = 1,       // no reply within timeout_ms, on every attempt
  Exception = 2,      // the meter answered with a Modbus exception (detail: its code)
  Connection = 3,     // the connection or the serial device could not be used
                      // (detail: the system's error number, SystemError.h)
  BadFrame = 4,       // a reply came but was not valid (CRC, other unit, wrong size...)
  NotConfigured = 5,  // the interface's CONFIGS were refused
  Cancelled = 6,      // the driver gave up while waiting for the bus
  NotAValue = 7,      // the register(s) hold no number: NaN or infinity ("not available")
};

struct ReadReply {
  uint32_t magic = kReplyMagic;
  Status status = Status::Ok;
  int32_t detail = 0;
  uint16_t count = 0;
  uint16_t registers[kMaxRegisters] = {};
  // Requests on this interface's line that got an answer from any unit
  // (registers, or a Modbus exception other than a gateway's 10 and 11),
  // since the interface was made, as this reply leaves it. A meter that gets no answer tells by it whether the
  // others on its line answered meanwhile (it is dead) or not (the line,
  // gateway or converter is silent as a whole).
  uint64_t lineAnswers = 0;
};

// True when a failure says the meter (or the way to it) does not answer at
// all, as opposed to a meter that answered with an error.
inline bool IsSilence(Status status) {
  return status == Status::NoAnswer || status == Status::Connection ||
         status == Status::NotConfigured;
}

// Portuguese text of a status, as shown in alarms and log lines.
inline std::string StatusText(Status status, int32_t detail) {
  switch (status) {
    case Status::Ok:
      return "ok";
    case Status::NoAnswer:
      return "sem resposta";
    case Status::Exception:
      switch (detail) {
        case 1: return "função não suportada (exceção Modbus 1)";
        case 2: return "endereço de registro inválido (exceção Modbus 2)";
        case 3: return "quantidade de registros inválida (exceção Modbus 3)";
        case 4: return "falha no medidor (exceção Modbus 4)";
        case 6: return "medidor ocupado (exceção Modbus 6)";
        case 10: return "gateway sem caminho para o medidor (exceção Modbus 10)";
        case 11: return "o medidor não respondeu ao gateway (exceção Modbus 11)";
        default: return "exceção Modbus " + std::to_string(detail);
      }
    case Status::Connection:
      return "sem conexão (erro " + std::to_string(detail) + ")";
    case Status::BadFrame:
      return "resposta inválida";
    case Status::NotConfigured:
      return "interface Modbus não configurada";
    case Status::Cancelled:
      return "leitura cancelada";
    case Status::NotAValue:
      return "valor não disponível (NaN ou infinito)";
  }
  return "erro " + std::to_string(static_cast<int32_t>(status));
}

}  // namespace mb
