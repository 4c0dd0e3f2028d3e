// Reads the channels of one meter through its ModbusInterface: channels
// whose registers touch (same table, no gap, at most 125 registers) are read
// with one request. A block the meter refuses with a Modbus exception (one of
// its registers does not exist, say) is read register by register from then
// on, so that one bad channel costs only itself. After a request that got no
// answer at all the remaining channels are not asked for: the meter is
// silent, and asking again would only keep the bus from the other meters.
//
// Threads: ReadAll may run on the meter's sampling thread and on the
// service's online thread at once; the layout is fixed at construction.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "packages/modbus/ModbusProtocol.h"
#include "packages/modbus/RegisterFormat.h"
#include "plugins/TelvaneSdk.h"

namespace mb {

struct ChannelSpec {
  int32_t address;  // the register address (the last five digits of EQUIP_INDEX)
  RegisterFormat format;
};

struct ChannelValue {
  int32_t address = 0;
  Status status = Status::Ok;
  int32_t detail = 0;
  double value = 0;
};

class RegisterReader {
 public:
  using LogFn = std::function<void(const std::string&)>;
  // `iface` is not owned and outlives the reader; `log` gets the reader's
  // own lines (a block read register by register from now on).
  RegisterReader(KxInterface* iface, uint8_t unit, const std::vector<ChannelSpec>& channels,
                 LogFn log);

  // One value per channel, in the order given to the constructor; into
  // `lineAnswers`, when given, the line's count of answered requests as the
  // last reply left it (ReadReply::lineAnswers).
  std::vector<ChannelValue> ReadAll(const std::atomic<bool>* cancel,
                                    uint64_t* lineAnswers = nullptr);
  size_t BlockCount() const { return blocks_.size(); }

 private:
  struct Block {
    Table table = Table::Holding;
    int32_t start = 0;
    int32_t count = 0;
    std::vector<size_t> members;  // indexes into channels_
    std::atomic<bool> split{false};
  };

  // One request; `lineAnswers` raised to what its reply tells.
  Status Read(Table table, int32_t start, int32_t count, const std::atomic<bool>* cancel,
              uint16_t* out, int32_t& detail, uint64_t& lineAnswers);
  // The channel's value from its registers; Status::NotAValue for NaN or
  // infinity.
  static void SetDecoded(ChannelValue& value, const RegisterFormat& format, const uint16_t* regs);
  // Reads `block` (whole or register by register) into `values`; returns the
  // status of a request that found the meter silent, Status::Ok otherwise.
  Status ReadBlock(Block& block, const std::atomic<bool>* cancel, std::vector<ChannelValue>& values,
                   uint64_t& lineAnswers);

  KxInterface* iface_;
  uint8_t unit_;
  std::vector<ChannelSpec> channels_;
  std::vector<std::unique_ptr<Block>> blocks_;
  LogFn log_;
};

}  // namespace mb
