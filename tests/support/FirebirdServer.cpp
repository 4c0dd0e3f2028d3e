#include "support/FirebirdServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

constexpr const char* kGuard = "/usr/sbin/fbguard";
constexpr const char* kServer = "/usr/sbin/firebird";

}  // namespace

FirebirdServer::~FirebirdServer() {
  if (frozen_) Thaw();
  if (down_) Start();
}

void FirebirdServer::Kill() {
  down_ = true;
  std::system(("(sleep 60; pgrep -x fbguard >/dev/null || { " + StartCommand() +
               "; }) >/dev/null 2>&1 &")
                  .c_str());
  for (const char* exe : {kGuard, kServer})
    for (pid_t pid : Pids(exe)) kill(pid, SIGKILL);
  for (int i = 0; i < 200 && PortAnswers(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

bool FirebirdServer::Start(const FbConnectParams* probe) {
  down_ = false;
  if (Pids(kGuard).empty()) std::system(StartCommand().c_str());
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < end) {
    if (PortAnswers()) {
      if (!probe) return true;
      try {
        FbConnection conn(*probe);
        return true;
      } catch (const std::exception&) {
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void FirebirdServer::Freeze(int safetySeconds) {
  frozen_ = true;
  const std::vector<pid_t> pids = Pids(kServer);
  std::string list;
  for (pid_t pid : pids) list += " " + std::to_string(pid);
  std::system(("(sleep " + std::to_string(safetySeconds) + "; kill -CONT" + list +
               ") >/dev/null 2>&1 &")
                  .c_str());
  for (pid_t pid : pids) kill(pid, SIGSTOP);
}

void FirebirdServer::Thaw() {
  frozen_ = false;
  for (pid_t pid : Pids(kServer)) kill(pid, SIGCONT);
}

bool FirebirdServer::PortAnswers() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(3050);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

std::string FirebirdServer::StartCommand() {
  return "mkdir -p /run/firebird3.0; chown firebird:firebird /run/firebird3.0; "
         "su -s /bin/sh firebird -c '/usr/sbin/fbguard -daemon -forever'";
}

std::vector<pid_t> FirebirdServer::Pids(const std::string& exe) {
  std::vector<pid_t> out;
  std::error_code ec;
  const auto ownNs = std::filesystem::read_symlink("/proc/self/ns/pid", ec);
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ec2;
    const auto target = std::filesystem::read_symlink(entry.path() / "exe", ec2);
    if (ec2 || target != exe) continue;
    const auto ns = std::filesystem::read_symlink(entry.path() / "ns" / "pid", ec2);
    if (ec2 || ns != ownNs) continue;
    out.push_back(static_cast<pid_t>(std::stoi(name)));
  }
  return out;
}
