#include "acquisition/KxDeliveryLedger.h"

#include <cstring>

#include "database/TmodDatabase.h"
#include "plugins/TelvaneSdk.h"

namespace {

// The value as the ledger tells values apart: as SQL compares them, so
// -0.0 and 0.0 are one (NaN never reaches the ledger: such a record is
// invalid).
uint32_t Bits(float value) {
  if (value == 0.0f) value = 0.0f;
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

constexpr int64_t kMinuteMs = 60000;

}  // namespace

void KxDeliveryLedger::BeginChannel(KxCanal& canal) {
  Channel& c = channels_[canal.CanalId];
  if (c.begun) return;
  const TDateTime newest = db_->NewestRecordDate(canal.CanalId);  // throws: not begun yet
  c.begun = true;
  if (newest == 0) return;
  c.storedUpTo = dt::ToMSecs(newest);
  // The loader's from-date is a stored DATA: its seconds are gone, so the
  // records of that minute after it are delivered again but those before it
  // are not, and rows alike could not be counted. From just before the
  // minute, all of them come again and are recognised one by one.
  const int64_t from = dt::ToMSecs(canal.UltimaData);
  if (from > 0 && from <= c.storedUpTo && dt::ToMSecs(dt::ZeroSeconds(canal.UltimaData)) == from)
    canal.UltimaData = dt::FromMSecs(from - from % kMinuteMs - 1);
}

int64_t KxDeliveryLedger::Ordinal(const Channel& c, int64_t minute, uint32_t bits) const {
  if (c.minute != minute) return 1;
  const auto it = c.count.find(bits);
  return (it == c.count.end() ? 0 : it->second) + 1;
}

bool KxDeliveryLedger::IsStored(int32_t canalId, TDateTime date, TDateTime stored, float value) {
  Channel& c = channels_[canalId];
  const int64_t minute = dt::ToMSecs(stored);
  const bool doubt =
      c.inDoubt && *c.inDoubt == std::make_tuple(dt::ToMSecs(date), Bits(value));
  const bool before = c.storedUpTo >= 0 && minute / kMinuteMs <= c.storedUpTo / kMinuteMs;
  if (!doubt && !before) {
    c.inDoubt.reset();
    return false;
  }
  const bool there = db_->CountHistorico(canalId, stored, value) >= Ordinal(c, minute, Bits(value));
  c.inDoubt.reset();  // only once the look-up got through
  return there;
}

void KxDeliveryLedger::NoteStored(int32_t canalId, TDateTime stored, float value) {
  Channel& c = channels_[canalId];
  const int64_t minute = dt::ToMSecs(stored);
  if (c.minute != minute) {
    c.minute = minute;
    c.count.clear();
  }
  ++c.count[Bits(value)];
}

void KxDeliveryLedger::Hold(int32_t canalId, TDateTime date, float value, bool inDoubt) {
  Channel& c = channels_[canalId];
  c.held = HeldRecord{date, value};
  if (inDoubt) c.inDoubt = std::make_tuple(dt::ToMSecs(date), Bits(value));
}

std::optional<KxDeliveryLedger::HeldRecord> KxDeliveryLedger::TakeHeld(int32_t canalId) {
  Channel& c = channels_[canalId];
  std::optional<HeldRecord> held = c.held;
  c.held.reset();
  return held;
}

void KxDeliveryLedger::BeginAlarms(int32_t equipId) {
  Equipment& e = equipments_[equipId];
  if (e.begun) return;
  const TDateTime newest = db_->NewestAlarmDate(equipId);
  e.begun = true;
  if (newest != 0) e.storedUpTo = dt::ToMSecs(newest);
}

int64_t KxDeliveryLedger::Ordinal(const Equipment& e, int64_t dateMs,
                                  const HeldAlarm& alarm) const {
  if (e.dateMs != dateMs) return 1;
  const auto it = e.count.find(std::make_tuple(alarm.classe, alarm.texto));
  return (it == e.count.end() ? 0 : it->second) + 1;
}

bool KxDeliveryLedger::IsStored(int32_t equipId, const HeldAlarm& alarm) {
  Equipment& e = equipments_[equipId];
  const int64_t dateMs = dt::ToMSecs(alarm.date);
  const bool doubt =
      e.inDoubt && *e.inDoubt == std::make_tuple(dateMs, alarm.classe, alarm.texto);
  const bool before = e.storedUpTo >= 0 && dateMs <= e.storedUpTo;
  if (!doubt && !before) {
    e.inDoubt.reset();
    return false;
  }
  const bool there = db_->CountAlarme(equipId, alarm.date, alarm.classe, alarm.texto) >=
                     Ordinal(e, dateMs, alarm);
  e.inDoubt.reset();
  return there;
}

void KxDeliveryLedger::NoteStored(int32_t equipId, const HeldAlarm& alarm) {
  Equipment& e = equipments_[equipId];
  const int64_t dateMs = dt::ToMSecs(alarm.date);
  if (e.dateMs != dateMs) {
    e.dateMs = dateMs;
    e.count.clear();
  }
  ++e.count[std::make_tuple(alarm.classe, alarm.texto)];
}

void KxDeliveryLedger::Hold(int32_t equipId, const HeldAlarm& alarm, bool inDoubt) {
  Equipment& e = equipments_[equipId];
  e.held = alarm;
  if (inDoubt) e.inDoubt = std::make_tuple(dt::ToMSecs(alarm.date), alarm.classe, alarm.texto);
}

std::optional<KxDeliveryLedger::HeldAlarm> KxDeliveryLedger::TakeHeldAlarm(int32_t equipId) {
  Equipment& e = equipments_[equipId];
  std::optional<HeldAlarm> held = e.held;
  e.held.reset();
  return held;
}
