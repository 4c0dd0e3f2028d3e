// The settings of one M-Bus line, read from the CONFIGS text of its
// INTERFACES row (items as fb::ForEachConfigItem reads them):
//
//   serial: device=/dev/ttyUSB0; baud=2400; parity=E   (a level converter)
//   TCP:    host=192.168.0.60; port=10001; baud=2400   (a transparent
//           serial-to-Ethernet converter; its line's speed and format are
//           set in the converter, baud here only times the answers)
//   all:    timeout_ms=N; retries=2; request_pause_ms=0; connect_pause_ms=0;
//           period_s=N (commissioning only)
//
// An unknown or repeated key, a value out of range, serial and TCP keys
// mixed, a TCP line without port: refused, saying why. docs/MbusMeter.md
// lists every key with its range and default.
//
// Plain values: made on the service's load thread by Configure, read by
// whoever holds the line afterwards.
#pragma once

#include <string>

#include "packages/fieldbus/SerialLine.h"

namespace mbus {

struct MbusSettings {
  enum class Mode { Serial, Tcp };
  Mode mode = Mode::Serial;
  std::string device;  // serial
  std::string host;    // TCP
  int port = 0;        // TCP
  // Serial: the port's format (8 data bits and 1 stop bit always; baud and
  // parity from CONFIGS). TCP: baud is the converter's line speed.
  fb::SerialFormat format;
  int timeoutMs = 0;        // wait for an answer to begin; DefaultTimeoutMs when not given
  int retries = 2;          // further attempts after a request that got no valid answer
  int requestPauseMs = 0;   // least silence before a request beyond the line's own
  int connectPauseMs = 0;   // wait after the line is opened, before its first request
  int periodS = 0;          // commissioning: every meter samples every N s; 0: its own period

  // "M-Bus /dev/ttyUSB0 2400 8E1" / "M-Bus TCP 10.0.0.5:10001", for log lines.
  std::string Describe() const;
  // What identifies the line (a meter's journal is bound to it): the
  // device as it is opened (SerialPortPath: COM3 and \\.\COM3 alike), or
  // "host:port".
  std::string LineId() const;
};

// The wait for an answer to begin when CONFIGS give none: a meter's answer
// time of 330 bit times plus 50 ms at `baud` (188 ms at 2400 baud), and
// 200 ms more through a TCP converter (the network and the converter's own
// buffering).
int DefaultTimeoutMs(int baud, bool tcp);

// Parses `text` into `out`. False when it is unusable, with `error` saying
// why in Portuguese.
bool ParseMbusSettings(const std::string& text, MbusSettings& out, std::string& error);

}  // namespace mbus
