// A simulated M-Bus line with meters on it, for the tests, the benchmark
// and mbus-meter-sim: it serves a serial device (one end of a
// pseudo-terminal pair) or a TCP port on 127.0.0.1 (as a transparent
// converter does: one connection at a time, a new one replaces the old),
// and answers as meters answer, from recorded telegrams:
//   - SND_NKE to a meter's primary address (or to 253: the selected ones,
//     which it also deselects): E5, and the meter's frame count bit and
//     answer position are reset;
//   - REQ_UD2 to a meter's address (or 253, or 254 for everyone): when the
//     frame count bit was toggled (or FCV is clear, or after a reset) its
//     next telegram, otherwise the same one again; after the last telegram
//     of an answer, the first telegram of its next answer (answers are
//     served in order, the last one kept);
//   - SND_UD with CI 52 to 253: the meters whose secondary address matches
//     (wildcards: nibble F, FFFF, FF) are selected and answer E5, the others
//     deselected.
// Several meters answering at once collide: their bytes are mixed on the
// line (a 0 bit wins, the second sender half a character late), as on a
// real bus. Each telegram is rewritten to carry the meter's primary address
// in its A field and, when one is given, its identification number.
//
// Faults per meter: silent, garbage (answers with a wrong checksum), and
// answers dropped (sent into the void: the meter moves on as if they had
// arrived). With pacing, bytes go out at the line's speed (11 bits a
// character) and an answer starts no earlier than the request's own time
// on the wire plus the turnaround.
//
// Threads: one thread of its own serves the line; every public operation
// may be called from any thread while it runs.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "packages/fieldbus/SerialLine.h"
#include "packages/mbus/MbusFrame.h"

namespace mbussim {

using Telegram = std::vector<uint8_t>;  // a whole RSP_UD long frame
using Answer = std::vector<Telegram>;   // the telegrams of one reading

struct MeterSetup {
  int primary = 0;                  // 0..250
  std::vector<Answer> answers;      // at least one, each of at least one telegram
  int64_t id = -1;                  // identification number (BCD nibbles) to write, or -1: keep
};

struct LineOptions {
  int baud = 2400;
  bool pace = false;      // send at the line's speed
  int turnaroundMs = 0;   // a meter's wait before it answers
};

// Reads a file of hex text (the corpus's format) holding one answer: one or
// more RSP_UD long frames. Throws std::runtime_error saying why.
Answer LoadAnswer(const std::string& path);

class MbusSimLine {
 public:
  // Throw std::runtime_error when the port cannot be listened on or the
  // device opened. TCP port 0: a free one (Port()).
  static std::unique_ptr<MbusSimLine> Tcp(int port, const LineOptions& options = {});
  static std::unique_ptr<MbusSimLine> Serial(const std::string& device, const LineOptions& options = {});
  ~MbusSimLine();
  MbusSimLine(const MbusSimLine&) = delete;
  MbusSimLine& operator=(const MbusSimLine&) = delete;

  int Port() const { return port_; }

  // Puts a meter on the line (replacing one at the same primary address).
  // Throws std::invalid_argument when a telegram is not a valid RSP_UD frame.
  void AddMeter(const MeterSetup& setup);
  void SetSilent(int primary, bool silent);
  void SetGarbage(int primary, bool garbage);
  // The next `count` answers of the meter to REQ_UD2 are lost.
  void DropAnswers(int primary, int count);
  void SetOptions(const LineOptions& options);
  // TCP: closes the connection; returns once it is closed.
  void DropConnections();

  // REQ_UD2 the meter took (repeats included); readings it began (first
  // telegrams sent); requests that were not valid frames; TCP connections.
  int64_t Requests(int primary);
  int64_t Readings(int primary);
  int64_t BadRequests() const { return badRequests_.load(); }
  int64_t Connections() const { return connections_.load(); }

 private:
  struct Meter {
    MeterSetup setup;
    // The header's identification, manufacturer, version and medium bytes,
    // in a selection's order (LSB first).
    std::array<uint8_t, 8> identity{};
    bool hasIdentity = false;
    bool silent = false, garbage = false;
    int drop = 0;
    bool selected = false;
    bool lastFcb = false;
    int current = -1;   // answer being served
    int next = 0;       // answer of the next reading
    int position = -1;  // telegram of `current` last sent; -1: none since the reset
    int64_t requests = 0, readings = 0;
  };

  MbusSimLine() = default;
  void Run();
  // One pass of the serial or TCP side: takes what came, answers it.
  void ServeSerial();
  void ServeTcp();
  // Bytes received at `at`: frames found in them are answered.
  void Take(const uint8_t* data, size_t size, std::chrono::steady_clock::time_point at);
  std::vector<uint8_t> Handle(const mbus::MbusFrame::Parsed& frame);
  Telegram NextTelegram(Meter& m, bool toggled);
  void Send(const std::vector<uint8_t>& bytes, size_t requestSize,
            std::chrono::steady_clock::time_point requestStart);
  void Write(const uint8_t* data, size_t size);

  int port_ = 0;
  int listenFd_ = -1;
  int clientFd_ = -1;  // the TCP connection
  bool serial_ = false;
  std::unique_ptr<fb::SerialLine> serialLine_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> drop_{false};
  std::atomic<int64_t> badRequests_{0};
  std::atomic<int64_t> connections_{0};
  std::mutex mutex_;  // guards meters_ and options_
  std::map<int, Meter> meters_;
  LineOptions options_;
  // Owned by the serving thread: bytes of a request not complete yet.
  std::vector<uint8_t> pending_;
  std::chrono::steady_clock::time_point pendingSince_{};
  std::thread thread_;
};

}  // namespace mbussim
