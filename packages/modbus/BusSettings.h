// The settings of one Modbus bus, read from the CONFIGS text of its
// INTERFACES row: "key=value" items separated by ';' or line ends (spaces
// around keys and values ignored, an item beginning with '#' is a comment).
//
//   TCP:          host=192.168.0.50; port=502
//   RTU:          device=/dev/ttyUSB0; baud=9600; parity=E; data_bits=8; stop_bits=1
//   RTU over TCP: host=192.168.0.60; port=4001; framing=rtu (a transparent
//                 serial-to-Ethernet converter: RTU frames, CRC included, on
//                 a TCP connection; the line's speed and parity are set in
//                 the converter, not here)
//   all:          timeout_ms=1000; retries=1; connect_pause_ms=0;
//                 request_pause_ms=0; period_s=N (commissioning only)
//
// framing=tcp (the default with host) is Modbus TCP; framing is refused with
// device.
//
// docs/ModbusMeter.md lists every key with its range and default.
#pragma once

#include <string>

namespace mb {

struct BusSettings {
  // Tcp: MBAP frames over TCP; Rtu: RTU frames on a serial device;
  // RtuOverTcp: RTU frames over TCP (unit ids as on a serial line).
  enum class Mode { Tcp, Rtu, RtuOverTcp };
  Mode mode = Mode::Tcp;
  std::string host;    // TCP, RTU over TCP: address or name of the gateway or converter
  int port = 502;      // TCP, RTU over TCP
  std::string device;  // RTU: serial device
  int baud = 9600;     // RTU
  char parity = 'N';   // RTU: 'N', 'E' or 'O'
  int dataBits = 8;    // RTU
  int stopBits = 1;    // RTU
  int timeoutMs = 1000;  // wait for one reply
  int retries = 1;       // further attempts after a request that got no valid reply
  int periodS = 0;       // sampling period of every meter on the bus, in seconds; 0: DRV_ADDR2
  int connectPauseMs = 0;  // wait after a connection is made, before its first request
  int requestPauseMs = 0;  // least wait between the end of a request and the next one

  // "TCP 10.0.0.5:502" / "RTU /dev/ttyUSB0 9600 8E1" / "RTU sobre TCP
  // 10.0.0.5:4001", for log lines.
  std::string Describe() const;
  // What identifies the line whatever its timeouts, pauses and serial
  // settings: "TCP h:p", "RTU sobre TCP h:p", "RTU <device as opened>".
  std::string Line() const;
};

// Parses `text` into `out`. False when it is unusable, with `error` saying
// why in Portuguese (an unknown or repeated key, a value out of range, TCP
// and RTU keys mixed, framing with device, neither host nor device...).
bool ParseBusSettings(const std::string& text, BusSettings& out, std::string& error);

}  // namespace mb
