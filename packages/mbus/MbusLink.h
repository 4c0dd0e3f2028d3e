// The M-Bus link layer as a master drives it on one line (a serial port
// behind a level converter, or a TCP connection to a transparent
// converter: an fb::ByteLine): one request and its answer at a time, with
// bounded waits, retries, the frame count bit of every address, answers of
// several telegrams, selection by secondary address and the search for the
// meters behind a wildcard address. Frames are built and checked by
// MbusFrame; "more records follow" is read by MbusDecoder.
//
// Timing of one exchange (LinkTiming): the request goes out at least
// max(11 bit times, requestPauseMs) after the end of the previous exchange;
// its answer must begin within timeoutMs after the request has left (its own
// length at the line's speed, 11 bits a character with 8E1), and be whole
// within its length at that speed plus timeoutMs after it began. Nothing
// within timeoutMs is no answer; bytes that are not a valid frame are a bad
// answer (or a collision, after a selection), after which the line is let
// fall silent before the next request (at most one long frame's time plus
// timeoutMs). Each request is made 1 + retries times when it gets no valid
// answer, the frame count bit unchanged, so a meter whose answer was lost
// repeats it rather than moving on. So no call waits longer than (its
// exchanges) x (1 + retries) x (pause + 2 x long frame + 3 x timeoutMs).
//
// A line that fails (a closed connection, a serial adapter that went away)
// is closed and opened again by the next exchange; the owner hears of it
// through the event function (its log lines).
//
// Threads: one thread at a time (MbusInterface calls it holding its line's
// turn; the probe has one thread). `cancel` flags may be set from any
// thread: a call stops before its next exchange.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "packages/fieldbus/ByteLine.h"
#include "packages/mbus/MbusFrame.h"
#include "packages/mbus/MbusProtocol.h"

namespace mbus {

struct LinkTiming {
  int baud = 2400;
  int bitsPerCharacter = 11;  // start, 8 data, parity, stop
  int timeoutMs = 188;        // an answer must begin within this
  int retries = 2;            // further attempts after no valid answer
  int requestPauseMs = 0;     // least silence before a request (at least 11 bit times)
  int connectPauseMs = 0;     // wait after the line is opened
};

// The outcome of a read: Ok with the RSP_UD frames as they came, or what
// went wrong (MbusProtocol.h's statuses).
struct LinkAnswer {
  Status status = Status::Ok;
  int32_t detail = 0;       // Connection: the system's error number
  std::string reason;       // BadFrame, Collision: why
  std::vector<uint8_t> bytes;
  int telegrams = 0;
};

// A meter found by Search.
struct FoundMeter {
  SecondaryAddress address;  // as its answer's header says (the selection's when it has none)
  int primary = -1;          // the A field of its answer
  // "" when its answer was read; otherwise why its identity is uncertain
  // (several meters that share the address, an answer that could not be read).
  std::string note;
};

class MbusLink {
 public:
  enum class Event {
    Opened,      // the line was opened (err 0)
    OpenFailed,  // it could not be opened (err)
    Lost,        // an open line failed (err); it was closed
  };
  using EventFn = std::function<void(Event event, int err)>;

  MbusLink(std::unique_ptr<fb::ByteLine> line, const LinkTiming& timing, EventFn onEvent = {});
  MbusLink(const MbusLink&) = delete;
  MbusLink& operator=(const MbusLink&) = delete;

  // Opens the line (again). False with the system's error number.
  bool Open(int& err);
  void Close();
  bool IsOpen() const { return line_->IsOpen(); }
  const fb::ByteLine& Line() const { return *line_; }

