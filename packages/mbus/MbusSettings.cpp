#include "packages/mbus/MbusSettings.h"

#include <algorithm>
#include <set>

#include "packages/fieldbus/ConfigText.h"
#include "packages/fieldbus/SerialPort.h"

namespace mbus {

namespace {

const int kBauds[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400};

const char* const kSerialKeys[] = {"device", "parity"};
const char* const kTcpKeys[] = {"host", "port"};

// One key's value into the settings; false with the error.
bool Apply(const std::string& key, const std::string& value, MbusSettings& s, std::string& error) {
  auto range = [&](int low, int high, int& field) { return fb::ConfigInt(key, value, low, high, field, error); };
  if (key == "device" || key == "host") {
    if (value.empty()) {
      error = key + " vazio";
      return false;
    }
    (key == "device" ? s.device : s.host) = value;
    return true;
  }
  if (key == "port") return range(1, 65535, s.port);
  if (key == "baud") {
    int baud = 0;
    if (fb::ParseIntInRange(value, 1, 1000000, baud) &&
        std::find(std::begin(kBauds), std::end(kBauds), baud) != std::end(kBauds)) {
      s.format.baud = baud;
      return true;
    }
    error = "valor inválido para baud: '" + value +
            "' (300, 600, 1200, 2400, 4800, 9600, 19200 ou 38400)";
    return false;
  }
  if (key == "parity") return fb::ConfigParity(value, s.format.parity, error);
  if (key == "timeout_ms") return range(10, 60000, s.timeoutMs);
  if (key == "retries") return range(0, 5, s.retries);
  if (key == "request_pause_ms") return range(0, 10000, s.requestPauseMs);
  if (key == "connect_pause_ms") return range(0, 10000, s.connectPauseMs);
  if (key == "period_s") return range(1, 86400, s.periodS);
  error = "chave desconhecida: '" + key + "'";
  return false;
}

}  // namespace

std::string MbusSettings::Describe() const {
  if (mode == Mode::Tcp) return "M-Bus TCP " + LineId();
  return "M-Bus " + device + " " + format.Describe();
}

std::string MbusSettings::LineId() const {
  return mode == Mode::Tcp ? host + ":" + std::to_string(port) : fb::SerialPortPath(device);
}

int DefaultTimeoutMs(int baud, bool tcp) {
  const int answerTime = (330 * 1000 + baud - 1) / baud + 50;
  return tcp ? answerTime + 200 : answerTime;
}

bool ParseMbusSettings(const std::string& text, MbusSettings& out, std::string& error) {
  MbusSettings s;
  std::set<std::string> seen;
  const auto apply = [&s](const std::string& key, const std::string& value, std::string& why) {
    return Apply(key, value, s, why);
  };
  if (!fb::ForEachConfigItem(text, apply, seen, error)) return false;
  const bool serial = seen.count("device") > 0;
  const bool tcp = seen.count("host") > 0;
  if (serial == tcp) {
    error = serial ? "device (serial) e host (TCP) não podem ser usados juntos"
                   : "informe device (porta serial) ou host e port (conversor TCP)";
    return false;
  }
  s.mode = tcp ? MbusSettings::Mode::Tcp : MbusSettings::Mode::Serial;
  for (const char* key : tcp ? kSerialKeys : kTcpKeys) {
    if (seen.count(key)) {
      error = std::string("a chave '") + key + "' não vale para M-Bus " + (tcp ? "TCP" : "serial");
      return false;
    }
  }
  if (tcp && s.port == 0) {
    error = "informe port (a porta TCP do conversor)";
    return false;
  }
  if (s.timeoutMs == 0) s.timeoutMs = DefaultTimeoutMs(s.format.baud, tcp);
  out = s;
  return true;
}

}  // namespace mbus
