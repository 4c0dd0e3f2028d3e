// The M-Bus line: the link engine, the MbusInterface package as the service
// loads it, and mbus-probe's line modes run as a process, against the
// simulated line (MbusSimLine) on a pseudo-terminal pair from socat and on
// TCP, with recorded answers of real meters (tests/data/mbus) and answers
// of several telegrams made here. And the line's CONFIGS.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "packages/fieldbus/SerialLine.h"
#include "packages/fieldbus/TcpLine.h"
#include "packages/mbus/MbusAnswer.h"
#include "packages/mbus/MbusDecoder.h"
#include "packages/mbus/MbusLink.h"
#include "packages/mbus/MbusProtocol.h"
#include "packages/mbus/MbusSettings.h"
#include "packages/mbus/sim/MbusSimLine.h"
#include "platform/Text.h"
#include "plugins/KxListaInterfaces.h"
#include "support/PackageLog.h"
#include "support/ProcUtil.h"
#include "support/ThreadTestKit.h"

namespace {

using mbus::LinkAnswer;
using mbus::MbusFrame;
using mbus::SecondaryAddress;
using mbus::Status;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string Corpus(const std::string& name) {
  return std::string(TELVANE_SOURCE_DIR) + "/tests/data/mbus/test-frames/" + name + ".hex";
}

// A meter of the corpus at `primary`, its identification replaced by `id`.
mbussim::MeterSetup Recorded(int primary, const std::string& name, int64_t id) {
  mbussim::MeterSetup m;
  m.primary = primary;
  m.id = id;
  m.answers = {mbussim::LoadAnswer(Corpus(name))};
  return m;
}

// A water meter's telegram (identification 0x22334455, manufacturer KAM):
// one volume record worth `litres`, and DIF 1F when more records follow.
mbussim::Telegram Water(uint32_t litres, bool more) {
  std::vector<uint8_t> d = {0x55, 0x44, 0x33, 0x22, 0x2D, 0x2C, 0x01, 0x07, 0x10, 0x00, 0x00, 0x00,
                            0x04, 0x13, static_cast<uint8_t>(litres), static_cast<uint8_t>(litres >> 8),
                            static_cast<uint8_t>(litres >> 16), static_cast<uint8_t>(litres >> 24)};
  if (more) d.push_back(0x1F);
  return MbusFrame::Long(MbusFrame::kRspUd, 0, 0x72, d);
}

SecondaryAddress Pattern(const std::string& text) {
  SecondaryAddress s;
  EXPECT_TRUE(mbus::ParseSecondary(text, s)) << text;
  return s;
}

// The answer's header and records; fails the test when it does not decode.
mbus::MbusAnswer Decoded(const LinkAnswer& a) {
  mbus::MbusAnswer answer;
  std::string why;
  EXPECT_TRUE(mbus::MbusDecoder::Decode(a.bytes.data(), a.bytes.size(), answer, why)) << why;
  return answer;
}

// A pseudo-terminal pair made by socat: the master's end (Bus) and the
// meters' end. Kill() takes it away as an unplugged adapter goes; Start()
// makes it again under the same names.
class PtyPair {
 public:
  PtyPair() { Start(); }
  std::string Bus() const { return dir_ / "bus"; }
  std::string Meters() const { return dir_ / "meters"; }
  void Start() {
    proc::ChildOptions options;
    options.args = {"pty,raw,echo=0,link=" + Bus(), "pty,raw,echo=0,link=" + Meters()};
    socat_ = std::make_unique<proc::Child>("/usr/bin/socat", options, dir_.Path());
    ASSERT_TRUE(proc::WaitUntil([&] { return proc::FileExists(Bus()) && proc::FileExists(Meters()); }))
        << socat_->Stderr();
  }
  void Kill() {
    socat_->Signal(SIGTERM);
    int status = 0;
    socat_->Wait(5s, status);
    socat_.reset();
    std::error_code ec;
    std::filesystem::remove(Bus(), ec);
    std::filesystem::remove(Meters(), ec);
  }

