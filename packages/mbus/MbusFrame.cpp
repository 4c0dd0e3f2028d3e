#include "packages/mbus/MbusFrame.h"

#include "packages/mbus/MbusText.h"

namespace mbus {

uint8_t MbusFrame::Checksum(const uint8_t* data, size_t size) {
  unsigned sum = 0;
  for (size_t i = 0; i < size; ++i) sum += data[i];
  return static_cast<uint8_t>(sum & 0xFF);
}

std::vector<uint8_t> MbusFrame::Short(uint8_t c, uint8_t a) {
  return {kShortStart, c, a, static_cast<uint8_t>((c + a) & 0xFF), kStop};
}

std::vector<uint8_t> MbusFrame::Long(uint8_t c, uint8_t a, uint8_t ci, const std::vector<uint8_t>& data) {
  const auto l = static_cast<uint8_t>(3 + data.size());
  // Sized once and filled (GCC 12 warns falsely about inserting into a
  // vector built from a short list).
  std::vector<uint8_t> f(data.size() + 9);
  f[0] = f[3] = kLongStart;
  f[1] = f[2] = l;
  f[4] = c;
  f[5] = a;
  f[6] = ci;
  for (size_t i = 0; i < data.size(); ++i) f[7 + i] = data[i];
  f[f.size() - 2] = Checksum(f.data() + 4, f.size() - 6);
  f[f.size() - 1] = kStop;
  return f;
}

std::vector<uint8_t> MbusFrame::SndNke(uint8_t a) { return Short(kSndNke, a); }

std::vector<uint8_t> MbusFrame::ReqUd2(uint8_t a, bool fcb) {
  return Short(static_cast<uint8_t>(kReqUd2 | (fcb ? kFcb : 0)), a);
}

std::vector<uint8_t> MbusFrame::SelectSecondary(const SecondaryAddress& s) {
  const std::vector<uint8_t> data = {
      static_cast<uint8_t>(s.id & 0xFF),          static_cast<uint8_t>((s.id >> 8) & 0xFF),
      static_cast<uint8_t>((s.id >> 16) & 0xFF),  static_cast<uint8_t>(s.id >> 24),
      static_cast<uint8_t>(s.manufacturer & 0xFF), static_cast<uint8_t>(s.manufacturer >> 8),
      s.version,                                  s.medium};
  return Long(kSndUd, kSelected, kCiSelect, data);
}

size_t MbusFrame::Length(const uint8_t* head, size_t have) {
  if (have == 0) return 0;
  switch (head[0]) {
    case kAck: return 1;
    case kShortStart: return 5;
    case kLongStart: return have >= 2 ? static_cast<size_t>(head[1]) + 6 : 0;
    default: return kNotAFrame;
  }
}

bool MbusFrame::Parse(const uint8_t* bytes, size_t size, Parsed& out, std::string& why) {
  if (size == 0) {
    why = "quadro vazio";
    return false;
  }
  const size_t need = Length(bytes, size);
  if (need == kNotAFrame) {
    why = "byte inicial " + Hex2(bytes[0]) + " inválido";
    return false;
  }
  if (need == 0 || size < need) {
    why = "quadro incompleto: " + std::to_string(size) + " de " +
          (need == 0 ? std::string("?") : std::to_string(need)) + " bytes";
    return false;
  }
  if (size > need) {
    why = "bytes a mais após o quadro (" + std::to_string(size - need) + ")";
    return false;
  }
  Parsed p;
  p.size = size;
  if (bytes[0] == kAck) {
    p.kind = Kind::Ack;
    out = p;
    return true;
  }
  size_t sumFrom = 1, sumCount = 2;
  if (bytes[0] == kLongStart) {
    if (bytes[2] != bytes[1]) {
      why = "campos L diferentes (" + Hex2(bytes[1]) + " e " + Hex2(bytes[2]) + ")";
      return false;
    }
    if (bytes[3] != kLongStart) {
      why = "segundo byte inicial " + Hex2(bytes[3]) + " inválido";
      return false;
    }
    if (bytes[1] < 3) {
      why = "campo L " + Hex2(bytes[1]) + " menor que 3";
      return false;
    }
    sumFrom = 4;
    sumCount = bytes[1];
  }
  const uint8_t sum = Checksum(bytes + sumFrom, sumCount);
  if (bytes[size - 2] != sum) {
    why = "soma de verificação errada (" + Hex2(bytes[size - 2]) + " em vez de " + Hex2(sum) + ")";
    return false;
  }
  if (bytes[size - 1] != kStop) {
    why = "byte final " + Hex2(bytes[size - 1]) + " em vez de 0x16";
    return false;
  }
  p.c = bytes[sumFrom];
  p.a = bytes[sumFrom + 1];
  if (bytes[0] == kShortStart) {
    p.kind = Kind::Short;
  } else {
    p.kind = Kind::Long;
    p.ci = bytes[6];
    p.data = bytes + 7;
    p.dataSize = sumCount - 3;
  }
  out = p;
  return true;
}

bool MbusFrame::IsRspUd(const Parsed& frame, int expectedAddress, std::string& why) {
  if (frame.kind != Kind::Long) {
    why = frame.kind == Kind::Ack ? "confirmação E5 em vez de resposta com dados"
                                  : "quadro curto em vez de resposta com dados";
    return false;
  }
  // RSP_UD: 08 with ACD (0x20) and DFC (0x10) free.
  if ((frame.c & 0xCF) != kRspUd) {
    why = "campo C " + Hex2(frame.c) + " não é RSP_UD";
    return false;
  }
  if (expectedAddress >= 0 && frame.a != expectedAddress) {
    why = "resposta do endereço " + std::to_string(frame.a) + " em vez de " + std::to_string(expectedAddress);
    return false;
  }
  return true;
}

}  // namespace mbus
