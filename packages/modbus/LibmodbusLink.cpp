#include "packages/modbus/LibmodbusLink.h"

#include <modbus/modbus.h>

#include <cerrno>
#include <string>

#include "packages/fieldbus/SerialPort.h"
#include "packages/fieldbus/SystemError.h"

namespace mb {

std::unique_ptr<LibmodbusLink> LibmodbusLink::Create(const BusSettings& settings, int& err) {
  // libmodbus leaves a system's error where the system does (errno, or
  // GetLastError/WSAGetLastError on Windows): SystemError.h reads it there.
  fb::ClearBusError();
  modbus_t* ctx =
      settings.mode == BusSettings::Mode::Tcp
          ? modbus_new_tcp_pi(settings.host.c_str(), std::to_string(settings.port).c_str())
          : modbus_new_rtu(fb::SerialPortPath(settings.device).c_str(), settings.baud, settings.parity,
                           settings.dataBits, settings.stopBits);
  if (ctx == nullptr) {
    err = fb::LastBusError();
    return nullptr;
  }
  // Retries are ours: libmodbus must neither reconnect nor sleep by itself.
  modbus_set_error_recovery(ctx, MODBUS_ERROR_RECOVERY_NONE);
  const uint32_t ms = static_cast<uint32_t>(settings.timeoutMs);
  modbus_set_response_timeout(ctx, ms / 1000, (ms % 1000) * 1000);
  const uint32_t byteMs = ms < 500 ? ms : 500;
  modbus_set_byte_timeout(ctx, byteMs / 1000, (byteMs % 1000) * 1000);
  return std::unique_ptr<LibmodbusLink>(
      new LibmodbusLink(ctx, settings.mode == BusSettings::Mode::Tcp));
}

LibmodbusLink::~LibmodbusLink() {
  Close();
  modbus_free(ctx_);
}

bool LibmodbusLink::Open(int& err) {
  fb::ClearBusError();
  if (modbus_connect(ctx_) == 0) {
    open_ = true;
    return true;
  }
  err = fb::LastBusError();
  return false;
}

void LibmodbusLink::Close() {
  if (open_) modbus_close(ctx_);
  open_ = false;
}

Status LibmodbusLink::Read(const Request& req, uint16_t* registers, int32_t& detail) {
  modbus_set_slave(ctx_, req.unit);
  fb::ClearBusError();
  const int n = req.table == Table::Input
                    ? modbus_read_input_registers(ctx_, req.address, req.count, registers)
                    : modbus_read_registers(ctx_, req.address, req.count, registers);
  if (n == req.count) {
    detail = 0;
    return Status::Ok;
  }
  const int err = n < 0 ? fb::LastBusError() : EMBBADDATA;
  if (err > MODBUS_ENOBASE && err <= MODBUS_ENOBASE + MODBUS_EXCEPTION_GATEWAY_TARGET) {
    detail = err - MODBUS_ENOBASE;
    return Status::Exception;
  }
  const bool timedOut = err == ETIMEDOUT;
  if (timedOut || err == EMBBADCRC || err == EMBBADDATA || err == EMBBADSLAVE || err == EMBMDATA ||
      err == EMBBADEXC || err == EMBUNKEXC) {
    // Whatever arrives late must not be taken for the next request's reply:
    // a TCP connection is closed, a serial line flushed.
    if (tcp_)
      Close();
    else
      modbus_flush(ctx_);
    detail = timedOut ? 0 : err;
    return timedOut ? Status::NoAnswer : Status::BadFrame;
  }
  // The connection itself failed (reset, broken pipe, device gone).
  detail = err;
  return Status::Connection;
}

}  // namespace mb
