#include "packages/mbus/MbusUnits.h"

#include "packages/mbus/MbusText.h"

namespace mbus {

namespace {

VifInfo Number(int quantity, std::string description, const char* unit, int exponent = 0,
               double factor = 1, double offset = 0) {
  VifInfo v;
  v.known = true;
  v.quantity = quantity;
  v.description = std::move(description);
  v.unit = unit;
  v.exponent = exponent;
  v.unitFactor = factor;
  v.unitOffset = offset;
  return v;
}

VifInfo TimePoint(int quantity, std::string description) {
  VifInfo v = Number(quantity, std::move(description), "");
  v.kind = VifInfo::Kind::TimePoint;
  return v;
}

VifInfo Reserved(const char* table, uint8_t code) {
  VifInfo v;
  v.description = std::string("código VIF ") + table + Hex2(code) + " reservado";
  return v;
}

// Seconds per unit of the two "nn" bits of durations: s, min, h, d.
double Seconds(unsigned nn) {
  static const double k[4] = {1, 60, 3600, 86400};
  return k[nn & 3];
}

// Durations whose two bits are h, d, month, year: hours and days become
// seconds; months and years cannot, and keep their own quantity code.
VifInfo LongDuration(uint8_t code, uint8_t base, const char* what) {
  const unsigned pp = code & 3;
  if (pp < 2) return Number(base, what, "s", 0, pp == 0 ? 3600 : 86400);
  return Number(code, what, pp == 2 ? "mês" : "ano");
}

constexpr double kFahrenheitStep = 5.0 / 9.0;
constexpr double kFahrenheitZero = -32.0 * 5.0 / 9.0;
constexpr double kUsGallon = 0.003785411784;  // m³
constexpr double kCubicFoot = 0.028316846592;  // m³

}  // namespace

VifInfo MbusUnits::Primary(uint8_t code) {
  const int e3 = code & 7, e2 = code & 3;
  if (code < 0x08) return Number(0x00, "energia", "Wh", e3 - 3);
  if (code < 0x10) return Number(0x08, "energia", "J", e3);
  if (code < 0x18) return Number(0x10, "volume", "m³", e3 - 6);
  if (code < 0x20) return Number(0x18, "massa", "kg", e3 - 3);
  if (code < 0x24) return Number(0x20, "tempo ligado", "s", 0, Seconds(e2));
  if (code < 0x28) return Number(0x24, "tempo de operação", "s", 0, Seconds(e2));
  if (code < 0x30) return Number(0x28, "potência", "W", e3 - 3);
  if (code < 0x38) return Number(0x30, "potência", "J/h", e3);
  if (code < 0x40) return Number(0x38, "vazão", "m³/h", e3 - 6);
  if (code < 0x48) return Number(0x40, "vazão (m³/min)", "m³/h", e3 - 7, 60);
  if (code < 0x50) return Number(0x48, "vazão (m³/s)", "m³/h", e3 - 9, 3600);
  if (code < 0x58) return Number(0x50, "vazão mássica", "kg/h", e3 - 3);
  if (code < 0x5C) return Number(0x58, "temperatura de ida", "°C", e2 - 3);
  if (code < 0x60) return Number(0x5C, "temperatura de retorno", "°C", e2 - 3);
  if (code < 0x64) return Number(0x60, "diferença de temperatura", "K", e2 - 3);
  if (code < 0x68) return Number(0x64, "temperatura externa", "°C", e2 - 3);
  if (code < 0x6C) return Number(0x68, "pressão", "bar", e2 - 3);
  switch (code) {
    case 0x6C: return TimePoint(0x6C, "data");
    case 0x6D: return TimePoint(0x6C, "data e hora");
    case 0x6E: return Number(0x6E, "unidades de alocador de custos", "");
    case 0x6F: return Reserved("", code);
    case 0x78: return Number(0x78, "número de fabricação", "");
    case 0x79: return Number(0x79, "identificação estendida", "");
    case 0x7A: return Number(0x7A, "endereço no barramento", "");
    case 0x7E: {
      VifInfo v;
      v.description = "VIF 'qualquer' (0x7E), só válido em pedidos";
      return v;
    }
    default: break;
  }
  if (code < 0x74) return Number(0x70, "período de média", "s", 0, Seconds(e2));
  if (code < 0x78) return Number(0x74, "duração de atualidade", "s", 0, Seconds(e2));
  // 7B, 7D without their extension bit, 7C and 7F reach here only by mistake.
  VifInfo v;
  v.description = "VIF " + Hex2(code) + " sem a extensão que o segue";
  return v;
}

VifInfo MbusUnits::Fd(uint8_t code) {
  static const char* const kIds[] = {
      "número de acesso", "meio", "fabricante", "identificação do conjunto de parâmetros",
      "modelo/versão", "versão de hardware", "versão de firmware", "versão de software",
      "local do cliente", "cliente", "código de acesso do usuário", "código de acesso do operador",
      "código de acesso do operador do sistema", "código de acesso do desenvolvedor", "senha",
      "flags de erro", "máscara de erro"};
  static const char* const kCounters[] = {
      "contador de reinícios", "contador de acumulação", "sinal de controle", "dia da semana",
      "número da semana", "hora da troca de dia", "estado de ativação de parâmetros",
      "informação especial do fornecedor"};
  if (code < 0x04) return Number(0x00, "crédito", "moeda", (code & 3) - 3);
  if (code < 0x08) return Number(0x04, "débito", "moeda", (code & 3) - 3);
  if (code <= 0x18) return Number(code, kIds[code - 0x08], "");
  if (code >= 0x40 && code < 0x50) return Number(0x40, "tensão", "V", (code & 15) - 9);
  if (code >= 0x50 && code < 0x60) return Number(0x50, "corrente", "A", (code & 15) - 12);
  if (code >= 0x60 && code < 0x68) return Number(code, kCounters[code - 0x60], "");
  if (code >= 0x24 && code < 0x28) return Number(0x24, "intervalo de armazenamento", "s", 0, Seconds(code));
  if (code >= 0x2C && code < 0x30) return Number(0x2C, "duração desde a última leitura", "s", 0, Seconds(code));
  if (code >= 0x31 && code < 0x34) return Number(0x31, "duração da tarifa", "s", 0, Seconds(code));
  if (code >= 0x34 && code < 0x38) return Number(0x34, "período da tarifa", "s", 0, Seconds(code));
  if (code >= 0x68 && code < 0x6C) return LongDuration(code, 0x68, "duração desde a última acumulação");
  if (code >= 0x6C && code < 0x70) return LongDuration(code, 0x6C, "tempo de operação da bateria");
  switch (code) {
    case 0x1A: return Number(code, "saída digital", "");
    case 0x1B: return Number(code, "entrada digital", "");
    case 0x1C: return Number(code, "taxa de transmissão", "Bd");
    case 0x1D: return Number(code, "atraso de resposta", "tempos de bit");
    case 0x1E: return Number(code, "repetições", "");
    case 0x20: return Number(code, "primeiro armazenamento do ciclo", "");
    case 0x21: return Number(code, "último armazenamento do ciclo", "");
    case 0x22: return Number(code, "tamanho do bloco de armazenamento", "");
    case 0x28: return Number(code, "intervalo de armazenamento", "mês");
    case 0x29: return Number(code, "intervalo de armazenamento", "ano");
    case 0x30: return TimePoint(code, "início da tarifa");
    case 0x38: return Number(code, "período da tarifa", "mês");
    case 0x39: return Number(code, "período da tarifa", "ano");
    case 0x3A: return Number(code, "adimensional", "");
    case 0x70: return TimePoint(code, "data e hora da troca de bateria");
    default: return Reserved("FD ", code);
  }
}

VifInfo MbusUnits::Fb(uint8_t code) {
  const int n = code & 1, nn = code & 3;
  if (code <= 0x01) return Number(0x00, "energia (MWh)", "Wh", n - 1 + 6);
  if (code == 0x08 || code == 0x09) return Number(0x08, "energia (GJ)", "J", n - 1 + 9);
  if (code == 0x10 || code == 0x11) return Number(0x10, "volume (100 m³)", "m³", n + 2);
  if (code == 0x18 || code == 0x19) return Number(0x18, "massa (t)", "kg", n + 2 + 3);
  if (code == 0x28 || code == 0x29) return Number(0x28, "potência (MW)", "W", n - 1 + 6);
  if (code == 0x30 || code == 0x31) return Number(0x30, "potência (GJ/h)", "J/h", n - 1 + 9);
  if (code >= 0x58 && code < 0x5C)
    return Number(0x58, "temperatura de ida (°F)", "°C", nn - 3, kFahrenheitStep, kFahrenheitZero);
  if (code >= 0x5C && code < 0x60)
    return Number(0x5C, "temperatura de retorno (°F)", "°C", nn - 3, kFahrenheitStep, kFahrenheitZero);
  if (code >= 0x60 && code < 0x64) return Number(0x60, "diferença de temperatura (°F)", "K", nn - 3, kFahrenheitStep);
  if (code >= 0x64 && code < 0x68)
    return Number(0x64, "temperatura externa (°F)", "°C", nn - 3, kFahrenheitStep, kFahrenheitZero);
  if (code >= 0x70 && code < 0x74)
    return Number(0x70, "limite de temperatura fria/quente (°F)", "°C", nn - 3, kFahrenheitStep, kFahrenheitZero);
  if (code >= 0x74 && code < 0x78) return Number(0x74, "limite de temperatura fria/quente", "°C", nn - 3);
  if (code >= 0x78) return Number(0x78, "contagem acumulada de potência máxima", "W", (code & 7) - 3);
  switch (code) {
    case 0x21: return Number(code, "volume (0,1 pé³)", "m³", -1, kCubicFoot);
    case 0x22: return Number(code, "volume (0,1 galão americano)", "m³", -1, kUsGallon);
    case 0x23: return Number(code, "volume (galão americano)", "m³", 0, kUsGallon);
    case 0x24: return Number(code, "vazão (0,001 galão americano/min)", "m³/h", -3, kUsGallon * 60);
    case 0x25: return Number(code, "vazão (galão americano/min)", "m³/h", 0, kUsGallon * 60);
    case 0x26: return Number(code, "vazão (galão americano/h)", "m³/h", 0, kUsGallon);
    default: return Reserved("FB ", code);
  }
}

VifeInfo MbusUnits::Vife(uint8_t code) {
  VifeInfo v;
  auto qualifier = [&](std::string text, VifeInfo::Makes makes = VifeInfo::Makes::Same) {
    v.kind = VifeInfo::Kind::Qualifier;
    v.makes = makes;
    v.text = std::move(text);
    return v;
  };
  static const char* const kRecordErrors[0x20] = {
      nullptr, "DIFE demais", "número de armazenamento não implementado",
      "número de subunidade não implementado", "número de tarifa não implementado",
      "função não implementada", "classe de dado não implementada",
      "tamanho de dado não implementado", nullptr, nullptr, nullptr, "VIFE demais",
      "grupo de VIF ilegal", "expoente de VIF ilegal", "VIF e DIF incompatíveis",
      "ação não implementada", nullptr, nullptr, nullptr, nullptr, nullptr,
      "sem dado disponível", "estouro do dado", "dado abaixo do limite", "erro no dado",
      nullptr, nullptr, nullptr, "fim prematuro do registro", nullptr, nullptr, nullptr};
  static const char* const kPer[] = {"/s", "/min", "/h", "/d", "/semana", "/mês", "/ano", "/medição"};
  static const char* const kPerUnit[] = {"/l", "/m³", "/kg", "/K", "/kWh", "/GJ", "/kW", "/(K·l)", "/V", "/A",
                                         "·s", "·s/V", "·s/A"};
  if (code == 0x00) {
    v.kind = VifeInfo::Kind::NoError;
    return v;
  }
  if (code < 0x20) {
    if (kRecordErrors[code] == nullptr) {
      v.text = "código de erro de registro " + Hex2(code) + " reservado";
      return v;
    }
    v.kind = VifeInfo::Kind::RecordError;
    v.text = std::string("o medidor informa: ") + kRecordErrors[code];
    return v;
  }
  if (code < 0x28) {
    v.unitSuffix = kPer[code - 0x20];
    return qualifier(std::string("por ") + (kPer[code - 0x20] + 1));
  }
  if (code < 0x2C) {
    v.unitSuffix = "/impulso";
    return qualifier(std::string("incremento por impulso de ") + (code < 0x2A ? "entrada " : "saída ") +
                     std::to_string(code & 1));
  }
  if (code < 0x39) {
    v.unitSuffix = kPerUnit[code - 0x2C];
    return qualifier(std::string(code < 0x36 ? "por " : "multiplicado por ") +
                     (kPerUnit[code - 0x2C] + (code < 0x36 ? 1 : 2)));
  }
  const bool upper = (code & 0x08) != 0, last = (code & 0x04) != 0, end = (code & 0x01) != 0;
  const std::string limit = upper ? "do limite superior" : "do limite inferior";
  const std::string which = last ? "última" : "primeira";
  switch (code) {
    case 0x39: return qualifier("data de início", VifeInfo::Makes::Date);
    case 0x3A: return qualifier("unidade sem correção");
    case 0x3B: return qualifier("acumulado só com contribuições positivas");
    case 0x3C: return qualifier("acumulado em valor absoluto só com contribuições negativas");
    case 0x40: case 0x48: return qualifier("valor " + limit);
    case 0x41: case 0x49: return qualifier("número de ultrapassagens " + limit, VifeInfo::Makes::Count);
    case 0x7D:
      v.kind = VifeInfo::Kind::Multiply;
      v.exponent = 3;
      return v;
    case 0x7E: return qualifier("valor futuro");
    case 0x7F:
      v.kind = VifeInfo::Kind::Manufacturer;
      v.text = "VIFE específico do fabricante";
      return v;
    default: break;
  }
  if (code >= 0x40 && code < 0x50 && (code & 0x02) != 0)
    return qualifier(std::string("data ") + (end ? "do fim" : "do início") + " da " + which + " ultrapassagem " + limit,
                     VifeInfo::Makes::Date);
  if (code >= 0x50 && code < 0x60) {
    v.durationFactor = Seconds(code);
    return qualifier("duração da " + which + " ultrapassagem " + limit, VifeInfo::Makes::Duration);
  }
  if (code >= 0x60 && code < 0x68) {
    v.durationFactor = Seconds(code);
    return qualifier(std::string("duração ") + (last ? "do último" : "do primeiro"), VifeInfo::Makes::Duration);
  }
  if (code == 0x6A || code == 0x6B || code == 0x6E || code == 0x6F)
    return qualifier(std::string("data ") + (end ? "do fim" : "do início") + (last ? " do último" : " do primeiro"),
                     VifeInfo::Makes::Date);
  if (code >= 0x70 && code < 0x78) {
    v.kind = VifeInfo::Kind::Multiply;
    v.exponent = (code & 7) - 6;
    return v;
  }
  if (code >= 0x78 && code < 0x7C) {
    v.kind = VifeInfo::Kind::Add;
    v.exponent = (code & 3) - 3;
    return v;
  }
  v.text = "VIFE " + Hex2(code) + " reservado";
  return v;
}

std::string MbusUnits::MediumText(uint8_t medium) {
  static const char* const kMedia[] = {
      "outro", "óleo", "eletricidade", "gás", "calor, na saída", "vapor", "água quente, 30 a 90 °C", "água",
      "alocador de custos de aquecimento", "ar comprimido", "refrigeração, na saída", "refrigeração, na entrada",
      "calor, na entrada", "calor / refrigeração", "barramento / sistema", "meio desconhecido"};
  if (medium < 0x10) return kMedia[medium];
  switch (medium) {
    case 0x15: return "água quente, 90 °C ou mais";
    case 0x16: return "água fria";
    case 0x17: return "água quente e fria, registro duplo";
    case 0x18: return "pressão";
    case 0x19: return "conversor A/D";
    default: return "meio reservado";
  }
}

std::string MbusUnits::ManufacturerText(uint16_t code) {
  std::string s(3, ' ');
  s[0] = static_cast<char>('@' + ((code >> 10) & 0x1F));
  s[1] = static_cast<char>('@' + ((code >> 5) & 0x1F));
  s[2] = static_cast<char>('@' + (code & 0x1F));
  return s;
}

std::string MbusUnits::ApplicationErrorText(uint8_t code) {
  switch (code) {
    case 0: return "erro não especificado";
    case 1: return "CI não implementado";
    case 2: return "resposta longa demais, truncada";
    case 3: return "registros demais";
    case 4: return "fim prematuro do registro";
    case 5: return "mais de 10 DIFE";
    case 6: return "mais de 10 VIFE";
    case 8: return "aplicação ocupada";
    case 9: return "leituras demais";
    default: return "código " + std::to_string(code);
  }
}

std::vector<StatusCondition> MbusUnits::StatusConditions(uint8_t status) {
  std::vector<StatusCondition> out;
  switch (status & 0x03) {
    case 1: out.push_back({0x01, "aplicação ocupada"}); break;
    case 2: out.push_back({0x02, "erro de aplicação"}); break;
    case 3: out.push_back({0x03, "condição anormal"}); break;
    default: break;
  }
  if ((status & 0x04) != 0) out.push_back({0x04, "energia baixa"});
  if ((status & 0x08) != 0) out.push_back({0x08, "erro permanente"});
  if ((status & 0x10) != 0) out.push_back({0x10, "erro temporário"});
  for (int bit = 5; bit < 8; ++bit)
    if ((status & (1 << bit)) != 0)
      out.push_back({static_cast<uint8_t>(1 << bit), "bit " + std::to_string(bit) + " do fabricante"});
  return out;
}

}  // namespace mbus
