// The M-Bus frames, decoder and channel names where the real answers of
// MbusCorpusTest do not reach: codings and tables no meter there uses
// (negative BCD, 48/64-bit integers, type I dates, the FB table,
// corrections), CI 76 and multi-telegram answers, what must be refused, and
// how a channel's EQUIP_INDEX picks and scales its value.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "packages/mbus/MbusChannelName.h"
#include "packages/mbus/MbusDecoder.h"
#include "packages/mbus/MbusFrame.h"

namespace {

using mbus::MbusFrame;
using Bytes = std::vector<uint8_t>;

// A meter's RSP_UD from address 5: the long header of meter 12345678
// (manufacturer PAD, version 1, water, access 0x55) and `records`.
Bytes Rsp(const Bytes& records, uint8_t ci = 0x72, uint8_t status = 0x00) {
  Bytes data = {0x78, 0x56, 0x34, 0x12, 0x24, 0x40, 0x01, 0x07, 0x55, status, 0x00, 0x00};
  if (ci == 0x76) data = {0x12, 0x34, 0x56, 0x78, 0x40, 0x24, 0x01, 0x07, 0x55, status, 0x00, 0x00};
  if (ci == 0x7A) data = {0x55, status, 0x00, 0x00};
  data.insert(data.end(), records.begin(), records.end());
  return MbusFrame::Long(0x08, 0x05, ci, data);
}

std::string Refusal(const Bytes& frame) {
  mbus::MbusAnswer a;
  std::string why;
  EXPECT_FALSE(mbus::MbusDecoder::Decode(frame.data(), frame.size(), a, why));
  EXPECT_TRUE(a.records.empty());
  return why;
}

mbus::MbusAnswer Decoded(const Bytes& frame) {
  mbus::MbusAnswer a;
  std::string why;
  EXPECT_TRUE(mbus::MbusDecoder::Decode(frame.data(), frame.size(), a, why)) << why;
  return a;
}

float Stored(const mbus::MbusAnswer& a, int32_t index, std::string& why) {
  float v = -1;
  return mbus::MbusChannelName::StoredValue(a, index, v, why) ? v : NAN;
}

TEST(MbusFrame, BuildsRequestsAndSaysWhyAFrameIsRefused) {
  EXPECT_EQ(MbusFrame::SndNke(5), (Bytes{0x10, 0x40, 0x05, 0x45, 0x16}));
  EXPECT_EQ(MbusFrame::ReqUd2(5, false), (Bytes{0x10, 0x5B, 0x05, 0x60, 0x16}));
  EXPECT_EQ(MbusFrame::ReqUd2(5, true), (Bytes{0x10, 0x7B, 0x05, 0x80, 0x16}));
  mbus::SecondaryAddress s;
  s.id = 0x1234FFFF;  // 1234 then any four digits, any manufacturer, version, medium
  EXPECT_EQ(MbusFrame::SelectSecondary(s),
            (Bytes{0x68, 0x0B, 0x0B, 0x68, 0x53, 0xFD, 0x52, 0xFF, 0xFF, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF,
                   0xE2, 0x16}));

  const Bytes good = Rsp({0x04, 0x13, 0x01, 0x00, 0x00, 0x00});
  EXPECT_EQ(MbusFrame::Length(good.data(), 1), 0u);
  EXPECT_EQ(MbusFrame::Length(good.data(), 2), good.size());
  EXPECT_EQ(MbusFrame::Length(Bytes{0xE5}.data(), 1), 1u);
  EXPECT_EQ(MbusFrame::Length(Bytes{0x42}.data(), 1), MbusFrame::kNotAFrame);
  MbusFrame::Parsed p;
  std::string why;
  ASSERT_TRUE(MbusFrame::Parse(good.data(), good.size(), p, why)) << why;
  EXPECT_TRUE(MbusFrame::IsRspUd(p, 5, why));
  EXPECT_FALSE(MbusFrame::IsRspUd(p, 6, why));
  EXPECT_EQ(why, "resposta do endereço 5 em vez de 6");
  ASSERT_TRUE(MbusFrame::Parse(Bytes{0xE5}.data(), 1, p, why));
  EXPECT_FALSE(MbusFrame::IsRspUd(p, -1, why));
  const Bytes snd = MbusFrame::Long(0x53, 0x05, 0x51, {});
  ASSERT_TRUE(MbusFrame::Parse(snd.data(), snd.size(), p, why));
  EXPECT_FALSE(MbusFrame::IsRspUd(p, -1, why));
  EXPECT_EQ(why, "campo C 0x53 não é RSP_UD");

  struct Case { Bytes frame; const char* why; };
  Bytes checksum = good, lengths = good, stop = good, longer = good;
  checksum[checksum.size() - 2] ^= 1;
  lengths[2] += 1;
  stop.back() = 0x17;
  longer.push_back(0x00);
  const Case cases[] = {
      {Bytes(good.begin(), good.end() - 1), "quadro incompleto: 26 de 27 bytes"},
      {longer, "bytes a mais após o quadro (1)"},
      {checksum, "soma de verificação errada (0x6D em vez de 0x6C)"},
      {lengths, "campos L diferentes (0x15 e 0x16)"},
      {stop, "byte final 0x17 em vez de 0x16"},
      {{0x68, 0x02, 0x02, 0x68, 0x08, 0x05, 0x0D, 0x16}, "campo L 0x02 menor que 3"},
      {{0x42}, "byte inicial 0x42 inválido"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(MbusFrame::Parse(c.frame.data(), c.frame.size(), p, why));
    EXPECT_EQ(why, c.why);
  }
  // The answer too: link faults are the decoder's reasons, with nothing decoded.
  EXPECT_EQ(Refusal(checksum), "soma de verificação errada (0x6D em vez de 0x6C)");
  EXPECT_EQ(Refusal(longer), "bytes a mais após o quadro (1)");
}

TEST(MbusDecoder, CodingsTablesAndCorrectionsNoCorpusMeterUses) {
  const mbus::MbusAnswer a = Decoded(Rsp({
      0x8A, 0x10, 0x13, 0x23, 0xF1,                    // 4-digit BCD, F in front, tariff 1: -123 l
      0x06, 0x03, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // 48-bit: -2 Wh
      0x07, 0x83, 0x3B, 0, 0, 0, 0, 0, 0, 0x10, 0x00,  // 64-bit, positive contributions: 2^52 Wh
      0x0E, 0x04, 0x90, 0x78, 0x56, 0x34, 0x12, 0x00,  // 12-digit BCD × 10 Wh
      0x46, 0x6D, 0x30, 0x2D, 0x0E, 0x16, 0x27, 0x00,  // type I, storage 1: 2016-07-22 14:45:48
      0x2F, 0x2F,                                      // idle filler
      0x04, 0xFB, 0x01, 0x0C, 0x00, 0x00, 0x00,        // FB: 12 MWh
      0x02, 0xFB, 0x59, 0x70, 0x17,                    // FB: 60.00 °F
      0x04, 0x93, 0x75, 0xE8, 0x03, 0x00, 0x00,        // 1000 l × 10^-1 (multiplicative correction)
      0x01, 0xE7, 0x7B, 0x14,                          // 20 °C + 1 °C (additive correction)
      0x0B, 0x16, 0x00, 0xA0, 0x00,                    // 6-digit BCD with a digit A
      0x04, 0x6D, 0x80, 0x0C, 0xCD, 0x13,              // date-time with its invalid bit
      0x44, 0x94, 0x15, 0x00, 0x00, 0x00, 0x00,        // storage 1: the meter reports "no data"
      0x84, 0x8F, 0x0F, 0x13, 0x01, 0, 0, 0,           // storage 510
      0x02, 0xBB, 0x22, 0x01, 0x00,                    // volume flow per hour: a qualifier
      0x1F, 0xAA, 0xBB,                                // more records follow; manufacturer bytes
  }));
  ASSERT_EQ(a.records.size(), 15u);
  const auto& r = a.records;
  struct Expect { double value; const char* unit; int32_t index; };
  const Expect numbers[] = {
      {-0.123, "m³", 10010016},       {-2, "Wh", 0},          {4503599627370496.0, "Wh", 10000600},
      {12345678900.0, "Wh", 0},       {0, "", 0},                    {12e6, "Wh", 10000400},
      {(60 - 32) * 5.0 / 9.0, "°C", 10000488},  {0.1, "m³", 10000016}, {21, "°C", 10000100},
  };
  for (size_t i = 0; i < 9; ++i) {
    if (i == 4) continue;
    SCOPED_TRACE(i);
    ASSERT_EQ(r[i].value.kind, mbus::Value::Kind::Number);
    EXPECT_NEAR(r[i].value.number, numbers[i].value, 1e-9 * std::fabs(numbers[i].value));
    EXPECT_EQ(r[i].unit, numbers[i].unit);
    EXPECT_EQ(r[i].equipIndex, numbers[i].index) << r[i].noName;
  }
  // Two energies of the same name: neither is named (which one to store
  // would be a guess). A correction changes the value, not the name.
  EXPECT_EQ(r[1].noName, "ambíguo: outro registro tem o mesmo nome (10000000)");
  EXPECT_EQ(r[3].noName, r[1].noName);
  EXPECT_EQ(r[4].value.kind, mbus::Value::Kind::Date);
  EXPECT_EQ(r[4].value.date.Text(), "2016-07-22T14:45:48");
  EXPECT_EQ(r[4].storage, 1u);
  EXPECT_EQ(a.TimePointFor(r[0]), nullptr);
  EXPECT_EQ(a.TimePointFor(r[11]), &r[4]);
  EXPECT_EQ(r[9].value.kind, mbus::Value::Kind::None);
  EXPECT_EQ(r[9].problem, "BCD com dígito hexadecimal A");
  EXPECT_EQ(r[10].problem, "data inválida (bit IV)");
  // A record the meter flags keeps its name; its value is refused.
  EXPECT_EQ(r[11].equipIndex, 10100016) << r[11].noName;
  std::string why;
  EXPECT_TRUE(std::isnan(Stored(a, 10100016, why)));
  EXPECT_EQ(why, "o medidor informa: sem dado disponível");
  EXPECT_EQ(r[12].storage, 510u);
  EXPECT_EQ(r[12].noName, "armazenamento 510 acima de 99");
  EXPECT_EQ(r[13].noName, "qualificador fora do esquema: por h");
  EXPECT_EQ(r[13].unit, "m³/h/h");
  EXPECT_EQ(r[14].special, mbus::Special::MoreRecordsFollow);
  EXPECT_EQ(r[14].value.Text(), "AA BB");
  EXPECT_TRUE(a.moreRecordsFollow);
}

TEST(MbusDecoder, MsbFirstShortHeaderAndMultiTelegramAnswers) {
  // CI 76: the header's and the data's multi-byte fields high byte first.
  mbus::MbusAnswer a = Decoded(Rsp({0x04, 0x13, 0x00, 0x00, 0x01, 0x00, 0x0D, 0x7C, 0x02, 0x4F, 0x4B, 0x00}, 0x76));
  EXPECT_EQ(a.header.IdText(), "12345678");
  EXPECT_EQ(a.header.ManufacturerText(), "PAD");
  ASSERT_EQ(a.records.size(), 2u);
  EXPECT_DOUBLE_EQ(a.records[0].value.number, 0.256);
  EXPECT_EQ(a.records[1].unit, "OK");  // a plain-text VIF in reading order
  // CI 7A: no identification.
  a = Decoded(Rsp({0x01, 0x13, 0x07}, 0x7A));
  EXPECT_FALSE(a.header.longHeader);
  EXPECT_EQ(a.header.access, 0x55);
  EXPECT_DOUBLE_EQ(a.records.at(0).value.number, 0.007);

  // Two telegrams of one meter: the records of both, the second's last.
  Bytes two = Rsp({0x04, 0x13, 0x01, 0, 0, 0, 0x1F});
  const Bytes second = Rsp({0x44, 0x13, 0x02, 0, 0, 0});
  two.insert(two.end(), second.begin(), second.end());
  a = Decoded(two);
  EXPECT_EQ(a.telegrams, 2);
  ASSERT_EQ(a.records.size(), 3u);
  EXPECT_EQ(a.records[2].telegram, 1);
  EXPECT_EQ(a.records[2].equipIndex, 10100016);
  EXPECT_FALSE(a.moreRecordsFollow);
  Bytes other = Rsp({0x04, 0x13, 0x01, 0, 0, 0, 0x1F});
  Bytes foreign = Rsp({});
  foreign[7] = 0x79;  // another identification number
  foreign[foreign.size() - 2] = static_cast<uint8_t>(foreign[foreign.size() - 2] + 1);
  other.insert(other.end(), foreign.begin(), foreign.end());
  EXPECT_EQ(Refusal(other), "telegrama 2: telegrama de outro medidor (12345679 PAD)");
}

TEST(MbusDecoder, RefusesWhatItCannotReadWithItsReason) {
  Bytes difes = {0x84};
  for (int i = 0; i < 10; ++i) difes.push_back(0x80);
  difes.insert(difes.end(), {0x00, 0x13, 0, 0, 0, 0});
  Bytes vifes = {0x04, 0x93};
  for (int i = 0; i < 10; ++i) vifes.push_back(0xFF);
  vifes.insert(vifes.end(), {0, 0, 0, 0});
  struct Case { Bytes frame; const char* why; };
  const Case cases[] = {
      {Rsp(difes), "mais de 10 DIFE"},
      {Rsp(vifes), "mais de 10 VIFE"},
      {Rsp({0x04, 0x13, 0x01, 0x00}), "fim prematuro do registro (dado)"},
      {Rsp({0x3F, 0x00}), "DIF 0x3F reservado"},
      {Rsp({0x0D, 0x13, 0xF5, 0x00}), "LVAR 0xF5 não suportado"},
      {Rsp({0x04, 0x13, 0, 0, 0, 0}, 0x72, 0x02), "estado 0x02: erro de aplicação"},
      {Rsp({0x04, 0x13, 0, 0, 0, 0}, 0x72, 0x01), "estado 0x01: aplicação ocupada"},
      {MbusFrame::Long(0x08, 0x05, 0x73, {0x78, 0x56, 0x34, 0x12, 0x0A}), "CI 0x73 não suportado (estrutura de dados fixa)"},
      {MbusFrame::Long(0x08, 0x05, 0x72, {0x78, 0x56, 0x34, 0x12}), "cabeçalho incompleto (4 de 12 bytes)"},
      {MbusFrame::Long(0x08, 0x05, 0x70, {}), "erro de aplicação: erro não especificado"},
  };
  for (const Case& c : cases) EXPECT_EQ(Refusal(c.frame), c.why);
}

TEST(MbusChannelName, AnIndexPicksItsRecordAndScalesItsValue) {
  // Heating energy 35 kWh, a power of NaN, a volume beyond a float, error flags.
  const mbus::MbusAnswer a = Decoded(Rsp({0x04, 0x86, 0x3B, 0x23, 0x00, 0x00, 0x00,   //
                                          0x05, 0x2E, 0x00, 0x00, 0xC0, 0x7F,         //
                                          0x05, 0x17, 0xFF, 0xFF, 0x7F, 0x7F,         //
                                          0x02, 0xFD, 0x17, 0x04, 0x01}));
  std::string why;
  EXPECT_EQ(mbus::MbusChannelName::Find(a, 310000600, why), &a.records[0]);
  ASSERT_EQ(a.ErrorFlags().size(), 1u);
  EXPECT_EQ(a.ErrorFlags()[0]->equipIndex, 10000223);
  EXPECT_EQ(mbus::MbusAnswer::FlagsText(a.ErrorFlags()[0]->bits), "bits 2, 8");
  EXPECT_FLOAT_EQ(Stored(a, 10000600, why), 35000.f);
  EXPECT_FLOAT_EQ(Stored(a, 310000600, why), 35.f);
  EXPECT_FLOAT_EQ(Stored(a, 610000600, why), 0.035f);
  EXPECT_TRUE(std::isnan(Stored(a, 10000000, why)));
  EXPECT_EQ(why, "nenhum registro da resposta com esse nome");
  EXPECT_TRUE(std::isnan(Stored(a, 310000040, why)));
  EXPECT_EQ(why, "valor não disponível (NaN ou infinito)");
  EXPECT_TRUE(std::isnan(Stored(a, 10000016, why)));
  EXPECT_EQ(why, "valor grande demais para o campo (float)");
  EXPECT_FLOAT_EQ(Stored(a, 910000016, why), 3.4028235e30f);

  mbus::MbusChannelName n;
  ASSERT_TRUE(mbus::MbusChannelName::Parse(334215200, n, why)) << why;
  EXPECT_EQ(n.scale, 3);
  EXPECT_EQ(n.function, mbus::Function::Minimum);
  EXPECT_EQ(n.storage, 42);
  EXPECT_EQ(n.tariff, 1);
  EXPECT_EQ(n.subunit, 5);
  EXPECT_EQ(n.quantity, 200);  // FD 00-03: credit
  EXPECT_EQ(n.Index(), 334215200);
  for (int32_t bad : {0, 16, 9999999, 50000016, 10000001, 10000130, 10000728, 10000225, 10000108})
    EXPECT_FALSE(mbus::MbusChannelName::Parse(bad, n, why)) << bad;
}

}  // namespace
