// ModbusMeter: a meter that keeps no history of its own, read through a
// ModbusInterface. docs/ModbusMeter.md tells installers how to describe one.
//
// Configuration (the service's columns):
//   DRV_ADDR1            the Modbus unit id: 1..247 on RTU, 0..247 or 255 on TCP
//   DRV_ADDR2            the sampling period in minutes (15 when 0), unless the
//                        interface's CONFIGS give period_s (commissioning)
//   CANAIS.EQUIP_INDEX   the register address of the channel and how to read
//                        it (RegisterFormat.h); LOCAL_ID is the building's
// Anything else fails the creation with a message saying what is wrong.
//
// History: a thread of the object's own reads every channel at each period
// boundary of the local clock and appends the values, dated at the boundary,
// to the equipment's journal (SampleJournal, a file in ModbusJournal/ beside
// the package folders). ReadHistorico delivers the journal's next sample
// after the from-date; a channel that could not be read has no sample for
// that boundary. A boundary is sampled only when the thread is within
// min(period / 2, 60 s) of it (after a suspended machine or a clock jump the
// values would not be those of that moment). Records dated after the clock
// (it was ahead, then corrected) are moved aside at the start or at the
// first boundary they block, and sampling goes on by the clock at once.
// The journal belongs to the meter as configured: its identity is the bus
// (SettingsReply::bus), the unit and the channels (CANAL_ID with
// EQUIP_INDEX); a journal of another identity is set aside by the journal.
//
// Alarms (also in the journal, delivered by ReadAlarme after the from-date):
//   class 20 "Falha de leitura: <reason> (Reg <reference>)": a sampling in
//            which a channel could not be read, after one that read them all
//            (or the first sampling)
//   class 21 "Leitura normalizada": every channel read again
// While the meter is failing (a channel not read for another reason than a
// value not available: NaN in a float register makes only the class 20/21
// pair), ReadAlarme ends with a failure instead of ReadEnd once everything
// was delivered, so the service shows the equipment as without
// communication until a sampling no longer fails so.
// At the first visit, when no round was sampled yet, ReadAlarme asks the
// meter once itself: a wrong unit or address then fails the visits from the
// start rather than after the first boundary (up to a period later).
//
// Live values: ReadOnline reads every channel now; names "Reg 30001", values
// as text with a decimal point ("falha" for a channel that could not be read).
// SetRelogio succeeds without doing anything (the meter keeps no clock).
//
// Threads: the acquisition thread (ReadHistorico, ReadAlarme, SetRelogio,
// ReadVersao), the online thread (ReadOnline) and the sampling thread run at
// once: the journal and the interface serialise what they share; the rest is
// fixed at construction. The destructor stops the sampling thread (a request
// waiting for the bus gives up, one on the wire ends within its timeout) and
// waits for it, so no thread of the package outlives the object.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "packages/common/PackageText.h"
#include "packages/fieldbus/FirstVisitProbe.h"
#include "packages/fieldbus/LocalClock.h"
#include "packages/fieldbus/PeriodSampler.h"
#include "packages/modbus/ModbusProtocol.h"
#include "packages/modbus/RegisterFormat.h"
#include "packages/modbus/RegisterReader.h"
#include "packages/fieldbus/SampleJournal.h"
#include "plugins/TelvaneSdk.h"

