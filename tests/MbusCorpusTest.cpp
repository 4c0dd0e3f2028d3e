// The M-Bus decoder against real answers (tests/data/mbus, from a public
// corpus): every answer in test-frames decodes to what the other decoder's
// .norm.xml says, record by record (function, storage, tariff, subunit,
// unit, value) and in its header, except the differences written down in
// DIFFERENCES.md beside the corpus, each of which must still be there (so
// the file and the decoder cannot drift apart); every answer in
// error-frames is refused with its reason.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "packages/mbus/MbusDecoder.h"
#include "packages/mbus/MbusHex.h"
#include "packages/mbus/MbusUnits.h"

namespace {

const std::string kCorpus = std::string(TELVANE_SOURCE_DIR) + "/tests/data/mbus";

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<uint8_t> HexFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string why;
  EXPECT_TRUE(mbus::MbusHex::Parse(Read(path), bytes, why)) << path << ": " << why;
  return bytes;
}

// The text of <tag>...</tag> in `xml` from `from` on; `found` false when absent.
std::string Element(const std::string& xml, const std::string& tag, bool& found) {
  const size_t a = xml.find("<" + tag + ">");
  found = a != std::string::npos;
  if (!found) return "";
  const size_t start = a + tag.size() + 2;
  return xml.substr(start, xml.find("</" + tag + ">", start) - start);
}

std::string Element(const std::string& xml, const std::string& tag) {
  bool found;
  return Element(xml, tag, found);
}

std::vector<std::string> Blocks(const std::string& xml, const std::string& open, const std::string& close) {
  std::vector<std::string> out;
  for (size_t a = xml.find(open); a != std::string::npos; a = xml.find(open, a + 1))
    out.push_back(xml.substr(a, xml.find(close, a) - a));
  return out;
}

std::string Unescape(std::string s) {
  for (size_t a; (a = s.find("&amp;")) != std::string::npos;) s.replace(a, 5, "&");
  return s;
}

// One thing the other decoder says differently.
struct Difference {
  std::string file, record, field, theirs, ours;
  bool operator<(const Difference& o) const {
    return std::tie(file, record, field, theirs, ours) < std::tie(o.file, o.record, o.field, o.theirs, o.ours);
  }
};

std::string Cell(std::string s) {
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  if (s.size() >= 2 && s.front() == '`' && s.back() == '`') s = s.substr(1, s.size() - 2);
  return s;
}

// The rows of the table in DIFFERENCES.md: | file | record | field | theirs | ours | why |
std::set<Difference> Documented() {
  std::set<Difference> out;
  std::istringstream in(Read(kCorpus + "/DIFFERENCES.md"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("| `", 0) != 0) continue;
    std::vector<std::string> cells;
    size_t a = 1;
    for (size_t b; (b = line.find(" | ", a)) != std::string::npos; a = b + 3) cells.push_back(Cell(line.substr(a, b - a)));
    if (cells.size() < 5) continue;
    out.insert({cells[0], cells[1], cells[2], cells[3], cells[4]});
  }
  return out;
}

const std::map<std::string, std::string> kFunctions = {
    {"Instantaneous value", "instantâneo"}, {"Maximum value", "máximo"},   {"Minimum value", "mínimo"},
    {"Value during error state", "durante erro"}, {"Manufacturer specific", "dados do fabricante"},
    {"More records follow", "mais registros"}};

const std::map<std::string, int> kMedia = {
    {"Other", 0x00}, {"Oil", 0x01}, {"Electricity", 0x02}, {"Gas", 0x03}, {"Heat: Outlet", 0x04},
    {"Warm water (30-90°C)", 0x06}, {"Water", 0x07}, {"Heat / Cooling load meter", 0x0D}, {"Cold water", 0x16}};

std::string OurFunction(const mbus::Record& r) {
  if (r.special == mbus::Special::ManufacturerData) return "dados do fabricante";
  if (r.special == mbus::Special::MoreRecordsFollow) return "mais registros";
  return mbus::FunctionText(r.function);
}

std::string TheirUnit(const std::string& unit) {
  if (unit == "m^3") return "m³";
  if (unit == "m^3/h") return "m³/h";
  if (unit == "-" || unit == "Units for H.C.A.") return "";
  return unit;
}

bool SameValue(const mbus::Record& r, const std::string& theirs) {
  switch (r.value.kind) {
    case mbus::Value::Kind::Number: {
      char* end = nullptr;
      const double t = std::strtod(theirs.c_str(), &end);
      if (theirs.empty() || *end != '\0') return false;
      return std::fabs(t - r.value.number) <= 1e-6 + 1e-9 * std::fabs(t);
    }
    case mbus::Value::Kind::Date: {
      std::string t = theirs;
      if (!t.empty() && t.back() == 'Z') t.pop_back();
      if (t.find('T') == std::string::npos) return !r.value.date.hasTime && r.value.date.Text().substr(0, 10) == t;
      return r.value.date.hasTime && r.value.date.Text() == t;
    }
    case mbus::Value::Kind::None: return false;
    default: return r.value.Text() == theirs;
  }
}

