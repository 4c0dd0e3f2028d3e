#include "packages/mbus/probe/MbusProbePrint.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "packages/mbus/MbusDecoder.h"
#include "packages/mbus/MbusHex.h"
#include "packages/mbus/MbusUnits.h"

namespace mbus {

namespace {

std::string Hex(unsigned v, int digits) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%0*X", digits, v);
  return b;
}

}  // namespace

bool MbusProbePrint::DecodeHexFile(const std::string& path, MbusAnswer& answer, std::string& why) {
  std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
  if (!in) {
    why = "não foi possível ler o arquivo";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::vector<uint8_t> bytes;
  if (!MbusHex::Parse(text.str(), bytes, why)) return false;
  return MbusDecoder::Decode(bytes.data(), bytes.size(), answer, why);
}

std::vector<std::string> MbusProbePrint::HeaderLines(const MbusAnswer& a) {
  const Header& h = a.header;
  std::vector<std::string> lines;
  if (h.longHeader) {
    lines.push_back("identificação: " + h.IdText());
    lines.push_back("fabricante: " + h.ManufacturerText());
    lines.push_back("versão: " + std::to_string(h.version));
    lines.push_back("meio: " + Hex(h.medium, 2) + " (" + MbusUnits::MediumText(h.medium) + ")");
  } else {
    lines.push_back("identificação: (cabeçalho curto, CI " + Hex(h.ci, 2) + ")");
  }
  lines.push_back("número de acesso: " + std::to_string(h.access));
  std::string status = "estado: " + Hex(h.status, 2);
  const auto conditions = MbusUnits::StatusConditions(h.status);
  for (size_t i = 0; i < conditions.size(); ++i) status += (i == 0 ? " (" : ", ") + conditions[i].text;
  if (!conditions.empty()) status += ")";
  lines.push_back(status);
  lines.push_back("assinatura: " + Hex(h.signature, 4));
  if (a.telegrams > 1) lines.push_back("telegramas: " + std::to_string(a.telegrams));
  return lines;
}

std::string MbusProbePrint::RecordLine(const Record& r) {
  std::string line = r.equipIndex != 0 ? std::to_string(r.equipIndex) : "-";
  line += '\t';
  line += r.value.kind == Value::Kind::None ? "-" : r.value.Text();
  line += '\t';
  line += r.unit;
  line += '\t';
  if (r.special != Special::None) return line + r.description;
  line += std::string(FunctionText(r.function)) + ", armazenamento " + std::to_string(r.storage) + ", tarifa " +
          std::to_string(r.tariff) + ", subunidade " + std::to_string(r.subunit) + ": " + r.description;
  if (r.equipIndex == 0) line += "; sem nome: " + r.noName;
  if (!r.problem.empty()) line += "; inválido: " + r.problem;
  return line;
}

void MbusProbePrint::Answer(std::ostream& out, const MbusAnswer& answer) {
  for (const std::string& line : HeaderLines(answer)) out << line << '\n';
  for (const Record& r : answer.records) out << RecordLine(r) << '\n';
}

}  // namespace mbus
