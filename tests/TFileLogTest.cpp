// The text log: line bytes, banners, appending, the 5 MiB restart and
// concurrent writers.
#include "log/TFileLog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/DateTime.h"
#include "support/ProcUtil.h"

namespace {

const std::string kStart = "-------------------- LOG Started!";
const std::string kStop = "==================== LOG Stopped!";
const std::string kRestart = "-------------------- LOG Re-started!";

// Bytes of a whole line with a 19-character timestamp.
size_t LineBytes(const std::string& cp1252Text) { return 19 + 1 + cp1252Text.size() + 2; }

std::vector<std::string> Texts(const std::string& bytes) {
  std::vector<std::string> out;
  for (const auto& l : proc::SplitCrLf(bytes)) out.push_back(proc::LineText(l));
  return out;
}

TDateTime ParseStamp(const std::string& line) {
  int d, mo, y, h, mi, s;
  if (std::sscanf(line.c_str(), "%2d/%2d/%4d %2d:%2d:%2d", &d, &mo, &y, &h, &mi, &s) != 6) return 0;
  return dt::EncodeDateTime(y, mo, d, h, mi, s);
}

TEST(TFileLog, LineBytesAreTimestampTabCp1252TextCrLf) {
  proc::TempDir dir;
  const std::string path = dir / "Telvane.log";
  const TDateTime before = dt::ZeroSeconds(dt::SystemNow()) - 1.0 / 86400;  // whole minute, -1 s
  {
    TFileLog log(path);
    log.WriteLine("Serviço instalado!");
  }
  const TDateTime after = dt::SystemNow();
  const std::string bytes = proc::ReadFile(path);
  const auto lines = proc::SplitCrLf(bytes);
  ASSERT_EQ(lines.size(), 5u) << bytes;  // start, text, stop + two empty lines

  const std::string& line = lines[1];
  ASSERT_TRUE(proc::HasTimestamp(line)) << line;
  EXPECT_EQ(line.substr(20), "Servi\xE7o instalado!");
  EXPECT_EQ(line[19], '\t');
  const TDateTime stamp = ParseStamp(line);
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);

  // The whole second line, byte for byte, sits right after the first.
  const std::string second = line + "\r\n";
  EXPECT_EQ(bytes.substr(LineBytes(kStart), second.size()), second);
  EXPECT_EQ(proc::LineText(lines[0]), kStart);
  EXPECT_EQ(proc::LineText(lines[2]), kStop);
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4], "");
  EXPECT_EQ(bytes.substr(bytes.size() - 6), "\r\n\r\n\r\n");
}

TEST(TFileLog, TextIsWrittenUnchangedInCp1252) {
  struct Case {
    std::string utf8;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"\tA\tB", "\tA\tB"},
      {"\t\tsub-detalhe", "\t\tsub-detalhe"},
      {"Comunicação normal", "Comunica\xE7\xE3o normal"},
      {"Telvane: alteração manual de relógio detectada!",
       "Telvane: altera\xE7\xE3o manual de rel\xF3gio detectada!"},
      {"€ 5", "\x80 5"},
      {"日本", "??"},  // not in the code page
      // A server message with line breaks stays on its timestamped line.
      {"violation of FOREIGN KEY\n-Foreign key reference\r\n-x\ry", "violation of FOREIGN KEY -Foreign key reference -x y"},
  };
  proc::TempDir dir;
  const std::string path = dir / "t.log";
  {
    TFileLog log(path);
    for (const auto& c : cases) log.WriteLine(c.utf8);
  }
  const auto lines = proc::SplitCrLf(proc::ReadFile(path));
  ASSERT_EQ(lines.size(), cases.size() + 4);
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_TRUE(proc::HasTimestamp(lines[i + 1]));
    EXPECT_EQ(lines[i + 1].substr(20), cases[i].bytes) << "case " << i;
  }
}

TEST(TFileLog, PackagesWriteUtf16) {
  proc::TempDir dir;
  const std::string path = dir / "t.log";
  {
    TFileLog log(path);
    KxPackageLog& packageSide = log;
    packageSide.WriteLine(std::u16string(u"Medidor: versão 1.2 ç"));
  }
  const auto texts = Texts(proc::ReadFile(path));
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[1], "Medidor: vers\xE3o 1.2 \xE7");
}

TEST(TFileLog, ReopeningAppendsAfterTheOldStopBanner) {
  proc::TempDir dir;
  const std::string path = dir / "Telvane.log";
  proc::WriteFile(path, "old content\r\n");
  { TFileLog(path).WriteLine("first run"); }
  { TFileLog(path).WriteLine("second run"); }
  const std::vector<std::string> expected = {
      "old content", kStart, "first run", kStop, "", "", kStart, "second run", kStop, "", ""};
  EXPECT_EQ(Texts(proc::ReadFile(path)), expected);
}

