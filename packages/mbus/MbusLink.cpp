#include "packages/mbus/MbusLink.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <thread>
#include <utility>

#include "packages/mbus/MbusAnswer.h"
#include "packages/mbus/MbusDecoder.h"
#include "packages/mbus/MbusUnits.h"

namespace mbus {

namespace {

bool Cancelled(const std::atomic<bool>* cancel) { return cancel != nullptr && cancel->load(); }

LinkAnswer Failure(Status status, std::string reason = "", int32_t detail = 0) {
  LinkAnswer a;
  a.status = status;
  a.reason = std::move(reason);
  a.detail = detail;
  return a;
}

// The header and "more records follow" of one telegram whose link layer was
// checked; false when its application layer cannot be read (`why`).
bool ReadTelegram(const MbusFrame::Parsed& frame, MbusAnswer& answer, std::string& why) {
  answer = MbusAnswer();
  answer.header.c = frame.c;
  answer.header.a = frame.a;
  return MbusDecoder::DecodeUserData(frame.ci, frame.data, frame.dataSize, answer, why);
}

// The identification digit `digit` (0 = most significant) of a pattern.
int Digit(uint32_t id, int digit) { return static_cast<int>((id >> (4 * (7 - digit))) & 0xF); }
uint32_t WithDigit(uint32_t id, int digit, int value) {
  const int shift = 4 * (7 - digit);
  return (id & ~(0xFu << shift)) | (static_cast<uint32_t>(value) << shift);
}

}  // namespace

MbusLink::MbusLink(std::unique_ptr<fb::ByteLine> line, const LinkTiming& timing, EventFn onEvent)
    : line_(std::move(line)), timing_(timing), onEvent_(std::move(onEvent)) {
  fcb_.fill(-1);
}

MbusLink::Clock::duration MbusLink::WireTime(size_t bytes) const {
  const auto us = static_cast<int64_t>(bytes) * timing_.bitsPerCharacter * 1000000 / timing_.baud;
  return std::chrono::microseconds(us);
}

bool MbusLink::Open(int& err) {
  if (!OpenLine(err)) {
    if (onEvent_) onEvent_(Event::OpenFailed, err);
    return false;
  }
  if (onEvent_) onEvent_(Event::Opened, 0);
  return true;
}

bool MbusLink::OpenLine(int& err) {
  fcb_.fill(-1);
  if (!line_->Open(err)) return false;
  // Converters and level converters that drop what comes at once.
  if (timing_.connectPauseMs > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(timing_.connectPauseMs));
  lastEnd_ = Clock::now();
  return true;
}

void MbusLink::Close() { line_->Close(); }

bool MbusLink::EnsureOpen(int& err) { return line_->IsOpen() || Open(err); }

void MbusLink::LineLost(int err) {
  line_->Close();
  fcb_.fill(-1);
  if (onEvent_) onEvent_(Event::Lost, err);
}

void MbusLink::PauseBeforeRequest() {
  const auto least = std::max<Clock::duration>(WireTime(1), std::chrono::milliseconds(timing_.requestPauseMs));
  const auto due = lastEnd_ + least;
  const auto now = Clock::now();
  if (due > now) std::this_thread::sleep_for(due - now);
}

void MbusLink::DrainUntilQuiet() {
  // Quiet: four characters' time and 20 ms (converters and USB adapters
  // deliver in bursts). Bounded by one long frame and the answer time.
  const auto quiet = WireTime(4) + std::chrono::milliseconds(20);
  const auto limit = Clock::now() + WireTime(MbusFrame::kMaxFrame) + std::chrono::milliseconds(timing_.timeoutMs);
  uint8_t scrap[MbusFrame::kMaxFrame];
  for (;;) {
    const auto now = Clock::now();
    if (now >= limit) return;
    int err = 0;
    const long n = line_->Receive(scrap, sizeof scrap, std::min(limit, now + quiet), err);
    if (n == 0) return;
    if (n < 0) {
      LineLost(err);
      return;
    }
  }
}

MbusLink::Attempt MbusLink::Transact(const std::vector<uint8_t>& request) {
  Attempt a;
  int err = 0;
  if (!EnsureOpen(err)) {
    a.got = Attempt::Got::LineFailed;
    a.err = err;
    return a;
  }
  PauseBeforeRequest();
  // What a late answer left behind. A connection the converter closed
  // meanwhile (many close idle ones) is made again at once: the line only
  // counts as lost when that fails (an adapter that was unplugged).
  if (!line_->Discard(err)) {
    line_->Close();
    if (!OpenLine(err)) {
      LineLost(err);
      a.got = Attempt::Got::LineFailed;
      a.err = err;
      return a;
    }
  }
  const auto sendDeadline = Clock::now() + WireTime(request.size()) + std::chrono::milliseconds(timing_.timeoutMs);
  if (!line_->Send(request.data(), request.size(), sendDeadline, err)) {
    LineLost(err);
    a.got = Attempt::Got::LineFailed;
    a.err = err;
    return a;
  }
  ReadFrame(a, Clock::now() + WireTime(request.size()));
  if (a.got == Attempt::Got::Garbage) DrainUntilQuiet();
  lastEnd_ = Clock::now();
  return a;
}

void MbusLink::ReadFrame(Attempt& a, Clock::time_point requestEnd) {
  a.bytes.resize(MbusFrame::kMaxFrame);
  size_t have = 0;
  size_t need = 0;  // the frame's whole length, once its header tells it
  auto deadline = requestEnd + std::chrono::milliseconds(timing_.timeoutMs);
  Clock::time_point began{};
  for (;;) {
    int err = 0;
    const size_t room = need == 0 ? a.bytes.size() - have : need - have;
    const long n = line_->Receive(a.bytes.data() + have, room, deadline, err);
    if (n < 0) {
      LineLost(err);
      a.got = Attempt::Got::LineFailed;
      a.err = err;
      return;
    }
    if (n == 0) {
      a.bytes.resize(have);
      if (have == 0) {
        a.got = Attempt::Got::Nothing;
      } else {
        a.got = Attempt::Got::Garbage;
        MbusFrame::Parsed unused;
        MbusFrame::Parse(a.bytes.data(), have, unused, a.why);
      }
      return;
    }
    if (have == 0) began = Clock::now();
    have += static_cast<size_t>(n);
    if (need == 0) {
      need = MbusFrame::Length(a.bytes.data(), have);
      if (need == MbusFrame::kNotAFrame) {
        a.bytes.resize(have);
        a.got = Attempt::Got::Garbage;
        MbusFrame::Parse(a.bytes.data(), have, a.frame, a.why);
        return;
      }
      if (need != 0) {
        // More came in one read than the frame holds: another sender.
        if (have > need) {
          a.bytes.resize(have);
          a.got = Attempt::Got::Garbage;
          a.why = "bytes a mais após o quadro (" + std::to_string(have - need) + ")";
          return;
        }
        deadline = began + WireTime(need) + std::chrono::milliseconds(timing_.timeoutMs);
      }
    }
    if (need != 0 && have == need) break;
  }
  a.bytes.resize(have);
  if (!MbusFrame::Parse(a.bytes.data(), have, a.frame, a.why)) {
    a.got = Attempt::Got::Garbage;
    return;
  }
  a.got = Attempt::Got::Frame;
}

LinkAnswer MbusLink::Ask(const std::vector<uint8_t>& request, const Expect& expect,
                         const std::atomic<bool>* cancel, std::vector<uint8_t>* frameOut) {
  LinkAnswer result = Failure(Status::NoAnswer);
  const int attempts = expect.once ? 1 : 1 + timing_.retries;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (Cancelled(cancel)) return Failure(Status::Cancelled);
    Attempt a = Transact(request);
    LinkAnswer now;
    switch (a.got) {
      case Attempt::Got::LineFailed:
        now = Failure(Status::Connection, "", a.err);
        break;
      case Attempt::Got::Nothing:
        now = Failure(Status::NoAnswer);
        break;
      case Attempt::Got::Garbage:
        if (expect.garbageIsCollision) ++lineAnswers_;
        now = Failure(expect.garbageIsCollision ? Status::Collision : Status::BadFrame, a.why);
        break;
      case Attempt::Got::Frame: {
        ++lineAnswers_;
        std::string why;
        const bool ok = expect.ack ? a.frame.kind == MbusFrame::Kind::Ack
                                   : MbusFrame::IsRspUd(a.frame, expect.address, why);
        if (ok) {
          if (frameOut != nullptr) *frameOut = std::move(a.bytes);
          return LinkAnswer();
        }
        if (expect.ack) why = "quadro em vez da confirmação E5";
        now = Failure(Status::BadFrame, why);
        break;
      }
    }
    // A silent attempt after one that got something keeps what that got:
    // the meter (or several) was there.
    if (!(now.status == Status::NoAnswer &&
          (result.status == Status::BadFrame || result.status == Status::Collision)))
      result = now;
  }
  return result;
}

