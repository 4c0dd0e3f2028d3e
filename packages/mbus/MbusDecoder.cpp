#include "packages/mbus/MbusDecoder.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#include "packages/mbus/MbusChannelName.h"
#include "packages/mbus/MbusFrame.h"
#include "packages/mbus/MbusText.h"
#include "packages/mbus/MbusUnits.h"

namespace mbus {

namespace {

// value × 10^e, dividing for negative exponents so that a decimal value
// (12345 × 10^-3) comes out as the double nearest to it.
double Scale10(double value, int e) {
  static const double kExact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const int a = e < 0 ? -e : e;
  const double p = a <= 22 ? kExact[a] : std::pow(10.0, a);
  return e < 0 ? value / p : value * p;
}

// Bytes of the fixed-length data fields (0 for none; -1: variable or special).
int FieldLength(Coding c) {
  static const int kLength[16] = {0, 1, 2, 3, 4, 4, 6, 8, 0, 1, 2, 3, 4, -1, 6, -1};
  return kLength[static_cast<int>(c)];
}

bool IsBcd(Coding c) {
  return c == Coding::Bcd2 || c == Coding::Bcd4 || c == Coding::Bcd6 || c == Coding::Bcd8 || c == Coding::Bcd12;
}

// A BCD field (LSB byte first): a high nibble F in the most significant
// digit is a minus sign; any other digit above 9 makes no number.
bool Bcd(const uint8_t* b, size_t n, double& out, std::string& problem) {
  uint64_t value = 0;
  bool negative = false;
  for (size_t i = n; i-- > 0;) {
    for (int shift = 4; shift >= 0; shift -= 4) {
      const unsigned d = (b[i] >> shift) & 0xF;
      if (i == n - 1 && shift == 4 && d == 0xF) {
        negative = true;
        continue;
      }
      if (d > 9) {
        char x[2] = {"0123456789ABCDEF"[d], 0};
        problem = std::string("BCD com dígito hexadecimal ") + x;
        return false;
      }
      value = value * 10 + d;
    }
  }
  out = negative ? -static_cast<double>(value) : static_cast<double>(value);
  return true;
}

// Two's complement integer of n bytes (LSB first), and its bits.
double Signed(const uint8_t* b, size_t n, uint64_t& bits) {
  bits = 0;
  for (size_t i = n; i-- > 0;) bits = (bits << 8) | b[i];
  if (n < 8 && (bits >> (8 * n - 1)) != 0) return static_cast<double>(static_cast<int64_t>(bits | (~0ULL << (8 * n))));
  return static_cast<double>(static_cast<int64_t>(bits));
}

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Two-digit years up to 80 are 20xx, the rest 19xx, unless the hundred-year
// bits of type F say otherwise.
int Century(int year, int hundred) {
  if (hundred != 0) return 1900 + 100 * hundred + year;
  return year <= 80 ? 2000 + year : 1900 + year;
}

// Types G (2 bytes), F (4) and I (6), LSB first. False with `problem` for a
// date the meter flags invalid or one that cannot exist.
bool Date(const uint8_t* b, size_t n, DateTime& out, std::string& problem) {
  DateTime d;
  int yearLow, yearHigh, hundred = 0;
  const uint8_t* dm = b;  // the day and month bytes
  if (n == 4 || n == 6) {
    const uint8_t* t = n == 6 ? b + 1 : b;
    if (n == 6) d.second = b[0] & 0x3F;
    if ((t[0] & 0x80) != 0) return Fail(problem, "data inválida (bit IV)");
    d.minute = t[0] & 0x3F;
    d.hour = t[1] & 0x1F;
    d.summerTime = (t[1] & 0x80) != 0;
    if (n == 4) hundred = (t[1] >> 5) & 3;
    d.hasTime = true;
    dm = t + 2;
  }
  d.day = dm[0] & 0x1F;
  d.month = dm[1] & 0x0F;
  yearLow = (dm[0] >> 5) & 7;
  yearHigh = (dm[1] >> 4) & 0xF;
  const int year = yearLow | (yearHigh << 3);
  if (year > 99 || d.month < 1 || d.month > 12 || d.day < 1 || d.second > 59 || d.minute > 59 || d.hour > 23)
    return Fail(problem, "data impossível");
  d.year = Century(year, hundred);
  if (d.day > DaysInMonth(d.year, d.month)) return Fail(problem, "data impossível");
  out = d;
  return true;
}

// A text from the meter: Latin-1 bytes into UTF-8, control characters as '?'.
std::string Text(const uint8_t* b, size_t n, bool reverse) {
  std::string s;
  for (size_t k = 0; k < n; ++k) {
    const uint8_t c = b[reverse ? n - 1 - k : k];
    if (c < 0x20 || c == 0x7F) {
      s += '?';
    } else if (c < 0x80) {
      s += static_cast<char>(c);
    } else {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return s;
}

// The records of one telegram's user data, after its header. `msbFirst`:
// CI 76, every multi-byte field high byte first.
class TelegramReader {
 public:
  TelegramReader(const uint8_t* data, size_t size, size_t start, bool msbFirst, int telegram)
      : data_(data), size_(size), pos_(start), msbFirst_(msbFirst), telegram_(telegram) {}

  // Appends every record to `out`; false with `why` when one cannot be read
  // (its end, and so where the next begins, is unknown).
  bool ReadAll(MbusAnswer& out, std::string& why) {
    while (pos_ < size_) {
      Record r;
      r.offset = pos_;
      r.telegram = telegram_;
      r.dif = data_[pos_++];
      if (r.dif == 0x2F) continue;  // idle filler
      if ((r.dif & 0x0F) == 0x0F) {
        if (r.dif != 0x0F && r.dif != 0x1F)
          return Fail(why, r.dif == 0x7F ? "DIF 0x7F (pedido de leitura global) numa resposta"
                                         : "DIF " + Hex2(r.dif) + " reservado");
        ReadManufacturerData(r);
        out.moreRecordsFollow = r.special == Special::MoreRecordsFollow;
        out.records.push_back(std::move(r));
        return true;
      }
      if (!ReadDifes(r, why) || !ReadVif(r, why) || !ReadVifes(r, why) || !ReadData(r, why)) return false;
      out.records.push_back(std::move(r));
    }
    out.moreRecordsFollow = false;
    return true;
  }

 private:
  bool Premature(std::string& why, const char* where) {
    return Fail(why, std::string("fim prematuro do registro (") + where + ")");
  }

  void ReadManufacturerData(Record& r) {
    r.special = r.dif == 0x1F ? Special::MoreRecordsFollow : Special::ManufacturerData;
    r.coding = Coding::Special;
    r.value.kind = Value::Kind::Bytes;
    r.value.bytes.assign(data_ + pos_, data_ + size_);
    r.description = r.dif == 0x1F ? "dados do fabricante; mais registros no próximo telegrama" : "dados do fabricante";
    pos_ = size_;
  }

  bool ReadDifes(Record& r, std::string& why) {
    r.coding = static_cast<Coding>(r.dif & 0x0F);
    r.function = static_cast<Function>((r.dif >> 4) & 3);
    r.storage = (r.dif >> 6) & 1;
    bool more = (r.dif & 0x80) != 0;
    while (more) {
      if (pos_ >= size_) return Premature(why, "DIFE");
      if (r.difeCount == MbusDecoder::kMaxDife) return Fail(why, "mais de 10 DIFE");
      const uint8_t dife = data_[pos_++];
      const int n = r.difeCount++;
      r.storage |= static_cast<uint64_t>(dife & 0x0F) << (1 + 4 * n);
      r.tariff |= static_cast<uint32_t>((dife >> 4) & 3) << (2 * n);
      r.subunit |= static_cast<uint32_t>((dife >> 6) & 1) << n;
      more = (dife & 0x80) != 0;
    }
    return true;
  }

  bool ReadVif(Record& r, std::string& why) {
    if (pos_ >= size_) return Premature(why, "VIF");
    const uint8_t vif = data_[pos_++];
    more_ = (vif & 0x80) != 0;
    r.vif.code = vif & 0x7F;
    if (vif == 0xFB || vif == 0xFD) {
      if (pos_ >= size_) return Premature(why, "VIFE");
      const uint8_t code = data_[pos_++];
      r.vif.table = vif == 0xFB ? VifTable::Fb : VifTable::Fd;
      r.vif.code = code & 0x7F;
      r.vif.vifeCount = 1;
      more_ = (code & 0x80) != 0;
    } else if (r.vif.code == 0x7C) {
      if (pos_ >= size_) return Premature(why, "texto do VIF");
      const size_t n = data_[pos_++];
      if (n > size_ - pos_) return Premature(why, "texto do VIF");
      r.vif.table = VifTable::PlainText;
      r.vif.plainText = Text(data_ + pos_, n, !msbFirst_);
      pos_ += n;
    } else if (r.vif.code == 0x7F) {
      r.vif.table = VifTable::Manufacturer;
      r.vif.manufacturerSpecific = true;
    }
    return true;
  }

  bool ReadVifes(Record& r, std::string& why) {
    bool manufacturer = r.vif.table == VifTable::Manufacturer;
    while (more_) {
      if (pos_ >= size_) return Premature(why, "VIFE");
      if (r.vif.vifeCount == MbusDecoder::kMaxVife) return Fail(why, "mais de 10 VIFE");
      const uint8_t vife = data_[pos_++];
      ++r.vif.vifeCount;
      more_ = (vife & 0x80) != 0;
      if (manufacturer) {
        r.vif.manufacturerVifes.push_back(vife);
        continue;
      }
      const VifeInfo info = MbusUnits::Vife(vife & 0x7F);
      switch (info.kind) {
        case VifeInfo::Kind::NoError: break;
        case VifeInfo::Kind::Multiply: r.vif.correctionExponent += info.exponent; break;
        case VifeInfo::Kind::Add: r.vif.additive += Scale10(1, info.exponent); break;
        case VifeInfo::Kind::Manufacturer:
          manufacturer = true;
          r.vif.manufacturerSpecific = true;
          break;
        case VifeInfo::Kind::RecordError:
          if (r.problem.empty()) r.problem = info.text;
          break;
        case VifeInfo::Kind::Reserved:
          if (r.problem.empty()) r.problem = info.text;
          r.vif.qualifiers.push_back(vife & 0x7F);
          break;
        case VifeInfo::Kind::Qualifier: r.vif.qualifiers.push_back(vife & 0x7F); break;
      }
    }
    return true;
  }

  bool ReadData(Record& r, std::string& why) {
    int length = FieldLength(r.coding);
    uint8_t lvar = 0;
    if (r.coding == Coding::Variable) {
      if (pos_ >= size_) return Premature(why, "LVAR");
      lvar = data_[pos_++];
      if (lvar < 0xC0) length = lvar;
      else if (lvar <= 0xC9) length = lvar - 0xC0;
      else if (lvar >= 0xD0 && lvar <= 0xD9) length = lvar - 0xD0;
      else if (lvar >= 0xE0 && lvar <= 0xEF) length = lvar - 0xE0;
      else if (lvar >= 0xF0 && lvar <= 0xF4) length = 4 * (lvar - 0xEC);
      else return Fail(why, "LVAR " + Hex2(lvar) + " não suportado");
    }
    if (static_cast<size_t>(length) > size_ - pos_) return Premature(why, "dado");
    // The field LSB first whatever the mode (a variable-length text keeps
    // its own order, read below).
    uint8_t field[256];
    for (int i = 0; i < length; ++i) field[i] = data_[pos_ + (msbFirst_ ? length - 1 - i : i)];
    Interpret(r, field, static_cast<size_t>(length), lvar, data_ + pos_);
    pos_ += static_cast<size_t>(length);
    return true;
  }

  // The record's value, unit and description from its field (`n` bytes,
  // LSB first; `sent`: the same bytes as sent).
  void Interpret(Record& r, const uint8_t* field, size_t n, uint8_t lvar, const uint8_t* sent) {
    VifInfo info;
    switch (r.vif.table) {
      case VifTable::Primary: info = MbusUnits::Primary(r.vif.code); break;
      case VifTable::Fd: info = MbusUnits::Fd(r.vif.code); break;
      case VifTable::Fb: info = MbusUnits::Fb(r.vif.code); break;
      case VifTable::PlainText:
        info.known = true;
        info.description = "texto: " + r.vif.plainText;
        break;
      case VifTable::Manufacturer:
        info.known = true;
        info.description = "VIF específico do fabricante";
        break;
    }
    if (!info.known && r.problem.empty()) r.problem = info.description;
    r.description = info.description;
    std::string unit = r.vif.table == VifTable::PlainText ? r.vif.plainText : info.unit;
    // What the qualifiers make of the value (the last that says).
    VifeInfo::Makes makes = info.kind == VifInfo::Kind::TimePoint ? VifeInfo::Makes::Date : VifeInfo::Makes::Same;
    double durationFactor = 1;
    for (uint8_t q : r.vif.qualifiers) {
      const VifeInfo v = MbusUnits::Vife(q);
      if (v.kind != VifeInfo::Kind::Qualifier) continue;
      r.description += ", " + v.text;
      unit += v.unitSuffix;
      if (v.makes != VifeInfo::Makes::Same) {
        makes = v.makes;
        durationFactor = v.durationFactor;
      }
    }
    if (r.vif.manufacturerSpecific && r.vif.table != VifTable::Manufacturer)
      r.description += ", com VIFE do fabricante";
    r.unit = unit;
    if (r.coding == Coding::None || r.coding == Coding::Selection) return;  // no data: no value

    if (makes == VifeInfo::Makes::Date) {
      InterpretDate(r, field, n);
      return;
    }
    double raw = 0;
    if (!RawNumber(r, field, n, lvar, sent, raw)) return;
    r.value.kind = Value::Kind::Number;
    if (makes == VifeInfo::Makes::Duration) {
      r.value.number = raw * durationFactor;
      r.unit = "s";
    } else if (makes == VifeInfo::Makes::Count) {
      r.value.number = raw;
      r.unit = "";
    } else {
      r.value.number = Scale10(raw, info.exponent + r.vif.correctionExponent) * info.unitFactor +
                       Scale10(r.vif.additive, info.exponent) * info.unitFactor + info.unitOffset;
    }
  }

  void InterpretDate(Record& r, const uint8_t* field, size_t n) {
    r.unit = "";
    if (!(r.coding == Coding::Int16 || r.coding == Coding::Int32 || r.coding == Coding::Int48)) {
      if (r.problem.empty()) r.problem = "data com codificação " + Hex2(static_cast<unsigned>(r.coding)) + " no DIF";
      return;
    }
    std::string problem;
    if (!Date(field, n, r.value.date, problem)) {
      if (r.problem.empty()) r.problem = problem;
      return;
    }
    r.value.kind = Value::Kind::Date;
  }

  // The number a field holds, before normalization; false (the record left
  // without a number) for texts, long binaries, no data and bad BCD.
  bool RawNumber(Record& r, const uint8_t* field, size_t n, uint8_t lvar, const uint8_t* sent, double& raw) {
    if (r.coding == Coding::Real32) {
      uint32_t bits = 0;
      for (size_t i = 4; i-- > 0;) bits = (bits << 8) | field[i];
      float f;
      std::memcpy(&f, &bits, sizeof f);
      raw = f;
      r.value.fromReal32 = true;
      return true;
    }
    if (IsBcd(r.coding) || (r.coding == Coding::Variable && lvar >= 0xC0 && lvar <= 0xD9)) {
      std::string problem;
      if (!Bcd(field, n, raw, problem)) {
        if (r.problem.empty()) r.problem = problem;
        return false;
      }
      if (r.coding == Coding::Variable && lvar >= 0xD0) raw = -raw;
      return true;
    }
    if (r.coding == Coding::Variable) {
      if (lvar < 0xC0) {
        r.value.kind = Value::Kind::Text;
        r.value.text = Text(sent, n, !msbFirst_);
      } else {
        r.value.kind = Value::Kind::Bytes;
        for (size_t i = n; i-- > 0;) r.value.bytes.push_back(field[i]);  // MSB first
      }
      return false;
    }
    raw = Signed(field, n, r.bits);
    r.hasBits = true;
    return true;
  }

  const uint8_t* data_;
  size_t size_;
  size_t pos_;
  bool msbFirst_;
  int telegram_;
  bool more_ = false;  // the last VIF/VIFE read has its extension bit set
};

// The header of CI 72/76 (12 bytes) or 7A (4 bytes); false with `why`.
bool ReadHeader(uint8_t ci, const uint8_t* data, size_t size, Header& h, size_t& used, std::string& why) {
  const bool msb = ci == 0x76;
  auto le = [&](size_t at, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint32_t>(data[at + (msb ? n - 1 - i : i)]) << (8 * i);
    return v;
  };
  h.ci = ci;
  h.msbFirst = msb;
  if (ci == 0x7A) {
    if (size < 4) return Fail(why, "cabeçalho curto incompleto (" + std::to_string(size) + " de 4 bytes)");
    h.access = data[0];
    h.status = data[1];
    h.signature = static_cast<uint16_t>(le(2, 2));
    used = 4;
    return true;
  }
  if (size < 12) return Fail(why, "cabeçalho incompleto (" + std::to_string(size) + " de 12 bytes)");
  h.longHeader = true;
  h.id = le(0, 4);
  h.manufacturer = static_cast<uint16_t>(le(4, 2));
  h.version = data[6];
  h.medium = data[7];
  h.access = data[8];
  h.status = data[9];
  h.signature = static_cast<uint16_t>(le(10, 2));
  used = 12;
  return true;
}

// Why a CI is not a variable data response the decoder reads.
std::string RefusedCi(uint8_t ci, const uint8_t* data, size_t size) {
  switch (ci) {
    case 0x70: return "erro de aplicação: " + MbusUnits::ApplicationErrorText(size > 0 ? data[0] : 0);
    case 0x71: return "alarme do medidor (CI 0x71)";
    case 0x73:
    case 0x77: return "CI " + Hex2(ci) + " não suportado (estrutura de dados fixa)";
    default: return "CI " + Hex2(ci) + " não suportado";
  }
}

}  // namespace

bool MbusDecoder::DecodeUserData(uint8_t ci, const uint8_t* data, size_t size, MbusAnswer& out, std::string& why) {
  if (ci != 0x72 && ci != 0x76 && ci != 0x7A) return Fail(why, RefusedCi(ci, data, size));
  Header h;
  size_t used = 0;
  if (!ReadHeader(ci, data, size, h, used, why)) return false;
  if ((h.status & 0x03) == 0x01 || (h.status & 0x03) == 0x02)
    return Fail(why, "estado " + Hex2(h.status) + ": " + MbusUnits::StatusConditions(h.status).front().text);
  if (out.telegrams == 0) {
    const Header link = out.header;
    out.header = h;
    out.header.c = link.c;
    out.header.a = link.a;
  } else if (h.longHeader && out.header.longHeader &&
             (h.id != out.header.id || h.manufacturer != out.header.manufacturer)) {
    return Fail(why, "telegrama de outro medidor (" + h.IdText() + " " + h.ManufacturerText() + ")");
  }
  TelegramReader reader(data, size, used, h.msbFirst, out.telegrams);
  if (!reader.ReadAll(out, why)) return false;
  ++out.telegrams;
  return true;
}

bool MbusDecoder::Decode(const uint8_t* bytes, size_t size, MbusAnswer& out, std::string& why, int expectedAddress) {
  MbusAnswer answer;
  size_t pos = 0;
  while (pos < size || answer.telegrams == 0) {
    const std::string prefix = answer.telegrams == 0 ? "" : "telegrama " + std::to_string(answer.telegrams + 1) + ": ";
    const size_t left = size - pos;
    const size_t length = MbusFrame::Length(bytes + pos, left);
    if (answer.telegrams > 0 && length == MbusFrame::kNotAFrame)
      return Fail(why, "bytes a mais após o quadro (" + std::to_string(left) + ")");
    const size_t take = length == 0 || length == MbusFrame::kNotAFrame || length > left ? left : length;
    MbusFrame::Parsed frame;
    if (!MbusFrame::Parse(bytes + pos, take, frame, why) || !MbusFrame::IsRspUd(frame, expectedAddress, why)) {
      why = prefix + why;
      return false;
    }
    if (answer.telegrams == 0) {
      answer.header.c = frame.c;
      answer.header.a = frame.a;
    }
    if (!DecodeUserData(frame.ci, frame.data, frame.dataSize, answer, why)) {
      why = prefix + why;
      return false;
    }
    pos += take;
  }
  NameRecords(answer);
  out = std::move(answer);
  return true;
}

void MbusDecoder::NameRecords(MbusAnswer& answer) {
  std::map<int32_t, size_t> first;
  for (size_t i = 0; i < answer.records.size(); ++i) {
    Record& r = answer.records[i];
    MbusChannelName name;
    r.equipIndex = 0;
    if (!MbusChannelName::Of(r, name, r.noName)) continue;
    r.noName.clear();
    const int32_t index = name.Index();
    const auto seen = first.find(index);
    if (seen == first.end()) {
      first.emplace(index, i);
      r.equipIndex = index;
      continue;
    }
    const std::string ambiguous = "ambíguo: outro registro tem o mesmo nome (" + std::to_string(index) + ")";
    r.noName = ambiguous;
    Record& other = answer.records[seen->second];
    if (other.equipIndex != 0) {
      other.equipIndex = 0;
      other.noName = ambiguous;
    }
  }
}

}  // namespace mbus
