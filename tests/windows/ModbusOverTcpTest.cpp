// The Windows Modbus packages at work, under wine: ModbusInterface.dll and
// ModbusMeter.dll loaded by the service's own plug-in loader, reading the
// Linux meter simulator (build/modbus-meter-sim) over loopback TCP into the
// journal, and delivering the samples through ReadHistorico.
//
// scripts/test-windows starts the simulator and gives its port in
// TELVANE_MODBUS_SIM_PORT; without it the test is skipped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/DateTime.h"
#include "platform/Text.h"
#include "plugins/KxDriver.h"
#include "plugins/KxListaDrivers.h"
#include "plugins/KxListaInterfaces.h"
#include "support/PackageLog.h"
#include "support/ProcUtil.h"

namespace {

std::string Pkg(const std::string& name) {
  return std::string(TELVANE_PACKAGES_DIR) + "/" + TELVANE_PACKAGE_PREFIX + name +
         TELVANE_PACKAGE_SUFFIX;
}

std::filesystem::path Fs(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The meter's CANAIS rows from (register address, format code) pairs:
// EQUIP_INDEX is code * 100000 + address (LOCAL_ID is the building's).
constexpr int EquipIndex(int address, int code) { return code * 100000 + address; }
KxListaCanais* Channels(const std::vector<std::pair<int, int>>& channels) {
  auto* canais = new KxListaCanais();
  for (size_t i = 0; i < channels.size(); ++i)
    canais->AddCanal(100 + static_cast<int>(i), EquipIndex(channels[i].first, channels[i].second),
                     nullptr, 0, 0);
  return canais;
}

struct Sample {
  TDateTime date;
  float value;
};

TEST(ModbusOverTcp, TheWindowsPackagesJournalTheSimulatorAndDeliverItsSamples) {
  const char* port = std::getenv("TELVANE_MODBUS_SIM_PORT");
  if (port == nullptr) GTEST_SKIP() << "TELVANE_MODBUS_SIM_PORT not set";
  const std::string where = std::string("TCP 127.0.0.1:") + port;

  // The service's folder, with a name outside ASCII: the journal goes to
  // ModbusJournal/ in the working folder.
  proc::TempDir dir;
  const std::string home = dir / "Instalação";
  std::filesystem::create_directories(Fs(home));
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(Fs(home));

  kit::PackageLog log;
  {
    KxListaInterfaces interfaces;
    KxListaDrivers drivers;
    const std::string configs = std::string("host=127.0.0.1; port=") + port +
                                "; timeout_ms=1000; retries=1; period_s=1";
    KxInterface* bus = interfaces.AddInterface(
        1, Pkg("ModbusInterface"), &log, reinterpret_cast<const uint8_t*>(configs.data()),
        static_cast<int32_t>(configs.size()));
    ASSERT_NE(bus, nullptr);
    ASSERT_TRUE(bus->Aberta) << log.All();
    EXPECT_TRUE(log.Has("ModbusInterface [1]: conectada a " + where)) << log.All();

    // Unit 1 of the simulator: phase 1 voltage (input 0) and imported energy
    // (input 72), float32 high word first.
    KxDriver* driver = drivers.AddDriver(Pkg("ModbusMeter"), 5, bus);
    std::unique_ptr<KxEquipamento> meter(
        driver->CreateEquipamento(12, 1, 0, Channels({{0, 350}, {72, 350}}), &log));
    ASSERT_NE(meter, nullptr);
    const std::string journal = home + "/ModbusJournal/equip-12.jrn";
    // The journal's path in the log, UTF-8 as every log line.
    const std::string created =
        log.Line("ModbusMeter [12]: unidade 1, 2 canal(is) em 2 bloco(s), período 1 s, diário ");
    EXPECT_NE(created.find("Instalação"), std::string::npos) << log.All();
    EXPECT_NE(created.find("equip-12.jrn"), std::string::npos) << log.All();

    // Three samples of each channel, taken as the service takes them: the
    // next one after the last one's date.
    std::map<int, std::vector<Sample>> got;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((got[0].size() < 3 || got[72].size() < 3) && std::chrono::steady_clock::now() < until) {
      for (int index : {0, 72}) {
        auto& samples = got[index];
        Sample s{};
        const TDateTime from = samples.empty() ? 0 : samples.back().date;
        if (meter->ReadHistorico(EquipIndex(index, 350), from, s.date, s.value) == ReadOk)
          samples.push_back(s);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_GE(got[0].size(), 3u) << log.All();
    ASSERT_GE(got[72].size(), 3u) << log.All();
    const TDateTime now = dt::SystemNow();
    for (int index : {0, 72}) {
      SCOPED_TRACE(index);
      const auto& samples = got[index];
      for (size_t i = 0; i < samples.size(); ++i) {
        // Dated by the local clock, a second apart, within the last minute.
        EXPECT_LT(samples[i].date, now + 1.0 / 86400);
        EXPECT_GT(samples[i].date, now - 60.0 / 86400);
        if (i > 0) {
          EXPECT_GT(samples[i].date, samples[i - 1].date);
        }
        if (index == 0) {
          EXPECT_GE(samples[i].value, 216.9f);  // 220 V +- 3 V
          EXPECT_LE(samples[i].value, 223.1f);
        } else {
          EXPECT_GE(samples[i].value, 1000.0f);  // unit 1 starts at 1000 kWh
          EXPECT_LT(samples[i].value, 1001.0f);
          if (i > 0) {
            EXPECT_GE(samples[i].value, samples[i - 1].value);
          }
        }
      }
    }
    // Every sample went through the journal first.
    std::error_code ec;
    const auto size = std::filesystem::file_size(Fs(journal), ec);
    EXPECT_FALSE(ec) << journal;
    EXPECT_GE((size - 32) / 32, 6u);  // header, then one record per sample

    // A gateway that is not there: the reason the system gave, not a stale
    // or empty one.
    const std::string closed = "host=127.0.0.1; port=1; timeout_ms=300; retries=0";
    KxInterface* away = interfaces.AddInterface(
        2, Pkg("ModbusInterface"), &log, reinterpret_cast<const uint8_t*>(closed.data()),
        static_cast<int32_t>(closed.size()));
    ASSERT_NE(away, nullptr);
    EXPECT_FALSE(away->Aberta);
    const std::string prefix = "ModbusInterface [2]: sem conexão com TCP 127.0.0.1:1: ";
    EXPECT_TRUE(log.Has(prefix + "conexão recusada") || log.Has(prefix + "tempo esgotado"))
        << log.All();
    meter.reset();
  }
  std::filesystem::current_path(previous);
}

// RTU frames over Winsock to a converter (pymodbus on the Linux side, the
// script of the Linux tests): values decoded, and a unit not on the line
// gives no answer.
TEST(ModbusOverTcp, RtuFramesOverWinsockReachAMeterBehindAConverter) {
  const char* port = std::getenv("TELVANE_RTU_TCP_PORT");
  if (port == nullptr) GTEST_SKIP() << "TELVANE_RTU_TCP_PORT not set";
  proc::TempDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(Fs(dir.Path()));
  kit::PackageLog log;
  {
    KxListaInterfaces interfaces;
    KxListaDrivers drivers;
    const std::string configs =
        std::string("host=127.0.0.1; port=") + port + "; framing=rtu; timeout_ms=300; retries=0";
    KxInterface* bus = interfaces.AddInterface(
        1, Pkg("ModbusInterface"), &log, reinterpret_cast<const uint8_t*>(configs.data()),
        static_cast<int32_t>(configs.size()));
    ASSERT_NE(bus, nullptr);
    ASSERT_TRUE(bus->Aberta) << log.All();
    KxDriver* driver = drivers.AddDriver(Pkg("ModbusMeter"), 5, bus);
    for (const auto& [unit, expected] : {std::pair<int, std::string>{5, "230.5"}, {6, ""}}) {
      std::unique_ptr<KxEquipamento> meter(driver->CreateEquipamento(
          10 + unit, unit, 1440, Channels({{0, 350}, {10, 440}}), &log));
      ASSERT_NE(meter, nullptr);
      std::vector<std::u16string> names, values;
      const int rc = meter->ReadOnline(names, values);
      if (expected.empty()) {
        EXPECT_NE(rc, 0) << log.All();
        continue;
      }
      ASSERT_EQ(rc, 0) << log.All();
      ASSERT_EQ(values.size(), 2u);
      EXPECT_EQ(text::FromUtf16(values[0]), expected);
      EXPECT_EQ(text::FromUtf16(values[1]), "-123456");
    }
  }
  std::filesystem::current_path(previous);
}

}  // namespace
