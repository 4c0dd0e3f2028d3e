// The Modbus packages as the service loads them (KxListaInterfaces,
// KxDriver), against a libmodbus server on 127.0.0.1: what a bad row or a bad
// CONFIGS says, how registers are read and named, how the bus copes with a
// lost connection, a silent meter, a silent gateway and a meter destroyed
// while it waits, and what the meter makes of a NaN register, a journal
// written under a clock that was ahead, a meter replaced under its
// EQUIP_ID and complaints that would repeat at every boundary.
// RTU over TCP is read from pymodbus serving RTU frames on a TCP socket
// (tests/support/rtu_over_tcp_server.py), a peer that shares no code with
// the package.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "packages/fieldbus/LocalClock.h"
#include "packages/fieldbus/SampleJournal.h"
#include "packages/modbus/ModbusProtocol.h"
#include "packages/modbus/RtuFrame.h"
#include "packages/modbus/sim/ModbusSimServer.h"
#include "platform/Text.h"
#include "plugins/KxDriver.h"
#include "plugins/KxListaDrivers.h"
#include "plugins/KxListaInterfaces.h"
#include "support/InstallationKit.h"
#include "support/PackageLog.h"
#include "support/ProcUtil.h"
#include "support/ThreadTestKit.h"

namespace {

using mbsim::ModbusSimServer;
using Table = ModbusSimServer::Table;

std::string Pkg(const std::string& file) { return std::string(TELVANE_PACKAGES_DIR) + "/" + file; }

// A sampling period (DRV_ADDR2, minutes) with no boundary near the present:
// the meter's own sampling thread then stays off the wire while a test
// counts the requests it makes itself.
int QuietPeriod() {
  for (int minutes : {1440, 1439, 1433}) {
    const int64_t period = minutes * fb::kMsPerMinute;
    const int64_t since = fb::LocalNowMs() % period;
    if (since > 2 * fb::kMsPerMinute && period - since > fb::kMsPerMinute) return minutes;
  }
  return 1440;
}

// The process's file size limit lowered to `bytes` for a scope: a write past
// it fails (EFBIG) as it would on a full disk; SIGXFSZ is ignored meanwhile.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(uintmax_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lower = saved_;
    lower.rlim_cur = static_cast<rlim_t>(bytes);
    setrlimit(RLIMIT_FSIZE, &lower);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*previous_)(int) = SIG_DFL;
};

class ModbusPackageTest : public ::testing::Test {
 protected:
  void SetUp() override { server = ModbusSimServer::Tcp(); }
  void TearDown() override {
    if (HasFailure()) std::cerr << log.All();
  }
  std::string Tcp(const std::string& more = "") {
    return "host=127.0.0.1; port=" + std::to_string(server->Port()) + "; " + more;
  }
  KxInterface* Bus(int id, const std::string& configs, const std::string& package = "libModbusInterface.so") {
    return interfaces.AddInterface(id, Pkg(package), &log,
                                   reinterpret_cast<const uint8_t*>(configs.data()),
                                   static_cast<int32_t>(configs.size()));
  }
  // A meter with channels (register address, format code): EQUIP_INDEX is
  // code * 100000 + address, and LOCAL_ID a unit of the building, which the
  // meter must not read. Created in the work folder (its journal goes to
  // ModbusJournal/ there).
  std::unique_ptr<KxEquipamento> Meter(KxInterface* bus, int equipId, int unit, int period,
                                       const std::vector<std::pair<int, int>>& channels,
                                       int firstCanal = 100) {
    inst::ScopedChdir cd(work.Path());
    KxDriver* driver = drivers.AddDriver(Pkg("libModbusMeter.so"), equipId, bus);
    auto* canais = new KxListaCanais();
    for (size_t i = 0; i < channels.size(); ++i)
      canais->AddCanal(firstCanal + static_cast<int>(i),
                       channels[i].second * 100000 + channels[i].first, nullptr, 350, 0);
    return std::unique_ptr<KxEquipamento>(driver->CreateEquipamento(equipId, unit, period, canais, &log));
  }
  // The creation's error message ("" when it was created).
  std::string Refusal(KxInterface* bus, int unit, int period, const std::vector<std::pair<int, int>>& channels) {
    try {
      Meter(bus, 12, unit, period, channels);
      return "";
    } catch (const std::exception& e) {
      return e.what();
    }
  }
  // One read straight through the interface's Exchange, as the meter asks it.
  static mb::ReadReply Ask(KxInterface* bus, int unit, mb::Table table, int address, int count) {
    mb::Request req;
    req.unit = static_cast<uint8_t>(unit);
    req.table = table;
    req.address = static_cast<uint16_t>(address);
    req.count = static_cast<uint16_t>(count);
    mb::ReadReply reply;
    reply.status = mb::Status::NotConfigured;
    EXPECT_EQ(bus->Exchange(&req, sizeof req, &reply, sizeof reply), static_cast<int>(sizeof reply));
    return reply;
  }
  std::string Journal(int equipId) {
    return work.File("ModbusJournal/equip-" + std::to_string(equipId) + ".jrn");
  }
  // The dates of the samples of the journal's main file.
  std::vector<int64_t> Sampled(int equipId) {
    std::vector<int64_t> out;
    for (const auto& r : fb::SampleJournal::ReadAll(Journal(equipId)))
      if (r.type == 'S') out.push_back(r.dateMs);
    return out;
  }
  std::map<std::string, std::string> Online(KxEquipamento& meter, int& result) {
    std::vector<std::u16string> names, values;
    result = meter.ReadOnline(names, values);
    std::map<std::string, std::string> out;
    for (size_t i = 0; i < names.size() && i < values.size(); ++i)
      out[text::FromUtf16(names[i])] = text::FromUtf16(values[i]);
    return out;
  }

