#include "packages/modbus/RtuFrame.h"

namespace mb {

uint16_t RtuFrame::Crc(const uint8_t* data, size_t size) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

std::vector<uint8_t> RtuFrame::ReadRequest(uint8_t unit, uint8_t function, uint16_t start,
                                           uint16_t count) {
  std::vector<uint8_t> frame = {unit,
                                function,
                                static_cast<uint8_t>(start >> 8),
                                static_cast<uint8_t>(start & 0xFF),
                                static_cast<uint8_t>(count >> 8),
                                static_cast<uint8_t>(count & 0xFF)};
  const uint16_t crc = Crc(frame.data(), frame.size());
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

size_t RtuFrame::ReplyLength(const uint8_t* head, size_t have) {
  if (have >= 2 && (head[1] & 0x80) != 0) return 5;
  if (have >= 3) return 5 + static_cast<size_t>(head[2]);
  return 0;
}

RtuFrame::Reply RtuFrame::Parse(const uint8_t* frame, size_t size, uint8_t unit, uint8_t function,
                                uint16_t count, uint16_t* registers, int& exceptionCode) {
  if (size < 5 || size != ReplyLength(frame, size)) return Reply::BadLength;
  const uint16_t crc = Crc(frame, size - 2);
  if (frame[size - 2] != (crc & 0xFF) || frame[size - 1] != (crc >> 8)) return Reply::BadCrc;
  if (frame[0] != unit) return Reply::OtherUnit;
  if (frame[1] == (function | 0x80)) {
    // Codes 1 to 11 are the protocol's; libmodbus takes any other for an
    // invalid reply, and so do we.
    if (frame[2] < 1 || frame[2] > 11) return Reply::BadException;
    exceptionCode = frame[2];
    return Reply::Exception;
  }
  if (frame[1] != function) return Reply::OtherFunction;
  if (frame[2] != 2 * count) return Reply::BadLength;
  for (uint16_t i = 0; i < count; ++i)
    registers[i] = static_cast<uint16_t>((frame[3 + 2 * i] << 8) | frame[4 + 2 * i]);
  return Reply::Registers;
}

}  // namespace mb
