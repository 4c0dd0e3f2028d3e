#include "platform/TThread.h"

#include <iostream>

#include "platform/ExceptionMessage.h"

namespace {

std::atomic<int> g_abandoned{0};

}  // namespace

TThread::TThread(KxClock& clock, std::string name) : clock_(clock), name_(std::move(name)) {}

TThread::~TThread() {
  if (thread_.joinable()) {
    Terminate();
    thread_.join();
  }
}

void TThread::Start() { thread_ = std::thread(&TThread::Run, this); }

void TThread::SetReportSink(std::function<void(const std::string& line)> sink) {
  sink_ = std::move(sink);
}

void TThread::Run() {
  try {
    Execute();
  } catch (...) {
    // A thread never dies in silence: whoever reads the log must learn that
    // this part of the service no longer runs.
    const std::string line = name_ + ": thread encerrada por exceção: " + CurrentExceptionMessage();
    try {
      if (sink_)
        sink_(line);
      else
        std::cerr << line << std::endl;
    } catch (...) {
    }
  }
  {
    std::lock_guard<std::mutex> lock(endMutex_);
    finished_.store(true);
  }
  endCv_.notify_all();
}

void TThread::Terminate() {
  terminated_.store(true);
  wakeup_.Signal();
}

void TThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool TThread::WaitFor(std::chrono::milliseconds timeout) {
  if (!thread_.joinable()) return true;
  if (thread_.get_id() == std::this_thread::get_id()) return false;
  {
    std::unique_lock<std::mutex> lock(endMutex_);
    if (!endCv_.wait_for(lock, timeout, [this] { return finished_.load(); })) return false;
  }
  thread_.join();  // Run() is past its last statement
  return true;
}

void TThread::Abandon() { g_abandoned.fetch_add(1); }

int TThread::AbandonedCount() { return g_abandoned.load(); }

void TThread::Sleep(unsigned ms) {
  Beat();
  clock_.Sleep(ms, wakeup_);
}