  kit::TempDir work;
  kit::PackageLog log;
  KxListaInterfaces interfaces;  // destroyed after the drivers: their meters use them
  KxListaDrivers drivers;
  std::unique_ptr<ModbusSimServer> server;
};

TEST_F(ModbusPackageTest, BadSettingsAndBadRowsAreRefusedSayingWhy) {
  const std::pair<std::string, std::string> settings[] = {
      {"", "informe host (Modbus TCP) ou device (Modbus RTU)"},
      {"host=127.0.0.1; device=/dev/ttyS0", "host (TCP) e device (RTU) não podem ser usados juntos"},
      {"host=127.0.0.1; timout_ms=100", "chave desconhecida: 'timout_ms'"},
      {"host=127.0.0.1; port=0", "valor inválido para port: '0' (inteiro de 1 a 65535)"},
      {"host=127.0.0.1\nport=502\nport=503", "chave repetida: 'port'"},
      {"host=127.0.0.1; retries", "item sem '=': 'retries'"},
      {"host=127.0.0.1; baud=9600", "a chave 'baud' não vale para Modbus TCP"},
      {"device=/dev/ttyS0; baud=14400",
       "valor inválido para baud: '14400' (1200, 2400, 4800, 9600, 19200, 38400, 57600 ou 115200)"},
      {"device=/dev/ttyS0; parity=X", "valor inválido para parity: 'X' (N, E ou O)"},
      {"device=/dev/ttyS0; timeout_ms=5", "valor inválido para timeout_ms: '5' (inteiro de 10 a 60000)"},
      {"host=127.0.0.1; framing=ascii", "valor inválido para framing: 'ascii' (tcp ou rtu)"},
      {"device=/dev/ttyS0; framing=rtu", "a chave 'framing' não vale para Modbus RTU"},
      {"host=127.0.0.1; framing=rtu; baud=9600", "a chave 'baud' não vale para Modbus RTU sobre TCP"},
  };
  int id = 10;
  for (const auto& [configs, why] : settings) {
    SCOPED_TRACE(configs);
    KxInterface* bus = Bus(id, configs);
    ASSERT_NE(bus, nullptr);
    EXPECT_FALSE(bus->Aberta);
    EXPECT_EQ(1, log.Count("ModbusInterface [" + std::to_string(id) + "]: configuração inválida: " + why));
    ++id;
  }

  KxInterface* bus = Bus(1, Tcp());
  ASSERT_TRUE(bus->Aberta);
  const std::pair<std::string, std::string> rows[] = {
      {Refusal(bus, 248, 0, {{0, 410}}),
       "unidade Modbus 248 inválida (DRV_ADDR1 deve estar entre 0 e 247, ou ser 255, em Modbus TCP)"},
      {Refusal(Bus(3, "device=/dev/ttyS0"), 0, 0, {{0, 410}}),
       "unidade Modbus 0 inválida (DRV_ADDR1 deve estar entre 1 e 247 em Modbus RTU)"},
      {Refusal(Bus(4, "device=/dev/ttyS0"), 248, 0, {{0, 410}}), "unidade Modbus 248 inválida"},
      // RTU over TCP addresses the units of a serial line.
      {Refusal(Bus(5, Tcp("framing=rtu")), 0, 0, {{0, 410}}),
       "unidade Modbus 0 inválida (DRV_ADDR1 deve estar entre 1 e 247 em Modbus RTU)"},
      {Refusal(bus, 7, -1, {{0, 410}}), "período -1 inválido"},
      {Refusal(bus, 7, 0, {{72, 0}}), "canal 100: EQUIP_INDEX 72 inválido"},
      {Refusal(bus, 7, 0, {{0, 411}}), "canal 100: EQUIP_INDEX 41100000 inválido"},
      {Refusal(bus, 7, 0, {{0, 390}}), "canal 100: EQUIP_INDEX 39000000 inválido"},
      {Refusal(bus, 7, 0, {{0, 364}}), "canal 100: EQUIP_INDEX 36400000 inválido"},
      {Refusal(bus, 7, 0, {{65535, 350}}), "canal 100: EQUIP_INDEX 35065535 inválido"},
      {Refusal(bus, 7, 0, {{65533, 380}}), "canal 100: EQUIP_INDEX 38065533 inválido"},
      {Refusal(bus, 7, 0, {{0, 410}, {0, 420}}),
       "canal 101: EQUIP_INDEX 42000000: registro 0 já usado por outro canal com outro formato"},
      {Refusal(bus, 7, 0, {{0, 410}, {0, 2410}}),
       "canal 101: EQUIP_INDEX 241000000: registro 0 já usado por outro canal com outro formato"},
      {Refusal(Bus(2, "", "libSimInterface.so"), 7, 0, {{0, 410}}),
       "a interface do driver não é uma ModbusInterface"},
  };
  for (const auto& [message, expected] : rows)
    EXPECT_NE(message.find("ModbusMeter [12]: " + expected), std::string::npos) << message;
  // The same register twice, read the same way, is no conflict; native TCP
  // meters answer as unit 0 or 255.
  EXPECT_EQ(Refusal(bus, 7, 0, {{0, 410}, {0, 410}}), "");
  EXPECT_EQ(Refusal(bus, 0, 0, {{0, 410}}), "");
  server->SetRegisters(255, Table::Holding, 0, {42});
  auto native = Meter(bus, 13, 255, QuietPeriod(), {{0, 410}});
  ASSERT_NE(native, nullptr);
  int result = -1;
  EXPECT_EQ(Online(*native, result), (std::map<std::string, std::string>{{"Reg 40001", "42"}}));
}

