// MbusMeter: an M-Bus meter read through an MbusInterface (the line it is
// on). docs/MbusMeter.md tells installers how to describe one.
//
// Configuration (the service's columns):
//   DRV_ADDR1            the meter's primary address, 1..250, or its
//                        secondary address as 1 followed by the 8 digits of
//                        its identification number (112345678 for the label's
//                        12345678): see ParseAddress
//   DRV_ADDR2            the sampling period in minutes (15 when 0), unless
//                        the interface's CONFIGS give period_s
//   CANAIS.EQUIP_INDEX   which record of the answer the channel takes, and
//                        its scale (MbusChannelName.h); LOCAL_ID is the
//                        building's
// Anything else fails the creation with a message saying what is wrong.
//
// Present values (channels of storage 0): a thread of the object's own
// (fb::PeriodSampler) reads the meter at each period boundary and appends
// the channels' values, dated at the boundary, to the equipment's journal
// (MbusJournal/equip-<EQUIP_ID>.jrn); the journal's key of a channel is its
// EQUIP_INDEX without the scale digit. ReadHistorico delivers the journal's
// next sample after the from-date.
//
// Certified values (channels of a storage number above 0): the value the
// meter keeps in that storage (a due date's, a month end's), dated by that
// storage's own date record (MbusAnswer::TimePointFor), read at every round
// and kept in a journal of the channel's own (equip-<EQUIP_ID>-c<key>.jrn,
// whose records may be older than the present samples). A date is kept once:
// only when it is later than the newest date kept and not after the
// computer's clock (a storage dated ahead waits until it is due); the first
// value read for a date stays (a meter that corrects it later is not
// followed), and a date before the newest kept (a meter whose clock went
// back) is not kept at all. The meter keeps its storages, so after an outage
// of the line or of the service the round that reads it again keeps them.
//
// Alarms (in the journal, delivered by ReadAlarme after the from-date):
//   class 20 "Falha de leitura: <why>": a round that got no usable answer
//            (no answer, a malformed answer, a collision, no line) or in
//            which a channel had no value, after one that had them all
//   class 21 "Leitura normalizada": every channel read again
//   class 30 "Alarme do medidor: <condition>": a condition of the answer's
//            status byte (power low, permanent error, temporary error,
//            abnormal condition, the manufacturer's bits) or a bit of an
//            error flags record (FD 17) that appears
//   class 31 "Fim do alarme do medidor: <condition>": one that ends
// While the meter gives no usable answer, ReadAlarme ends with a failure
// once everything was delivered, so the service shows it without
// communication. At the first visit, when no round was sampled yet, it asks
// the meter once itself (a wrong address fails the visits at once).
// A malformed answer gives no sample; its reason is said in one log line
// when a run of them begins, and their count when it ends.
//
// Live values: ReadOnline reads the meter now; one name per channel ("Canal
// <EQUIP_INDEX>: <description>"), values as text ("falha" when the channel
// has none). SetRelogio succeeds without doing anything.
//
// Threads: the acquisition thread (ReadHistorico, ReadAlarme, SetRelogio,
// ReadVersao), the online thread (ReadOnline) and the sampling thread run at
// once: the journals and the interface serialise what they share, `alarm_`
// is the sampling thread's, the rest is fixed at construction. The
// destructor stops the sampling thread and waits for it.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "packages/common/PackageText.h"
#include "packages/fieldbus/FailureRun.h"
#include "packages/fieldbus/FirstVisitProbe.h"
#include "packages/fieldbus/LocalClock.h"
#include "packages/fieldbus/PeriodSampler.h"
#include "packages/fieldbus/SampleJournal.h"
#include "packages/mbus/MbusChannelName.h"
#include "packages/mbus/MbusDecoder.h"
#include "packages/mbus/MbusProtocol.h"
#include "packages/mbus/MbusUnits.h"
#include "plugins/TelvaneSdk.h"

