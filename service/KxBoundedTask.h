// One piece of work run on a thread of its own and awaited within a bound.
//
// For the stop's last database work: the client library has no timeout on
// an attachment whose server stops answering (a frozen server holds a
// statement, a commit or a detach for ever), and a worker left stuck in such
// a call may hold the attachment's lock as well. The stop must end all the
// same; the next start reads the truth from the database.
//
// Contract: Run() is called from the thread that stops the service. The work
// runs on the task's thread and must own, by value, all it uses: when the
// bound passes first, the task is abandoned (TThread::Abandon) and neither
// its object nor the work, nor anything the work captured, is ever freed;
// the caller must then free nothing the work may still reach, and the
// process ends without its static destructors. An exception escaping the
// work ends it with one line in the log.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/TThread.h"

class TFileLog;

class KxBoundedTask : public TThread {
 public:
  // Runs `work` on a thread named `name`; true when it ended within `bound`
  // (the task is freed then), false when it was abandoned. `log` may be null.
  static bool Run(std::string name, std::function<void()> work, std::chrono::milliseconds bound,
                  TFileLog* log);

 protected:
  void Execute() override;

 private:
  KxBoundedTask(std::string name, std::function<void()> work, TFileLog* log);

  std::function<void()> work_;
};