namespace {

constexpr char kVersion[] = "1.0";
constexpr int32_t kReadFailureClass = 20;
constexpr int32_t kReadRecoveryClass = 21;
constexpr int kFailureCode = 1;  // a read result that is a communication failure
constexpr char kJournalFolder[] = "ModbusJournal";

// A path in UTF-8, the journal's and the log's encoding (Windows' narrow
// form would be in the ANSI code page).
std::string Utf8(const std::filesystem::path& path) {
  const std::u8string u8 = path.u8string();
  return std::string(u8.begin(), u8.end());
}

// A channel's status that says the meter failed, as opposed to a value it
// does not have (NaN or infinity in a float register, its "not available").
bool MeterFailed(mb::Status status) {
  return status != mb::Status::Ok && status != mb::Status::Cancelled &&
         status != mb::Status::NotAValue;
}

// Texts of the alarms, rebuilt from what the journal keeps.
std::string AlarmText(const fb::SampleJournal::Alarm& alarm) {
  if (alarm.classe == kReadRecoveryClass) return "Leitura normalizada";
  const auto status = static_cast<mb::Status>(alarm.reason);
  const auto detail = static_cast<int32_t>(alarm.detail & 0xFFFFFFFF);
  const auto address = static_cast<int32_t>((alarm.detail >> 32) & 0xFFFF);
  const auto table = static_cast<mb::Table>((alarm.detail >> 48) & 0xFF);
  return "Falha de leitura: " + mb::StatusText(status, detail) + " (Reg " +
         mb::RegisterFormat::Reference(table, address) + ")";
}

struct Channel {
  int32_t equipIndex;  // as the service names the channel
  int32_t address;
  mb::RegisterFormat format;
};

// What a meter is made of, checked before it is made.
struct MeterPlan {
  uint8_t unit = 0;
  int64_t periodMs = 0;
  std::vector<Channel> channels;
  std::string journalPath;
  uint64_t identity = 0;  // of the meter as configured: bus, unit, channels
};

// The meter's identity for its journal: the bus, the unit and every channel
// (CANAL_ID with EQUIP_INDEX, by CANAL_ID). A new channel, or one created
// again under a new CANAL_ID, makes another meter: it never receives samples
// read before it existed.
uint64_t Identity(const mb::SettingsReply& settings, uint8_t unit, const KxListaCanais& canais) {
  std::vector<std::pair<int32_t, int32_t>> channels;
  for (int i = 0; i < canais.Count(); ++i)
    channels.push_back({canais.Items(i)->CanalId, canais.Items(i)->EquipIndex});
  std::sort(channels.begin(), channels.end());
  fb::MeterIdentity identity;
  const char* busEnd = std::find(settings.bus, settings.bus + sizeof settings.bus, '\0');
  identity.Add(std::string(settings.bus, busEnd)).Add(unit);
  for (const auto& [canal, index] : channels) identity.Add(canal).Add(index);
  return identity.Value();
}

std::string Prefix(int32_t equipId) { return "ModbusMeter [" + std::to_string(equipId) + "]: "; }

// The plan of a meter from its row, or an exception saying what is wrong.
MeterPlan MakePlan(int32_t equipId, int32_t drvAddr1, int32_t drvAddr2, const KxListaCanais& canais,
                   KxInterface& iface) {
  const std::string prefix = Prefix(equipId);
  MeterPlan plan;
  mb::Request ask;
  ask.kind = mb::RequestKind::Settings;
  mb::SettingsReply settings;
  if (iface.Exchange(&ask, sizeof ask, &settings, sizeof settings) != sizeof settings ||
      settings.magic != mb::kReplyMagic)
    throw std::runtime_error(prefix + "a interface do driver não é uma ModbusInterface");
  if (!mb::UnitAllowed(drvAddr1, settings.tcp != 0))
    throw std::runtime_error(prefix + "unidade Modbus " + std::to_string(drvAddr1) +
                             (settings.tcp != 0
                                  ? " inválida (DRV_ADDR1 deve estar entre 0 e 247, ou ser 255, em Modbus TCP)"
                                  : " inválida (DRV_ADDR1 deve estar entre 1 e 247 em Modbus RTU)"));
  plan.unit = static_cast<uint8_t>(drvAddr1);
  if (drvAddr2 < 0 || drvAddr2 > 1440)
    throw std::runtime_error(prefix + "período " + std::to_string(drvAddr2) +
                             " inválido (DRV_ADDR2: minutos, de 1 a 1440; 0 = 15)");
  plan.periodMs = settings.periodS > 0 ? settings.periodS * fb::kMsPerSecond
                                       : (drvAddr2 == 0 ? 15 : drvAddr2) * fb::kMsPerMinute;

  for (int i = 0; i < canais.Count(); ++i) {
    const KxCanal& canal = *canais.Items(i);
    const std::string which = "canal " + std::to_string(canal.CanalId) + ": ";
    mb::RegisterFormat format;
    int32_t address = 0;
    if (!mb::RegisterFormat::Parse(canal.EquipIndex, format, address))
      throw std::runtime_error(
          prefix + which + "EQUIP_INDEX " + std::to_string(canal.EquipIndex) +
          " inválido (dígitos [E]TFWAAAAA: E escala 0..9, T tabela 3/4, F tipo 1..8, W ordem das "
          "palavras 0..3, AAAAA registro até 65535; por exemplo 35000072)");
    // The journal keeps samples by register: one register, one way of reading it.
    auto same = std::find_if(plan.channels.begin(), plan.channels.end(),
                             [&](const Channel& c) { return c.address == address; });
    if (same == plan.channels.end()) {
      plan.channels.push_back({canal.EquipIndex, address, format});
    } else if (same->format.Code() != format.Code()) {
      throw std::runtime_error(prefix + which + "EQUIP_INDEX " + std::to_string(canal.EquipIndex) +
                               ": registro " + std::to_string(address) +
                               " já usado por outro canal com outro formato");
    }
  }
  const std::filesystem::path folder = std::filesystem::absolute(kJournalFolder);
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec)
    throw std::runtime_error(prefix + "não foi possível criar a pasta " + Utf8(folder) + ": " +
                             ec.message());
  plan.journalPath = Utf8(folder / ("equip-" + std::to_string(equipId) + ".jrn"));
  plan.identity = Identity(settings, plan.unit, canais);
  return plan;
}

