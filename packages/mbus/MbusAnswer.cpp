#include "packages/mbus/MbusAnswer.h"

#include "packages/mbus/MbusUnits.h"

namespace mbus {

std::string Header::IdText() const {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s(8, '0');
  for (int i = 0; i < 8; ++i) s[7 - i] = kDigits[(id >> (4 * i)) & 0xF];
  return s;
}

std::string Header::ManufacturerText() const { return MbusUnits::ManufacturerText(manufacturer); }

std::string Header::MediumText() const { return MbusUnits::MediumText(medium); }

SecondaryAddress Header::Secondary() const {
  SecondaryAddress s;
  s.id = id;
  s.manufacturer = manufacturer;
  s.version = version;
  s.medium = medium;
  return s;
}

const Record* MbusAnswer::WithIndex(int32_t index) const {
  if (index == 0) return nullptr;
  for (const Record& r : records)
    if (r.equipIndex == index) return &r;
  return nullptr;
}

const Record* MbusAnswer::TimePointFor(const Record& record) const {
  const Record* fallback = nullptr;
  for (const Record& r : records) {
    if (r.value.kind != Value::Kind::Date || !r.vif.qualifiers.empty() || r.storage != record.storage ||
        r.subunit != record.subunit)
      continue;
    if (r.function == record.function && r.tariff == record.tariff) return &r;
    if (fallback == nullptr) fallback = &r;
  }
  return fallback;
}

std::vector<const Record*> MbusAnswer::ErrorFlags() const {
  std::vector<const Record*> out;
  for (const Record& r : records)
    if (r.vif.table == VifTable::Fd && r.vif.code == 0x17 && r.hasBits) out.push_back(&r);
  return out;
}

std::string MbusAnswer::FlagsText(uint64_t bits) {
  std::string s;
  int count = 0;
  for (int bit = 0; bit < 64; ++bit)
    if ((bits >> bit) & 1) s += (count++ == 0 ? "" : ", ") + std::to_string(bit);
  return count == 0 ? s : (count == 1 ? "bit " : "bits ") + s;
}

}  // namespace mbus