TEST_F(ModbusPackageTest, LiveValuesAreNamedByRegisterAndTouchingRegistersShareARequest) {
  std::mutex timesMutex;  // when the server saw each request, once a hook is set below
  std::vector<std::chrono::steady_clock::time_point> times;
  server->SetRegisters(7, Table::Holding, 0, {65000, 0xFFFE, 0x0001, 0x0002});
  server->SetFloat(7, Table::Input, 100, 3.5f);
  server->SetMissing(7, Table::Input, 200);
  server->SetRegisters(7, Table::Input, 201, {9});
  server->SetRegisters(7, Table::Input, 300, {0x7FC0, 0x0000, 0xFFFF, 0xFFFF, 0x7F80, 0x0000});
  server->SetFloat(7, Table::Input, 306, -0.25f);
  // Sampled once a day (at midnight): the live reads have the bus to themselves.
  auto meter = Meter(Bus(1, Tcp()), 12, 7, QuietPeriod(),
                     {{0, 410}, {1, 420}, {2, 430}, {100, 350}, {200, 310}, {201, 310},
                      {300, 350}, {302, 350}, {304, 350}, {306, 350}});
  ASSERT_NE(meter, nullptr);
  // A float the meter marks "not available" (NaN, 0xFFFFFFFF, infinity) is
  // no value, like a register that cannot be read.
  const std::map<std::string, std::string> expected = {
      {"Reg 40001", "65000"}, {"Reg 40002", "-2"},    {"Reg 40003", "65538"},
      {"Reg 30101", "3.5"},   {"Reg 30201", "falha"}, {"Reg 30202", "9"},
      {"Reg 30301", "falha"}, {"Reg 30303", "falha"}, {"Reg 30305", "falha"},
      {"Reg 30307", "-0.25"}};
  int result = -1;
  EXPECT_EQ(Online(*meter, result), expected);
  EXPECT_EQ(result, 0);
  // Holding 0..3, input 100..101 and 300..307 in one request each; input
  // 200..201 refused as a block (register 200 does not exist), then one by
  // one.
  EXPECT_EQ(server->Requests(7), 6);
  EXPECT_EQ(1, log.Count("ModbusMeter [12]: registros 30201 a 30202 recusados em bloco "
                         "(endereço de registro inválido (exceção Modbus 2)); lidos um a um"));
  EXPECT_EQ(Online(*meter, result), expected);
  EXPECT_EQ(server->Requests(7), 11);  // the refused block is not asked for again

  std::u16string version;
  EXPECT_EQ(meter->ReadVersao(version), 0);
  EXPECT_EQ(text::FromUtf16(version), "ModbusMeter 1.0 - unidade 7");
  EXPECT_EQ(meter->SetRelogio(), 0);

  // A bus that needs a pause after connecting and between requests gets it.
  server->SetHook(7, [&](uint16_t*, uint16_t*) {
    std::lock_guard<std::mutex> lock(timesMutex);
    times.push_back(std::chrono::steady_clock::now());
  });
  const auto connectAt = std::chrono::steady_clock::now();
  auto paced = Meter(Bus(5, Tcp("connect_pause_ms=300; request_pause_ms=150")), 13, 7, QuietPeriod(),
                     {{0, 410}, {100, 350}, {201, 310}});
  ASSERT_NE(paced, nullptr);
  Online(*paced, result);
  {
    // The demo's simulator has its meters' registers only: one it does not
    // publish is refused as a real meter refuses it.
    proc::TempDir out;
    proc::ChildOptions o;
    o.args = {"--port", "0", "--units", "3"};
    proc::Child sim(TELVANE_MODBUS_SIM, o, out.Path());
    std::string port;
    ASSERT_TRUE(proc::WaitUntil([&] {
      const std::string said = sim.Stdout();
      const size_t at = said.find("127.0.0.1:");
      if (at == std::string::npos || said.find(',', at) == std::string::npos) return false;
      port = said.substr(at + 10, said.find(',', at) - at - 10);
      return true;
    }));
    auto demo = Meter(Bus(6, "host=127.0.0.1; port=" + port), 14, 3, QuietPeriod(),
                      {{72, 350}, {100, 350}});
    const auto live = Online(*demo, result);
    EXPECT_NE(live.at("Reg 30073"), "falha");
    EXPECT_EQ(live.at("Reg 30101"), "falha");
  }
  std::lock_guard<std::mutex> lock(timesMutex);
  ASSERT_EQ(times.size(), 3u);
  EXPECT_GE(times[0] - connectAt, std::chrono::milliseconds(300));
  EXPECT_GE(times[1] - times[0], std::chrono::milliseconds(150));
  EXPECT_GE(times[2] - times[1], std::chrono::milliseconds(150));
}

