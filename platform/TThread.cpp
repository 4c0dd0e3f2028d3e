#include "platform/TThread.h"

TThread::TThread(KxClock& clock) : clock_(clock) {}

TThread::~TThread() {
  if (thread_.joinable()) {
    Terminate();
    thread_.join();
  }
}

void TThread::Start() { thread_ = std::thread(&TThread::Run, this); }

void TThread::Run() {
  try {
    Execute();
  } catch (...) {
    // A thread that dies of an exception just ends.
  }
  finished_.store(true);
}

void TThread::Terminate() {
  terminated_.store(true);
  wakeup_.Signal();
}

void TThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TThread::Sleep(unsigned ms) { clock_.Sleep(ms, wakeup_); }
