// A meter's decoded answer: the header of its first telegram and the data
// records of all its telegrams, in the order the meter sent them. Made by
// MbusDecoder; read by the driver, the probe and the tests.
//
// A plain value once decoded: copy it, read it from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packages/mbus/MbusFrame.h"
#include "packages/mbus/MbusRecord.h"

namespace mbus {

struct Header {
  uint8_t c = 0, a = 0, ci = 0;  // link fields of the first telegram
  // CI 72/76 carry the identification, manufacturer, version and medium;
  // the short header (CI 7A) does not.
  bool longHeader = false;
  bool msbFirst = false;  // CI 76: multi-byte fields high byte first
  uint32_t id = 0;        // 8 BCD digits as nibbles (0x12345678 = "12345678")
  uint16_t manufacturer = 0;
  uint8_t version = 0, medium = 0;
  uint8_t access = 0, status = 0;
  uint16_t signature = 0;

  // The identification number's 8 digits (a nibble A-F shows as that letter).
  std::string IdText() const;
  std::string ManufacturerText() const;
  std::string MediumText() const;
  // The address that selects this meter (long header only).
  SecondaryAddress Secondary() const;
};

class MbusAnswer {
 public:
  Header header;
  std::vector<Record> records;
  // The last telegram ended with DIF 1F: the meter holds more records,
  // which the next REQ_UD2 asks for.
  bool moreRecordsFollow = false;
  int telegrams = 0;

  // The record whose channel name (MbusChannelName, scale digit 0) is
  // `index`; nullptr when none.
  const Record* WithIndex(int32_t index) const;
  // The time point that dates `record`: a date or date-time record of the
  // same storage number and subunit, with the same function and tariff if
  // there is one, else the first of that storage and subunit; nullptr when
  // the answer has none.
  const Record* TimePointFor(const Record& record) const;
  // The error flags records (FD 17), whose `bits` hold the flags; their
  // meaning is the manufacturer's. (The header's status byte:
  // MbusUnits::StatusConditions.)
  std::vector<const Record*> ErrorFlags() const;
  // The flags set in `bits`, for an alarm text: "bit 26", "bits 2, 8" ("" when none).
  static std::string FlagsText(uint64_t bits);
};

}  // namespace mbus