namespace {

using mbus::Status;

constexpr char kVersion[] = "1.0";
constexpr int32_t kReadFailureClass = 20;
constexpr int32_t kReadRecoveryClass = 21;
constexpr int32_t kConditionClass = 30;
constexpr int32_t kConditionEndClass = 31;
constexpr int kFailureCode = 1;
constexpr char kJournalFolder[] = "MbusJournal";
constexpr int32_t kSecondaryBase = 100000000;  // DRV_ADDR1 of a secondary address: 1 then 8 digits
constexpr int32_t kScaleUnit = 100000000;      // EQUIP_INDEX's scale digit

// Reasons of the class 20 alarms (SampleJournal::Alarm::reason).
constexpr uint32_t kNoUsableAnswer = 1;  // detail: Status | system error << 32
constexpr uint32_t kChannelMissing = 2;  // detail: EQUIP_INDEX
// Reasons of the class 30/31 alarms.
constexpr uint32_t kStatusCondition = 1;  // detail: the condition's mask in the status byte
constexpr uint32_t kErrorFlag = 2;        // detail: the bit of the error flags

std::string Utf8(const std::filesystem::path& path) {
  const std::u8string u8 = path.u8string();
  return std::string(u8.begin(), u8.end());
}

// Days from 01/01/1970 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = fb::FloorDiv(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// A meter's date (its own local time) as the journal dates it.
int64_t DateMs(const mbus::DateTime& t) {
  const int64_t days = DaysFromCivil(t.year, t.month, t.day) - DaysFromCivil(1899, 12, 30);
  return days * fb::kMsPerDay + ((t.hour * 60 + t.minute) * 60 + t.second) * fb::kMsPerSecond;
}

std::string ConditionText(uint32_t reason, int64_t detail) {
  if (reason == kErrorFlag) return "sinalizador de erro do medidor, bit " + std::to_string(detail);
  const auto conditions = mbus::MbusUnits::StatusConditions(static_cast<uint8_t>(detail));
  return conditions.empty() ? "estado " + std::to_string(detail) : conditions.front().text;
}

// Texts of the alarms, rebuilt from what the journal keeps.
std::string AlarmText(const fb::SampleJournal::Alarm& alarm) {
  switch (alarm.classe) {
    case kReadRecoveryClass: return "Leitura normalizada";
    case kConditionClass: return "Alarme do medidor: " + ConditionText(alarm.reason, alarm.detail);
    case kConditionEndClass: return "Fim do alarme do medidor: " + ConditionText(alarm.reason, alarm.detail);
    default: break;
  }
  if (alarm.reason == kChannelMissing)
    return "Falha de leitura: canal " + std::to_string(alarm.detail) + " sem valor na resposta";
  return "Falha de leitura: " + mbus::StatusText(static_cast<Status>(alarm.detail & 0xFFFFFFFF),
                                                 static_cast<int32_t>(alarm.detail >> 32));
}

struct Channel {
  int32_t equipIndex;  // as the service names the channel
  int32_t key;         // its name without the scale digit: the journal's key
  bool certified;      // a storage above 0
  std::string journalPath;  // certified: its own journal
  uint64_t identity = 0;    // certified: of its journal
};

struct MeterPlan {
  mbus::Request request;  // how it is read
  std::string address;    // as the log says it
  int64_t spread = 0;     // of its back-off
  int64_t periodMs = 0;
  std::vector<Channel> channels;
  std::string journalPath;
  uint64_t identity = 0;
};

std::string Prefix(int32_t equipId) { return "MbusMeter [" + std::to_string(equipId) + "]: "; }

// DRV_ADDR1: 1..250 a primary address, 1 followed by 8 digits a secondary
// one (the identification number alone; manufacturer, version and medium
// match any: the 8 digits are unique on a line in practice, and the probe's
// --search tells when not).
bool ParseAddress(int32_t drvAddr1, MeterPlan& plan) {
  if (drvAddr1 >= 1 && drvAddr1 <= mbus::MbusFrame::kMaxPrimary) {
    plan.request.primary = drvAddr1;
    plan.address = "endereço primário " + std::to_string(drvAddr1);
    plan.spread = drvAddr1;
    return true;
  }
  if (drvAddr1 < kSecondaryBase || drvAddr1 >= 2 * kSecondaryBase) return false;
  int32_t digits = drvAddr1 - kSecondaryBase;
  uint32_t bcd = 0;
  for (int i = 0; i < 8; ++i, digits /= 10) bcd |= static_cast<uint32_t>(digits % 10) << (4 * i);
  plan.request.primary = mbus::kBySecondary;
  plan.request.secondary.id = bcd;
  char text[9];
  for (int i = 0; i < 8; ++i) text[7 - i] = static_cast<char>('0' + ((bcd >> (4 * i)) & 0xF));
  plan.address = "identificação " + std::string(text, 8);
  plan.spread = drvAddr1;
  return true;
}

// The plan of a meter from its row, or an exception saying what is wrong.
MeterPlan MakePlan(int32_t equipId, int32_t drvAddr1, int32_t drvAddr2, const KxListaCanais& canais,
                   KxInterface& iface) {
  const std::string prefix = Prefix(equipId);
  MeterPlan plan;
  mbus::Request ask;
  ask.kind = mbus::RequestKind::Settings;
  mbus::SettingsReply settings;
  if (iface.Exchange(&ask, sizeof ask, &settings, sizeof settings) != sizeof settings ||
      settings.magic != mbus::kReplyMagic)
    throw std::runtime_error(prefix + "a interface do driver não é uma MbusInterface");
  if (!ParseAddress(drvAddr1, plan))
    throw std::runtime_error(prefix + "endereço M-Bus " + std::to_string(drvAddr1) +
                             " inválido (DRV_ADDR1: endereço primário de 1 a 250, ou 1 seguido dos 8 "
                             "dígitos do número de identificação, por exemplo 112345678)");
  if (drvAddr2 < 0 || drvAddr2 > 1440)
    throw std::runtime_error(prefix + "período " + std::to_string(drvAddr2) +
                             " inválido (DRV_ADDR2: minutos, de 1 a 1440; 0 = 15)");
  plan.periodMs = settings.periodS > 0 ? settings.periodS * fb::kMsPerSecond
                                       : (drvAddr2 == 0 ? 15 : drvAddr2) * fb::kMsPerMinute;

  const std::filesystem::path folder = std::filesystem::absolute(kJournalFolder);
  const std::string line(settings.line, std::find(settings.line, settings.line + sizeof settings.line, '\0'));
  std::vector<std::pair<int32_t, int32_t>> all;  // (CANAL_ID, EQUIP_INDEX) of every channel
  for (int i = 0; i < canais.Count(); ++i) {
    const KxCanal& canal = *canais.Items(i);
    all.push_back({canal.CanalId, canal.EquipIndex});
    mbus::MbusChannelName name;
    std::string why;
    if (!mbus::MbusChannelName::Parse(canal.EquipIndex, name, why))
      throw std::runtime_error(prefix + "canal " + std::to_string(canal.CanalId) + ": EQUIP_INDEX " +
                               std::to_string(canal.EquipIndex) + " inválido: " + why);
    const int32_t key = canal.EquipIndex % kScaleUnit;
    auto same = std::find_if(plan.channels.begin(), plan.channels.end(),
                             [&](const Channel& c) { return c.key == key; });
    if (same != plan.channels.end()) {
      if (same->equipIndex != canal.EquipIndex)
        throw std::runtime_error(prefix + "canal " + std::to_string(canal.CanalId) + ": EQUIP_INDEX " +
                                 std::to_string(canal.EquipIndex) +
                                 ": o mesmo registro já é lido por outro canal com outra escala");
      continue;
    }
    Channel c{canal.EquipIndex, key, name.storage > 0, "", 0};
    if (c.certified) {
      c.journalPath = Utf8(folder / ("equip-" + std::to_string(equipId) + "-c" + std::to_string(key) + ".jrn"));
      c.identity = fb::MeterIdentity().Add(line).Add(drvAddr1).Add(canal.CanalId).Add(canal.EquipIndex).Value();
    }
    plan.channels.push_back(c);
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec)
    throw std::runtime_error(prefix + "não foi possível criar a pasta " + Utf8(folder) + ": " + ec.message());
  plan.journalPath = Utf8(folder / ("equip-" + std::to_string(equipId) + ".jrn"));
  // The meter as configured: its line, address and every channel.
  std::sort(all.begin(), all.end());
  fb::MeterIdentity identity;
  identity.Add(line).Add(drvAddr1);
  for (const auto& [canal, index] : all) identity.Add(canal).Add(index);
  plan.identity = identity.Value();
  return plan;
}

// One reading of the meter: the answer decoded, or why there is none.
struct Reading {
  Status status = Status::Ok;
  int32_t detail = 0;
  std::string why;       // Portuguese, for the log
  bool malformed = false;  // something came that is not a usable answer
  uint64_t lineAnswers = 0;
  mbus::MbusAnswer answer;
};

// The conditions an answer reports, as (reason, detail) pairs.
std::set<std::pair<uint32_t, int64_t>> Conditions(const mbus::MbusAnswer& answer) {
  std::set<std::pair<uint32_t, int64_t>> out;
  for (const auto& c : mbus::MbusUnits::StatusConditions(answer.header.status))
    out.insert({kStatusCondition, c.mask});
  for (const mbus::Record* r : answer.ErrorFlags())
    for (int bit = 0; bit < 64; ++bit)
      if ((r->bits >> bit) & 1) out.insert({kErrorFlag, bit});
  return out;
}

class MbusMeter : public KxEquipamento {
 public:
  // Takes `canais` at once (the base class frees it, also when this throws).
  MbusMeter(int32_t equipId, KxListaCanais* canais, const MeterPlan& plan, KxInterface* iface, KxPackageLog* log)
      : KxEquipamento(equipId, canais),
        log_(log),
        iface_(iface),
        plan_(plan),
        backoff_(plan.periodMs, plan.spread),
        sampler_(plan.periodMs, [this](const std::string& t) { Log(t); }) {
    try {
      journal_ = OpenJournal(plan_.journalPath, plan_.identity);
      for (const Channel& c : plan_.channels)
        if (c.certified) certified_[c.key] = OpenJournal(c.journalPath, c.identity);
    } catch (const std::exception& e) {
      throw std::runtime_error(Prefix(equipId) + "diário inutilizável: " + e.what());
    }
    // The conditions raised and not ended, as the journal tells.
    for (const fb::JournalRecord& r : fb::SampleJournal::ReadAll(plan_.journalPath)) {
      if (r.type != 'A') continue;
      if (r.key == kConditionClass) active_.insert({r.data, r.aux});
      if (r.key == kConditionEndClass) active_.erase({r.data, r.aux});
    }
    Log(plan_.address + ", " + std::to_string(plan_.channels.size()) + " canal(is), período " +
        std::to_string(plan_.periodMs / fb::kMsPerSecond) + " s, diário " + plan_.journalPath + " (" +
        std::to_string(journal_->Count()) + " registros)");
    sampler_.Start(journal_.get(), [this](int64_t boundary) { SampleRound(boundary); });
  }

