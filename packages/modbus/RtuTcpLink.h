// BusLink for Modbus RTU over TCP: a transparent serial-to-Ethernet
// converter passes the bytes of a TCP connection to its RS-485 line and
// back, so the requests and replies are RTU frames (unit, PDU, CRC;
// RtuFrame) with no MBAP header. libmodbus has no such mode; the frames are
// ours and the socket is a TcpStream.
//
// A reply is read until it is complete by its own length, within
// timeout_ms of the request. One that does not come in time, or comes
// wrong, closes the connection, and bytes found waiting before a request
// (the late reply of an earlier one) are dropped, so that no reply is ever
// taken for another request's.
//
// Threads: see BusLink.h (one thread at a time, holding the bus).
#pragma once

#include <string>
#include <utility>

#include "packages/modbus/BusLink.h"
#include "packages/fieldbus/TcpStream.h"

namespace mb {

class RtuTcpLink : public BusLink {
 public:
  RtuTcpLink(std::string host, int port, int timeoutMs)
      : host_(std::move(host)), port_(port), timeoutMs_(timeoutMs) {}

  bool Open(int& err) override { return stream_.Connect(host_, port_, timeoutMs_, err); }
  bool IsOpen() const override { return stream_.IsOpen(); }
  void Close() override { stream_.Close(); }
  Status Read(const Request& req, uint16_t* registers, int32_t& detail) override;

 private:
  std::string host_;
  int port_;
  int timeoutMs_;
  fb::TcpStream stream_;
};

}  // namespace mb