class ModbusMeter : public KxEquipamento {
 public:
  // Takes `canais` at once (the base class frees it, also when this throws).
  ModbusMeter(int32_t equipId, KxListaCanais* canais, const MeterPlan& plan, KxInterface* iface,
              KxPackageLog* log)
      : KxEquipamento(equipId, canais),
        log_(log),
        plan_(plan),
        backoff_(plan.periodMs, plan.unit),
        sampler_(plan.periodMs, [this](const std::string& t) { Log(t); }) {
    std::vector<mb::ChannelSpec> specs;
    for (const Channel& c : plan_.channels) specs.push_back({c.address, c.format});
    reader_ = std::make_unique<mb::RegisterReader>(iface, plan_.unit, specs,
                                                   [this](const std::string& t) { Log(t); });
    try {
      journal_ = std::make_unique<fb::SampleJournal>(plan_.journalPath, equipId, plan_.identity,
                                                     fb::LocalNowMs(),
                                                     [this](const std::string& t) { Log(t); });
    } catch (const std::exception& e) {
      throw std::runtime_error(Prefix(equipId) + "diário inutilizável: " + e.what());
    }
    Log("unidade " + std::to_string(plan_.unit) + ", " + std::to_string(plan_.channels.size()) +
        " canal(is) em " + std::to_string(reader_->BlockCount()) + " bloco(s), período " +
        std::to_string(plan_.periodMs / fb::kMsPerSecond) + " s, diário " + plan_.journalPath +
        " (" + std::to_string(journal_->Count()) + " registros)");
    sampler_.Start(journal_.get(), [this](int64_t boundary) { SampleRound(boundary); });
  }

  // Stops the sampling before the members its rounds use go.
  ~ModbusMeter() override { sampler_.Stop(); }

  int ReadHistorico(int32_t equipIndex, TDateTime from, TDateTime& date, float& value) override {
    const Channel* channel = FindChannel(equipIndex);
    if (channel == nullptr) return ReadEnd;
    int64_t ms = 0;
    if (!journal_->NextSample(channel->address, fb::FromDateTime(from), fb::LocalNowMs(), ms,
                              value))
      return ReadEnd;
    date = fb::ToDateTime(ms);
    return ReadOk;
  }

