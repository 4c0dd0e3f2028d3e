#include "packages/mbus/MbusChannelName.h"

#include <cfloat>
#include <cmath>

#include "packages/mbus/MbusText.h"
#include "packages/mbus/MbusUnits.h"

namespace mbus {

namespace {

constexpr uint8_t kPositive = 0x3B;  // accumulation only of positive contributions
constexpr uint8_t kNegative = 0x3C;  // ... of the absolute value of negative ones

// The quantity codes of one table that name something.
bool KnownQuantity(int q) {
  VifInfo info;
  int code = q;
  if (q >= MbusChannelName::kNegativeBase) code = q - MbusChannelName::kNegativeBase;
  else if (q >= MbusChannelName::kPositiveBase) code = q - MbusChannelName::kPositiveBase;
  else if (q >= MbusChannelName::kFbBase) code = q - MbusChannelName::kFbBase;
  else if (q >= MbusChannelName::kFdBase) code = q - MbusChannelName::kFdBase;
  if (code > 127) return false;
  if (q >= MbusChannelName::kFbBase && q < MbusChannelName::kPositiveBase) info = MbusUnits::Fb(static_cast<uint8_t>(code));
  else if (q >= MbusChannelName::kFdBase && q < MbusChannelName::kFbBase) info = MbusUnits::Fd(static_cast<uint8_t>(code));
  else info = MbusUnits::Primary(static_cast<uint8_t>(code));
  return info.known && info.kind == VifInfo::Kind::Number && info.quantity == code;
}

}  // namespace

int32_t MbusChannelName::Index() const {
  return scale * 100000000 + (static_cast<int>(function) + 1) * 10000000 + storage * 100000 + tariff * 10000 +
         subunit * 1000 + quantity;
}

bool MbusChannelName::Of(const Record& r, MbusChannelName& out, std::string& why) {
  if (r.special != Special::None) return Fail(why, "dados do fabricante");
  if (r.vif.table == VifTable::PlainText) return Fail(why, "VIF em texto");
  if (r.vif.manufacturerSpecific) return Fail(why, "VIF ou VIFE específico do fabricante");
  switch (r.value.kind) {
    case Value::Kind::Number: break;
    case Value::Kind::Date: return Fail(why, "data: não é um valor de canal");
    case Value::Kind::Text: return Fail(why, "valor em texto");
    case Value::Kind::Bytes: return Fail(why, "valor binário longo");
    case Value::Kind::None: return Fail(why, "registro sem valor");
  }
  const VifInfo info = r.vif.table == VifTable::Fd   ? MbusUnits::Fd(r.vif.code)
                       : r.vif.table == VifTable::Fb ? MbusUnits::Fb(r.vif.code)
                                                     : MbusUnits::Primary(r.vif.code);
  if (!info.known || info.quantity < 0) return Fail(why, info.description);
  int base = r.vif.table == VifTable::Fd ? kFdBase : r.vif.table == VifTable::Fb ? kFbBase : 0;
  for (uint8_t q : r.vif.qualifiers) {
    const bool named = q == kPositive || q == kNegative;
    if (!named) return Fail(why, "qualificador fora do esquema: " + MbusUnits::Vife(q).text);
    if (base != 0) return Fail(why, "qualificador de acumulação só com a tabela principal");
    base = q == kPositive ? kPositiveBase : kNegativeBase;
  }
  if (r.storage > 99) return Fail(why, "armazenamento " + std::to_string(r.storage) + " acima de 99");
  if (r.tariff > 9) return Fail(why, "tarifa " + std::to_string(r.tariff) + " acima de 9");
  if (r.subunit > 9) return Fail(why, "subunidade " + std::to_string(r.subunit) + " acima de 9");
  MbusChannelName n;
  n.function = r.function;
  n.storage = static_cast<int>(r.storage);
  n.tariff = static_cast<int>(r.tariff);
  n.subunit = static_cast<int>(r.subunit);
  n.quantity = base + info.quantity;
  out = n;
  return true;
}

bool MbusChannelName::Parse(int32_t equipIndex, MbusChannelName& out, std::string& why) {
  const std::string text = "EQUIP_INDEX " + std::to_string(equipIndex);
  if (equipIndex < kLeast)
    return Fail(why, text + " inválido: dígitos E F SS T U QQQ, F de 1 a 4 (por exemplo 10000016)");
  MbusChannelName n;
  n.quantity = equipIndex % 1000;
  n.subunit = equipIndex / 1000 % 10;
  n.tariff = equipIndex / 10000 % 10;
  n.storage = equipIndex / 100000 % 100;
  const int f = equipIndex / 10000000 % 10;
  n.scale = equipIndex / 100000000;
  if (f < 1 || f > 4) return Fail(why, text + " inválido: função F de 1 a 4");
  if (n.scale > 9) return Fail(why, text + " inválido: escala E de 0 a 9");
  if (!KnownQuantity(n.quantity))
    return Fail(why, text + " inválido: grandeza " + std::to_string(n.quantity) + " desconhecida");
  n.function = static_cast<Function>(f - 1);
  out = n;
  return true;
}

const Record* MbusChannelName::Find(const MbusAnswer& answer, int32_t equipIndex, std::string& why) {
  MbusChannelName name;
  if (!Parse(equipIndex, name, why)) return nullptr;
  name.scale = 0;
  const Record* r = answer.WithIndex(name.Index());
  if (r == nullptr) why = "nenhum registro da resposta com esse nome";
  return r;
}

bool MbusChannelName::StoredValue(const MbusAnswer& answer, int32_t equipIndex, float& out, std::string& why) {
  const Record* r = Find(answer, equipIndex, why);
  if (r == nullptr) return false;
  if (!r->problem.empty()) return Fail(why, r->problem);
  const double v = r->value.number / std::pow(10.0, equipIndex / 100000000);
  if (!std::isfinite(v)) return Fail(why, "valor não disponível (NaN ou infinito)");
  if (std::fabs(v) > FLT_MAX) return Fail(why, "valor grande demais para o campo (float)");
  out = static_cast<float>(v);
  return true;
}

}  // namespace mbus
