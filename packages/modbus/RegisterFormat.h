// Where and how a channel of a ModbusMeter is read: its CANAIS.EQUIP_INDEX
// holds both, as decimal digits [E] T F W AAAAA:
//   AAAAA  the register address, the protocol address 0 to 65535 (reference
//          30001 is input register 0, 40001 holding register 0)
//   T      register table: 3 input registers (function 04), 4 holding (03)
//   F      value type: 1 uint16, 2 int16, 3 uint32, 4 int32, 5 float32,
//          6 uint64, 7 int64, 8 float64
//   W      word order of 32- and 64-bit values (0 for 16-bit ones):
//          0 high word first (ABCD, the Modbus convention)
//          1 low word first (CDAB)
//          2 high word first, the bytes of each word swapped (BADC)
//          3 low word first, the bytes of each word swapped (DCBA)
//   E      scale, a power of ten (absent or 0: none): 1 to 5 divide the
//          register's value by 10 to 100000 (a register counting 0.01 kWh is
//          E = 2; W for a variable in kW, E = 3), 6 to 9 multiply it by 10 to
//          10000
// e.g. 35000072 = input registers 72..73, float32, high word first;
// 247100100 = holding registers 100..103, int64, low word first, / 100.
// CANAIS.LOCAL_ID is the building's and is never read.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "packages/modbus/ModbusProtocol.h"

namespace mb {

enum class ValueType : uint8_t {
  U16 = 1, I16 = 2, U32 = 3, I32 = 4, F32 = 5, U64 = 6, I64 = 7, F64 = 8
};

struct RegisterFormat {
  static constexpr int32_t kAddressSpan = 100000;  // EQUIP_INDEX = code * span + address

  Table table = Table::Holding;
  ValueType type = ValueType::U16;
  uint8_t wordOrder = 0;
  uint8_t scale = 0;  // the E digit

  int Width() const {
    switch (type) {
      case ValueType::U16:
      case ValueType::I16: return 1;
      case ValueType::U64:
      case ValueType::I64:
      case ValueType::F64: return 4;
      default: return 2;
    }
  }
  bool IsFloat() const { return type == ValueType::F32 || type == ValueType::F64; }
  // The code in front of the address: E T F W.
  int Code() const {
    return scale * 1000 + (table == Table::Input ? 3 : 4) * 100 + static_cast<int>(type) * 10 +
           wordOrder;
  }

  // The format and the register address of an EQUIP_INDEX; false when it is
  // no valid one (a register past 65535 included).
  static bool Parse(int32_t equipIndex, RegisterFormat& out, int32_t& address) {
    if (equipIndex < 0) return false;
    const int32_t code = equipIndex / kAddressSpan;
    const int32_t where = equipIndex % kAddressSpan;
    const int32_t tfw = code % 1000, e = code / 1000;
    const int32_t t = tfw / 100, f = tfw / 10 % 10, w = tfw % 10;
    if ((t != 3 && t != 4) || f < 1 || f > 8 || w > 3 || e > 9) return false;
    RegisterFormat r;
    r.table = t == 3 ? Table::Input : Table::Holding;
    r.type = static_cast<ValueType>(f);
    r.wordOrder = static_cast<uint8_t>(w);
    r.scale = static_cast<uint8_t>(e);
    if (r.Width() == 1 && w != 0) return false;
    if (where + r.Width() - 1 > 65535) return false;
    out = r;
    address = where;
    return true;
  }

  // The channel's value from the register(s) starting at `regs` (Width() of
  // them), scaled. NaN or infinity when a float register holds one.
  double Value(const uint16_t* regs) const {
    const double raw = Decode(regs);
    if (scale == 0) return raw;
    // Dividing by an exact power of ten rounds once (12345 / 100 is the
    // double nearest 123.45; 12345 * 0.01 is not).
    return scale <= 5 ? raw / std::pow(10.0, scale) : raw * std::pow(10.0, scale - 5);
  }

  // The value of the register(s), unscaled.
  double Decode(const uint16_t* regs) const {
    if (type == ValueType::U16) return regs[0];
    if (type == ValueType::I16) return static_cast<int16_t>(regs[0]);
    const int n = Width();
    uint64_t bits = 0;
    for (int i = 0; i < n; ++i) {
      uint16_t word = regs[wordOrder == 1 || wordOrder == 3 ? n - 1 - i : i];
      if (wordOrder == 2 || wordOrder == 3) word = static_cast<uint16_t>((word >> 8) | (word << 8));
      bits = (bits << 16) | word;
    }
    switch (type) {
      case ValueType::U32: return static_cast<double>(static_cast<uint32_t>(bits));
      case ValueType::I32: return static_cast<int32_t>(static_cast<uint32_t>(bits));
      case ValueType::F32: {
        const auto b32 = static_cast<uint32_t>(bits);
        float f;
        std::memcpy(&f, &b32, sizeof f);
        return f;
      }
      case ValueType::U64: return static_cast<double>(bits);
      case ValueType::I64: return static_cast<double>(static_cast<int64_t>(bits));
      default: {
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
      }
    }
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
