// The wire of one Modbus bus as ModbusInterface uses it: open it, send one
// read request and take its reply, close it. One implementation per way of
// reaching the meters: LibmodbusLink (Modbus TCP, Modbus RTU on a serial
// device) and RtuTcpLink (RTU frames over a TCP connection, through a
// transparent serial-to-Ethernet converter).
//
// Threads: ModbusInterface owns its link and calls it only while holding its
// bus (BusQueue), so a link is used by one thread at a time.
#pragma once

#include <cstdint>

#include "packages/modbus/ModbusProtocol.h"

namespace mb {

class BusLink {
 public:
  virtual ~BusLink() = default;

  // Connects (TCP) or opens the serial device. False with the system's error
  // number in `err`.
  virtual bool Open(int& err) = 0;
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;

  // One attempt at `req` (unit, table, address, count) on an open link: the
  // registers into `registers` (req.count of them) and Ok, or what went
  // wrong with its detail:
  //   Exception   the meter answered with that exception code (detail);
  //   NoAnswer    no complete reply within timeout_ms;
  //   BadFrame    a reply that is not valid (CRC, unit, function, size);
  //   Connection  the connection or the device failed (detail: system error
  //               number); the caller closes the link.
  // After NoAnswer or BadFrame the link has made sure that a late reply is
  // not taken for the next request's: it flushed its input or closed itself
  // (IsOpen() says which).
  virtual Status Read(const Request& req, uint16_t* registers, int32_t& detail) = 0;
};

}  // namespace mb
