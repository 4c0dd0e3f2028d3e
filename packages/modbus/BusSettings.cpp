#include "packages/modbus/BusSettings.h"

#include <algorithm>
#include <set>
#include <vector>

#include "packages/fieldbus/ConfigText.h"
#include "packages/fieldbus/SerialPort.h"

namespace mb {

namespace {

const int kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// One key's value into the settings; false with the error.
bool Apply(const std::string& key, const std::string& value, BusSettings& s, std::string& error) {
  auto range = [&](int low, int high, int& field) { return fb::ConfigInt(key, value, low, high, field, error); };
  if (key == "host") {
    if (value.empty()) {
      error = "host vazio";
      return false;
    }
    s.host = value;
    return true;
  }
  if (key == "device") {
    if (value.empty()) {
      error = "device vazio";
      return false;
    }
    s.device = value;
    return true;
  }
  if (key == "port") return range(1, 65535, s.port);
  if (key == "framing") {
    if (value == "tcp" || value == "rtu") {
      if (value == "rtu") s.mode = BusSettings::Mode::RtuOverTcp;
      return true;
    }
    error = "valor inválido para framing: '" + value + "' (tcp ou rtu)";
    return false;
  }
  if (key == "baud") {
    if (fb::ParseIntInRange(value, 1, 10000000, s.baud) &&
        std::find(std::begin(kBauds), std::end(kBauds), s.baud) != std::end(kBauds))
      return true;
    error = "valor inválido para baud: '" + value +
            "' (1200, 2400, 4800, 9600, 19200, 38400, 57600 ou 115200)";
    return false;
  }
  if (key == "parity") return fb::ConfigParity(value, s.parity, error);
  if (key == "data_bits") return range(5, 8, s.dataBits);
  if (key == "stop_bits") return range(1, 2, s.stopBits);
  if (key == "timeout_ms") return range(10, 60000, s.timeoutMs);
  if (key == "retries") return range(0, 5, s.retries);
  if (key == "period_s") return range(1, 86400, s.periodS);
  if (key == "connect_pause_ms") return range(0, 10000, s.connectPauseMs);
  if (key == "request_pause_ms") return range(0, 10000, s.requestPauseMs);
  error = "chave desconhecida: '" + key + "'";
  return false;
}

}  // namespace

std::string BusSettings::Describe() const {
  if (mode == Mode::Tcp) return "TCP " + host + ":" + std::to_string(port);
  if (mode == Mode::RtuOverTcp) return "RTU sobre TCP " + host + ":" + std::to_string(port);
  return "RTU " + device + " " + std::to_string(baud) + " " + std::to_string(dataBits) + parity +
         std::to_string(stopBits);
}

std::string BusSettings::Line() const {
  return mode == Mode::Rtu ? "RTU " + fb::SerialPortPath(device) : Describe();
}

bool ParseBusSettings(const std::string& text, BusSettings& out, std::string& error) {
  BusSettings s;
  std::set<std::string> seen;
  const auto apply = [&s](const std::string& key, const std::string& value, std::string& why) {
    return Apply(key, value, s, why);
  };
  if (!fb::ForEachConfigItem(text, apply, seen, error)) return false;
  const bool tcp = seen.count("host") > 0;
  const bool rtu = seen.count("device") > 0;
  if (tcp == rtu) {
    error = tcp ? "host (TCP) e device (RTU) não podem ser usados juntos"
                : "informe host (Modbus TCP) ou device (Modbus RTU)";
    return false;
  }
  if (rtu) s.mode = BusSettings::Mode::Rtu;  // with host: Tcp, or RtuOverTcp by framing
  const std::vector<std::string> other =
      tcp ? std::vector<std::string>{"baud", "parity", "data_bits", "stop_bits"}
          : std::vector<std::string>{"port", "framing"};
  const char* name = s.mode == BusSettings::Mode::Tcp   ? "TCP"
                     : s.mode == BusSettings::Mode::Rtu ? "RTU"
                                                        : "RTU sobre TCP";
  for (const std::string& key : other) {
    if (seen.count(key)) {
      error = std::string("a chave '") + key + "' não vale para Modbus " + name;
      return false;
    }
  }
  out = s;
  return true;
}

}  // namespace mb
