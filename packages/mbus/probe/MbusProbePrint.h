// What mbus-probe prints about a meter's answer, shared by its modes (an
// answer read from a file now; scans and readings over a line later): the
// header, then one line per data record, TAB-separated:
//   EQUIP_INDEX (or "-")  value  unit  function, storage, tariff, subunit: description[; sem nome: why][; inválido: problem]
// Values are normalized into the unit of their quantity without prefix,
// dates as yyyy-mm-ddThh:mm:ss. Pure formatting: no I/O but the stream given.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "packages/mbus/MbusAnswer.h"

namespace mbus {

class MbusProbePrint {
 public:
  // Reads a file of hex text (MbusHex) and decodes the answer it holds.
  static bool DecodeHexFile(const std::string& path, MbusAnswer& answer, std::string& why);
  static void Answer(std::ostream& out, const MbusAnswer& answer);
  static std::vector<std::string> HeaderLines(const MbusAnswer& answer);
  static std::string RecordLine(const Record& record);
};

}  // namespace mbus