TEST_F(ModbusPackageTest, TheBusComesBackBySelfAndASilentMeterIsGivenUpQuickly) {
  const int port = server->Port();
  server->SetRegisters(7, Table::Holding, 0, {1});
  KxInterface* bus = Bus(1, Tcp("timeout_ms=200; retries=1"));
  ASSERT_TRUE(bus->Aberta);
  const std::string where = "TCP 127.0.0.1:" + std::to_string(port);
  auto meter = Meter(bus, 12, 7, QuietPeriod(), {{0, 410}, {10, 410}, {20, 410}});
  int result = -1;
  EXPECT_EQ(Online(*meter, result).at("Reg 40001"), "1");

  // The gateway closes the connection: the next request opens it again.
  server->DropConnections();
  EXPECT_EQ(Online(*meter, result).at("Reg 40001"), "1");
  EXPECT_EQ(server->Connections(), 2);
  EXPECT_EQ(1, log.Count("ModbusInterface [1]: conexão perdida com " + where + ": "));
  EXPECT_EQ(2, log.Count("ModbusInterface [1]: conectada a " + where));

  // The gateway is away: reads fail; once it is back they work again.
  server.reset();
  Online(*meter, result);
  EXPECT_NE(result, 0);
  server = ModbusSimServer::Tcp(port);
  server->SetRegisters(7, Table::Holding, 0, {2});
  EXPECT_EQ(Online(*meter, result).at("Reg 40001"), "2");
  EXPECT_EQ(3, log.Count("ModbusInterface [1]: conectada a " + where));

  // A meter that does not answer costs one request per attempt, not one per
  // channel, and the other meters go on. Asked once at the service's first
  // visit (no boundary sampled yet), it fails that visit.
  auto silent = Meter(bus, 13, 8, QuietPeriod(), {{0, 410}, {10, 410}, {20, 410}});
  server->SetSilent(8, true);
  TDateTime date = 0;
  std::u16string text;
  int32_t classe = 0;
  EXPECT_EQ(silent->ReadAlarme(0, date, text, classe), 1);
  EXPECT_EQ(meter->ReadAlarme(0, date, text, classe), ReadEnd);
  EXPECT_EQ(server->Requests(8), 2);
  EXPECT_EQ(1, log.Count("ModbusMeter [13]: primeira consulta sem sucesso: sem resposta (Reg 40001)"));
  Online(*silent, result);
  EXPECT_NE(result, 0);
  EXPECT_EQ(server->Requests(8), 4);
  EXPECT_EQ(Online(*meter, result).at("Reg 40001"), "2");

  // A gateway that takes every connection and drops it at the request: the
  // losses are said when they begin, and with their count at the first reply.
  {
    proc::TempDir dir;
    proc::ChildOptions options;
    options.args = {"-c",
                    "import os, socket, sys\n"
                    "s = socket.create_server(('127.0.0.1', 0))\n"
                    "open(sys.argv[1] + '.t', 'w').write(str(s.getsockname()[1]))\n"
                    "os.rename(sys.argv[1] + '.t', sys.argv[1])\n"
                    "while True: s.accept()[0].close()\n",
                    dir / "port"};
    auto dropper = std::make_unique<proc::Child>("/usr/bin/python3", options, dir.Path());
    ASSERT_TRUE(proc::WaitUntil([&] { return proc::FileExists(dir / "port"); }));
    const int dropPort = std::stoi(proc::ReadFile(dir / "port"));
    KxInterface* dropping = Bus(4, "host=127.0.0.1; port=" + std::to_string(dropPort) + "; retries=0");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Ask(dropping, 7, mb::Table::Holding, 0, 1).status, mb::Status::Connection);
    dropper.reset();
    auto sameGateway = ModbusSimServer::Tcp(dropPort);
    sameGateway->SetRegisters(7, Table::Holding, 0, {3});
    EXPECT_EQ(Ask(dropping, 7, mb::Table::Holding, 0, 1).status, mb::Status::Ok);
    const std::string at = "ModbusInterface [4]: ";
    EXPECT_EQ(1, log.Count(at + "conexão perdida com TCP 127.0.0.1:" + std::to_string(dropPort)));
    EXPECT_EQ(2, log.Count(at + "conectada a "));
    EXPECT_EQ(1, log.Count(at + "conexão com TCP 127.0.0.1:" + std::to_string(dropPort) +
                           " estável novamente (5 perda(s))"));
  }

  // A meter destroyed while its sampling waits on a silent unit (1 s per
  // attempt, 4 attempts) stops within the attempt on the wire.
  KxInterface* slow = Bus(2, Tcp("timeout_ms=1000; retries=3; period_s=1"));
  server->SetSilent(9, true);
  auto stuck = Meter(slow, 14, 9, 0, {{0, 410}, {10, 410}});
  ASSERT_TRUE(kit::WaitUntil([&] { return server->Requests(9) >= 1; }, std::chrono::seconds(5)));
  const auto t0 = std::chrono::steady_clock::now();
  stuck.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1800));
}

