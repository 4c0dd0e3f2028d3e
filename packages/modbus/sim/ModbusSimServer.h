// A Modbus server on libmodbus (server mode) for the tests, the benchmark and
// the demo's meter simulator: Modbus TCP on 127.0.0.1, or Modbus RTU on a
// serial device (one end of a pseudo-terminal pair in the tests). It answers
// read requests (functions 03 and 04) for any number of unit ids, each with
// its own 65536 holding and 65536 input registers; requests to other units
// get no reply, as on a real bus.
//
// Threads: one thread of its own serves the bus; every public operation may
// be called from any thread while it runs. A hook runs on the server's
// thread, holding the registers' lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

namespace mbsim {

class ModbusSimServer {
 public:
  enum class Table { Holding, Input };
  // Called before each reply to the unit, with its registers (65536 each),
  // to set values that depend on the moment of the request.
  using Hook = std::function<void(uint16_t* holding, uint16_t* input)>;

  // A TCP server on 127.0.0.1:`port` (0: a free port, see Port()). Throws
  // std::runtime_error when it cannot listen.
  static std::unique_ptr<ModbusSimServer> Tcp(int port = 0);
  // An RTU server on `device` (9600 8N1). Throws when it cannot be opened.
  static std::unique_ptr<ModbusSimServer> Rtu(const std::string& device);
  ~ModbusSimServer();
  ModbusSimServer(const ModbusSimServer&) = delete;
  ModbusSimServer& operator=(const ModbusSimServer&) = delete;

  int Port() const { return port_; }

  // Makes `unit` answer (all registers 0).
  void AddUnit(uint8_t unit);
  void SetRegisters(uint8_t unit, Table table, uint16_t address, const std::vector<uint16_t>& values);
  // A float32 in two registers, high word first.
  void SetFloat(uint8_t unit, Table table, uint16_t address, float value);
  void SetHook(uint8_t unit, Hook hook);
  // While set, requests to `unit` are read and not answered.
  void SetSilent(uint8_t unit, bool silent);
  // A register the unit does not have: a request that covers it is answered
  // with exception 2 (illegal data address).
  void SetMissing(uint8_t unit, Table table, uint16_t address);
  // Registers `first`..`first + count - 1` exist. Once a unit has published
  // any, a request that covers a register it did not publish is answered
  // with exception 2, as a real meter does; a unit that published none has
  // every register.
  void Publish(uint8_t unit, Table table, uint16_t first, uint16_t count);
  // TCP: closes every client connection; returns once they are closed.
  void DropConnections();

  // Requests to `unit` received (answered or not); requests that were not
  // valid frames (bad CRC, cut short); TCP connections accepted.
  int64_t Requests(uint8_t unit);
  int64_t BadFrames() const { return badFrames_.load(); }
  int64_t Connections() const { return connections_.load(); }

 private:
  struct Unit {
    modbus_mapping_t* mapping = nullptr;
    Hook hook;
    bool silent = false;
    int64_t requests = 0;
    std::vector<std::pair<Table, uint16_t>> missing;
    std::vector<std::pair<Table, std::pair<int, int>>> published;  // [first, end)
  };

  ModbusSimServer() = default;
  void Run();
  void ServeTcp();
  void ServeRtu();
  // Answers one received request of `length` bytes.
  void Handle(uint8_t* query, int length);
  static bool Published(const Unit& u, Table table, int first, int count);
  void Wake();

  modbus_t* ctx_ = nullptr;
  bool rtu_ = false;
  int port_ = 0;
  int listenFd_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> drop_{false};
  std::atomic<int64_t> badFrames_{0};
  std::atomic<int64_t> connections_{0};
  std::mutex mutex_;  // guards units_
  std::map<uint8_t, Unit> units_;
  std::thread thread_;
};

// The two registers of a float32, high word first.
std::vector<uint16_t> FloatWords(float value);

}  // namespace mbsim
