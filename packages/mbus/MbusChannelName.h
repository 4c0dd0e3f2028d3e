// The name of a channel of an M-Bus meter in CANAIS.EQUIP_INDEX: what
// identifies a data record in the meter's answer (its quantity, storage
// number, tariff, subunit and function), never its position (positions
// shift between firmware versions), and a power-of-ten scale. Decimal
// digits E F SS T U QQQ:
//   QQQ  the quantity: the VIF code with its unit and exponent bits
//        cleared: 000-127 primary table, 200-327 the FD table + 200,
//        400-527 the FB table + 400; 600-727 and 800-927 a primary
//        quantity accumulated only from positive contributions (VIFE 3B:
//        heating energy, import) and in absolute value only from negative
//        ones (VIFE 3C: cooling energy, export)
//   U    subunit 0-9;  T tariff 0-9;  SS storage number 00-99
//   F    function: 1 instantaneous, 2 maximum, 3 minimum, 4 value during error
//   E    scale: the channel stores the normalized value / 10^E (3: kWh from
//        Wh, 6: MWh from Wh, 9: GJ from J; 0: the normalized unit)
// e.g. 10000016 = instantaneous volume (m³), storage 0; 310000600 = heating
// energy in kWh. Corrections (VIFE 70-7D) change the value, never the name.
// A record the scheme cannot hold has no name (Of says why). CANAIS.LOCAL_ID
// is the building's and is never read.
//
// Pure functions: callable from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "packages/mbus/MbusAnswer.h"
#include "packages/mbus/MbusRecord.h"

namespace mbus {

class MbusChannelName {
 public:
  static constexpr int kFdBase = 200;
  static constexpr int kFbBase = 400;
  static constexpr int kPositiveBase = 600;
  static constexpr int kNegativeBase = 800;
  static constexpr int32_t kLeast = 10000000;  // F = 1, everything else 0

  int scale = 0;
  Function function = Function::Instantaneous;
  int storage = 0, tariff = 0, subunit = 0;
  int quantity = 0;

  int32_t Index() const;

  // The name of a decoded record, scale 0; false with `why` when the scheme
  // cannot hold it (manufacturer data, a plain-text or manufacturer VIF or
  // VIFE, a value that is no number, a reserved code, a qualifier other
  // than the two named ones, storage above 99, tariff or subunit above 9).
  static bool Of(const Record& record, MbusChannelName& out, std::string& why);

  // An EQUIP_INDEX read back; false with `why` when it names no quantity
  // the tables know or its digits are out of range.
  static bool Parse(int32_t equipIndex, MbusChannelName& out, std::string& why);

  // The record channel `equipIndex` names in `answer` (its scale digit
  // aside); nullptr with `why` when the index is invalid or no record of the
  // answer has that name. The driver dates it with answer.TimePointFor.
  static const Record* Find(const MbusAnswer& answer, int32_t equipIndex, std::string& why);

  // The value channel `equipIndex` stores from `answer`: its record's
  // normalized value / 10^E as a float. False with `why` (Portuguese, short)
  // when the index is invalid, no record of the answer has that name, its
  // value is not to be used (the record's problem), or it is NaN, infinite
  // or beyond a float.
  static bool StoredValue(const MbusAnswer& answer, int32_t equipIndex, float& out, std::string& why);
};

}  // namespace mbus
