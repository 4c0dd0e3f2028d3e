#include "packages/mbus/probe/MbusProbeLine.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "packages/fieldbus/SerialLine.h"
#include "packages/fieldbus/SystemError.h"
#include "packages/fieldbus/TcpLine.h"
#include "packages/mbus/MbusAnswer.h"
#include "packages/mbus/MbusDecoder.h"
#include "packages/mbus/MbusLink.h"
#include "packages/mbus/MbusSettings.h"
#include "packages/mbus/MbusUnits.h"
#include "packages/mbus/probe/MbusProbePrint.h"

namespace mbus {

namespace {

// The command line of a line mode: the line, its options, and the words
// that are the mode's own.
struct LineArgs {
  std::string line;
  bool tcp = false;
  std::string host;
  int port = 0;
  fb::SerialFormat format;
  int timeoutMs = 0;
  int retries = 1;
  int from = 0, to = MbusFrame::kMaxPrimary;
  std::vector<std::string> words;
};

bool Number(const char* text, int low, int high, int& out) {
  try {
    size_t used = 0;
    const int n = std::stoi(text, &used);
    if (text[used] != '\0' || n < low || n > high) return false;
    out = n;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool ParseArgs(int argc, char** argv, LineArgs& a) {
  if (argc < 1) return false;
  a.line = argv[0];
  const size_t colon = a.line.rfind(':');
  a.tcp = colon != std::string::npos && colon > 0 && a.line[0] != '/' && a.line[0] != '\\';
  if (a.tcp) {
    a.host = a.line.substr(0, colon);
    if (!Number(a.line.c_str() + colon + 1, 1, 65535, a.port)) return false;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--baud" && hasValue) {
      if (!Number(argv[++i], 300, 38400, a.format.baud)) return false;
    } else if (arg == "--parity" && hasValue && !a.tcp) {
      const std::string p = argv[++i];
      if (p != "E" && p != "N" && p != "O") return false;
      a.format.parity = p[0];
    } else if (arg == "--timeout-ms" && hasValue) {
      if (!Number(argv[++i], 10, 60000, a.timeoutMs)) return false;
    } else if (arg == "--retries" && hasValue) {
      if (!Number(argv[++i], 0, 5, a.retries)) return false;
    } else if (arg == "--from" && hasValue) {
      if (!Number(argv[++i], 0, MbusFrame::kMaxPrimary, a.from)) return false;
    } else if (arg == "--to" && hasValue) {
      if (!Number(argv[++i], 0, MbusFrame::kMaxPrimary, a.to)) return false;
    } else if (arg.rfind("--", 0) == 0) {
      return false;
    } else {
      a.words.push_back(arg);
    }
  }
  if (a.timeoutMs == 0) a.timeoutMs = DefaultTimeoutMs(a.format.baud, a.tcp);
  return true;
}

std::unique_ptr<MbusLink> MakeLink(const LineArgs& a) {
  std::unique_ptr<fb::ByteLine> line;
  if (a.tcp)
    line = std::make_unique<fb::TcpLine>(a.host, a.port, a.timeoutMs < 1000 ? 1000 : a.timeoutMs);
  else
    line = std::make_unique<fb::SerialLine>(a.line, a.format);
  LinkTiming timing;
  timing.baud = a.format.baud;
  timing.bitsPerCharacter = a.format.BitsPerCharacter();
  timing.timeoutMs = a.timeoutMs;
  timing.retries = a.retries;
  return std::make_unique<MbusLink>(std::move(line), timing);
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "mbus-probe: %s\n", text.c_str());
  return 1;
}

// Opens the line; false after saying why on stderr.
bool OpenLine(MbusLink& link, const LineArgs& a) {
  int err = 0;
  if (link.Open(err)) return true;
  Fail(a.line + ": " + fb::LineErrorText(err));
  return false;
}

std::string Describe(const SecondaryAddress& s) {
  return SecondaryText(s) + "\tfabricante " + MbusUnits::ManufacturerText(s.manufacturer) + ", versão " +
         std::to_string(s.version) + ", meio " + MbusUnits::MediumText(s.medium);
}

// What an installer types in the meter's EQUIPAMENTOS row (MbusMeter):
// DRV_ADDR1 its primary address (when known) or 1 followed by the 8 digits
// of its identification; DRV_ADDR2 the period in minutes, 0 for 15.
std::string DrvAddr(int primary, uint32_t id) {
  std::string digits;
  for (int i = 7; i >= 0; --i) {
    const uint32_t d = (id >> (4 * i)) & 0xF;
    if (d > 9) {
      digits.clear();
      break;
    }
    digits += static_cast<char>('0' + d);
  }
  std::string addr1 = primary >= 1 && primary <= MbusFrame::kMaxPrimary ? std::to_string(primary) : "";
  if (!digits.empty()) addr1 += (addr1.empty() ? "1" : " ou 1") + digits;
  if (addr1.empty()) return "";
  return "\tDRV_ADDR1 " + addr1 + ", DRV_ADDR2 0 (15 min)";
}

std::string Failure(const LinkAnswer& r) {
  if (r.status == Status::Connection) return "sem conexão: " + fb::LineErrorText(r.detail);
  return StatusText(r.status, r.detail, r.reason.c_str());
}

}  // namespace

int ProbeScan(int argc, char** argv) {
  LineArgs a;
  if (!ParseArgs(argc, argv, a) || !a.words.empty() || a.from > a.to) return -1;
  auto link = MakeLink(a);
  if (!OpenLine(*link, a)) return 1;
  int found = 0;
  for (int address = a.from; address <= a.to; ++address) {
    const LinkAnswer ping = link->Ping(address, nullptr);
    if (ping.status == Status::Connection) return Fail(a.line + ": " + Failure(ping));
    if (ping.status == Status::NoAnswer) continue;
    ++found;
    if (ping.status != Status::Ok) {
      std::cout << address << "\t" << Failure(ping) << "\n" << std::flush;
      continue;
    }
    const LinkAnswer read = link->ReadPrimary(address, nullptr);
    MbusAnswer answer;
    std::string why = Failure(read);
    if (read.status == Status::Ok &&
        MbusDecoder::Decode(read.bytes.data(), read.bytes.size(), answer, why, address)) {
      std::cout << address << "\t"
                << (answer.header.longHeader ? Describe(answer.header.Secondary()) : "cabeçalho curto")
                << DrvAddr(address, answer.header.longHeader ? answer.header.id : 0xFFFFFFFF) << "\n"
                << std::flush;
    } else {
      std::cout << address << "\trespondeu; leitura: " << why << "\n" << std::flush;
    }
  }
  if (found == 0)
    return Fail("nenhum medidor respondeu em " + a.line + " (endereços " + std::to_string(a.from) + " a " +
                std::to_string(a.to) + ")");
  return 0;
}

int ProbeSearch(int argc, char** argv) {
  LineArgs a;
  SecondaryAddress mask;
  if (!ParseArgs(argc, argv, a) || a.words.size() > 1 ||
      (a.words.size() == 1 && !ParseSecondary(a.words[0], mask)))
    return -1;
  auto link = MakeLink(a);
  if (!OpenLine(*link, a)) return 1;
  int found = 0;
  const LinkAnswer r = link->Search(
      mask,
      [&](const FoundMeter& m) {
        ++found;
        std::cout << Describe(m.address) << "\tendereço primário "
                  << (m.primary >= 0 ? std::to_string(m.primary) : std::string("?"))
                  << (m.note.empty() ? "" : "\t" + m.note) << DrvAddr(m.primary, m.address.id) << "\n"
                  << std::flush;
      },
      nullptr);
  if (r.status != Status::Ok) return Fail(a.line + ": busca interrompida: " + Failure(r));
  if (found == 0) return Fail("nenhum medidor respondeu à seleção " + SecondaryText(mask) + " em " + a.line);
  return 0;
}

int ProbeRead(int argc, char** argv) {
  LineArgs a;
  if (!ParseArgs(argc, argv, a) || a.words.size() != 1) return -1;
  int primary = -1;
  SecondaryAddress secondary;
  if (!Number(a.words[0].c_str(), 0, MbusFrame::kMaxPrimary, primary) && !ParseSecondary(a.words[0], secondary))
    return -1;
  auto link = MakeLink(a);
  if (!OpenLine(*link, a)) return 1;
  const LinkAnswer r = primary >= 0 ? link->ReadPrimary(primary, nullptr) : link->ReadSecondary(secondary, nullptr);
  if (r.status != Status::Ok) return Fail(a.line + " " + a.words[0] + ": " + Failure(r));
  MbusAnswer answer;
  std::string why;
  if (!MbusDecoder::Decode(r.bytes.data(), r.bytes.size(), answer, why, primary))
    return Fail(a.line + " " + a.words[0] + ": " + why);
  MbusProbePrint::Answer(std::cout, answer);
  std::cout.flush();
  return std::cout ? 0 : 1;
}

}  // namespace mbus