  // Stops the sampling before the members its rounds use go.
  ~MbusMeter() override { sampler_.Stop(); }

  int ReadHistorico(int32_t equipIndex, TDateTime from, TDateTime& date, float& value) override {
    const Channel* channel = FindChannel(equipIndex);
    if (channel == nullptr) return ReadEnd;
    fb::SampleJournal& journal = channel->certified ? *certified_.at(channel->key) : *journal_;
    int64_t ms = 0;
    if (!journal.NextSample(channel->key, fb::FromDateTime(from), fb::LocalNowMs(), ms, value)) return ReadEnd;
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
    const bool failing = (journal_->Flags() & fb::SampleJournal::kMeterFailing) != 0;
    return failing || probe_.Failing() ? kFailureCode : ReadEnd;
  }

  int SetRelogio() override { return 0; }

  int ReadVersao(std::u16string& version) override {
    version = pkg::ToUtf16(std::string("MbusMeter ") + kVersion + " - " + plan_.address);
    return 0;
  }

  int ReadOnline(std::vector<std::u16string>& names, std::vector<std::u16string>& values) override {
    const Reading reading = Read();
    if (reading.status != Status::Ok) return kFailureCode;
    backoff_.Reset();
    probe_.Answered();
    for (const Channel& c : plan_.channels) {
      std::string why;
      const mbus::Record* record = mbus::MbusChannelName::Find(reading.answer, c.equipIndex, why);
      float value = 0;
      names.push_back(pkg::ToUtf16("Canal " + std::to_string(c.equipIndex) +
                                   (record != nullptr ? ": " + record->description : std::string())));
      if (!mbus::MbusChannelName::StoredValue(reading.answer, c.equipIndex, value, why)) {
        values.push_back(u"falha");
        continue;
      }
      char buf[40];
      const auto r = std::to_chars(buf, buf + sizeof buf, value);
      values.push_back(pkg::ToUtf16(std::string(buf, r.ptr)));
    }
    return 0;
  }