LinkAnswer MbusLink::ReadTelegrams(int address, int expectedAddress, bool wildcard,
                                   const std::atomic<bool>* cancel) {
  LinkAnswer out;
  Expect expect;
  expect.address = expectedAddress;
  expect.garbageIsCollision = wildcard;
  std::vector<uint8_t> previous;
  for (;;) {
    std::vector<uint8_t> frame;
    LinkAnswer r = Ask(MbusFrame::ReqUd2(static_cast<uint8_t>(address), fcb_[address] == 1), expect,
                       cancel, &frame);
    if (r.status != Status::Ok) {
      fcb_[address] = -1;  // the meter may have moved on: reset it next time
      return r;
    }
    fcb_[address] = static_cast<int8_t>(fcb_[address] ^ 1);
    // A meter that announces more records but sends the same telegram again
    // (it ignores the frame count bit) has nothing more to give.
    if (out.telegrams > 0 && previous == frame) return out;
    out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
    ++out.telegrams;
    MbusFrame::Parsed parsed;
    std::string why;
    MbusAnswer telegram;
    // A telegram whose records cannot be read ends the answer here; the
    // driver's decoding says why.
    if (!MbusFrame::Parse(frame.data(), frame.size(), parsed, why) || !ReadTelegram(parsed, telegram, why) ||
        !telegram.moreRecordsFollow)
      return out;
    previous = std::move(frame);
    if (out.telegrams == kMaxTelegrams) {
      fcb_[address] = -1;
      LinkAnswer refused = Failure(Status::BadFrame, "mais de " + std::to_string(kMaxTelegrams) + " telegramas");
      refused.bytes = std::move(out.bytes);
      refused.telegrams = out.telegrams;
      return refused;
    }
    if (Cancelled(cancel)) return Failure(Status::Cancelled);
  }
}

