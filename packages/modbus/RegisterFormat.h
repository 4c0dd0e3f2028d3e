// How a channel of a ModbusMeter is read: the code in CANAIS.LOCAL_ID, three
// decimal digits T F W:
//   T  register table: 3 input registers (function 04), 4 holding registers (03)
//   F  value type: 1 uint16, 2 int16, 3 uint32, 4 int32, 5 float32
//   W  word order of 32-bit values (0 for 16-bit ones):
//      0 ABCD  high word first (the Modbus convention)
//      1 CDAB  low word first
//      2 BADC  high word first, bytes of each word swapped
//      3 DCBA  low word first, bytes of each word swapped
// e.g. 350 = input registers, float32, high word first; 431 = holding
// registers, uint32, low word first. The register address is the channel's
// EQUIP_INDEX (the protocol address, 0 to 65535: reference 30001 is input
// register 0).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "packages/modbus/ModbusProtocol.h"

namespace mb {

enum class ValueType : uint8_t { U16 = 1, I16 = 2, U32 = 3, I32 = 4, F32 = 5 };

struct RegisterFormat {
  Table table = Table::Holding;
  ValueType type = ValueType::U16;
  uint8_t wordOrder = 0;

  int Width() const { return type == ValueType::U16 || type == ValueType::I16 ? 1 : 2; }
  bool IsInteger() const { return type != ValueType::F32; }
  int Code() const {
    return static_cast<int>(table) * 100 + static_cast<int>(type) * 10 + wordOrder;
  }

  // The format of a LOCAL_ID; false when it is no valid code.
  static bool Parse(int32_t code, RegisterFormat& out) {
    if (code < 300 || code > 499) return false;
    const int t = code / 100, f = code / 10 % 10, w = code % 10;
    if (f < 1 || f > 5 || w > 3) return false;
    RegisterFormat r;
    r.table = t == 3 ? Table::Input : Table::Holding;
    r.type = static_cast<ValueType>(f);
    r.wordOrder = static_cast<uint8_t>(w);
    if (r.Width() == 1 && w != 0) return false;
    out = r;
    return true;
  }

  // The value of the register(s) starting at `regs` (Width() of them).
  double Decode(const uint16_t* regs) const {
    if (type == ValueType::U16) return regs[0];
    if (type == ValueType::I16) return static_cast<int16_t>(regs[0]);
    uint16_t hi = regs[0], lo = regs[1];
    if (wordOrder == 1 || wordOrder == 3) std::swap(hi, lo);
    if (wordOrder == 2 || wordOrder == 3) {
      hi = static_cast<uint16_t>((hi >> 8) | (hi << 8));
      lo = static_cast<uint16_t>((lo >> 8) | (lo << 8));
    }
    const uint32_t bits = (static_cast<uint32_t>(hi) << 16) | lo;
    if (type == ValueType::U32) return bits;
    if (type == ValueType::I32) return static_cast<int32_t>(bits);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }

  // The register's conventional reference, as meter manuals print it:
  // 30001 + address for input registers, 40001 + address for holding ones
  // (six digits from address 9999 on: 310000, 410000).
  static std::string Reference(Table table, int32_t address) {
    const int32_t digit = table == Table::Input ? 3 : 4;
    return std::to_string(digit * (address < 9999 ? 10000 : 100000) + 1 + address);
  }
};

}  // namespace mb