 private:
  proc::TempDir dir_{"telvane-mbus"};
  std::unique_ptr<proc::Child> socat_;
};

// ---------------------------------------------------------------------------
// The link engine on a pty pair (false) and on TCP (true).
class MbusLinkTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    std::unique_ptr<fb::ByteLine> line;
    if (GetParam()) {
      sim = mbussim::MbusSimLine::Tcp(0);
      line = std::make_unique<fb::TcpLine>("127.0.0.1", sim->Port(), 1000);
    } else {
      pty = std::make_unique<PtyPair>();
      sim = mbussim::MbusSimLine::Serial(pty->Meters());
      line = std::make_unique<fb::SerialLine>(pty->Bus(), fb::SerialFormat());
    }
    timing.timeoutMs = 100;
    timing.retries = 2;
    link = std::make_unique<mbus::MbusLink>(std::move(line), timing, [this](mbus::MbusLink::Event e, int) {
      std::lock_guard<std::mutex> lock(mutex);
      events.push_back(e);
    });
  }
  int Events(mbus::MbusLink::Event e) {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(std::count(events.begin(), events.end(), e));
  }

  std::unique_ptr<PtyPair> pty;
  std::unique_ptr<mbussim::MbusSimLine> sim;
  mbus::LinkTiming timing;
  std::unique_ptr<mbus::MbusLink> link;
  std::mutex mutex;
  std::vector<mbus::MbusLink::Event> events;
};

