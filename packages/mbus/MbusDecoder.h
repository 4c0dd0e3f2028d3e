// The M-Bus application layer (EN 13757-3): a meter's RSP_UD answer into
// its header and its data records, each normalized, described and named
// (MbusChannelName). What this reads:
//   - CI 72 (long header, LSB first), 76 (the same, every multi-byte field
//     MSB first) and 7A (short header); CI 70 (an application error) and
//     any other CI are refused with their reason;
//   - data fields of 8, 16, 24, 32, 48 and 64-bit integers (signed, type B),
//     BCD of 2 to 12 digits (a high nibble F is a minus sign; another digit
//     A-F leaves the record without a usable value), 32-bit reals, variable
//     length (text, BCD, binary); up to 10 DIFE (storage number, tariff,
//     subunit) and 10 VIFE;
//   - the primary VIF table, the FD and FB tables, plain-text VIFs (7C/FC)
//     and manufacturer VIFs (7F/FF); orthogonal VIFEs: corrections
//     (multiplicative, additive: applied to the value), qualifiers (kept;
//     dates, durations and counts change what the value is), record errors
//     the meter reports (the record's problem), 7F (the rest is the
//     manufacturer's);
//   - dates of types G (16 bit), F (32 bit, with its invalid bit) and I
//     (48 bit, with seconds), by the time-point VIF 6C (G) / 6D (F or I) or a
//     date qualifier: an invalid or impossible date leaves no value;
//   - DIF 0F / 1F (manufacturer data to the end of the telegram, 1F: more
//     records follow), 2F (idle filler, skipped).
// A status byte that says "application busy" or "application error" (bits
// 0-1 = 01 or 10) refuses the answer too: its values are not the meter's.
//
// Stateless: callable from any thread. Never reads outside the buffer it is
// given; a malformed answer gives no records and a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "packages/mbus/MbusAnswer.h"

namespace mbus {

class MbusDecoder {
 public:
  static constexpr int kMaxDife = 10;
  static constexpr int kMaxVife = 10;

  // A meter's answer: one RSP_UD long frame, or the telegrams of a
  // multi-telegram answer one after the other (their records appended in
  // order; each must come from the meter of the first). `expectedAddress`:
  // the primary address asked, or -1 for any. False with `why` (Portuguese,
  // short, "telegrama N: ..." past the first) when the frames are not valid
  // RSP_UD long frames or their application layer cannot be read; `out` is
  // then left empty.
  static bool Decode(const uint8_t* bytes, size_t size, MbusAnswer& out, std::string& why,
                     int expectedAddress = -1);

  // The application layer of one telegram whose link layer was checked:
  // its CI and the user data after it. Appends the records to `out` (the
  // header is taken from the first telegram, `out.telegrams` == 0). Names
  // are given by Decode once every telegram is read.
  static bool DecodeUserData(uint8_t ci, const uint8_t* data, size_t size, MbusAnswer& out, std::string& why);

  // Gives every record its channel name, or why it has none; records that
  // would share a name get none (which one to store could only be guessed).
  static void NameRecords(MbusAnswer& answer);
};

}  // namespace mbus
