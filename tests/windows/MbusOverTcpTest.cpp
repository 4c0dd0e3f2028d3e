// The Windows M-Bus packages at work, under wine: MbusInterface.dll and
// MbusMeter.dll loaded by the service's own plug-in loader, reading a meter
// of the Linux simulator (build/mbus-meter-sim: the EFE water meter of the
// corpus at primary address 5) over loopback TCP into the journal, and
// delivering its present samples and its certified storage 1 through
// ReadHistorico.
//
// scripts/test-windows starts the simulator and gives its port in
// TELVANE_MBUS_SIM_PORT; without it the test is skipped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/DateTime.h"
#include "platform/Text.h"
#include "plugins/KxDriver.h"
#include "plugins/KxListaDrivers.h"
#include "plugins/KxListaInterfaces.h"
#include "support/PackageLog.h"
#include "support/ProcUtil.h"

namespace {

constexpr int kVolume = 10000016;    // instantaneous volume, m³
constexpr int kDueDate = 10100016;   // storage 1: the volume at the due date

std::string Pkg(const std::string& name) {
  return std::string(TELVANE_PACKAGES_DIR) + "/" + TELVANE_PACKAGE_PREFIX + name + TELVANE_PACKAGE_SUFFIX;
}

TEST(MbusOverTcp, TheWindowsPackagesJournalAMeterAndDeliverItsSamplesAndItsDueDateValue) {
  const char* port = std::getenv("TELVANE_MBUS_SIM_PORT");
  if (port == nullptr) GTEST_SKIP() << "TELVANE_MBUS_SIM_PORT not set";
  proc::TempDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  kit::PackageLog log;
  {
    KxListaInterfaces interfaces;
    KxListaDrivers drivers;
    const std::string configs = std::string("host=127.0.0.1; port=") + port + "; timeout_ms=1000; period_s=1";
    KxInterface* line = interfaces.AddInterface(1, Pkg("MbusInterface"), &log,
                                                reinterpret_cast<const uint8_t*>(configs.data()),
                                                static_cast<int32_t>(configs.size()));
    ASSERT_NE(line, nullptr);
    ASSERT_TRUE(line->Aberta) << log.All();
    KxDriver* driver = drivers.AddDriver(Pkg("MbusMeter"), 5, line);
    auto* canais = new KxListaCanais();
    canais->AddCanal(100, kVolume, nullptr, 0, 0);
    canais->AddCanal(101, kDueDate, nullptr, 0, 0);
    std::unique_ptr<KxEquipamento> meter(driver->CreateEquipamento(12, 5, 0, canais, &log));
    ASSERT_NE(meter, nullptr) << log.All();
    EXPECT_TRUE(log.Has("MbusMeter [12]: endereço primário 5, 2 canal(is), período 1 s, diário ")) << log.All();

    // Three present samples, taken as the service takes them, a second apart.
    std::vector<std::pair<TDateTime, float>> samples;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (samples.size() < 3 && std::chrono::steady_clock::now() < until) {
      TDateTime date = 0;
      float value = 0;
      if (meter->ReadHistorico(kVolume, samples.empty() ? 0 : samples.back().first, date, value) == ReadOk)
        samples.push_back({date, value});
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(samples.size(), 3u) << log.All();
    const TDateTime now = dt::SystemNow();
    for (const auto& [date, value] : samples) {
      EXPECT_GT(date, now - 60.0 / 86400);
      EXPECT_LT(date, now + 1.0 / 86400);
      EXPECT_FLOAT_EQ(value, 0.332f);  // 332 litres
    }
    // The due date's value, dated by the meter (31/12/2013), once.
    TDateTime date = 0;
    float value = 0;
    ASSERT_EQ(meter->ReadHistorico(kDueDate, 0, date, value), ReadOk) << log.All();
    EXPECT_EQ(date, dt::EncodeDate(2013, 12, 31));
    EXPECT_FLOAT_EQ(value, 0.331f);
    EXPECT_EQ(meter->ReadHistorico(kDueDate, date, date, value), ReadEnd);

    std::vector<std::u16string> names, values;
    ASSERT_EQ(meter->ReadOnline(names, values), 0) << log.All();
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(text::FromUtf16(values[0]), "0.332");
    meter.reset();
  }
  std::filesystem::current_path(previous);
}

}  // namespace
