// M-Bus link-layer frames (EN 13757-2) as they travel on the line or through
// a transparent serial-to-Ethernet converter: the single character E5, the
// short frame 10 C A CS 16 and the long frame 68 L L 68 C A CI data CS 16,
// whose checksum is the sum of C..end of data mod 256 and whose L counts
// C, A, CI and the data.
//
// Portable arithmetic on bytes, no I/O and no state: callable from any
// thread. The link layer builds its requests here and checks what it
// receives here before the application layer (MbusDecoder) reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mbus {

// A secondary address as SND_UD selects it (CI 52): identification number
// (8 BCD digits, LSB byte first on the wire), manufacturer code, version and
// medium. Wildcards: a nibble F in the identification, FFFF in the
// manufacturer, FF in the version or medium.
struct SecondaryAddress {
  uint32_t id = 0xFFFFFFFF;        // BCD nibbles as read, e.g. 0x12345678 = "12345678"
  uint16_t manufacturer = 0xFFFF;  // as in the answer's header (two bytes, LSB first)
  uint8_t version = 0xFF;
  uint8_t medium = 0xFF;
};

class MbusFrame {
 public:
  static constexpr uint8_t kAck = 0xE5;
  static constexpr uint8_t kShortStart = 0x10;
  static constexpr uint8_t kLongStart = 0x68;
  static constexpr uint8_t kStop = 0x16;
  // Addresses: 0 unconfigured, 1..250 primary, 253 the meter selected by
  // secondary address, 254 broadcast with answer, 255 broadcast without.
  static constexpr uint8_t kMaxPrimary = 250;
  static constexpr uint8_t kSelected = 0xFD;
  static constexpr uint8_t kBroadcastReply = 0xFE;
  static constexpr uint8_t kBroadcast = 0xFF;
  // C fields: SND_NKE, SND_UD and REQ_UD2 (FCV set; FCB is 0x20), RSP_UD
  // (ACD 0x20 and DFC 0x10 may be set by the meter).
  static constexpr uint8_t kSndNke = 0x40;
  static constexpr uint8_t kSndUd = 0x53;
  static constexpr uint8_t kReqUd2 = 0x5B;
  static constexpr uint8_t kFcb = 0x20;
  static constexpr uint8_t kRspUd = 0x08;
  static constexpr uint8_t kCiSelect = 0x52;
  // Longest frame: 4 + 255 + 2.
  static constexpr size_t kMaxFrame = 261;
  // Length() of bytes that begin no frame.
  static constexpr size_t kNotAFrame = static_cast<size_t>(-1);

  enum class Kind : uint8_t { Ack, Short, Long };

  // A frame checked by Parse. `data` points into the parsed buffer (the
  // user data after CI of a long frame) and lives as long as it does.
  struct Parsed {
    Kind kind = Kind::Ack;
    uint8_t c = 0, a = 0, ci = 0;  // ci only for a long frame
    const uint8_t* data = nullptr;
    size_t dataSize = 0;
    size_t size = 0;  // bytes of the frame
  };

  // Sum mod 256 of `size` bytes.
  static uint8_t Checksum(const uint8_t* data, size_t size);

  static std::vector<uint8_t> Short(uint8_t c, uint8_t a);
  // A long frame; `data` is the user data after CI (at most 252 bytes).
  static std::vector<uint8_t> Long(uint8_t c, uint8_t a, uint8_t ci, const std::vector<uint8_t>& data);
  // SND_NKE to `a` (link reset; also deselects a secondary address at 253).
  static std::vector<uint8_t> SndNke(uint8_t a);
  // REQ_UD2 to `a`; `fcb` alternates between successful exchanges.
  static std::vector<uint8_t> ReqUd2(uint8_t a, bool fcb);
  // SND_UD to 253 selecting the meter(s) matching `address` (wildcards kept).
  static std::vector<uint8_t> SelectSecondary(const SecondaryAddress& address);

  // The whole length of the frame whose first `have` bytes are `head`, by
  // its own header: 1 for E5, 5 for a short frame, L + 6 for a long one; 0
  // while `have` is too short to tell; kNotAFrame when head[0] begins no frame.
  static size_t Length(const uint8_t* head, size_t have);

  // Checks one whole frame (`size` bytes, nothing after it): start bytes,
  // both L equal, the length, checksum and stop byte. False with `why`
  // (Portuguese, short) when it is no valid frame. Never reads outside
  // [bytes, bytes + size).
  static bool Parse(const uint8_t* bytes, size_t size, Parsed& out, std::string& why);

  // Checks that a valid frame is a meter's RSP_UD long frame, from
  // `expectedAddress` unless it is negative (any address).
  static bool IsRspUd(const Parsed& frame, int expectedAddress, std::string& why);
};

}  // namespace mbus