// Everything in which our decoding of `file` differs from its .norm.xml.
std::vector<Difference> Compare(const std::string& name) {
  const std::string base = kCorpus + "/test-frames/" + name;
  const std::vector<uint8_t> bytes = HexFile(base + ".hex");
  const std::string xml = Read(base + ".norm.xml");
  std::vector<Difference> out;
  auto differ = [&](const std::string& record, const std::string& field, const std::string& theirs,
                    const std::string& ours) { out.push_back({name, record, field, theirs, ours}); };

  mbus::MbusAnswer a;
  std::string why;
  if (!mbus::MbusDecoder::Decode(bytes.data(), bytes.size(), a, why)) {
    differ("*", "quadro", "decodificado", "recusado: " + why);
    return out;
  }
  const std::string info = Element(xml, "SlaveInformation");
  std::string id = a.header.IdText();
  while (id.size() > 1 && id[0] == '0') id.erase(0, 1);
  const std::map<std::string, std::string> header = {
      {"Id", id},
      {"Manufacturer", a.header.ManufacturerText()},
      {"Version", std::to_string(a.header.version)},
      {"AccessNumber", std::to_string(a.header.access)},
      {"Status", [&] { char b[4]; std::snprintf(b, sizeof b, "%02X", a.header.status); return std::string(b); }()},
      {"Signature", [&] { char b[8]; std::snprintf(b, sizeof b, "%04X", a.header.signature); return std::string(b); }()},
  };
  for (const auto& [tag, ours] : header) {
    const std::string theirs = Element(info, tag);
    if (theirs != ours) differ("cabeçalho", tag, theirs, ours);
  }
  const std::string medium = Element(info, "Medium");
  const auto m = kMedia.find(medium);
  if (m == kMedia.end() || m->second != a.header.medium) differ("cabeçalho", "Medium", medium, mbus::MbusUnits::MediumText(a.header.medium));

  const auto records = Blocks(xml, "<DataRecord", "</DataRecord>");
  if (records.size() != a.records.size())
    differ("*", "registros", std::to_string(records.size()), std::to_string(a.records.size()));
  for (size_t i = 0; i < records.size() && i < a.records.size(); ++i) {
    const std::string& x = records[i];
    const mbus::Record& r = a.records[i];
    const std::string id = std::to_string(i);
    const std::string function = Element(x, "Function");
    const auto f = kFunctions.find(function);
    if (f == kFunctions.end() || f->second != OurFunction(r)) differ(id, "Function", function, OurFunction(r));
    if (r.special != mbus::Special::None) {
      if (Element(x, "Value") != r.value.Text()) differ(id, "Value", Element(x, "Value"), r.value.Text());
      continue;
    }
    bool found;
    const std::string storage = Element(x, "StorageNumber", found);
    if ((found ? storage : "0") != std::to_string(r.storage)) differ(id, "StorageNumber", storage, std::to_string(r.storage));
    const std::string tariff = Element(x, "Tariff", found);
    if ((found ? tariff : "0") != std::to_string(r.tariff)) differ(id, "Tariff", tariff, std::to_string(r.tariff));
    const std::string device = Element(x, "Device", found);
    if ((found ? device : "0") != std::to_string(r.subunit)) differ(id, "Device", device, std::to_string(r.subunit));
    // A plain-text VIF is their quantity and our unit.
    const std::string unit = r.vif.table == mbus::VifTable::PlainText ? Element(x, "Quantity") : TheirUnit(Element(x, "Unit"));
    if (unit != r.unit) differ(id, "Unit", Element(x, "Unit"), r.unit);
    const std::string value = Unescape(Element(x, "Value"));
    if (!SameValue(r, value)) differ(id, "Value", value, r.value.kind == mbus::Value::Kind::None ? "-" : r.value.Text());
  }
  return out;
}

TEST(MbusCorpus, EveryAnswerDecodesAsTheOtherDecoderSaysOrAsDocumented) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(kCorpus + "/test-frames"))
    if (e.path().extension() == ".hex") names.insert(e.path().stem().string());
  ASSERT_GE(names.size(), 33u);

  std::set<Difference> documented = Documented();
  std::set<Difference> seen;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    for (const Difference& d : Compare(name)) {
      seen.insert(d);
      EXPECT_TRUE(documented.count(d) != 0)
          << "not in DIFFERENCES.md: | `" << d.file << "` | " << d.record << " | " << d.field << " | `" << d.theirs
          << "` | `" << d.ours << "` |";
    }
  }
  for (const Difference& d : documented)
    EXPECT_TRUE(seen.count(d) != 0) << "DIFFERENCES.md row no longer differs: " << d.file << " " << d.record << " "
                                    << d.field;
}

}  // namespace

namespace {

TEST(MbusCorpus, EveryErrorFrameIsRefusedWithItsReason) {
  const std::map<std::string, std::string> reasons = {
      {"buffer_too_long", "erro de aplicação: resposta longa demais, truncada"},
      {"premature_end_of_data2", "fim prematuro do registro (dado)"},
      {"premature_end_of_dif1", "fim prematuro do registro (DIFE)"},
      {"premature_end_of_dif2", "fim prematuro do registro (DIFE)"},
      {"premature_end_of_record", "erro de aplicação: fim prematuro do registro"},
      {"premature_end_of_vif1", "fim prematuro do registro (VIF)"},
      {"too_many_difes", "erro de aplicação: mais de 10 DIFE"},
      {"too_many_readouts", "erro de aplicação: leituras demais"},
      {"too_many_vifes", "erro de aplicação: mais de 10 VIFE"},
      {"unimplemented_ci", "erro de aplicação: CI não implementado"},
  };
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(kCorpus + "/error-frames")) {
    if (e.path().extension() != ".hex") continue;
    ++files;
    const std::string name = e.path().stem().string();
    SCOPED_TRACE(name);
    const std::vector<uint8_t> bytes = HexFile(e.path().string());
    mbus::MbusAnswer a;
    std::string why;
    EXPECT_FALSE(mbus::MbusDecoder::Decode(bytes.data(), bytes.size(), a, why));
    EXPECT_TRUE(a.records.empty());
    const auto expected = reasons.find(name);
    ASSERT_NE(expected, reasons.end()) << "no reason expected for " << name << " (" << why << ")";
    EXPECT_EQ(why, expected->second);
  }
  EXPECT_EQ(files, reasons.size());
}

}  // namespace
