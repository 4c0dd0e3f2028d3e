// One data record of a meter's answer (EN 13757-3 variable data structure),
// as MbusDecoder reads it: how it is coded (DIF, DIFE), what it is (the VIF
// chain), its value normalized into the unit of its quantity without prefix
// (Wh, J, m³, kg, W, m³/h, °C, K, bar, s ...), a Portuguese description and
// its channel name (MbusChannelName) or why it has none.
//
// Plain values: copied freely, read from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mbus {

// The data field of the DIF (its low four bits).
enum class Coding : uint8_t {
  None = 0x0, Int8 = 0x1, Int16 = 0x2, Int24 = 0x3, Int32 = 0x4, Real32 = 0x5, Int48 = 0x6,
  Int64 = 0x7, Selection = 0x8, Bcd2 = 0x9, Bcd4 = 0xA, Bcd6 = 0xB, Bcd8 = 0xC, Variable = 0xD,
  Bcd12 = 0xE, Special = 0xF
};

// The function field of the DIF.
enum class Function : uint8_t { Instantaneous = 0, Maximum = 1, Minimum = 2, DuringError = 3 };

// Where the VIF's code is read: the primary table, the extension tables
// after VIF FD or FB, a plain-text VIF (7C/FC) or a manufacturer's (7F/FF).
enum class VifTable : uint8_t { Primary, Fd, Fb, PlainText, Manufacturer };

// What a record is besides a data record: DIF 0F (manufacturer data to the
// end of the telegram) and 1F (the same, and more records follow in the
// next telegram). Their bytes are the record's value.
enum class Special : uint8_t { None, ManufacturerData, MoreRecordsFollow };

// A meter's date or date and time (its own local time; no zone is sent).
struct DateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool hasTime = false;     // false for a date alone (type G)
  bool summerTime = false;  // the SU bit of types F and I
  // yyyy-mm-ddThh:mm:ss (a date alone at 00:00:00).
  std::string Text() const;
};

struct Value {
  enum class Kind : uint8_t { None, Number, Date, Text, Bytes };
  Kind kind = Kind::None;
  double number = 0;        // normalized (Number)
  bool fromReal32 = false;  // a 32-bit real: print it with a float's digits
  DateTime date;            // Date
  std::string text;         // Text: in reading order
  std::vector<uint8_t> bytes;  // Bytes: binary numbers MSB first, manufacturer data as sent
  // The value as text: numbers in fixed notation with the fewest digits that
  // give them back, dates as DateTime::Text, bytes as hex pairs ("0A 1F").
  std::string Text() const;
};

// The VIF and its VIFEs.
struct VifChain {
  VifTable table = VifTable::Primary;
  // The code in its table, extension bit cleared: the VIF for the primary
  // table, the first VIFE after FD or FB.
  uint8_t code = 0;
  std::string plainText;            // the unit a plain-text VIF names, in reading order
  std::vector<uint8_t> qualifiers;  // orthogonal VIFEs other than corrections, extension bit cleared
  std::vector<uint8_t> manufacturerVifes;  // after a VIFE 7F/FF, as sent
  bool manufacturerSpecific = false;       // VIF 7F/FF or a VIFE 7F/FF
  int correctionExponent = 0;  // multiplicative corrections: the value × 10^this
  double additive = 0;         // additive corrections, in the unit of the VIF
  int vifeCount = 0;           // VIFE bytes read (a plain text's bytes are not VIFEs)
};

struct Record {
  size_t offset = 0;  // of its DIF in the user data of its telegram
  int telegram = 0;   // which telegram of the answer (0 = the first)
  uint8_t dif = 0;
  Coding coding = Coding::None;
  Function function = Function::Instantaneous;
  uint64_t storage = 0;
  uint32_t tariff = 0;
  uint32_t subunit = 0;
  int difeCount = 0;
  VifChain vif;
  Special special = Special::None;
  Value value;
  // The data field as an unsigned integer, for integer codings (error flags
  // and other bit fields); valid when hasBits.
  uint64_t bits = 0;
  bool hasBits = false;
  std::string unit;         // of the normalized value ("" for a number without unit)
  std::string description;  // Portuguese
  // Why the value must not be used although the record was read (a record
  // error the meter reports, a BCD digit A-F, an impossible date, a
  // reserved code): "" when it may.
  std::string problem;
  int32_t equipIndex = 0;  // its channel name (MbusChannelName); 0 when none
  std::string noName;      // why it has none
};

const char* FunctionText(Function function);

}  // namespace mbus