LinkAnswer MbusLink::ReadPrimary(int address, const std::atomic<bool>* cancel) {
  if (address < 0 || address > MbusFrame::kMaxPrimary) return Failure(Status::BadFrame, "endereço primário inválido");
  if (fcb_[address] < 0) {
    const LinkAnswer reset = Ping(address, cancel);
    if (reset.status != Status::Ok) return reset;
  }
  return ReadTelegrams(address, address, false, cancel);
}

LinkAnswer MbusLink::Ping(int address, const std::atomic<bool>* cancel) {
  Expect ack;
  ack.ack = true;
  LinkAnswer r = Ask(MbusFrame::SndNke(static_cast<uint8_t>(address)), ack, cancel, nullptr);
  // After SND_NKE a meter takes the next bit set as new.
  if (r.status == Status::Ok) fcb_[address] = 1;
  return r;
}

LinkAnswer MbusLink::Select(const SecondaryAddress& address, bool once, const std::atomic<bool>* cancel) {
  Expect ack;
  ack.ack = true;
  ack.garbageIsCollision = true;
  ack.once = once;
  LinkAnswer r = Ask(MbusFrame::SelectSecondary(address), ack, cancel, nullptr);
  // The selection's own SND_UD carries the bit cleared: the REQ_UD2 that
  // follows sets it.
  fcb_[MbusFrame::kSelected] = r.status == Status::Ok ? 1 : -1;
  return r;
}

