// ByteLine over a TcpStream: the TCP connection to a transparent
// serial-to-Ethernet converter, which passes the bytes to its line and back
// unchanged. Open connects (again) within `connectTimeoutMs`.
//
// Threads: see ByteLine.h.
#pragma once

#include <string>
#include <utility>

#include "packages/fieldbus/ByteLine.h"
#include "packages/fieldbus/TcpStream.h"

namespace fb {

class TcpLine : public ByteLine {
 public:
  TcpLine(std::string host, int port, int connectTimeoutMs)
      : host_(std::move(host)), port_(port), connectTimeoutMs_(connectTimeoutMs) {}

  bool Open(int& err) override { return stream_.Connect(host_, port_, connectTimeoutMs_, err); }
  bool IsOpen() const override { return stream_.IsOpen(); }
  void Close() override { stream_.Close(); }
  bool Send(const uint8_t* data, size_t size, Clock::time_point deadline, int& err) override {
    return stream_.Send(data, size, deadline, err);
  }
  long Receive(uint8_t* buffer, size_t capacity, Clock::time_point deadline, int& err) override {
    return stream_.Receive(buffer, capacity, deadline, err);
  }
  bool Discard(int& err) override { return stream_.Discard(err); }
  std::string Describe() const override { return host_ + ":" + std::to_string(port_); }

 private:
  std::string host_;
  int port_;
  int connectTimeoutMs_;
  TcpStream stream_;
};

}  // namespace fb
