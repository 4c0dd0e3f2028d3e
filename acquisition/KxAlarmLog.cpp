#include "acquisition/KxAlarmLog.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "database/EDatabaseError.h"
#include "database/TmodDatabase.h"
#include "log/TFileLog.h"
#include "platform/Text.h"

namespace {

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The held events' file: one event a line, UTF-8,
// "class TAB date-in-ms TAB equipment TAB text". A line that does not read
// so is skipped. Every event read back is in doubt: the file may not have
// been emptied after they were inserted.
template <typename Event>
void ParseHeldLine(const std::string& line, std::deque<Event>& out) {
  std::istringstream in(line);
  long long classe = 0, ms = 0, equip = 0;
  char t1 = 0, t2 = 0, t3 = 0;
  if (!(in >> classe).get(t1) || !(in >> ms).get(t2) || !(in >> equip).get(t3) || t1 != '\t' ||
      t2 != '\t' || t3 != '\t')
    return;
  std::string texto;
  std::getline(in, texto);
  out.push_back(Event{static_cast<int32_t>(classe), dt::FromMSecs(ms), texto,
                      static_cast<int32_t>(equip), true});
}

// A text on one line of the file.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

}  // namespace

KxAlarmLog::KxAlarmLog(TFileLog* log, TmodDatabase* database, std::string heldPath)
    : heldPath_(std::move(heldPath)), Log(log), database_(database ? database : modDatabase) {
  if (heldPath_.empty()) return;
  std::ifstream in(FsPath(heldPath_), std::ios::binary);
  for (std::string line; held_.size() < kHeldEvents && std::getline(in, line);)
    ParseHeldLine(line, held_);
  fileHolds_ = !held_.empty();
}

std::string KxAlarmLog::HeldEventsPath(const std::string& logPath) {
  const size_t folder = logPath.find_last_of("/\\");
  const size_t dot = logPath.find_last_of('.');
  const bool hasExtension =
      dot != std::string::npos && (folder == std::string::npos || dot > folder + 1);
  return (hasExtension ? logPath.substr(0, dot) : logPath) + ".eventos";
}

KxAlarmeResult KxAlarmLog::Insert(const Event& e, std::string& failure) {
  try {
    if (!database_) throw std::runtime_error("no database module");
    database_->InsertAlarme(e.equipId, e.data, e.texto, e.classe);
    return KxAlarmeResult::Stored;
  } catch (const EDatabaseError& err) {
    failure = err.what();
    switch (err.Fault()) {
      case EDatabaseFault::ConnectionLost: return KxAlarmeResult::ConnectionLost;
      case EDatabaseFault::Refusal: return KxAlarmeResult::DatabaseRefusal;
      case EDatabaseFault::Record: break;
    }
  } catch (const std::exception& err) {
    failure = err.what();
  } catch (...) {
    failure = "erro desconhecido";
  }
  return KxAlarmeResult::Refused;
}

bool KxAlarmLog::AlreadyStored(const Event& e) {
  return e.inDoubt && database_ &&
         database_->CountAlarmeLog(e.equipId, e.data, e.classe, e.texto) > 0;
}

void KxAlarmLog::InsertHeldEvents() {
  while (!held_.empty()) {
    Event& e = held_.front();
    try {
      if (AlreadyStored(e)) {
        held_.pop_front();
        continue;
      }
    } catch (...) {
      return;  // still in doubt, still held
    }
    e.inDoubt = false;
    std::string failure;
    const KxAlarmeResult r = Insert(e, failure);
    if (r == KxAlarmeResult::ConnectionLost) {
      e.inDoubt = true;
      return;
    }
    if (r == KxAlarmeResult::DatabaseRefusal) return;
    held_.pop_front();  // stored, or refused for the row itself
  }
  if (fileHolds_) KeepHeldEventsLocked();
}

KxAlarmeResult KxAlarmLog::LogAlarme(int32_t classe, TDateTime data, const std::string& texto,
                                     int32_t equipId, KxAlarmeRetry retry,
                                     std::string* failureOut) {
  // One insert at a time, from the start of its transaction to the failure
  // line: three threads share AddAlarme and AlarmesTrans.
  std::lock_guard<TCriticalSection> lock(lock_);
  InsertHeldEvents();
  Event event{classe, data, texto, equipId};
  std::string failure;
  const KxAlarmeResult result = Insert(event, failure);
  if (result == KxAlarmeResult::Stored) return result;
  if (failureOut) *failureOut = failure;
  const bool notTheRow =
      result == KxAlarmeResult::ConnectionLost || result == KxAlarmeResult::DatabaseRefusal;
  const bool offeredAgain = notTheRow && retry == KxAlarmeRetry::Caller;
  if (notTheRow && retry == KxAlarmeRetry::Never && held_.size() < kHeldEvents) {
    event.inDoubt = result == KxAlarmeResult::ConnectionLost;
    held_.push_back(std::move(event));
  }
  try {
    if (Log && !offeredAgain)
      Log->WriteLine("AlarmLog: exceção ao inserir alarme [" + text::IntToStr(equipId) +
                     "]: " + failure);
  } catch (...) {
  }
  return result;
}

void KxAlarmLog::KeepHeldEvents() {
  std::lock_guard<TCriticalSection> lock(lock_);
  KeepHeldEventsLocked();
}

void KxAlarmLog::KeepHeldEventsLocked() {
  if (heldPath_.empty() || (held_.empty() && !fileHolds_)) return;
  std::string bytes;
  for (const Event& e : held_)
    bytes += std::to_string(e.classe) + "\t" + std::to_string(dt::ToMSecs(e.data)) + "\t" +
             std::to_string(e.equipId) + "\t" + OneLine(e.texto) + "\n";
  // Opened for writing and truncated, never replaced: the installed service
  // may write this file but not create one beside it.
  errno = 0;
  std::ofstream out(FsPath(heldPath_), std::ios::binary | std::ios::trunc);
  out << bytes;
  out.flush();
  // Whatever the outcome: a file that could not be emptied is harmless (what
  // it holds is looked up before it is inserted), and one that could not be
  // written is not tried again line after line.
  fileHolds_ = !held_.empty();
  if (out) return;
  const std::string why = errno != 0 ? std::strerror(errno) : "erro de escrita";
  try {
    if (Log)
      Log->WriteLine("AlarmLog: não foi possível gravar " + heldPath_ + " (" +
                     std::to_string(held_.size()) + " eventos pendentes): " + why);
  } catch (...) {
  }
}