void MbusLink::Deselect() {
  Attempt a = Transact(MbusFrame::SndNke(MbusFrame::kSelected));
  if (a.got == Attempt::Got::Frame) ++lineAnswers_;
  fcb_[MbusFrame::kSelected] = -1;
}

LinkAnswer MbusLink::ReadSecondary(const SecondaryAddress& address, const std::atomic<bool>* cancel) {
  const bool wildcard = HasWildcard(address);
  LinkAnswer r = Select(address, false, cancel);
  if (r.status != Status::Ok) return r;
  r = ReadTelegrams(MbusFrame::kSelected, -1, wildcard, cancel);
  if (r.status == Status::Ok) {
    // The answer must be the selected meter's (a meter that took the
    // selection for another's would otherwise be stored under it).
    MbusFrame::Parsed first;
    MbusAnswer telegram;
    std::string why;
    if (MbusFrame::Parse(r.bytes.data(), MbusFrame::Length(r.bytes.data(), r.bytes.size()), first, why) &&
        ReadTelegram(first, telegram, why) && telegram.header.longHeader &&
        !Matches(address, telegram.header.Secondary()))
      r = Failure(Status::BadFrame, "resposta de outro medidor (" + SecondaryText(telegram.header.Secondary()) + ")");
  }
  if (r.status != Status::Connection && r.status != Status::Cancelled) Deselect();
  return r;
}

LinkAnswer MbusLink::Search(const SecondaryAddress& mask, const std::function<void(const FoundMeter&)>& found,
                            const std::atomic<bool>* cancel) {
  LinkAnswer stop;
  SearchUnder(mask, found, cancel, stop);
  if (stop.status != Status::Connection && stop.status != Status::Cancelled) Deselect();
  return stop;
}

bool MbusLink::SearchUnder(const SecondaryAddress& pattern, const std::function<void(const FoundMeter&)>& found,
                           const std::atomic<bool>* cancel, LinkAnswer& stop) {
  // One attempt per selection: most branches are empty, and retrying each
  // would multiply the search's time.
  LinkAnswer r = Select(pattern, true, cancel);
  if (r.status == Status::Connection || r.status == Status::Cancelled) {
    stop = r;
    return false;
  }
  if (r.status == Status::NoAnswer) return true;
  if (r.status == Status::Ok) {
    // One acknowledgement: one meter, or several that answered in step;
    // its answer tells which.
    Expect expect;
    expect.garbageIsCollision = true;
    std::vector<uint8_t> frame;
    r = Ask(MbusFrame::ReqUd2(MbusFrame::kSelected, true), expect, cancel, &frame);
    fcb_[MbusFrame::kSelected] = -1;
    if (r.status == Status::Connection || r.status == Status::Cancelled) {
      stop = r;
      return false;
    }
    if (r.status == Status::Ok || r.status == Status::NoAnswer) {
      FoundMeter meter;
      meter.address = pattern;
      MbusFrame::Parsed parsed;
      MbusAnswer telegram;
      std::string why;
      if (r.status == Status::NoAnswer) {
        meter.note = "confirmou a seleção mas não respondeu";
      } else if (MbusFrame::Parse(frame.data(), frame.size(), parsed, why) && ReadTelegram(parsed, telegram, why)) {
        meter.primary = parsed.a;
        if (telegram.header.longHeader)
          meter.address = telegram.header.Secondary();
        else
          meter.note = "resposta sem cabeçalho longo";
      } else {
        meter.primary = parsed.a;
        meter.note = "resposta ilegível: " + why;
      }
      found(meter);
      return true;
    }
    // Several meters answered the REQ_UD2: narrow as for a collision.
  }
  int digit = 0;
  while (digit < 8 && Digit(pattern.id, digit) != 0xF) ++digit;
  if (digit == 8) {
    FoundMeter meter;
    meter.address = pattern;
    meter.note = "mais de um medidor com este endereço secundário";
    found(meter);
    return true;
  }
  for (int value = 0; value <= 9; ++value) {
    SecondaryAddress narrower = pattern;
    narrower.id = WithDigit(pattern.id, digit, value);
    if (!SearchUnder(narrower, found, cancel, stop)) return false;
  }
  return true;
}

