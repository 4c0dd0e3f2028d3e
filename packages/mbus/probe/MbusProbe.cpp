// mbus-probe: an installer's look at M-Bus meters. A small main that picks
// a mode by its first argument; each mode decodes with MbusDecoder and
// prints with MbusProbePrint.
//   mbus-probe --hex FILE   the answer in FILE (hex text): header and one
//                           line per data record with its EQUIP_INDEX
//   mbus-probe --scan / --search / --read LINE ...   a real line
//                           (MbusProbeLine.h)
// Exit status: 0 when the answer decoded; 1 with one line on stderr when it
// did not; 2 for a wrong command line.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "packages/mbus/MbusAnswer.h"
#include "packages/mbus/probe/MbusProbeLine.h"
#include "packages/mbus/probe/MbusProbePrint.h"

namespace {

int RunHex(int argc, char** argv) {
  if (argc != 1) return -1;
  mbus::MbusAnswer answer;
  std::string why;
  if (!mbus::MbusProbePrint::DecodeHexFile(argv[0], answer, why)) {
    std::fprintf(stderr, "mbus-probe: %s: %s\n", argv[0], why.c_str());
    return 1;
  }
  mbus::MbusProbePrint::Answer(std::cout, answer);
  std::cout.flush();
  return std::cout ? 0 : 1;
}

struct Mode {
  const char* option;
  const char* arguments;
  int (*run)(int argc, char** argv);  // the arguments after the option; -1: wrong ones
};

const Mode kModes[] = {
    {"--hex", "ARQUIVO", RunHex},
    {"--scan", "LINHA [--from A] [--to B] [opções]", mbus::ProbeScan},
    {"--search", "LINHA [MÁSCARA] [opções]", mbus::ProbeSearch},
    {"--read", "LINHA ENDEREÇO [opções]", mbus::ProbeRead},
};

int Usage() {
  std::fprintf(stderr, "uso:\n");
  for (const Mode& m : kModes) std::fprintf(stderr, "  mbus-probe %s %s\n", m.option, m.arguments);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  for (const Mode& m : kModes) {
    if (std::strcmp(argv[1], m.option) != 0) continue;
    const int rc = m.run(argc - 2, argv + 2);
    return rc < 0 ? Usage() : rc;
  }
  return Usage();
}
