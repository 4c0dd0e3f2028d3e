#include "log/TFileLog.h"

#include <mutex>
#include <stdexcept>

#include "platform/DateTime.h"
#include "platform/LogFile.h"
#include "platform/Text.h"

namespace {

constexpr char kStartBanner[] = "-------------------- LOG Started!";
constexpr char kStopBanner[] = "==================== LOG Stopped!\r\n\r\n";
constexpr char kRestartBanner[] = "-------------------- LOG Re-started!";

// A text with line breaks (the server's messages carry them) stays on its
// own timestamped line: every CR, LF or CR LF becomes one space.
std::string OneLine(const std::string& text) {
  if (text.find_first_of("\r\n") == std::string::npos) return text;
  std::string line;
  line.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      line += ' ';
    } else {
      line += text[i];
    }
  }
  return line;
}

}  // namespace

struct TFileLog::File {
  // Open from the constructor until Close().
  std::unique_ptr<KxLogFile> file;
  // True while a restart writes its banner: that line never restarts again.
  bool restarting = false;
};

TFileLog::TFileLog(const std::string& path) : path_(path), file_(std::make_unique<File>()) {
  try {
    file_->file = std::make_unique<KxLogFile>(path_);
  } catch (const ELogFileInUse&) {
    throw std::runtime_error("O arquivo de log " + path_ +
                             " está em uso por outro processo (outra instância do serviço?)");
  } catch (const std::exception& e) {
    throw std::runtime_error("Não foi possível abrir o arquivo de log " + path_ + ": " + e.what());
  }
  WriteLine(kStartBanner);
}

TFileLog::~TFileLog() { Close(); }

void TFileLog::Close() {
  std::lock_guard<TCriticalSection> guard(lock_);
  if (file_ && file_->file) {
    // Written directly: the stop banner never triggers a restart.
    file_->file->Append(text::ToCp1252(dt::FormatLong(dt::SystemNow()) + "\t" + kStopBanner));
    file_->file->Append("\r\n");
    file_->file.reset();
  }
}

void TFileLog::WriteLine(const std::u16string& text) { WriteLine(text::FromUtf16(text)); }

void TFileLog::WriteLine(const std::string& text) {
  std::lock_guard<TCriticalSection> guard(lock_);
  File& f = *file_;
  if (!f.file) return;

  f.file->Append(text::ToCp1252(dt::FormatLong(dt::SystemNow()) + "\t"));
  f.file->Append(text::ToCp1252(OneLine(text)));
  f.file->Append("\r\n");

  if (f.restarting || f.file->Size() < kMaxSize) return;

  // Restart: the old content is discarded and the file starts afresh. When
  // that cannot be done the log goes on appending to the old file (the next
  // line tries again).
  if (!f.file->Restart()) return;
  f.restarting = true;
  WriteLine(kRestartBanner);
  f.restarting = false;
}