 private:
  void Log(const std::string& text) { log_->WriteLine(pkg::ToUtf16(Prefix(EquipId) + text)); }

  std::unique_ptr<fb::SampleJournal> OpenJournal(const std::string& path, uint64_t identity) {
    return std::make_unique<fb::SampleJournal>(path, EquipId, identity, fb::LocalNowMs(),
                                               [this](const std::string& t) { Log(t); });
  }

  const Channel* FindChannel(int32_t equipIndex) const {
    auto it = std::find_if(plan_.channels.begin(), plan_.channels.end(),
                           [&](const Channel& c) { return c.equipIndex == equipIndex; });
    return it == plan_.channels.end() ? nullptr : &*it;
  }

  // Asks the meter for its answer and decodes it.
  Reading Read() {
    mbus::Request request = plan_.request;
    request.cancel = sampler_.StopFlag();
    auto reply = std::make_unique<mbus::ReadReply>();
    Reading out;
    if (iface_->Exchange(&request, sizeof request, reply.get(), sizeof *reply) != sizeof *reply ||
        reply->magic != mbus::kReplyMagic) {
      out.status = Status::NotConfigured;
      return out;
    }
    out.status = reply->status;
    out.detail = reply->detail;
    out.lineAnswers = reply->lineAnswers;
    out.malformed = reply->status == Status::BadFrame || reply->status == Status::Collision;
    out.why = mbus::StatusText(reply->status, reply->detail, reply->reason);
    if (reply->status != Status::Ok) return out;
    const int expected = plan_.request.primary == mbus::kBySecondary ? -1 : plan_.request.primary;
    if (!mbus::MbusDecoder::Decode(reply->bytes, static_cast<size_t>(reply->size), out.answer, out.why, expected)) {
      out.status = Status::BadFrame;
      out.malformed = true;
      out.why = mbus::StatusText(Status::BadFrame, 0, out.why.c_str());
    }
    return out;
  }

