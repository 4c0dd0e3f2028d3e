#include "packages/modbus/RegisterReader.h"

#include <cmath>

#include <algorithm>
#include <numeric>

namespace mb {

RegisterReader::RegisterReader(KxInterface* iface, uint8_t unit,
                               const std::vector<ChannelSpec>& channels, LogFn log)
    : iface_(iface), unit_(unit), channels_(channels), log_(std::move(log)) {
  std::vector<size_t> order(channels_.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const auto& x = channels_[a];
    const auto& y = channels_[b];
    if (x.format.table != y.format.table) return x.format.table < y.format.table;
    return x.address < y.address;
  });
  for (size_t i : order) {
    const ChannelSpec& c = channels_[i];
    const int32_t end = c.address + c.format.Width();
    Block* last = blocks_.empty() ? nullptr : blocks_.back().get();
    if (last != nullptr && last->table == c.format.table && c.address <= last->start + last->count &&
        std::max(end, last->start + last->count) - last->start <= kMaxRegisters) {
      last->count = std::max(end, last->start + last->count) - last->start;
      last->members.push_back(i);
      continue;
    }
    auto block = std::make_unique<Block>();
    block->table = c.format.table;
    block->start = c.address;
    block->count = c.format.Width();
    block->members.push_back(i);
    blocks_.push_back(std::move(block));
  }
}

Status RegisterReader::Read(Table table, int32_t start, int32_t count,
                            const std::atomic<bool>* cancel, uint16_t* out, int32_t& detail,
                            uint64_t& lineAnswers) {
  Request req;
  req.kind = RequestKind::Read;
  req.unit = unit_;
  req.table = table;
  req.address = static_cast<uint16_t>(start);
  req.count = static_cast<uint16_t>(count);
  req.cancel = cancel;
  ReadReply reply;
  const int n = iface_->Exchange(&req, sizeof req, &reply, sizeof reply);
  if (n != static_cast<int>(sizeof reply) || reply.magic != kReplyMagic) {
    detail = 0;
    return Status::NotConfigured;
  }
  detail = reply.detail;
  lineAnswers = std::max(lineAnswers, reply.lineAnswers);
  if (reply.status == Status::Ok) std::copy(reply.registers, reply.registers + count, out);
  return reply.status;
}

void RegisterReader::SetDecoded(ChannelValue& value, const RegisterFormat& format,
                                const uint16_t* regs) {
  value.value = format.Value(regs);
  // A meter's "not available" (NaN, infinity) is no sample: storing it would
  // put a NaN where consumption is apportioned.
  value.status = std::isfinite(value.value) ? Status::Ok : Status::NotAValue;
}

Status RegisterReader::ReadBlock(Block& block, const std::atomic<bool>* cancel,
                                 std::vector<ChannelValue>& values, uint64_t& lineAnswers) {
  uint16_t regs[kMaxRegisters];
  int32_t detail = 0;
  if (!block.split.load() || block.members.size() == 1) {
    const Status st =
        Read(block.table, block.start, block.count, cancel, regs, detail, lineAnswers);
    if (st == Status::Ok) {
      for (size_t i : block.members)
        SetDecoded(values[i], channels_[i].format, regs + (channels_[i].address - block.start));
      return Status::Ok;
    }
    if (st != Status::Exception || block.members.size() == 1) {
      for (size_t i : block.members) {
        values[i].status = st;
        values[i].detail = detail;
      }
      return IsSilence(st) || st == Status::Cancelled ? st : Status::Ok;
    }
    // The meter refuses the block as a whole: one register at a time from now
    // on (said once, also when two threads find it out together).
    bool expected = false;
    if (block.split.compare_exchange_strong(expected, true))
      log_("registros " + RegisterFormat::Reference(block.table, block.start) + " a " +
           RegisterFormat::Reference(block.table, block.start + block.count - 1) +
           " recusados em bloco (" + StatusText(st, detail) + "); lidos um a um daqui em diante");
  }
  for (size_t i : block.members) {
    const ChannelSpec& c = channels_[i];
    const Status st =
        Read(c.format.table, c.address, c.format.Width(), cancel, regs, detail, lineAnswers);
    if (st == Status::Ok) {
      SetDecoded(values[i], c.format, regs);
      continue;
    }
    values[i].status = st;
    values[i].detail = detail;
    if (IsSilence(st) || st == Status::Cancelled) return st;
  }
  return Status::Ok;
}

std::vector<ChannelValue> RegisterReader::ReadAll(const std::atomic<bool>* cancel,
                                                  uint64_t* lineAnswers) {
  // Every value starts as "not read"; what is still so at the end was not
  // asked for because the meter went silent (or the read was cancelled).
  std::vector<ChannelValue> values(channels_.size());
  for (size_t i = 0; i < channels_.size(); ++i) {
    values[i].address = channels_[i].address;
    values[i].status = Status::Cancelled;
  }
  Status silent = Status::Ok;
  int32_t silentDetail = 0;
  uint64_t answers = 0;
  for (auto& block : blocks_) {
    silent = ReadBlock(*block, cancel, values, answers);
    if (silent == Status::Ok) continue;
    for (size_t i : block->members)
      if (values[i].status == silent) silentDetail = values[i].detail;
    break;
  }
  for (ChannelValue& v : values) {
    if (v.status == Status::Cancelled && silent != Status::Ok) {
      v.status = silent;
      v.detail = silentDetail;
    }
  }
  if (lineAnswers != nullptr) *lineAnswers = answers;
  return values;
}

}  // namespace mb