// The back-off is for a unit that stays silent while others on its line
// answer (here a second): it is asked at fewer and fewer boundaries, and at
// each again once it answers. A gateway that hangs (connections open, no
// reply for anyone) backs off nobody: the first answer finds every meter
// sampled at every boundary.
TEST_F(ModbusPackageTest, ADeadUnitBesideHealthyOnesBacksOffAndASilentGatewayBacksOffNobody) {
  KxInterface* bus = Bus(3, Tcp("timeout_ms=100; retries=0; period_s=1"));
  for (uint8_t unit : {7, 8, 10}) server->SetRegisters(unit, Table::Holding, 0, {unit});
  server->SetSilent(10, true);
  auto first = Meter(bus, 15, 7, 0, {{0, 410}});
  auto second = Meter(bus, 16, 8, 0, {{0, 410}});
  auto dead = Meter(bus, 17, 10, 0, {{0, 410}});
  std::this_thread::sleep_for(std::chrono::seconds(8));
  EXPECT_LE(server->Requests(10), 5);
  EXPECT_EQ(1, log.Count("ModbusMeter [17]: unidade sem resposta: consultada a cada 2 períodos"));

  for (uint8_t unit : {7, 8}) server->SetSilent(unit, true);
  std::this_thread::sleep_for(std::chrono::seconds(4));
  for (uint8_t unit : {7, 8}) server->SetSilent(unit, false);
  const int64_t back = fb::LocalNowMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(3300));
  for (int equip : {15, 16}) {
    SCOPED_TRACE(equip);
    const auto dates = Sampled(equip);
    // The two boundaries from a second after the gateway came back.
    EXPECT_EQ(std::count_if(dates.begin(), dates.end(),
                            [&](int64_t d) { return d > back + 1000 && d <= back + 3000; }),
              2);
    EXPECT_EQ(0, log.Count("ModbusMeter [" + std::to_string(equip) + "]: unidade sem resposta"));
  }

  server->SetSilent(10, false);
  int result = -1;
  EXPECT_EQ(Online(*dead, result).at("Reg 40001"), "10");
  const int64_t answered = server->Requests(10);
  EXPECT_TRUE(kit::WaitUntil([&] { return server->Requests(10) >= answered + 3; },
                             std::chrono::seconds(5)));
}