  // Asks the meter once (at the first visit, before any round was sampled).
  void Probe() {
    const Reading reading = Read();
    if (sampler_.Stopping()) return;
    NoteSilence(reading);
    if (reading.status == Status::Ok) return;
    probe_.Failed();
    Log("primeira consulta sem sucesso: " + reading.why + "; em falha até a próxima leitura");
  }

  void NoteSilence(const Reading& reading) {
    if (reading.status != Status::NoAnswer) {
      backoff_.Reset();
      return;
    }
    if (backoff_.Silent(reading.lineAnswers))
      Log("medidor sem resposta: consultado a cada " + std::to_string(std::min<int64_t>(2, backoff_.MaxGap())) +
          " períodos ou mais (até " + std::to_string(backoff_.MaxGap()) + ") até que responda");
  }

  // A run of malformed answers: said when it begins, with why, and when it
  // ends, with its count. Sampling thread only.
  void NoteMalformed(const Reading& reading) {
    if (reading.malformed) {
      if (malformed_.Begin()) Log(reading.why);
    } else if (reading.status == Status::Ok) {
      if (const int64_t n = malformed_.End())
        Log("fim das respostas inválidas" + fb::FailureRun::Times(n, "resposta(s)"));
    }
  }

  // A round of the sampling thread at `boundary`, which the journal has
  // nothing at or after.
  void SampleRound(int64_t boundary) {
    if (backoff_.Skip(boundary)) return;
    const Reading reading = Read();
    if (sampler_.Stopping()) return;  // a round cut short says nothing of the meter
    NoteSilence(reading);
    NoteMalformed(reading);
    std::vector<fb::SampleJournal::Sample> samples;
    std::vector<fb::SampleJournal::Alarm> alarms;
    fb::SampleJournal::Alarm failure;
    failure.classe = kReadFailureClass;
    uint8_t flags = 0;
    if (reading.status != Status::Ok) {
      flags = fb::SampleJournal::kMeterFailing | fb::SampleJournal::kChannelUnread;
      failure.reason = kNoUsableAnswer;
      failure.detail = static_cast<int64_t>(reading.status) | (static_cast<int64_t>(reading.detail) << 32);
    } else {
      for (const Channel& c : plan_.channels) {
        float value = 0;
        std::string why;
        if (c.certified) {
          KeepCertified(c, reading.answer);
        } else if (mbus::MbusChannelName::StoredValue(reading.answer, c.equipIndex, value, why)) {
          samples.push_back({c.key, value});
        } else if (flags == 0) {
          flags = fb::SampleJournal::kChannelUnread;
          failure.reason = kChannelMissing;
          failure.detail = c.equipIndex;
        }
      }
    }
    const int64_t now = fb::LocalNowMs();
    const uint8_t was = journal_->Flags();
    if ((flags != 0) != (was != 0)) {
      if (flags == 0) failure = {0, kReadRecoveryClass, 0, 0};
      failure.dateMs = now;
      alarms.push_back(failure);
    }
    if (reading.status == Status::Ok) ConditionAlarms(reading.answer, now, alarms);
    // The samples with the first alarm, each further alarm on its own.
    if (!journal_->Append(boundary, samples, flags, alarms.empty() ? nullptr : &alarms[0], now)) return;
    for (size_t i = 1; i < alarms.size(); ++i)
      if (!journal_->Append(journal_->LastDateMs() + 1, {}, flags, &alarms[i], now)) return;
    probe_.Sampled();  // the journal tells from now on
    for (const auto& a : alarms) {
      if (a.classe == kConditionClass) active_.insert({a.reason, a.detail});
      if (a.classe == kConditionEndClass) active_.erase({a.reason, a.detail});
      if (a.classe != kReadFailureClass || a.reason != kNoUsableAnswer || !reading.malformed) Log(AlarmText(a));
    }
  }