  int ReadAlarme(TDateTime from, TDateTime& date, std::u16string& text, int32_t& classe) override {
    fb::SampleJournal::Alarm alarm;
    if (journal_->NextAlarm(fb::FromDateTime(from), fb::LocalNowMs(), alarm)) {
      date = fb::ToDateTime(alarm.dateMs);
      text = pkg::ToUtf16(AlarmText(alarm));
      classe = alarm.classe;
      return ReadOk;
    }
    if (probe_.Due()) Probe();
    // Everything delivered: a meter that does not answer makes the visit fail.
    const bool failing = (journal_->Flags() & fb::SampleJournal::kMeterFailing) != 0;
    return failing || probe_.Failing() ? kFailureCode : ReadEnd;
  }

  int SetRelogio() override { return 0; }

  int ReadVersao(std::u16string& version) override {
    version = pkg::ToUtf16(std::string("ModbusMeter ") + kVersion + " - unidade " +
                           std::to_string(plan_.unit));
    return 0;
  }

  int ReadOnline(std::vector<std::u16string>& names, std::vector<std::u16string>& values) override {
    const std::vector<mb::ChannelValue> read = reader_->ReadAll(sampler_.StopFlag());
    if (std::all_of(read.begin(), read.end(),
                    [](const mb::ChannelValue& v) { return MeterFailed(v.status); }))
      return kFailureCode;
    backoff_.Reset();  // it answers: every round asks it again
    if (std::none_of(read.begin(), read.end(),
                     [](const mb::ChannelValue& v) { return MeterFailed(v.status); }))
      probe_.Answered();
    for (size_t i = 0; i < read.size(); ++i) {
      const Channel& c = plan_.channels[i];
      names.push_back(
          pkg::ToUtf16("Reg " + mb::RegisterFormat::Reference(c.format.table, c.address)));
      values.push_back(pkg::ToUtf16(read[i].status == mb::Status::Ok
                                        ? ValueText(c.format, read[i].value)
                                        : std::string("falha")));
    }
    return 0;
  }

 private:
  void Log(const std::string& text) { log_->WriteLine(pkg::ToUtf16(Prefix(EquipId) + text)); }

  const Channel* FindChannel(int32_t equipIndex) const {
    auto it = std::find_if(plan_.channels.begin(), plan_.channels.end(),
                           [&](const Channel& c) { return c.equipIndex == equipIndex; });
    return it == plan_.channels.end() ? nullptr : &*it;
  }

