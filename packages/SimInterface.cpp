// SimInterface: a simulated communication interface.
//
// One object per INTERFACES row. Its CONFIGS bytes are text, one "key=value"
// setting per line (see sim/SimConfig.h for the syntax). Keys of the
// interface itself:
//   latency_ms=N       each exchange waits N ms (default 0)
//   fail_configure=1   Configure returns false (so the service never opens it)
//   throw_configure=1  Configure raises an error
//   fail_open=1        Open returns false
//   throw_open=1       Open raises an error
//   offline=1          every exchange fails (the meters on it lose communication)
// Other keys are left to the drivers that use the interface (SimMeter reads
// its own from the same text, see docs/SimMeter.md); the interface ignores them.
//
// Exchange (slot 0) answers sim::kRequestConfig with the CONFIGS text and
// echoes anything else after the latency, failing when the interface is not
// open or is off line. Every operation is thread-safe.
//
// Functions for tests (unmangled):
//   int32_t SimInterface_CloseCount(int32_t interfaceId)  Close calls so far
//   int32_t SimInterface_OpenCount(int32_t interfaceId)   successful Opens so far
//   int32_t SimInterface_Alive()                           objects not yet destroyed
//   int32_t SimInterface_Control(int32_t interfaceId, const char* settings)
//       applies "latency_ms=N" / "offline=0|1" lines to the live interfaces
//       with that id; returns how many were changed.
//   void SimInterface_ResetCounters()
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "packages/sim/SimConfig.h"
#include "packages/sim/SimProtocol.h"
#include "plugins/TelvaneSdk.h"

namespace {

class SimInterface;

std::mutex g_mutex;  // guards everything below
std::vector<SimInterface*> g_live;
std::map<int32_t, int32_t> g_closes;
std::map<int32_t, int32_t> g_opens;

class SimInterface : public KxInterface {
 public:
  explicit SimInterface(KxPackageLog* log) : log_(log) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_live.push_back(this);
  }
  ~SimInterface() override {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_live.erase(std::remove(g_live.begin(), g_live.end(), this), g_live.end());
  }

  int Exchange(const void* request, int32_t requestSize, void* reply,
               int32_t replyCapacity) override {
    std::string req;
    if (request != nullptr && requestSize > 0)
      req.assign(static_cast<const char*>(request), static_cast<size_t>(requestSize));
    std::string answer;
    if (req == sim::kRequestConfig) {
      std::lock_guard<std::mutex> lock(mutex_);
      answer = config_;
    } else {
      if (!open_.load() || offline_.load()) return -1;
      const int latency = latencyMs_.load();
      if (latency > 0) std::this_thread::sleep_for(std::chrono::milliseconds(latency));
      if (!open_.load() || offline_.load()) return -1;
      answer = req;
    }
    if (reply != nullptr && replyCapacity > 0)
      std::memcpy(reply, answer.data(),
                  std::min(answer.size(), static_cast<size_t>(replyCapacity)));
    return static_cast<int>(answer.size());
  }

  bool Configure(const uint8_t* bytes, int32_t count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    // The bytes are the caller's: keep a copy.
    config_.assign(bytes != nullptr && count > 0 ? reinterpret_cast<const char*>(bytes) : "",
                   bytes != nullptr && count > 0 ? static_cast<size_t>(count) : 0);
    bool failConfigure = false, throwConfigure = false;
    for (const auto& [key, value] : sim::ParseSettings(config_)) {
      long long n = 0;
      const bool isInt = sim::ParseInt(value, n);
      if (key == "latency_ms" && isInt) latencyMs_ = static_cast<int>(std::clamp(n, 0LL, 600000LL));
      else if (key == "fail_configure") failConfigure = isInt && n != 0;
      else if (key == "throw_configure") throwConfigure = isInt && n != 0;
      else if (key == "fail_open") failOpen_ = isInt && n != 0;
      else if (key == "throw_open") throwOpen_ = isInt && n != 0;
      else if (key == "offline") offline_ = isInt && n != 0;
    }
    if (throwConfigure) throw std::runtime_error("SimInterface: falha simulada em Configure");
    return !failConfigure;
  }

  bool Open() override {
    if (throwOpen_) throw std::runtime_error("SimInterface: falha simulada em Open");
    if (failOpen_) return false;
    open_ = true;
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_opens[InterfaceId];
    return true;
  }

  void Close() override {
    open_ = false;
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_closes[InterfaceId];
  }

  // Runtime settings from tests (called with g_mutex held).
  void Control(const std::string& settings) {
    for (const auto& [key, value] : sim::ParseSettings(settings)) {
      long long n = 0;
      if (!sim::ParseInt(value, n)) continue;
      if (key == "latency_ms") latencyMs_ = static_cast<int>(std::clamp(n, 0LL, 600000LL));
      else if (key == "offline") offline_ = n != 0;
    }
  }

 private:
  KxPackageLog* log_;  // the service's log; not used for now
  std::mutex mutex_;   // guards config_
  std::string config_;
  std::atomic<int> latencyMs_{0};
  std::atomic<bool> open_{false};
  std::atomic<bool> offline_{false};
  std::atomic<bool> failOpen_{false};
  std::atomic<bool> throwOpen_{false};
};

}  // namespace

TELVANE_EXPORT KxInterface* _CreateInterface(KxPackageLog* log) { return new SimInterface(log); }

TELVANE_EXPORT int32_t SimInterface_CloseCount(int32_t interfaceId) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_closes.find(interfaceId);
  return it == g_closes.end() ? 0 : it->second;
}

TELVANE_EXPORT int32_t SimInterface_OpenCount(int32_t interfaceId) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_opens.find(interfaceId);
  return it == g_opens.end() ? 0 : it->second;
}

TELVANE_EXPORT int32_t SimInterface_Alive() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return static_cast<int32_t>(g_live.size());
}

TELVANE_EXPORT int32_t SimInterface_Control(int32_t interfaceId, const char* settings) {
  std::lock_guard<std::mutex> lock(g_mutex);
  int32_t changed = 0;
  for (SimInterface* item : g_live) {
    if (item->InterfaceId != interfaceId) continue;
    item->Control(settings != nullptr ? settings : "");
    ++changed;
  }
  return changed;
}

TELVANE_EXPORT void SimInterface_ResetCounters() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_closes.clear();
  g_opens.clear();
}
