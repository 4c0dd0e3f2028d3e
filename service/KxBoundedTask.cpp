#include "service/KxBoundedTask.h"

#include <memory>

#include "log/TFileLog.h"

KxBoundedTask::KxBoundedTask(std::string name, std::function<void()> work, TFileLog* log)
    : TThread(KxClock::Real(), std::move(name)), work_(std::move(work)) {
  if (log) SetReportSink([log](const std::string& line) { log->WriteLine(line); });
  Start();
}

bool KxBoundedTask::Run(std::string name, std::function<void()> work,
                        std::chrono::milliseconds bound, TFileLog* log) {
  std::unique_ptr<KxBoundedTask> task(new KxBoundedTask(std::move(name), std::move(work), log));
  if (task->WaitFor(bound)) return true;
  task->Abandon();
  task.release();  // still running: never freed
  return false;
}

void KxBoundedTask::Execute() { work_(); }
