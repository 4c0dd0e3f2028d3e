#include "packages/fieldbus/PeriodSampler.h"

#include <chrono>
#include <string>

namespace fb {

void PeriodSampler::Start(SampleJournal* journal, RoundFn round) {
  journal_ = journal;
  round_ = std::move(round);
  thread_ = std::thread([this] { Run(); });
}

void PeriodSampler::Stop() {
  {
    std::lock_guard<std::mutex> lock(waitMutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PeriodSampler::Run() {
  int64_t handled = StartingBoundary();
  bool first = true;
  std::unique_lock<std::mutex> lock(waitMutex_);
  while (!stop_) {
    const int64_t now = LocalNowMs();
    const int64_t boundary = FloorDiv(now, periodMs_) * periodMs_;
    if (boundary != handled) {
      // One before the last one handled: the clock was set back, and the
      // journal may have this boundary already.
      const bool setBack = boundary < handled;
      handled = boundary;
      if (setBack) {
        lock.unlock();
        const bool holds = Holds(boundary);
        lock.lock();
        if (holds) continue;
      }
      const int64_t late = now - boundary;
      if (late <= std::min<int64_t>(periodMs_ / 2, kMsPerMinute)) {
        lock.unlock();
        const bool unblocked = Unblocked(boundary);
        if (unblocked) round_(boundary);
        lock.lock();
        Note(unblocked ? Outcome::Handled : Outcome::Blocked, boundary, 0);
        continue;
      }
      if (!first) Note(Outcome::Late, boundary, late);
    }
    first = false;
    const int64_t wait = std::min<int64_t>(boundary + periodMs_ - now, 1000);
    wake_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(wait, 1)),
                   [this] { return stop_.load(); });
  }
}

// The boundary of the journal's newest record at the start (it is not
// sampled again). Records dated after the clock are moved aside first, so
// that the clock's own boundaries are sampled at once.
int64_t PeriodSampler::StartingBoundary() {
  const int64_t now = LocalNowMs();
  if (journal_->LastDateMs() > now) journal_->SetAsideAhead(now);
  return FloorDiv(std::min(journal_->LastDateMs(), now), periodMs_) * periodMs_;
}

// Whether the journal has `boundary` already, once records dated after the
// clock are moved aside.
bool PeriodSampler::Holds(int64_t boundary) {
  const int64_t now = LocalNowMs();
  if (journal_->LastDateMs() > now) journal_->SetAsideAhead(now);
  const int64_t newest = journal_->LastDateMs();
  return boundary <= newest && newest <= now;
}

// Nothing in the journal at or after `boundary`: records dated after the
// clock are moved aside; a newer record that is not (a reading that lasted
// past this boundary) leaves it unread.
bool PeriodSampler::Unblocked(int64_t boundary) {
  if (boundary > journal_->LastDateMs()) return true;
  const int64_t now = LocalNowMs();
  return journal_->LastDateMs() > now && journal_->SetAsideAhead(now) && boundary > journal_->LastDateMs();
}

void PeriodSampler::Note(Outcome outcome, int64_t boundary, int64_t late) {
  if (outcome == Outcome::Late && late_.Skipped())
    log_("amostra de " + FormatMs(boundary) + " não lida: atraso de " + std::to_string(late / kMsPerSecond) +
         " s");
  if (outcome == Outcome::Blocked && blocked_.Skipped())
    log_("amostra de " + FormatMs(boundary) +
         " não lida: o diário já tem registros posteriores (leitura anterior demorada ou "
         "relógio do computador atrasado)");
  if (const int64_t n = outcome != Outcome::Late ? late_.Clean() : 0)
    log_("fim das amostras não lidas por atraso" + FailureRun::Times(n, "amostra(s)"));
  if (const int64_t n = outcome != Outcome::Blocked ? blocked_.Clean() : 0)
    log_("fim das amostras não lidas por registros posteriores no diário" + FailureRun::Times(n, "amostra(s)"));
}

}  // namespace fb
