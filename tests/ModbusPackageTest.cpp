// The Modbus packages as the service loads them (KxListaInterfaces,
// KxDriver), against a libmodbus server on 127.0.0.1: what a bad row or a bad
// CONFIGS says, how registers are read and named, and how the bus copes with
// a lost connection, a silent meter and a meter destroyed while it waits.
// RTU over TCP is read from pymodbus serving RTU frames on a TCP socket
// (tests/support/rtu_over_tcp_server.py), a peer that shares no code with
// the package.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "packages/fieldbus/LocalClock.h"
#include "packages/modbus/ModbusProtocol.h"
#include "packages/modbus/RtuFrame.h"
#include "packages/modbus/sim/ModbusSimServer.h"
#include "platform/Text.h"
#include "plugins/KxDriver.h"
#include "plugins/KxListaDrivers.h"
#include "plugins/KxListaInterfaces.h"
#include "support/InstallationKit.h"
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

class PackageLog : public KxPackageLog {
 public:
  void WriteLine(const std::u16string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(text::FromUtf16(text));
  }
  int Count(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& l : lines_) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  std::string All() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& l : lines_) out += "  " + l + "\n";
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
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
                                       const std::vector<std::pair<int, int>>& channels) {
    inst::ScopedChdir cd(work.Path());
    KxDriver* driver = drivers.AddDriver(Pkg("libModbusMeter.so"), equipId, bus);
    auto* canais = new KxListaCanais();
    for (size_t i = 0; i < channels.size(); ++i)
      canais->AddCanal(100 + static_cast<int>(i), channels[i].second * 100000 + channels[i].first,
                       nullptr, 350, 0);
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
  std::map<std::string, std::string> Online(KxEquipamento& meter, int& result) {
    std::vector<std::u16string> names, values;
    result = meter.ReadOnline(names, values);
    std::map<std::string, std::string> out;
    for (size_t i = 0; i < names.size() && i < values.size(); ++i)
      out[text::FromUtf16(names[i])] = text::FromUtf16(values[i]);
    return out;
  }

  kit::TempDir work;
  PackageLog log;
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

  // A unit that stops answering is asked at fewer and fewer boundaries (here
  // one a second) rather than at each, and at each again once it answers.
  KxInterface* quick = Bus(3, Tcp("timeout_ms=100; retries=0; period_s=1"));
  server->SetRegisters(10, Table::Holding, 0, {5});
  server->SetSilent(10, true);
  auto dead = Meter(quick, 15, 10, 0, {{0, 410}});
  std::this_thread::sleep_for(std::chrono::seconds(8));
  EXPECT_LE(server->Requests(10), 4);
  EXPECT_EQ(1, log.Count("ModbusMeter [15]: unidade sem resposta: consultada a cada 2 períodos"));
  server->SetSilent(10, false);
  EXPECT_EQ(Online(*dead, result).at("Reg 40001"), "5");
  const int64_t answered = server->Requests(10);
  EXPECT_TRUE(kit::WaitUntil([&] { return server->Requests(10) >= answered + 3; },
                             std::chrono::seconds(5)));
  dead.reset();

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
