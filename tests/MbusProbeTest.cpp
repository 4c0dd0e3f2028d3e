// The real mbus-probe program: `--hex FILE` prints the header and one
// TAB-separated line per record of a corpus answer and exits 0; on a
// malformed answer it prints nothing on stdout, one line on stderr and
// exits non-zero.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "support/ProcUtil.h"

namespace {

struct ProbeRun {
  int code = -100;
  std::string out, err;
};

ProbeRun Probe(const std::vector<std::string>& args) {
  proc::TempDir dir("telvane-mbus-probe");
  proc::ChildOptions options;
  options.args = args;
  proc::Child child(TELVANE_MBUS_PROBE, options, dir.Path());
  int status = 0;
  ProbeRun r;
  if (!child.Wait(std::chrono::seconds(30), status)) return r;
  r.code = proc::ExitCode(status);
  r.out = child.Stdout();
  r.err = child.Stderr();
  return r;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST(MbusProbe, HexPrintsTheHeaderAndOneNamedLinePerRecordOrExitsWithOneLineWhy) {
  const std::string corpus = std::string(TELVANE_SOURCE_DIR) + "/tests/data/mbus/";
  ProbeRun r = Probe({"--hex", corpus + "test-frames/EDC.hex"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 7u + 22u);
  EXPECT_EQ(lines[0], "identificação: 11120895");
  EXPECT_EQ(lines[3], "meio: 0x04 (calor, na saída)");
  EXPECT_EQ(lines[7], "10000600\t35000\tWh\tinstantâneo, armazenamento 0, tarifa 0, subunidade 0: energia, acumulado só "
                      "com contribuições positivas");
  EXPECT_EQ(lines[17], "20000056\t0.35762173\tm³/h\tmáximo, armazenamento 0, tarifa 0, subunidade 0: vazão");
  EXPECT_EQ(lines[23], "-\t2012-07-10T15:25:00\t\tinstantâneo, armazenamento 0, tarifa 0, subunidade 0: data e hora; "
                       "sem nome: data: não é um valor de canal");
  for (size_t i = 7; i < lines.size(); ++i) {
    size_t tabs = 0;
    for (char c : lines[i]) tabs += c == '\t';
    EXPECT_EQ(tabs, 3u) << lines[i];
  }

  const std::string bad = corpus + "error-frames/premature_end_of_dif1.hex";
  r = Probe({"--hex", bad});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "mbus-probe: " + bad + ": fim prematuro do registro (DIFE)\n");

  r = Probe({"--hex"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(Lines(r.err).at(0), "uso:");
}

}  // namespace
