#include "packages/modbus/sim/ModbusSimServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace mbsim {

namespace {

constexpr int kRegisters = 65536;

uint16_t Crc16(const uint8_t* p, int n) {
  uint16_t crc = 0xFFFF;
  for (int i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

}  // namespace

std::vector<uint16_t> FloatWords(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return {static_cast<uint16_t>(bits >> 16), static_cast<uint16_t>(bits & 0xFFFF)};
}

std::unique_ptr<ModbusSimServer> ModbusSimServer::Tcp(int port) {
  std::unique_ptr<ModbusSimServer> s(new ModbusSimServer());
  s->ctx_ = modbus_new_tcp("127.0.0.1", port);
  if (s->ctx_ == nullptr) throw std::runtime_error("modbus_new_tcp failed");
  s->listenFd_ = modbus_tcp_listen(s->ctx_, 16);
  if (s->listenFd_ < 0)
    throw std::runtime_error(std::string("cannot listen: ") + modbus_strerror(errno));
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  getsockname(s->listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  s->port_ = ntohs(addr.sin_port);
  if (pipe2(s->wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
  s->thread_ = std::thread([p = s.get()] { p->Run(); });
  return s;
}

std::unique_ptr<ModbusSimServer> ModbusSimServer::Rtu(const std::string& device) {
  std::unique_ptr<ModbusSimServer> s(new ModbusSimServer());
  s->rtu_ = true;
  s->ctx_ = modbus_new_rtu(device.c_str(), 9600, 'N', 8, 1);
  if (s->ctx_ == nullptr || modbus_connect(s->ctx_) != 0)
    throw std::runtime_error("cannot open " + device + ": " + modbus_strerror(errno));
  modbus_set_slave(s->ctx_, 1);
  if (pipe2(s->wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
  s->thread_ = std::thread([p = s.get()] { p->Run(); });
  return s;
}

ModbusSimServer::~ModbusSimServer() {
  stop_ = true;
  Wake();
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) close(listenFd_);
  if (ctx_ != nullptr) {
    if (rtu_) modbus_close(ctx_);
    modbus_free(ctx_);
  }
  for (int fd : wake_)
    if (fd >= 0) close(fd);
  for (auto& [unit, u] : units_) modbus_mapping_free(u.mapping);
}

void ModbusSimServer::Wake() {
  if (wake_[1] < 0) return;
  const char c = 1;
  const ssize_t w = write(wake_[1], &c, 1);
  static_cast<void>(w);
}

void ModbusSimServer::AddUnit(uint8_t unit) {
  std::lock_guard<std::mutex> lock(mutex_);
  Unit& u = units_[unit];
  if (u.mapping == nullptr) u.mapping = modbus_mapping_new(0, 0, kRegisters, kRegisters);
}

void ModbusSimServer::SetRegisters(uint8_t unit, Table table, uint16_t address,
                                   const std::vector<uint16_t>& values) {
  AddUnit(unit);
  std::lock_guard<std::mutex> lock(mutex_);
  modbus_mapping_t* m = units_[unit].mapping;
  uint16_t* regs = table == Table::Holding ? m->tab_registers : m->tab_input_registers;
  for (size_t i = 0; i < values.size() && address + i < kRegisters; ++i) regs[address + i] = values[i];
}

void ModbusSimServer::SetFloat(uint8_t unit, Table table, uint16_t address, float value) {
  SetRegisters(unit, table, address, FloatWords(value));
}

void ModbusSimServer::SetHook(uint8_t unit, Hook hook) {
  AddUnit(unit);
  std::lock_guard<std::mutex> lock(mutex_);
  units_[unit].hook = std::move(hook);
}

void ModbusSimServer::SetSilent(uint8_t unit, bool silent) {
  AddUnit(unit);
  std::lock_guard<std::mutex> lock(mutex_);
  units_[unit].silent = silent;
}

void ModbusSimServer::SetMissing(uint8_t unit, Table table, uint16_t address) {
  AddUnit(unit);
  std::lock_guard<std::mutex> lock(mutex_);
  units_[unit].missing.push_back({table, address});
}

void ModbusSimServer::Publish(uint8_t unit, Table table, uint16_t first, uint16_t count) {
  AddUnit(unit);
  std::lock_guard<std::mutex> lock(mutex_);
  units_[unit].published.push_back({table, {first, first + count}});
}

void ModbusSimServer::DropConnections() {
  drop_ = true;
  Wake();
  while (drop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int64_t ModbusSimServer::Requests(uint8_t unit) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = units_.find(unit);
  return it == units_.end() ? 0 : it->second.requests;
}

void ModbusSimServer::Run() {
  if (rtu_)
    ServeRtu();
  else
    ServeTcp();
}

void ModbusSimServer::ServeTcp() {
  std::vector<int> clients;
  uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  while (!stop_) {
    if (drop_.load()) {
      for (int fd : clients) close(fd);
      clients.clear();
      drop_ = false;
    }
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(wake_[0], &fds);
    FD_SET(listenFd_, &fds);
    int top = std::max(wake_[0], listenFd_);
    for (int fd : clients) {
      FD_SET(fd, &fds);
      top = std::max(top, fd);
    }
    if (select(top + 1, &fds, nullptr, nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (FD_ISSET(wake_[0], &fds)) {
      char buf[64];
      while (read(wake_[0], buf, sizeof buf) > 0) {
      }
    }
    if (FD_ISSET(listenFd_, &fds)) {
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        clients.push_back(fd);
        ++connections_;
      }
    }
    for (auto it = clients.begin(); it != clients.end();) {
      if (!FD_ISSET(*it, &fds)) {
        ++it;
        continue;
      }
      modbus_set_socket(ctx_, *it);
      const int rc = modbus_receive(ctx_, query);
      if (rc > 0) {
        Handle(query, rc);
        ++it;
      } else if (rc == 0) {
        ++it;
      } else {
        // The client left (or sent garbage): forget it.
        if (errno != ECONNRESET) ++badFrames_;
        close(*it);
        it = clients.erase(it);
      }
    }
  }
  for (int fd : clients) close(fd);
}

void ModbusSimServer::ServeRtu() {
  // Frames are read here, not with modbus_receive: after a request for
  // another unit than its own, libmodbus takes the next frame for that
  // unit's reply and drops it, but here every unit answers.
  const int fd = modbus_get_socket(ctx_);
  uint8_t frame[MODBUS_RTU_MAX_ADU_LENGTH];
  int have = 0;
  while (!stop_) {
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(wake_[0], &fds);
    FD_SET(fd, &fds);
    timeval partial{0, 200000};  // a frame cut short is dropped after 200 ms
    const int ready = select(std::max(fd, wake_[0]) + 1, &fds, nullptr, nullptr,
                             have > 0 ? &partial : nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      ++badFrames_;
      have = 0;
      continue;
    }
    if (FD_ISSET(wake_[0], &fds)) {
      char buf[64];
      while (read(wake_[0], buf, sizeof buf) > 0) {
      }
    }
    if (!FD_ISSET(fd, &fds)) continue;
    const ssize_t n = read(fd, frame + have, sizeof frame - static_cast<size_t>(have));
    if (n <= 0) continue;
    have += static_cast<int>(n);
    // Read requests (functions 03 and 04) are 8 bytes.
    while (have >= 8) {
      const uint16_t crc = Crc16(frame, 6);
      if ((frame[1] != 3 && frame[1] != 4) || frame[6] != (crc & 0xFF) || frame[7] != (crc >> 8)) {
        ++badFrames_;
        have = 0;
        modbus_flush(ctx_);
        break;
      }
      Handle(frame, 8);
      std::memmove(frame, frame + 8, static_cast<size_t>(have - 8));
      have -= 8;
    }
  }
}

void ModbusSimServer::Handle(uint8_t* query, int length) {
  const int header = modbus_get_header_length(ctx_);
  const uint8_t unit = query[header - 1];
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = units_.find(unit);
  if (it == units_.end()) return;
  Unit& u = it->second;
  ++u.requests;
  if (u.silent) return;
  if (u.hook) u.hook(u.mapping->tab_registers, u.mapping->tab_input_registers);
  if (rtu_) modbus_set_slave(ctx_, unit);
  const Table table = query[header] == 4 ? Table::Input : Table::Holding;
  const int first = (query[header + 1] << 8) | query[header + 2];
  const int count = (query[header + 3] << 8) | query[header + 4];
  for (const auto& [t, address] : u.missing) {
    if (t == table && address >= first && address < first + count) {
      modbus_reply_exception(ctx_, query, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
      return;
    }
  }
  if (!u.published.empty() && !Published(u, table, first, count)) {
    modbus_reply_exception(ctx_, query, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    return;
  }
  modbus_reply(ctx_, query, length, u.mapping);
}

bool ModbusSimServer::Published(const Unit& u, Table table, int first, int count) {
  // Every register of the request in some published range.
  for (int address = first; address < first + count; ++address) {
    const bool known = std::any_of(u.published.begin(), u.published.end(), [&](const auto& p) {
      return p.first == table && address >= p.second.first && address < p.second.second;
    });
    if (!known) return false;
  }
  return true;
}

}  // namespace mbsim
