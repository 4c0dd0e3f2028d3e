// Loading the real interface and driver packages: the outcome of every kind
// of package row, package names from the database, and shutdown order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/KxListaEquipamentos.h"
#include "packages/sim/SimMeterControl.h"
#include "packages/sim/SimProtocol.h"
#include "platform/ExePath.h"
#include "platform/TPackage.h"
#include "plugins/KxListaDrivers.h"
#include "plugins/KxListaInterfaces.h"
#include "plugins/KxPackagePath.h"
#include "support/ProcUtil.h"

namespace {

// The file of a package built here: "lib<Name>.so" on Linux, "<Name>.dll"
// on Windows.
std::string File(const std::string& name) {
  return TELVANE_PACKAGE_PREFIX + name + TELVANE_PACKAGE_SUFFIX;
}
std::string Pkg(const std::string& name) {
  return std::string(TELVANE_PACKAGES_DIR) + "/" + File(name);
}
// A file that is no library at all, named like one.
const std::string kNotALibrary = std::string("NotALibrary") + TELVANE_PACKAGE_SUFFIX;

class RecordingLog : public KxPackageLog {
 public:
  void WriteLine(const std::u16string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(text);
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<std::u16string> lines_;
};

// A function exported by a package for tests (the package stays loaded).
template <typename Proc>
Proc TestFunction(const std::string& package, const char* name) {
  TPackage loaded(Pkg(package));
  void* fn = loaded.GetProcAddress(name);
  loaded.Leak();  // stays loaded, as the service's own load of it may
  if (fn == nullptr) throw std::runtime_error(std::string("missing ") + name);
  return reinterpret_cast<Proc>(fn);
}

std::string ConfigOf(KxInterface* interface_) {
  char buf[256] = {};
  const int n = interface_->Exchange(sim::kRequestConfig, static_cast<int32_t>(strlen(sim::kRequestConfig)),
                                     buf, sizeof buf);
  return n < 0 ? "" : std::string(buf, static_cast<size_t>(std::min(n, 255)));
}

bool IsLoaded(const std::string& package) { return TPackage::IsLoaded(Pkg(package)); }

TEST(PluginLoader, InterfaceRowsEachGiveTheirOutcome) {
  auto closeCount = TestFunction<SimInterface_CloseCountProc>("SimInterface", "SimInterface_CloseCount");
  auto alive = TestFunction<SimInterface_AliveProc>("SimInterface", "SimInterface_Alive");
  auto brokenConfigureCloses =
      TestFunction<BrokenInterface_CloseCountProc>("IfConfigureFails", "BrokenInterface_CloseCount");
  auto brokenOpenCloses =
      TestFunction<BrokenInterface_CloseCountProc>("IfOpenFails", "BrokenInterface_CloseCount");
  auto brokenOpenAlive = TestFunction<BrokenInterface_AliveProc>("IfOpenFails", "BrokenInterface_Alive");
  const int aliveBefore = alive();
  const int closesBefore = closeCount(101);
  RecordingLog log;
  {
    KxListaInterfaces lista;
    std::string config = "latency_ms=0\nqualquer=coisa\n";
    KxInterface* ok = lista.AddInterface(101, Pkg("SimInterface"), &log,
                                         reinterpret_cast<const uint8_t*>(config.data()),
                                         static_cast<int32_t>(config.size()));
    // The bytes belong to the caller: the interface kept its own copy.
    std::memset(config.data(), 'x', config.size());
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->InterfaceId, 101);
    EXPECT_TRUE(ok->Aberta);
    EXPECT_EQ(ConfigOf(ok), "latency_ms=0\nqualquer=coisa\n");

    struct Row {
      const char* package;
      bool listed;
    };
    const Row rows[] = {{"IfNoEntry", false},
                        {"IfNullObject", false},
                        {"IfConfigureFails", true},
                        {"IfOpenFails", true}};
    int32_t id = 200;
    for (const Row& row : rows) {
      const int before = lista.Count();
      KxInterface* made = lista.AddInterface(++id, Pkg(row.package), &log, nullptr, 0);
      EXPECT_EQ(made != nullptr, row.listed) << row.package;
      EXPECT_EQ(lista.Count(), before + (row.listed ? 1 : 0)) << row.package;
      if (made != nullptr) {
        EXPECT_FALSE(made->Aberta) << row.package;
        EXPECT_EQ(lista.FindById(id), made) << row.package;  // still found and handed to drivers
      }
    }
    // CONFIGS can make the simulated interface fail the same ways.
    const std::string failOpen = "fail_open=1";
    KxInterface* notOpen = lista.AddInterface(102, Pkg("SimInterface"), &log,
                                              reinterpret_cast<const uint8_t*>(failOpen.data()),
                                              static_cast<int32_t>(failOpen.size()));
    ASSERT_NE(notOpen, nullptr);
    EXPECT_FALSE(notOpen->Aberta);
    // An interface whose Configure raises is freed, not listed.
    const std::string throwing = "throw_configure=1";
    const int count = lista.Count();
    EXPECT_THROW(lista.AddInterface(103, Pkg("SimInterface"), &log,
                                    reinterpret_cast<const uint8_t*>(throwing.data()),
                                    static_cast<int32_t>(throwing.size())),
                 std::runtime_error);
    EXPECT_EQ(lista.Count(), count);
    EXPECT_EQ(alive(), aliveBefore + 2);
    EXPECT_EQ(brokenOpenAlive(), 1);
  }
  // Destroying the list closed only the interface that was open, once.
  EXPECT_EQ(closeCount(101), closesBefore + 1);
  EXPECT_EQ(closeCount(102), 0);
  EXPECT_EQ(brokenConfigureCloses(), 0);
  EXPECT_EQ(brokenOpenCloses(), 0);
  EXPECT_EQ(alive(), aliveBefore);
  EXPECT_EQ(brokenOpenAlive(), 0);
  // Interface packages stay loaded.
  EXPECT_TRUE(IsLoaded("IfNoEntry"));
}

TEST(PluginLoader, UnloadablePackagesRaiseNamingThePackage) {
  KxListaInterfaces interfaces;
  KxListaDrivers drivers;
  for (const std::string& file : {kNotALibrary, File("NoSuchPackage")}) {
    const std::string path = std::string(TELVANE_PACKAGES_DIR) + "/" + file;
    try {
      interfaces.AddInterface(1, path, nullptr, nullptr, 0);
      ADD_FAILURE() << file << " loaded";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
    }
    try {
      drivers.AddDriver(path, 1, nullptr);
      ADD_FAILURE() << file << " loaded";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(interfaces.Count(), 0);
  EXPECT_EQ(drivers.Count(), 0);
  // The system's reason is part of the message.
  try {
    TPackage missing(Pkg("NoSuchPackage"));
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(TELVANE_MISSING_PACKAGE_REASON), std::string::npos)
        << e.what();
  }
}

TEST(PluginLoader, PackageNamesFromTheDatabaseMustBeBareFileNames) {
  // The system's separator: "./Drivers/x" on POSIX, ".\\Drivers\\x" on Windows.
  const auto native = [](std::string path) {
    for (char& c : path)
      if (c == '/') c = platform::kPathDelimiter;
    return path;
  };
  EXPECT_EQ(PackagePath("Drivers", "libSimMeter.so"), native("./Drivers/libSimMeter.so"));
  EXPECT_EQ(PackagePath("Interfaces", "Serial.bpl"), native("./Interfaces/Serial.bpl"));
  const std::string refused[] = {"",
                                 "../libSimMeter.so",
                                 "..",
                                 "lib..so",
                                 "/tmp/libSimMeter.so",
                                 "sub/libSimMeter.so",
                                 "..\\evil.dll",
                                 "C:\\evil.dll",
                                 std::string("lib\0x.so", 8)};
  for (const std::string& name : refused) {
    try {
      PackagePath("Drivers", name);
      ADD_FAILURE() << "accepted: " << name;
    } catch (const std::runtime_error& e) {
      if (!name.empty() && name.find('\0') == std::string::npos) {
        EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
      }
    }
  }
}

// The loader's folders are relative to the current directory.
TEST(PluginLoader, PackagePathLoadsFromTheCurrentDirectory) {
  namespace fs = std::filesystem;
  const fs::path previous = fs::current_path();
  proc::TempDir dir("telvane-pkg");
  fs::create_directory(dir / "Interfaces");
  fs::create_directory(dir / "Drivers");
  fs::copy_file(Pkg("SimInterface"), dir / ("Interfaces/" + File("SimInterface")));
  fs::copy_file(Pkg("DrvNoNames"), dir / ("Drivers/" + File("DrvNoNames")));
  fs::current_path(dir.Path());
  {
    KxListaInterfaces interfaces;
    KxListaDrivers drivers;
    KxInterface* i = nullptr;
    EXPECT_NO_THROW(i = interfaces.AddInterface(
                        7, PackagePath("Interfaces", File("SimInterface")), nullptr, nullptr, 0));
    EXPECT_NE(i, nullptr);
    KxDriver* d = nullptr;
    EXPECT_NO_THROW(d = drivers.AddDriver(PackagePath("Drivers", File("DrvNoNames")), 3, i));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Interface, i);
  }
  fs::current_path(previous);
}

TEST(PluginLoader, DriverNamesVersionsAndEquipmentCreation) {
  KxListaDrivers drivers;
  KxDriver* sim = drivers.AddDriver(Pkg("SimMeter"), 1, nullptr);
  KxDriver* noNames = drivers.AddDriver(Pkg("DrvNoNames"), 2, nullptr);
  KxDriver* nullEquip = drivers.AddDriver(Pkg("DrvNullEquip"), 3, nullptr);
  KxDriver* noCreate = drivers.AddDriver(Pkg("DrvNoCreate"), 4, nullptr);
  KxDriver* twin = drivers.AddDriver(Pkg("SimMeter"), 1, nullptr);
  EXPECT_EQ(drivers.Count(), 5);
  EXPECT_EQ(drivers.FindById(1), sim);
  EXPECT_NE(twin, sim);
  EXPECT_EQ(drivers.FindById(5), nullptr);

  EXPECT_EQ(sim->Nome, "SimMeter");
  EXPECT_EQ(sim->Versao, "1.0");
  EXPECT_EQ(noNames->Nome, "Erro");
  EXPECT_EQ(noNames->Versao, "Erro");
  EXPECT_EQ(nullEquip->Nome, "Broken Medi\xC3\xA7\xC3\xA3o");  // Windows-1252 converted to UTF-8
  EXPECT_NE(sim->CreateEquipClass, nullptr);
  EXPECT_NE(sim->DestroyEquipClass, nullptr);
  EXPECT_EQ(noCreate->CreateEquipClass, nullptr);
  EXPECT_EQ(noCreate->DestroyEquipClass, nullptr);

  // No entry point: no object, and the list was never handed over. The
  // package that makes none keeps the list: it is the package's now.
  auto* canais = new KxListaCanais();
  EXPECT_EQ(noCreate->CreateEquipamento(9, 0, 0, canais, nullptr), nullptr);
  delete canais;
  auto kept = reinterpret_cast<BrokenDriver_KeptChannelsProc>(
      nullEquip->Pacote->GetProcAddress("BrokenDriver_KeptChannels"));
  ASSERT_NE(kept, nullptr);
  const int32_t keptBefore = kept();
  canais = new KxListaCanais();
  canais->AddCanal(1, 0, nullptr, 0, 0);
  EXPECT_EQ(nullEquip->CreateEquipamento(9, 0, 0, canais, nullptr), nullptr);
  EXPECT_EQ(kept(), keptBefore + 1);
  KxListaEquipamentos equips;
  KxEquipamento* quiet = noNames->CreateEquipamento(9, 1, 2, new KxListaCanais(), nullptr);
  ASSERT_NE(quiet, nullptr);
  equips.Add(quiet);
  EXPECT_EQ(equips.FindById(9), quiet);
  TDateTime date = 0;
  float value = 0;
  EXPECT_EQ(quiet->ReadHistorico(0, 0, date, value), ReadEnd);
  equips.Clear();  // equipment before the drivers whose code they run
}

TEST(PluginLoader, DriverPackageIsUnloadedWithItsDriver) {
  ASSERT_FALSE(IsLoaded("DrvNullEquip")) << "kept loaded by another test";
  {
    KxDriver driver(Pkg("DrvNullEquip"), 1, nullptr);
    EXPECT_TRUE(IsLoaded("DrvNullEquip"));
  }
  EXPECT_FALSE(IsLoaded("DrvNullEquip"));
}

TEST(PluginLoader, TwoDriversShareOneInterfaceClosedOnce) {
  auto closeCount = TestFunction<SimInterface_CloseCountProc>("SimInterface", "SimInterface_CloseCount");
  auto alive = TestFunction<SimInterface_AliveProc>("SimInterface", "SimInterface_Alive");
  const int aliveBefore = alive();
  const int closesBefore = closeCount(301);
  RecordingLog log;
  {
    // Destruction order of the installation: equipment, drivers, interfaces.
    KxListaInterfaces interfaces;
    KxListaDrivers drivers;
    KxListaEquipamentos equips;
    KxInterface* shared = interfaces.AddInterface(301, Pkg("SimInterface"), &log, nullptr, 0);
    interfaces.AddInterface(302, Pkg("SimInterface"), &log, nullptr, 0);  // named by no driver
    ASSERT_NE(shared, nullptr);
    KxDriver* a = drivers.AddDriver(Pkg("SimMeter"), 1, interfaces.FindById(301));
    KxDriver* b = drivers.AddDriver(Pkg("SimMeter"), 2, interfaces.FindById(301));
    EXPECT_EQ(a->Interface, shared);
    EXPECT_EQ(b->Interface, shared);
    equips.Add(a->CreateEquipamento(3101, 0, 0, new KxListaCanais(), &log));
    equips.Add(b->CreateEquipamento(3102, 0, 0, new KxListaCanais(), &log));
    ASSERT_NE(equips.FindById(3102), nullptr);
    std::u16string version;
    EXPECT_EQ(equips.FindById(3102)->ReadVersao(version), 0);
    EXPECT_GE(log.Count(), 2u);  // the meters wrote to the service's log
    EXPECT_EQ(alive(), aliveBefore + 2);
    equips.Clear();
    drivers.Clear();
  }
  EXPECT_EQ(closeCount(301), closesBefore + 1);
  EXPECT_EQ(alive(), aliveBefore);
}

TEST(PluginLoader, InterfaceListIndexingAndDuplicateIds) {
  KxListaInterfaces interfaces;
  KxInterface* first = interfaces.AddInterface(5, Pkg("IfOpenFails"), nullptr, nullptr, 0);
  KxInterface* second = interfaces.AddInterface(5, Pkg("IfOpenFails"), nullptr, nullptr, 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(interfaces.FindById(5), first);
  EXPECT_EQ(interfaces.FindById(6), nullptr);
  EXPECT_EQ(interfaces.Items(1), second);
  EXPECT_THROW(interfaces.Items(2), std::out_of_range);
  EXPECT_THROW(interfaces.Items(-1), std::out_of_range);
  interfaces.Clear();
  EXPECT_EQ(interfaces.Count(), 0);
}

}  // namespace