// A float register holding NaN (a meter's "not available", such as a power
// factor at no load): no sample for its channel and the class 20/21 pair,
// but the meter answers, so the visits do not fail (the service shows no
// "Falha de comunicação" and raises no class 2/3).
TEST_F(ModbusPackageTest, ANanRegisterIsAChannelNotReadNotAMeterWithoutCommunication) {
  server->SetRegisters(7, Table::Input, 0, {0x7FC0, 0x0000});
  auto meter = Meter(Bus(1, Tcp("timeout_ms=300; period_s=1")), 12, 7, 0, {{0, 350}});
  std::vector<std::string> alarms;
  TDateTime from = 0;
  // The alarms delivered so far; then the visit ends, it does not fail.
  auto read = [&] {
    TDateTime date = 0;
    std::u16string text;
    int32_t classe = 0;
    int r;
    while ((r = meter->ReadAlarme(from, date, text, classe)) == ReadOk) {
      alarms.push_back(std::to_string(classe) + " " + text::FromUtf16(text));
      from = date;
    }
    EXPECT_EQ(r, ReadEnd);
    return alarms.size();
  };
  ASSERT_TRUE(kit::WaitUntil([&] { return read() >= 1; }, std::chrono::seconds(5)));
  int result = -1;
  EXPECT_EQ(Online(*meter, result).at("Reg 30001"), "falha");
  EXPECT_EQ(result, 0);
  server->SetFloat(7, Table::Input, 0, 0.98f);
  ASSERT_TRUE(kit::WaitUntil([&] { return read() >= 2; }, std::chrono::seconds(5)));
  EXPECT_EQ(alarms, (std::vector<std::string>{
                        "20 Falha de leitura: valor não disponível (NaN ou infinito) (Reg 30001)",
                        "21 Leitura normalizada"}));
}