bool Matches(const SecondaryAddress& pattern, const SecondaryAddress& address) {
  for (int digit = 0; digit < 8; ++digit) {
    const int p = Digit(pattern.id, digit);
    if (p != 0xF && p != Digit(address.id, digit)) return false;
  }
  return (pattern.manufacturer == 0xFFFF || pattern.manufacturer == address.manufacturer) &&
         (pattern.version == 0xFF || pattern.version == address.version) &&
         (pattern.medium == 0xFF || pattern.medium == address.medium);
}

bool HasWildcard(const SecondaryAddress& pattern) {
  for (int digit = 0; digit < 8; ++digit)
    if (Digit(pattern.id, digit) == 0xF) return true;
  return pattern.manufacturer == 0xFFFF || pattern.version == 0xFF || pattern.medium == 0xFF;
}

std::string SecondaryText(const SecondaryAddress& a) {
  char id[16];
  std::snprintf(id, sizeof id, "%08X", static_cast<unsigned>(a.id));
  std::string out = id;
  if (a.manufacturer == 0xFFFF && a.version == 0xFF && a.medium == 0xFF) return out;
  char tail[16];
  out += "." + (a.manufacturer == 0xFFFF ? std::string("*") : MbusUnits::ManufacturerText(a.manufacturer));
  std::snprintf(tail, sizeof tail, ".%02X", a.version);
  out += a.version == 0xFF ? std::string(".*") : std::string(tail);
  std::snprintf(tail, sizeof tail, ".%02X", a.medium);
  out += a.medium == 0xFF ? std::string(".*") : std::string(tail);
  return out;
}

bool ParseSecondary(const std::string& text, SecondaryAddress& out) {
  SecondaryAddress a;
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == '.')
      parts.emplace_back();
    else
      parts.back() += c;
  }
  if (parts.size() > 4 || parts[0].size() != 8) return false;
  a.id = 0;
  for (char c : parts[0]) {
    const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!(std::isdigit(static_cast<unsigned char>(u)) || u == 'F')) return false;
    a.id = (a.id << 4) | static_cast<uint32_t>(u == 'F' ? 0xF : u - '0');
  }
  if (parts.size() > 1 && parts[1] != "*") {
    if (parts[1].size() != 3) return false;
    uint16_t code = 0;
    for (char c : parts[1]) {
      const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (u < 'A' || u > 'Z') return false;
      code = static_cast<uint16_t>(code * 32 + (u - 64));
    }
    a.manufacturer = code;
  }
  for (size_t i = 2; i < parts.size(); ++i) {
    if (parts[i] == "*") continue;
    unsigned v = 0;
    char extra = 0;
    if (parts[i].size() != 2 || std::sscanf(parts[i].c_str(), "%2x%c", &v, &extra) != 1) return false;
    (i == 2 ? a.version : a.medium) = static_cast<uint8_t>(v);
  }
  out = a;
  return true;
}

}  // namespace mbus