  // The class 30/31 alarms of what the answer's conditions changed.
  void ConditionAlarms(const mbus::MbusAnswer& answer, int64_t now, std::vector<fb::SampleJournal::Alarm>& out) {
    const auto present = Conditions(answer);
    for (const auto& c : present)
      if (active_.count(c) == 0) out.push_back({now, kConditionClass, c.first, c.second});
    for (const auto& c : active_)
      if (present.count(c) == 0) out.push_back({now, kConditionEndClass, c.first, c.second});
  }

  // A certified channel's value, kept once per date of the meter's (see
  // the file's comment).
  void KeepCertified(const Channel& c, const mbus::MbusAnswer& answer) {
    std::string why;
    const mbus::Record* record = mbus::MbusChannelName::Find(answer, c.equipIndex, why);
    float value = 0;
    if (record == nullptr || !mbus::MbusChannelName::StoredValue(answer, c.equipIndex, value, why)) return;
    const mbus::Record* dated = answer.TimePointFor(*record);
    if (dated == nullptr || !dated->problem.empty()) return;
    const int64_t date = DateMs(dated->value.date);
    fb::SampleJournal& journal = *certified_.at(c.key);
    const int64_t now = fb::LocalNowMs();
    if (date > now || date <= journal.LastDateMs()) return;
    journal.Append(date, {{c.key, value}}, 0, nullptr, now);
  }

  KxPackageLog* log_;
  KxInterface* iface_;
  const MeterPlan plan_;
  std::unique_ptr<fb::SampleJournal> journal_;
  std::map<int32_t, std::unique_ptr<fb::SampleJournal>> certified_;  // by key; fixed after construction
  fb::SilenceBackoff backoff_;
  fb::FailureRun malformed_;                     // sampling thread only
  std::set<std::pair<uint32_t, int64_t>> active_;  // conditions raised; sampling thread only after the start
  fb::FirstVisitProbe probe_;  // the first visit's own read (see Probe)
  fb::PeriodSampler sampler_;  // last: started when everything else is ready
};

}  // namespace

TELVANE_EXPORT KxEquipamento* _CreateEquipClass(int32_t equipId, int32_t drvAddr1, int32_t drvAddr2,
                                                KxListaCanais* canais, KxInterface* interface_,
                                                KxPackageLog* log) {
  std::unique_ptr<KxListaCanais> guard(canais);
  if (canais == nullptr || interface_ == nullptr) throw std::runtime_error(Prefix(equipId) + "sem canais ou sem interface");
  const MeterPlan plan = MakePlan(equipId, drvAddr1, drvAddr2, *canais, *interface_);
  return new MbusMeter(equipId, guard.release(), plan, interface_, log);
}

TELVANE_EXPORT void _DestroyEquipClass() {}
TELVANE_EXPORT const char* _GetDriverName() { return "MbusMeter"; }
TELVANE_EXPORT const char* _GetDriverVersion() { return kVersion; }