TEST(TFileLog, ConstructorThrowsWhenTheFileCannotBeCreated) {
  proc::TempDir dir;
  EXPECT_THROW(TFileLog(dir / "missing-folder/Telvane.log"), std::runtime_error);
  // A folder where the file should be.
  std::filesystem::create_directory(dir / "Telvane.log");
  EXPECT_THROW(TFileLog(dir / "Telvane.log"), std::runtime_error);

  // A log that another open log holds (a second copy of the service in the
  // same folder): refused, and not a byte is added to it. It stays refused
  // across a restart of the first one's file.
  const std::string path = dir / "held.log";
  auto held = std::make_unique<TFileLog>(path);
  const std::string before = proc::ReadFile(path);
  EXPECT_THROW(TFileLog{path}, std::runtime_error);
  EXPECT_EQ(proc::ReadFile(path), before);
  // Lines of 1 MiB: the sixth crosses the limit (nobody else may write the
  // held file to fill it faster).
  for (int i = 0; i < 6; ++i) held->WriteLine(std::string(1 << 20, 'x'));
  EXPECT_EQ(Texts(proc::ReadFile(path)).front(), kRestart);
  EXPECT_THROW(TFileLog{path}, std::runtime_error);
  held.reset();
  EXPECT_NO_THROW(TFileLog{path});
}

// Pre-fills the file so that, after the start banner, a line of `text` ends
// the file at `limit + delta` bytes.
void Prefill(const std::string& path, const std::string& text, long long delta) {
  const long long filler =
      TFileLog::kMaxSize + delta - static_cast<long long>(LineBytes(kStart) + LineBytes(text));
  std::string bytes(static_cast<size_t>(filler), 'x');
  proc::WriteFile(path, bytes);
}

TEST(TFileLog, RestartsWhenALineReachesTheLimit) {
  struct Case {
    long long delta;  // file size after the line, relative to the limit
    bool restarts;
  };
  const std::vector<Case> cases = {{-1, false}, {0, true}, {1, true}, {100, true}};
  const std::string text(100, 'a');
  for (const auto& c : cases) {
    SCOPED_TRACE("delta " + std::to_string(c.delta));
    proc::TempDir dir;
    const std::string path = dir / "Telvane.log";
    Prefill(path, text, c.delta);
    TFileLog log(path);
    log.WriteLine(text);
    if (c.restarts) {
      // Only the re-start banner: the line that crossed the limit is gone.
      const std::string bytes = proc::ReadFile(path);
      const auto lines = proc::SplitCrLf(bytes);
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_TRUE(proc::HasTimestamp(lines[0]));
      EXPECT_EQ(proc::LineText(lines[0]), kRestart);
      EXPECT_EQ(bytes.size(), LineBytes(kRestart));
      log.WriteLine("next");
      EXPECT_EQ(Texts(proc::ReadFile(path)), (std::vector<std::string>{kRestart, "next"}));
    } else {
      EXPECT_EQ(proc::FileSize(path), TFileLog::kMaxSize - 1);
      log.WriteLine("next");  // this one crosses: restart
      EXPECT_EQ(Texts(proc::ReadFile(path)), std::vector<std::string>{kRestart});
    }
    EXPECT_FALSE(proc::FileExists(path + ".new"));
  }
}

TEST(TFileLog, StartBannerOfABigOldFileRestartsIt) {
  proc::TempDir dir;
  const std::string path = dir / "Telvane.log";
  proc::WriteFile(path, std::string(TFileLog::kMaxSize + 10, 'x'));
  TFileLog log(path);
  EXPECT_EQ(Texts(proc::ReadFile(path)), std::vector<std::string>{kRestart});
}

TEST(TFileLog, ConcurrentWritersProduceWholeLinesAcrossARestart) {
  proc::TempDir dir;
  const std::string path = dir / "Telvane.log";
  constexpr int kThreads = 8;
  constexpr int kLines = 400;
  // Start ~60 KB below the limit so that the restart happens mid-way.
  proc::WriteFile(path, std::string(TFileLog::kMaxSize - 60000, 'x'));
  std::set<std::string> written;
  {
    TFileLog log(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&log, t] {
        for (int i = 0; i < kLines; ++i) {
          // Varying lengths, a TAB and an accented letter in every line.
          log.WriteLine("T" + std::to_string(t) + "\tlinha " + std::to_string(i) + " ç" +
                        std::string(static_cast<size_t>((i * 7 + t) % 40), '.'));
        }
      });
    }
    for (auto& th : threads) th.join();
  }
  const std::string bytes = proc::ReadFile(path);
  const auto lines = proc::SplitCrLf(bytes);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(proc::LineText(lines[0]), kRestart);
  EXPECT_EQ(proc::LineText(lines[lines.size() - 3]), kStop);
  std::set<std::string> seen;
  for (size_t i = 1; i + 3 < lines.size(); ++i) {
    ASSERT_TRUE(proc::HasTimestamp(lines[i])) << "line " << i << ": " << lines[i];
    const std::string text = proc::LineText(lines[i]);
    ASSERT_EQ(text[0], 'T') << text;
    EXPECT_NE(text.find("\tlinha "), std::string::npos) << text;
    EXPECT_NE(text.find(" \xE7"), std::string::npos) << text;
    EXPECT_TRUE(seen.insert(text).second) << "duplicate " << text;
  }
  // Lines written after the restart are all there (the ones before it went
  // with the old file).
  EXPECT_GT(seen.size(), 100u);
  EXPECT_LT(seen.size(), static_cast<size_t>(kThreads * kLines));
}

}  // namespace