INSTANTIATE_TEST_SUITE_P(Line, MbusLinkTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Tcp" : "Pty"; });

TEST_P(MbusLinkTest, MetersAreReadByPrimaryOrSecondaryAddressAndFoundBehindWildcards) {
  // Identifications that differ in their first two digits: a search's tree
  // stays shallow (each empty branch costs an answer time).
  sim->AddMeter(Recorded(5, "EFE_Engelmann-WaterStar", 0x11111111));
  sim->AddMeter(Recorded(7, "kamstrup_382_005", 0x21111111));
  sim->AddMeter(Recorded(9, "itron_cyble_m-bus_v1.4_water", 0x22111111));

  LinkAnswer r = link->ReadPrimary(5, nullptr);
  ASSERT_EQ(r.status, Status::Ok) << r.reason;
  EXPECT_EQ(r.telegrams, 1);
  mbus::MbusAnswer a = Decoded(r);
  EXPECT_EQ(a.header.a, 5);
  EXPECT_EQ(a.header.IdText(), "11111111");
  EXPECT_FALSE(a.records.empty());
  EXPECT_EQ(link->ReadPrimary(8, nullptr).status, Status::NoAnswer);

  // By secondary address, wildcards in the digits and the rest: the one
  // meter it selects; two meters answering one selection collide.
  r = link->ReadSecondary(Pattern("F2FFFFFF"), nullptr);
  ASSERT_EQ(r.status, Status::Ok) << r.reason;
  EXPECT_EQ(Decoded(r).header.IdText(), "22111111");
  r = link->ReadSecondary(Pattern("21111111.KAM.*.02"), nullptr);
  ASSERT_EQ(r.status, Status::Ok) << r.reason;
  EXPECT_EQ(Decoded(r).header.a, 7);
  EXPECT_EQ(link->ReadSecondary(Pattern("21111111.ACW"), nullptr).status, Status::NoAnswer);
  const uint64_t before = link->LineAnswers();
  r = link->ReadSecondary(Pattern("2FFFFFFF"), nullptr);
  EXPECT_EQ(r.status, Status::Collision);
  EXPECT_FALSE(r.reason.empty());
  // Retried: each attempt counts as an answer of the line (meters are there).
  EXPECT_EQ(link->LineAnswers(), before + 1 + timing.retries);

  // The search narrows the collisions down to every meter.
  std::vector<std::string> found;
  r = link->Search(Pattern("FFFFFFFF"), [&](const mbus::FoundMeter& m) {
    found.push_back(mbus::SecondaryText(m.address).substr(0, 8) + "@" + std::to_string(m.primary) + m.note);
  }, nullptr);
  EXPECT_EQ(r.status, Status::Ok);
  EXPECT_EQ(found, (std::vector<std::string>{"11111111@5", "21111111@7", "22111111@9"}));
  EXPECT_EQ(sim->BadRequests(), 0);
}

TEST_P(MbusLinkTest, AnAnswerOfSeveralTelegramsIsReadToItsEndAndALostOneIsAskedForAgain) {
  mbussim::MeterSetup m;
  m.primary = 3;
  m.answers = {{Water(100, true), Water(200, true), Water(300, false)}, {Water(400, false)}};
  sim->AddMeter(m);
  // The first answer is lost on its way: asked again with the same frame
  // count bit, the meter repeats it instead of moving on.
  sim->DropAnswers(3, 1);
  LinkAnswer r = link->ReadPrimary(3, nullptr);
  ASSERT_EQ(r.status, Status::Ok) << r.reason;
  EXPECT_EQ(r.telegrams, 3);
  std::vector<double> volumes;
  for (const auto& record : Decoded(r).records)
    if (record.value.kind == mbus::Value::Kind::Number) volumes.push_back(record.value.number);
  ASSERT_EQ(volumes.size(), 3u);
  for (size_t i = 0; i < volumes.size(); ++i) EXPECT_NEAR(volumes[i], 0.1 * static_cast<double>(i + 1), 1e-9);
  EXPECT_EQ(sim->Requests(3), 4);
  EXPECT_EQ(sim->Readings(3), 1);

  // The next reading is the meter's next answer (the bit alternates from
  // one reading to the next as within one), by secondary address too.
  r = link->ReadPrimary(3, nullptr);
  ASSERT_EQ(r.status, Status::Ok) << r.reason;
  EXPECT_EQ(r.telegrams, 1);
  r = link->ReadSecondary(Pattern("22334455"), nullptr);
  ASSERT_EQ(r.status, Status::Ok) << r.reason;
  EXPECT_EQ(sim->Readings(3), 3);
}

TEST_P(MbusLinkTest, SilenceGarbageAndALostLineAreToldApartWithinTheirBound) {
  sim->AddMeter(Recorded(5, "EFE_Engelmann-WaterStar", -1));
  sim->AddMeter(Recorded(7, "kamstrup_382_005", -1));
  ASSERT_EQ(link->ReadPrimary(5, nullptr).status, Status::Ok);

  // A silent meter: no answer on any of the 3 attempts, within their time;
  // the line's answer count does not move.
  sim->SetSilent(5, true);
  uint64_t before = link->LineAnswers();
  auto t0 = Clock::now();
  LinkAnswer r = link->ReadPrimary(5, nullptr);
  const auto took = Clock::now() - t0;
  EXPECT_EQ(r.status, Status::NoAnswer);
  EXPECT_EQ(link->LineAnswers(), before);
  // The answer time after the request's own 5 characters at 2400 baud, and
  // the pause of one character before it.
  const auto perAttempt = std::chrono::milliseconds(timing.timeoutMs) + std::chrono::microseconds(6 * 11 * 1000000 / 2400);
  EXPECT_GE(took, 3 * std::chrono::milliseconds(timing.timeoutMs));
  EXPECT_LT(took, 3 * perAttempt + 300ms);

  // Garbage (a wrong checksum) is a bad answer, with its reason, retried.
  sim->SetGarbage(7, true);
  r = link->ReadPrimary(7, nullptr);
  EXPECT_EQ(r.status, Status::BadFrame);
  EXPECT_NE(r.reason.find("soma de verificação errada"), std::string::npos) << r.reason;
  EXPECT_EQ(sim->Requests(7), 3);
  sim->SetGarbage(7, false);
  EXPECT_EQ(link->ReadPrimary(7, nullptr).status, Status::Ok);

  if (GetParam()) {
    // The converter closes the connection: the next request makes it again
    // without counting it a failure.
    sim->DropConnections();
    EXPECT_EQ(link->ReadPrimary(7, nullptr).status, Status::Ok);
    EXPECT_EQ(sim->Connections(), 2);
    EXPECT_EQ(Events(mbus::MbusLink::Event::Lost), 0);
    // The converter is away: the system's reason, at once.
    const int port = sim->Port();
    sim.reset();
    r = link->ReadPrimary(7, nullptr);
    EXPECT_EQ(r.status, Status::Connection);
    EXPECT_EQ(r.detail, ECONNREFUSED);
    sim = mbussim::MbusSimLine::Tcp(port);
  } else {
    // The adapter is unplugged: the line fails and is opened again once it
    // is back.
    pty->Kill();
    r = link->ReadPrimary(7, nullptr);
    EXPECT_EQ(r.status, Status::Connection);
    EXPECT_EQ(Events(mbus::MbusLink::Event::Lost), 1);
    pty->Start();
  }
  EXPECT_GE(Events(mbus::MbusLink::Event::OpenFailed), 1);
  sim->AddMeter(Recorded(7, "kamstrup_382_005", -1));
  ASSERT_TRUE(kit::WaitUntil([&] { return link->ReadPrimary(7, nullptr).status == Status::Ok; }, 10s));
}

// ---------------------------------------------------------------------------
TEST(MbusSettings, LineConfigsAreRefusedSayingWhyAndTimedByTheirSpeed) {
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"device=/dev/ttyUSB0; speed=2400", "chave desconhecida: 'speed'"},
      {"device=/dev/ttyUSB0; retries=1; retries=2", "chave repetida: 'retries'"},
      {"device=/dev/ttyUSB0; baud=2401", "valor inválido para baud: '2401'"},
      {"device=/dev/ttyUSB0; timeout_ms=5", "valor inválido para timeout_ms: '5' (inteiro de 10 a 60000)"},
      {"device=/dev/ttyUSB0; retries=6", "valor inválido para retries"},
      {"device=/dev/ttyUSB0; parity=X", "valor inválido para parity: 'X' (N, E ou O)"},
      {"device=/dev/ttyUSB0; port=10001", "a chave 'port' não vale para M-Bus serial"},
      {"host=10.0.0.9; port=10001; parity=N", "a chave 'parity' não vale para M-Bus TCP"},
      {"host=10.0.0.9; device=COM3", "device (serial) e host (TCP) não podem ser usados juntos"},
      {"host=10.0.0.9", "informe port (a porta TCP do conversor)"},
      {"retries=1", "informe device (porta serial) ou host e port (conversor TCP)"},
      {"device=", "device vazio"},
      {"device=COM3; period_s", "item sem '=': 'period_s'"},
  };
  for (const auto& [text, why] : refused) {
    mbus::MbusSettings s;
    std::string error;
    EXPECT_FALSE(mbus::ParseMbusSettings(text, s, error)) << text;
    EXPECT_EQ(error.rfind(why, 0), 0u) << text << " -> " << error;
  }
  // The answer time follows the speed: 330 bit times and 50 ms, and 200 ms
  // more through a converter.
  mbus::MbusSettings s;
  std::string error;
  ASSERT_TRUE(mbus::ParseMbusSettings("device=COM3", s, error)) << error;
  EXPECT_EQ(s.Describe(), "M-Bus COM3 2400 8E1");
  EXPECT_EQ(s.timeoutMs, 188);
  ASSERT_TRUE(mbus::ParseMbusSettings("device=/dev/ttyS0; baud=300; parity=n; period_s=10", s, error));
  EXPECT_EQ(s.timeoutMs, 1150);
  EXPECT_EQ(s.Describe(), "M-Bus /dev/ttyS0 300 8N1");
  ASSERT_TRUE(mbus::ParseMbusSettings("host=10.0.0.9; port=10001; baud=9600", s, error));
  EXPECT_EQ(s.timeoutMs, 85 + 200);
  EXPECT_EQ(s.LineId(), "10.0.0.9:10001");
}

