// BusLink on libmodbus: Modbus TCP (MBAP framing) to a gateway or a native
// TCP meter, or Modbus RTU on a serial device.
//
// Threads: see BusLink.h (one thread at a time, holding the bus). Owns its
// libmodbus context.
#pragma once

#include <memory>

#include "packages/modbus/BusLink.h"
#include "packages/modbus/BusSettings.h"

typedef struct _modbus modbus_t;

namespace mb {

class LibmodbusLink : public BusLink {
 public:
  // The context for `settings` (mode Tcp or Rtu), its timeouts set; null
  // with errno in `err` when libmodbus refuses the settings.
  static std::unique_ptr<LibmodbusLink> Create(const BusSettings& settings, int& err);
  ~LibmodbusLink() override;
  LibmodbusLink(const LibmodbusLink&) = delete;
  LibmodbusLink& operator=(const LibmodbusLink&) = delete;

  bool Open(int& err) override;
  bool IsOpen() const override { return open_; }
  void Close() override;
  Status Read(const Request& req, uint16_t* registers, int32_t& detail) override;

 private:
  LibmodbusLink(modbus_t* ctx, bool tcp) : ctx_(ctx), tcp_(tcp) {}

  modbus_t* ctx_;
  bool tcp_;
  bool open_ = false;
};

}  // namespace mb
