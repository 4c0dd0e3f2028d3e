// What an M-Bus meter driver asks of the MbusInterface through
// KxInterface::Exchange (slot 0, the packages' own operation). Both packages
// are built from this header with the same compiler, so the structures cross
// the library boundary as they are.
//
// Exchange(&request, sizeof request, &reply, sizeof reply) returns the size
// of the reply it wrote, or -1 when the request is not one of these (wrong
// magic, size or kind, an address out of range, a reply too small). Every
// reply begins with kReplyMagic, so a driver given another kind of interface
// finds out at once.
//
// Reading a meter: a Request of kind Read with its primary address (0..250)
// or, with primary = kBySecondary, its secondary address (wildcards allowed:
// a nibble F in the identification, FFFF manufacturer, FF version or
// medium). The interface waits for its turn on the line (requests are served
// one at a time in the order they came; `cancel` gives up the wait), then:
//   - primary: SND_NKE the first time the address is read on this line (and
//     after a read of it failed), then REQ_UD2 with the frame count bit
//     alternating between answers; a lost or bad answer is asked for again
//     with the same bit, so the meter repeats it;
//   - secondary: SND_UD selecting the address, REQ_UD2 to 253, and SND_NKE
//     to 253 at the end to deselect it;
//   - an answer whose last record is DIF 1F ("more records follow") is
//     followed by further REQ_UD2 until a telegram without it (at most
//     kMaxTelegrams);
//   - each request is tried 1 + retries times when it gets no valid answer.
// The reply holds the RSP_UD long frames as they came (start to stop byte),
// one after the other: MbusDecoder::Decode reads them as one answer.
//
// Threads: Exchange is called by the sampling threads of the meters and the
// service's online thread at once; it serialises them itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "packages/mbus/MbusFrame.h"

namespace mbus {

constexpr uint32_t kRequestMagic = 0x4D425551;  // "MBUQ"
constexpr uint32_t kReplyMagic = 0x4D425550;    // "MBUP"
// Most telegrams one answer may have; a meter that announces more is
// refused (BadFrame).
constexpr int kMaxTelegrams = 16;
constexpr int kMaxAnswerBytes = kMaxTelegrams * static_cast<int>(MbusFrame::kMaxFrame);
// Request::primary of a read by secondary address.
constexpr int32_t kBySecondary = -1;

enum class RequestKind : uint32_t {
  Settings = 1,  // reply: SettingsReply
  Read = 2,      // reply: ReadReply
};

struct Request {
  uint32_t magic = kRequestMagic;
  RequestKind kind = RequestKind::Read;
  int32_t primary = 0;         // 0..250, or kBySecondary
  SecondaryAddress secondary;  // when primary == kBySecondary
  // Set by the driver when it must stop: a request still waiting for the
  // line gives up, one being served stops before its next exchange (status
  // Cancelled). May be null.
  const std::atomic<bool>* cancel = nullptr;
};

// The settings of the interface that concern its meters.
struct SettingsReply {
  uint32_t magic = kReplyMagic;
  int32_t periodS = 0;    // CONFIGS period_s (commissioning); 0 when not given
  int32_t timeoutMs = 0;  // wait for an answer to begin
  int32_t attempts = 0;   // 1 + CONFIGS retries
  int32_t baud = 0;       // the line's speed
  int32_t tcp = 0;        // 1 through a TCP converter
  // What identifies the line, zero-terminated UTF-8: the device as CONFIGS
  // write it, or "host:port" (a meter's journal belongs to the meter on
  // this line). Cut at the size (never longer in practice).
  char line[200] = {};
  uint64_t lineAnswers = 0;  // as in ReadReply, now
};

enum class Status : int32_t {
  Ok = 0,
  NoAnswer = 1,       // nothing came within the timeouts, on every attempt
  BadFrame = 2,       // something came but not a valid answer of this meter (reason)
  Collision = 3,      // several meters answered a selection at once (reason)
  Connection = 4,     // the line could not be used (detail: system error number)
  NotConfigured = 5,  // the interface's CONFIGS were refused
  Cancelled = 6,      // the driver gave up (cancel flag)
};

struct ReadReply {
  uint32_t magic = kReplyMagic;
  Status status = Status::Ok;
  int32_t detail = 0;  // Connection: the system's error number
  // Requests on this line that some meter answered (an E5, a valid frame from
  // any address, or meters colliding on a selection), since the interface
  // was made, this request's included. Between two of a meter's reads it
  // tells whether the line worked while the meter was silent.
  uint64_t lineAnswers = 0;
  // BadFrame, Collision: why, zero-terminated Portuguese UTF-8 ("soma de
  // verificação errada (0x12 em vez de 0x34)").
  char reason[160] = {};
  int32_t telegrams = 0;  // Ok: the telegrams of the answer (1..kMaxTelegrams)
  int32_t size = 0;       // bytes used in `bytes`
  uint8_t bytes[kMaxAnswerBytes] = {};
};

// True when a failure says nothing answered at all (the meter, or the way to
// it), as opposed to something that answered wrong.
inline bool IsSilence(Status status) {
  return status == Status::NoAnswer || status == Status::Connection ||
         status == Status::NotConfigured;
}

// Copies `text` into a fixed field, cut at a character boundary.
template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
  size_t n = text.size() < N - 1 ? text.size() : N - 1;
  while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

// Portuguese text of a status, as shown in alarms and log lines.
inline std::string StatusText(Status status, int32_t detail, const char* reason = "") {
  const std::string why = reason != nullptr && reason[0] != '\0' ? std::string(": ") + reason : "";
  switch (status) {
    case Status::Ok: return "ok";
    case Status::NoAnswer: return "sem resposta";
    case Status::BadFrame: return "resposta inválida" + why;
    case Status::Collision: return "colisão: mais de um medidor respondeu" + why;
    case Status::Connection: return "sem conexão (erro " + std::to_string(detail) + ")";
    case Status::NotConfigured: return "interface M-Bus não configurada";
    case Status::Cancelled: return "leitura cancelada";
  }
  return "erro " + std::to_string(static_cast<int32_t>(status));
}

}  // namespace mbus