// ---------------------------------------------------------------------------
// The package as the service loads it, on a pty pair.
using kit::PackageLog;

mbus::ReadReply Ask(KxInterface* bus, int primary, const std::atomic<bool>* cancel = nullptr) {
  mbus::Request req;
  req.primary = primary;
  req.cancel = cancel;
  auto reply = std::make_unique<mbus::ReadReply>();
  reply->status = Status::NotConfigured;
  EXPECT_EQ(bus->Exchange(&req, sizeof req, reply.get(), sizeof *reply), static_cast<int>(sizeof *reply));
  return *reply;
}

TEST(MbusInterfacePackage, MetersShareTheLineAndAnUnpluggedAdapterComesBackWithOneLineEachWay) {
  PtyPair pty;
  auto sim = mbussim::MbusSimLine::Serial(pty.Meters());
  sim->AddMeter(Recorded(5, "EFE_Engelmann-WaterStar", -1));
  sim->AddMeter(Recorded(7, "kamstrup_382_005", -1));
  PackageLog log;
  KxListaInterfaces interfaces;
  const std::string pkg = std::string(TELVANE_PACKAGES_DIR) + "/libMbusInterface.so";
  auto add = [&](int id, const std::string& configs) {
    return interfaces.AddInterface(id, pkg, &log, reinterpret_cast<const uint8_t*>(configs.data()),
                                   static_cast<int32_t>(configs.size()));
  };
  KxInterface* bad = add(1, "device=" + pty.Bus() + "; baud=110");
  ASSERT_NE(bad, nullptr);
  EXPECT_FALSE(bad->Aberta);
  EXPECT_EQ(Ask(bad, 5).status, Status::NotConfigured);
  KxInterface* bus = add(2, "device=" + pty.Bus() + "; timeout_ms=100; retries=1; period_s=5");
  ASSERT_NE(bus, nullptr);
  ASSERT_TRUE(bus->Aberta) << log.All();
  const std::string where = "M-Bus " + pty.Bus() + " 2400 8E1";
  EXPECT_EQ(log.Count("MbusInterface [1]: configuração inválida: valor inválido para baud: '110'"), 1);
  EXPECT_EQ(log.Count("MbusInterface [2]: " + where +
                      ", timeout 100 ms, 1 repetição(ões), período de comissionamento 5 s"), 1);
  EXPECT_EQ(log.Count("MbusInterface [2]: conectada a " + where), 1);

  mbus::Request settings;
  settings.kind = mbus::RequestKind::Settings;
  mbus::SettingsReply s;
  ASSERT_EQ(bus->Exchange(&settings, sizeof settings, &s, sizeof s), static_cast<int>(sizeof s));
  EXPECT_EQ(s.periodS, 5);
  EXPECT_EQ(s.attempts, 2);
  EXPECT_EQ(std::string(s.line), pty.Bus());
  mbus::Request wrong;
  wrong.primary = 251;
  EXPECT_EQ(bus->Exchange(&wrong, sizeof wrong, &s, sizeof s), -1);

  // Two threads (a meter's sampling and the online thread) at once: every
  // request gets the line in its turn, no frame is mixed with another.
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int primary : {5, 7})
    threads.emplace_back([&, primary] {
      for (int i = 0; i < 10; ++i) {
        const mbus::ReadReply r = Ask(bus, primary);
        mbus::MbusAnswer a;
        std::string why;
        if (r.status == Status::Ok && mbus::MbusDecoder::Decode(r.bytes, static_cast<size_t>(r.size), a, why) &&
            a.header.a == primary)
          ++ok;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 20);
  EXPECT_EQ(sim->BadRequests(), 0);
  const std::atomic<bool> cancel{true};
  EXPECT_EQ(Ask(bus, 5, &cancel).status, Status::Cancelled);

  // Unplugged: requests fail (one line), then it is back (one line, with the
  // number of requests that failed).
  pty.Kill();
  for (int i = 0; i < 2; ++i) {
    const mbus::ReadReply r = Ask(bus, 7);
    EXPECT_EQ(r.status, Status::Connection);
    EXPECT_NE(r.detail, 0);
  }
  EXPECT_EQ(log.Count("MbusInterface [2]: conexão perdida com " + where + ": "), 1) << log.All();
  EXPECT_EQ(log.Count("MbusInterface [2]: sem conexão com "), 0);
  pty.Start();
  ASSERT_TRUE(kit::WaitUntil([&] { return Ask(bus, 7).status == Status::Ok; }, 10s)) << log.All();
  EXPECT_EQ(log.Count("MbusInterface [2]: conectada a " + where + " novamente após 2 pedido(s) sem conexão"), 1)
      << log.All();
  bus->Close();
}

// ---------------------------------------------------------------------------
// mbus-probe's line modes, run as the installer runs them.
TEST(MbusProbeLine, ScanSearchAndReadPrintWhatIsOnTheLine) {
  auto sim = mbussim::MbusSimLine::Tcp(0);
  sim->AddMeter(Recorded(5, "EFE_Engelmann-WaterStar", 0x11111111));
  sim->AddMeter(Recorded(9, "kamstrup_382_005", 0x11112222));
  const std::string line = "127.0.0.1:" + std::to_string(sim->Port());
  proc::TempDir out;
  auto run = [&](std::vector<std::string> args, std::string& stdoutText, std::string& stderrText) {
    proc::ChildOptions options;
    options.args = std::move(args);
    proc::Child probe(std::string(TELVANE_BINARY_DIR) + "/mbus-probe", options, out.Path());
    int status = 0;
    EXPECT_TRUE(probe.Wait(60s, status));
    stdoutText = probe.Stdout();
    stderrText = probe.Stderr();
    return proc::ExitCode(status);
  };
  std::string o, e;
  EXPECT_EQ(run({"--scan", line, "--to", "12", "--retries", "0", "--timeout-ms", "50"}, o, e), 0) << e;
  EXPECT_EQ(o,
            "5\t11111111.EFE.00.06\tfabricante EFE, versão 0, meio água quente, 30 a 90 °C"
            "\tDRV_ADDR1 5 ou 111111111, DRV_ADDR2 0 (15 min)\n"
            "9\t11112222.KAM.01.02\tfabricante KAM, versão 1, meio eletricidade"
            "\tDRV_ADDR1 9 ou 111112222, DRV_ADDR2 0 (15 min)\n");
  EXPECT_EQ(run({"--search", line, "1111FFFF", "--retries", "0", "--timeout-ms", "50"}, o, e), 0) << e;
  EXPECT_NE(o.find("11111111.EFE.00.06\t"), std::string::npos) << o;
  EXPECT_NE(o.find("11112222.KAM.01.02\t"), std::string::npos) << o;
  EXPECT_NE(o.find("endereço primário 9\tDRV_ADDR1 9 ou 111112222, DRV_ADDR2 0 (15 min)\n"), std::string::npos) << o;
  EXPECT_EQ(run({"--read", line, "11112222.KAM"}, o, e), 0) << e;
  EXPECT_EQ(o.rfind("identificação: 11112222\n", 0), 0u) << o;
  EXPECT_NE(o.find("\n10000000\t0\tWh\t"), std::string::npos) << o;

  EXPECT_EQ(run({"--read", line, "8", "--retries", "0"}, o, e), 1);
  EXPECT_EQ(e, "mbus-probe: " + line + " 8: sem resposta\n");
  EXPECT_EQ(run({"--scan", "127.0.0.1:1", "--retries", "0"}, o, e), 1);
  EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << e;
  EXPECT_EQ(run({"--read", line}, o, e), 2);
}

}  // namespace
