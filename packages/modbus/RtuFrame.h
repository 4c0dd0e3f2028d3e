// Modbus RTU frames of the two reads the packages make (functions 03 and
// 04), as they travel over a serial line or, through a transparent
// serial-to-Ethernet converter, over a TCP connection: the unit id, the PDU
// and a CRC-16/Modbus (low byte first), with no MBAP header.
//
// Portable arithmetic on bytes, no I/O and no state: callable from any
// thread. RtuTcpLink builds its requests and checks its replies here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mb {

class RtuFrame {
 public:
  // Longest reply frame: unit, function, byte count, 255 data bytes, CRC.
  static constexpr size_t kMaxReply = 3 + 255 + 2;

  // What a received reply turned out to be.
  enum class Reply {
    Registers,      // a valid read reply: the registers were decoded
    Exception,      // a valid exception reply: `exceptionCode` holds its code (1..11)
    BadCrc,         // the CRC does not match the frame
    OtherUnit,      // a valid frame from another unit id
    OtherFunction,  // a function that is neither the request's nor its exception
    BadLength,      // a byte count other than 2 × the registers asked for
    BadException,   // an exception reply with a code outside 1..11
  };

  // CRC-16/Modbus (polynomial 0xA001 reflected, initial value 0xFFFF) of
  // `size` bytes. In a frame its low byte goes first.
  static uint16_t Crc(const uint8_t* data, size_t size);

  // The 8-byte request: unit, function, start (high, low), count (high,
  // low), CRC.
  static std::vector<uint8_t> ReadRequest(uint8_t unit, uint8_t function, uint16_t start,
                                          uint16_t count);

  // The whole length of the reply whose first `have` bytes are `head`, by
  // its own header: 5 for an exception (function with bit 7 set), 5 + its
  // byte count for a read reply; 0 while `have` is too short to tell.
  static size_t ReplyLength(const uint8_t* head, size_t have);

  // Checks a complete reply (`size` = ReplyLength) to the request (unit,
  // function, count) and decodes its registers into `registers` (count of
  // them, high byte first) when it is a valid read reply.
  static Reply Parse(const uint8_t* frame, size_t size, uint8_t unit, uint8_t function,
                     uint16_t count, uint16_t* registers, int& exceptionCode);
};

}  // namespace mb