// A journal written while the computer's clock was ahead (here by a few
// seconds): the meter samples by the right clock at once, says so once, and
// delivers the samples dated ahead when their time comes, each once.
TEST_F(ModbusPackageTest, AJournalWrittenUnderAClockThatWasAheadIsSampledOnAtOnce) {
  server->SetRegisters(7, Table::Holding, 0, {5});
  KxInterface* bus = Bus(1, Tcp("timeout_ms=300; period_s=1"));
  Meter(bus, 20, 7, 0, {{0, 410}}).reset();  // its journal, with the meter's identity
  const uint64_t identity = fb::SampleJournal::ReadIdentity(Journal(20));
  ASSERT_NE(identity, 0u);
  // Rounds at half seconds from 2.5 s to 4.5 s from now: between the
  // boundaries of the right clock.
  const int64_t base = fb::FloorDiv(fb::LocalNowMs(), 1000) * 1000;
  {
    fb::SampleJournal ahead(Journal(20), 20, identity, base + 5000, [](const std::string&) {});
    for (int k = 2; k <= 4; ++k)
      ASSERT_TRUE(ahead.Append(base + k * 1000 + 500, {{0, 900.f + k}}, 0, nullptr, base + 5000));
  }
  auto meter = Meter(bus, 20, 7, 0, {{0, 410}});
  EXPECT_TRUE(kit::WaitUntil([&] {
    return log.Count("ModbusMeter [20]: diário: o relógio do computador estava adiantado: "
                     "3 registro(s) até ") == 1;
  }, std::chrono::seconds(1)));
  EXPECT_TRUE(kit::WaitUntil([&] {
    const auto dates = Sampled(20);
    return std::any_of(dates.begin(), dates.end(),
                       [&](int64_t d) { return d > base && d < base + 2500; });
  }, std::chrono::milliseconds(2400)));

  // Taken as the service takes them.
  std::vector<std::pair<int64_t, float>> got;
  TDateTime from = fb::ToDateTime(base);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  while (std::chrono::steady_clock::now() < until) {
    TDateTime date = 0;
    float value = 0;
    while (meter->ReadHistorico(41000000, from, date, value) == ReadOk) {
      EXPECT_LE(fb::FromDateTime(date), fb::LocalNowMs());
      got.push_back({fb::FromDateTime(date), value});
      from = date;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (size_t i = 1; i < got.size(); ++i) EXPECT_GT(got[i].first, got[i - 1].first);
  for (int k = 2; k <= 4; ++k)
    EXPECT_EQ(std::count(got.begin(), got.end(), std::make_pair(base + k * 1000 + 500, 900.f + k)), 1);
  EXPECT_GE(std::count_if(got.begin(), got.end(), [](const auto& g) { return g.second == 5.f; }), 5);
}

// Equipment 40 deleted and created again as another meter (unit 2, a new
// channel on the same register): the old journal is kept aside, and the new
// channel gets nothing the old meter read. The same meter created again
// (another timeout on its bus) keeps its journal.
TEST_F(ModbusPackageTest, AMeterReplacedUnderItsEquipIdBeginsAnEmptyJournal) {
  server->SetFloat(1, Table::Input, 72, 10.f);
  server->SetFloat(2, Table::Input, 72, 20.f);
  {
    auto old = Meter(Bus(1, Tcp("timeout_ms=300; period_s=1")), 40, 1, 0, {{72, 350}});
    ASSERT_TRUE(kit::WaitUntil([&] { return Sampled(40).size() >= 2; }, std::chrono::seconds(5)));
  }
  const size_t before = Sampled(40).size();
  Meter(Bus(2, Tcp("timeout_ms=500; period_s=1")), 40, 1, 0, {{72, 350}}).reset();
  EXPECT_GE(Sampled(40).size(), before);
  const std::string prefix = "ModbusMeter [40]: diário " + Journal(40) + " é de outro medidor";
  EXPECT_EQ(0, log.Count(prefix));

  const int64_t created = fb::LocalNowMs();
  auto meter = Meter(Bus(3, Tcp("timeout_ms=300; period_s=1")), 40, 2, 0, {{72, 350}}, 200);
  EXPECT_EQ(1, log.Count(prefix + " ou de outra configuração (barramento, unidade ou canais): "
                                  "renomeado para " + Journal(40) + ".anterior-"));

  std::vector<std::pair<int64_t, float>> got;
  ASSERT_TRUE(kit::WaitUntil([&] {
    TDateTime date = 0;
    float value = 0;
    const TDateTime from = got.empty() ? 0 : fb::ToDateTime(got.back().first);
    if (meter->ReadHistorico(35000072, from, date, value) == ReadOk)
      got.push_back({fb::FromDateTime(date), value});
    return got.size() >= 2;
  }, std::chrono::seconds(5)));
  for (const auto& [date, value] : got) {
    EXPECT_EQ(value, 20.f);
    EXPECT_GE(date, created - 1000);  // its first boundary may just precede it
  }
}

// A complaint that would repeat at every boundary is said when it begins and
// when it ends, with its count: the boundaries a slow meter leaves the
// sampling late for, and a journal that cannot be written (its file at the
// process's size limit, as on a full disk).
TEST_F(ModbusPackageTest, RepeatedComplaintsAreSaidWhenTheyBeginAndWhenTheyEnd) {
  std::atomic<int> delayMs{1700};
  server->SetRegisters(7, Table::Holding, 0, {1});
  server->SetHook(7, [&](uint16_t*, uint16_t*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
  });
  auto meter = Meter(Bus(1, Tcp("timeout_ms=3000; retries=0; period_s=1")), 12, 7, 0, {{0, 410}});
  std::this_thread::sleep_for(std::chrono::seconds(7));
  EXPECT_EQ(1, log.Count("ModbusMeter [12]: amostra de "));
  delayMs = 0;
  EXPECT_TRUE(kit::WaitUntil([&] {
    return log.Count("ModbusMeter [12]: fim das amostras não lidas por atraso (") == 1;
  }, std::chrono::seconds(5)));

  {
    const FileSizeLimit full(std::filesystem::file_size(Journal(12)));
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  }
  EXPECT_TRUE(kit::WaitUntil([&] {
    return log.Count("ModbusMeter [12]: diário " + Journal(12) + " gravado novamente (") == 1;
  }, std::chrono::seconds(3)));
  EXPECT_EQ(1, log.Count("ModbusMeter [12]: falha ao gravar o diário " + Journal(12) + ": "));
}

TEST(ModbusRtuFrame, CrcAndRepliesThatAreNotTheRequestsAreTold) {
  using R = mb::RtuFrame::Reply;
  const std::vector<uint8_t> request = mb::RtuFrame::ReadRequest(1, 3, 0, 10);
  EXPECT_EQ(request, (std::vector<uint8_t>{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
  // Replies to unit 1, function 03, 2 registers; each case with its CRC made
  // right unless it is the CRC that is wrong.
  auto frame = [](std::vector<uint8_t> bytes, bool goodCrc = true) {
    const uint16_t crc = mb::RtuFrame::Crc(bytes.data(), bytes.size());
    bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<uint8_t>((crc >> 8) ^ (goodCrc ? 0 : 1)));
    return bytes;
  };
  const std::pair<std::vector<uint8_t>, R> replies[] = {
      {frame({0x01, 0x03, 0x04, 0x43, 0x66, 0x80, 0x00}), R::Registers},
      {frame({0x01, 0x83, 0x02}), R::Exception},
      {frame({0x01, 0x03, 0x04, 0x43, 0x66, 0x80, 0x00}, false), R::BadCrc},
      {frame({0x02, 0x03, 0x04, 0x43, 0x66, 0x80, 0x00}), R::OtherUnit},
      {frame({0x01, 0x04, 0x04, 0x43, 0x66, 0x80, 0x00}), R::OtherFunction},
      {frame({0x01, 0x03, 0x02, 0x43, 0x66}), R::BadLength},
      {frame({0x01, 0x83, 0x00}), R::BadException},
  };
  for (const auto& [bytes, expected] : replies) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    ASSERT_EQ(mb::RtuFrame::ReplyLength(bytes.data(), 3), bytes.size());
    uint16_t registers[2] = {};
    int code = 0;
    EXPECT_EQ(mb::RtuFrame::Parse(bytes.data(), bytes.size(), 1, 3, 2, registers, code), expected);
    if (expected == R::Registers) {
      EXPECT_EQ(registers[0] * 65536 + registers[1], 0x43668000);
    }
    if (expected == R::Exception) {
      EXPECT_EQ(code, 2);
    }
  }
}

TEST_F(ModbusPackageTest, RtuOverTcpReadsAMeterBehindAConverterAndNothingElse) {
  // The converter and its meter: pymodbus, unit 5 (see the script for its
  // registers).
  proc::TempDir dir;
  proc::ChildOptions options;
  options.args = {std::string(TELVANE_SOURCE_DIR) + "/tests/support/rtu_over_tcp_server.py", dir / "port"};
  auto peer = std::make_unique<proc::Child>("/usr/bin/python3", options, dir.Path());
  ASSERT_TRUE(proc::WaitUntil([&] { return proc::FileExists(dir / "port"); }))
      << "python3-pymodbus missing? " << peer->Stderr();
  const std::string port = proc::ReadFile(dir / "port");
  const std::string where = "RTU sobre TCP 127.0.0.1:" + port;
  KxInterface* bus = Bus(1, "host=127.0.0.1; port=" + port + "; framing=rtu; timeout_ms=300; retries=1");
  ASSERT_TRUE(bus->Aberta);
  EXPECT_EQ(1, log.Count("ModbusInterface [1]: " + where + ", timeout 300 ms, 1 repetição(ões)"));
  EXPECT_EQ(1, log.Count("ModbusInterface [1]: conectada a " + where));

  auto meter = Meter(bus, 12, 5, QuietPeriod(), {{0, 350}, {10, 440}, {12, 410}});
  ASSERT_NE(meter, nullptr);
  int result = -1;
  EXPECT_EQ(Online(*meter, result), (std::map<std::string, std::string>{
                                        {"Reg 30001", "230.5"}, {"Reg 40011", "-123456"}, {"Reg 40013", "4660"}}));
  EXPECT_EQ(result, 0);

  // An unpublished register is exception 2, as on Modbus TCP.
  mb::ReadReply reply = Ask(bus, 5, mb::Table::Input, 100, 2);
  EXPECT_EQ(reply.status, mb::Status::Exception);
  EXPECT_EQ(reply.detail, 2);
  // A unit that is not on the line gets no reply: one timeout per attempt,
  // and the meter that is there answers right after.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask(bus, 6, mb::Table::Holding, 10, 2).status, mb::Status::NoAnswer);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(600));
  reply = Ask(bus, 5, mb::Table::Holding, 12, 1);
  EXPECT_EQ(reply.status, mb::Status::Ok);
  EXPECT_EQ(reply.registers[0], 0x1234);

  // The converter goes away: the connection is lost, said once.
  int status = 0;
  peer->Signal(SIGKILL);
  ASSERT_TRUE(peer->Wait(std::chrono::seconds(5), status));
  EXPECT_EQ(Ask(bus, 5, mb::Table::Holding, 12, 1).status, mb::Status::Connection);
  EXPECT_EQ(1, log.Count("ModbusInterface [1]: conexão perdida com " + where +
                         ": conexão encerrada pelo outro lado"));

  // A Modbus TCP server (MBAP framing) is no RTU converter: nothing it says
  // is taken for a reply.
  server->SetRegisters(5, Table::Holding, 0, {1, 2});
  KxInterface* wrong = Bus(2, Tcp("framing=rtu; timeout_ms=300; retries=0"));
  ASSERT_TRUE(wrong->Aberta);
  const mb::Status got = Ask(wrong, 5, mb::Table::Holding, 0, 2).status;
  EXPECT_TRUE(got == mb::Status::BadFrame || got == mb::Status::NoAnswer) << static_cast<int>(got);
}

}  // namespace