  // Integers without a decimal point; a float32 with the digits a float32
  // has; anything else (float64, scaled integers) with those of a double.
  static std::string ValueText(const mb::RegisterFormat& format, double value) {
    char buf[40];
    if (!format.IsFloat() && std::fabs(value) < 9.0e18 && value == std::trunc(value))
      return std::to_string(static_cast<int64_t>(value));
    const auto r = format.type == mb::ValueType::F32 && format.scale == 0
                       ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(value))
                       : std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
  }

  // Asks the meter once (at the first visit, before any round was sampled);
  // a failure fails the visits until a round is written or a live read gets
  // every channel.
  void Probe() {
    uint64_t lineAnswers = 0;
    const std::vector<mb::ChannelValue> read = reader_->ReadAll(sampler_.StopFlag(), &lineAnswers);
    if (sampler_.Stopping()) return;
    NoteSilence(read, lineAnswers);
    auto failure = std::find_if(read.begin(), read.end(),
                                [](const mb::ChannelValue& v) { return MeterFailed(v.status); });
    if (failure == read.end()) return;
    probe_.Failed();
    Log("primeira consulta sem sucesso: " + mb::StatusText(failure->status, failure->detail) +
        " (Reg " +
        mb::RegisterFormat::Reference(plan_.channels[static_cast<size_t>(failure - read.begin())]
                                          .format.table,
                                      failure->address) +
        "); em falha até a próxima leitura");
  }

  void NoteSilence(const std::vector<mb::ChannelValue>& read, uint64_t lineAnswers) {
    const bool silent =
        !read.empty() && std::all_of(read.begin(), read.end(), [](const mb::ChannelValue& v) {
          return v.status == mb::Status::NoAnswer;
        });
    if (!silent) {
      backoff_.Reset();
      return;
    }
    if (backoff_.Silent(lineAnswers))
      Log("unidade sem resposta: consultada a cada " +
          std::to_string(std::min<int64_t>(2, backoff_.MaxGap())) + " períodos ou mais (até " +
          std::to_string(backoff_.MaxGap()) + ") até que responda");
  }

  // A round of the sampling thread at `boundary`, which the journal has
  // nothing at or after.
  void SampleRound(int64_t boundary) {
    if (backoff_.Skip(boundary)) return;
    uint64_t lineAnswers = 0;
    const std::vector<mb::ChannelValue> read = reader_->ReadAll(sampler_.StopFlag(), &lineAnswers);
    if (!sampler_.Stopping()) NoteSilence(read, lineAnswers);
    std::vector<fb::SampleJournal::Sample> samples;
    const mb::ChannelValue* failure = nullptr;
    bool meterFailed = false;
    for (size_t i = 0; i < read.size(); ++i) {
      if (read[i].status == mb::Status::Ok)
        samples.push_back({read[i].address, static_cast<float>(read[i].value)});
      else if (read[i].status != mb::Status::Cancelled && failure == nullptr)
        failure = &read[i];
      meterFailed = meterFailed || MeterFailed(read[i].status);
    }
    const uint8_t was = journal_->Flags();
    // A round cut short by the stop says nothing about the meter.
    const uint8_t flags = sampler_.Stopping() ? was
                          : meterFailed
                              ? fb::SampleJournal::kMeterFailing | fb::SampleJournal::kChannelUnread
                              : (failure != nullptr ? fb::SampleJournal::kChannelUnread : 0);
    // The class 20/21 pair follows the channels read; the communication
    // state (ReadAlarme) follows kMeterFailing alone.
    fb::SampleJournal::Alarm alarm;
    alarm.dateMs = fb::LocalNowMs();
    const bool raise = (flags != 0) != (was != 0);
    if (raise && flags != 0) {
      const mb::Table table = plan_.channels[static_cast<size_t>(failure - read.data())].format.table;
      alarm.classe = kReadFailureClass;
      alarm.reason = static_cast<uint32_t>(failure->status);
      alarm.detail = static_cast<int64_t>(static_cast<uint32_t>(failure->detail)) |
                     (static_cast<int64_t>(failure->address) << 32) |
                     (static_cast<int64_t>(table) << 48);
    } else if (raise) {
      alarm.classe = kReadRecoveryClass;
    }
    if (!journal_->Append(boundary, samples, flags, raise ? &alarm : nullptr, fb::LocalNowMs())) return;
    probe_.Sampled();  // the journal tells from now on
    if (raise) Log(AlarmText(alarm));
  }

  KxPackageLog* log_;
  const MeterPlan plan_;
  std::unique_ptr<mb::RegisterReader> reader_;
  std::unique_ptr<fb::SampleJournal> journal_;
  fb::SilenceBackoff backoff_;
  fb::FirstVisitProbe probe_;  // the first visit's own read (see Probe)
  fb::PeriodSampler sampler_;  // last: started when everything else is ready
};

}  // namespace

TELVANE_EXPORT KxEquipamento* _CreateEquipClass(int32_t equipId, int32_t drvAddr1,
                                                int32_t drvAddr2, KxListaCanais* canais,
                                                KxInterface* interface_, KxPackageLog* log) {
  // The list is ours from here on: freed by the guard until the meter takes it.
  std::unique_ptr<KxListaCanais> guard(canais);
  if (canais == nullptr || interface_ == nullptr)
    throw std::runtime_error(Prefix(equipId) + "sem canais ou sem interface");
  const MeterPlan plan = MakePlan(equipId, drvAddr1, drvAddr2, *canais, *interface_);
  return new ModbusMeter(equipId, guard.release(), plan, interface_, log);
}

TELVANE_EXPORT void _DestroyEquipClass() {}
TELVANE_EXPORT const char* _GetDriverName() { return "ModbusMeter"; }
TELVANE_EXPORT const char* _GetDriverVersion() { return kVersion; }