  // The answer of the meter at primary address `address` (0..250), every
  // telegram of it.
  LinkAnswer ReadPrimary(int address, const std::atomic<bool>* cancel);
  // The answer of the meter that `address` selects (wildcards allowed;
  // several meters matching it give Collision), then deselects it.
  LinkAnswer ReadSecondary(const SecondaryAddress& address, const std::atomic<bool>* cancel);
  // SND_NKE to `address`: Ok when a meter acknowledged it.
  LinkAnswer Ping(int address, const std::atomic<bool>* cancel);
  // Every meter whose secondary address matches `mask`: a selection that
  // several meters answer is narrowed one identification digit at a time
  // (most significant first). Each selection is made once (most are
  // unanswered; a meter that missed one is found by searching again), the
  // reading of a meter found is retried as any. `found` is called for each
  // meter as it is found. Ok when the search ran to its end; Connection or Cancelled when
  // it was cut short (with what was found until then already reported).
  LinkAnswer Search(const SecondaryAddress& mask, const std::function<void(const FoundMeter&)>& found,
                    const std::atomic<bool>* cancel);

  // Requests that some meter answered since construction (an E5, a valid
  // frame from any address, meters colliding on a selection).
  uint64_t LineAnswers() const { return lineAnswers_; }

 private:
  using Clock = fb::ByteLine::Clock;

  // What one attempt of a request got.
  struct Attempt {
    enum class Got { Nothing, Frame, Garbage, LineFailed };
    Got got = Got::Nothing;
    int err = 0;
    std::string why;  // Garbage
    std::vector<uint8_t> bytes;
    MbusFrame::Parsed frame;  // Frame: points into `bytes`
  };
  // What a request expects.
  struct Expect {
    bool ack = false;           // an E5; otherwise an RSP_UD long frame
    int address = -1;           // of the RSP_UD, or -1 for any
    bool garbageIsCollision = false;
    bool once = false;  // one attempt, whatever the retries
  };

  LinkAnswer Ask(const std::vector<uint8_t>& request, const Expect& expect,
                 const std::atomic<bool>* cancel, std::vector<uint8_t>* frameOut);
  Attempt Transact(const std::vector<uint8_t>& request);
  // Reads bytes until they make one whole frame (or show they do not).
  void ReadFrame(Attempt& a, Clock::time_point requestEnd);
  // The line failed: closed, and the owner told.
  void LineLost(int err);
  // Opens the line when it is closed; false with `err`.
  bool EnsureOpen(int& err);
  // Opens the line without telling the owner.
  bool OpenLine(int& err);
  // Waits until nothing has come for a few characters' time (bounded).
  void DrainUntilQuiet();
  void PauseBeforeRequest();
  LinkAnswer ReadTelegrams(int address, int expectedAddress, bool wildcard,
                           const std::atomic<bool>* cancel);
  LinkAnswer Select(const SecondaryAddress& address, bool once, const std::atomic<bool>* cancel);
  void Deselect();
  // One branch of Search: false when the search must stop (`stop` says why).
  bool SearchUnder(const SecondaryAddress& pattern, const std::function<void(const FoundMeter&)>& found,
                   const std::atomic<bool>* cancel, LinkAnswer& stop);
  Clock::duration WireTime(size_t bytes) const;

  std::unique_ptr<fb::ByteLine> line_;
  LinkTiming timing_;
  EventFn onEvent_;
  // The frame count bit of the next REQ_UD2 to each address: -1 when a
  // SND_NKE (or, at 253, a selection) must come first.
  std::array<int8_t, 256> fcb_;
  Clock::time_point lastEnd_{};
  uint64_t lineAnswers_ = 0;
};

// True when `address` matches `pattern` (its wildcards: a nibble F in the
// identification, manufacturer FFFF, version or medium FF).
bool Matches(const SecondaryAddress& pattern, const SecondaryAddress& address);
bool HasWildcard(const SecondaryAddress& pattern);
// "12345678.ABC.01.07" with wildcards as F / FFF... ("1234FFFF.*.*.*" is
// written "1234FFFF"); ParseSecondary reads the same form: 8 digits (F for
// any), then optionally ".MAN" (3 letters or *), ".VV" and ".MM" (hex or *).
std::string SecondaryText(const SecondaryAddress& address);
bool ParseSecondary(const std::string& text, SecondaryAddress& out);

}  // namespace mbus
