#include "packages/modbus/RtuTcpLink.h"

#include <chrono>
#include <cstdint>
#include <vector>

#include "packages/modbus/RtuFrame.h"

namespace mb {

Status RtuTcpLink::Read(const Request& req, uint16_t* registers, int32_t& detail) {
  int err = 0;
  if (!stream_.Discard(err)) {
    detail = err;
    return Status::Connection;
  }
  const auto function = static_cast<uint8_t>(req.table);
  const std::vector<uint8_t> request = RtuFrame::ReadRequest(req.unit, function, req.address, req.count);
  const auto deadline = fb::TcpStream::Clock::now() + std::chrono::milliseconds(timeoutMs_);
  if (!stream_.Send(request.data(), request.size(), deadline, err)) {
    detail = err;
    return Status::Connection;
  }
  uint8_t reply[RtuFrame::kMaxReply];
  size_t have = 0;
  size_t want = 0;  // the whole frame's length, once its header has come
  while (want == 0 || have < want) {
    const size_t room = want == 0 ? 3 - have : want - have;
    const long n = stream_.Receive(reply + have, room, deadline, err);
    if (n < 0) {
      detail = err;
      return Status::Connection;
    }
    if (n == 0) {
      stream_.Close();
      detail = 0;
      return Status::NoAnswer;
    }
    have += static_cast<size_t>(n);
    if (want == 0) want = RtuFrame::ReplyLength(reply, have);
  }
  int code = 0;
  const RtuFrame::Reply kind =
      RtuFrame::Parse(reply, have, req.unit, function, req.count, registers, code);
  if (kind == RtuFrame::Reply::Registers) {
    detail = 0;
    return Status::Ok;
  }
  if (kind == RtuFrame::Reply::Exception) {
    detail = code;
    return Status::Exception;
  }
  stream_.Close();
  detail = static_cast<int32_t>(kind);
  return Status::BadFrame;
}

}  // namespace mb
