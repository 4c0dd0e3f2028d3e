// The code tables of the M-Bus application layer (EN 13757-3): what a VIF
// means in the primary table and in the extension tables after FD and FB,
// what an orthogonal VIFE does to a record, and the texts of the header's
// medium, status byte and application errors. Texts are Portuguese (the
// log's language); units are those of the normalized value: the unit of
// the quantity without prefix (Wh, J, m³, kg, W, J/h, m³/h, kg/h, °C, K,
// bar, s, V, A).
//
// Pure functions over constant tables: callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mbus {

// What a VIF code means and how its value is normalized:
//   normalized = raw × 10^exponent × unitFactor + unitOffset
// (°F into °C is the one with an offset).
struct VifInfo {
  enum class Kind : uint8_t { Number, TimePoint };
  bool known = false;  // false: a code the table reserves (description says which)
  Kind kind = Kind::Number;
  // The quantity: the code with its unit and exponent bits cleared, 0..127
  // within its table (MbusChannelName puts the table in front).
  int quantity = -1;
  std::string description;
  const char* unit = "";
  int exponent = 0;
  double unitFactor = 1;
  double unitOffset = 0;
};

// What one orthogonal VIFE (the VIFEs after the VIF, or after the code that
// follows FD/FB) does.
struct VifeInfo {
  enum class Kind : uint8_t {
    NoError,       // E000 0000: nothing
    RecordError,   // the meter reports this record in error (text)
    Multiply,      // multiplicative correction: the value × 10^exponent
    Add,           // additive correction: + 10^exponent in the unit of the VIF
    Qualifier,     // changes what the value is, not its number (text)
    Manufacturer,  // 7F: the following VIFEs (and the data) are the manufacturer's
    Reserved,
  };
  // What a qualifier makes of the value.
  enum class Makes : uint8_t { Same, Date, Duration, Count };
  Kind kind = Kind::Reserved;
  Makes makes = Makes::Same;
  int exponent = 0;
  double durationFactor = 1;  // Duration: seconds per unit of the raw value
  const char* unitSuffix = "";  // per-unit qualifiers: "/h", "·s" ...
  std::string text;
};

// A condition of the header's status byte.
struct StatusCondition {
  uint8_t mask;
  std::string text;
};

class MbusUnits {
 public:
  // `code` is the VIF (primary) or the first VIFE after FD / FB, extension
  // bit cleared.
  static VifInfo Primary(uint8_t code);
  static VifInfo Fd(uint8_t code);
  static VifInfo Fb(uint8_t code);
  // `code`: an orthogonal VIFE, extension bit cleared.
  static VifeInfo Vife(uint8_t code);

  // The medium byte of the header, e.g. "água fria".
  static std::string MediumText(uint8_t medium);
  // The three letters of a manufacturer code (EN 62056-21 flag id; bit 15
  // ignored).
  static std::string ManufacturerText(uint16_t code);
  // The error code of an application error answer (CI 70), e.g. "mais de 10 DIFE".
  static std::string ApplicationErrorText(uint8_t code);
  // The conditions set in a status byte, in bit order: application busy /
  // error / abnormal condition (bits 0-1), power low (2), permanent error
  // (3), temporary error (4), manufacturer bits (5-7). Empty when none.
  static std::vector<StatusCondition> StatusConditions(uint8_t status);
};

}  // namespace mbus
