// The service's one text log.
//
// One line per WriteLine: "dd/mm/yyyy hh:mm:ss", TAB, the text, CR LF, in
// Windows-1252 bytes, each piece written straight to the file (no buffering).
// Line breaks inside the text become spaces, so every line has its timestamp.
// The file starts afresh, empty, once it reaches 5,242,880 bytes (how each
// system does it: platform/LogFile.h). Thread safety: WriteLine may be
// called from any thread; a re-entrant lock makes each line one unit.
#pragma once

#include <memory>
#include <string>

#include "platform/TCriticalSection.h"
#include "plugins/TelvaneSdk.h"

class TFileLog : public KxPackageLog {
 public:
  static constexpr long long kMaxSize = 5242880;

  // Opens or creates the file and appends to it; writes the start banner.
  // Throws std::runtime_error when the file can be neither opened nor
  // created, or when another open log (another process) holds it: the file
  // is locked exclusively while open, others may only read it.
  explicit TFileLog(const std::string& path);
  TFileLog(const TFileLog&) = delete;
  TFileLog& operator=(const TFileLog&) = delete;
  // Writes the stop banner and closes the file.
  ~TFileLog() override;
  // The same, ahead of the destructor: later lines are dropped. For a
  // process that must end while a thread it abandoned may still write.
  void Close();

  // `text` is UTF-8. Never reports failure.
  virtual void WriteLine(const std::string& text);
  // For the packages: UTF-16 text.
  void WriteLine(const std::u16string& text) override;

  const std::string& Path() const { return path_; }

 private:
  struct File;
  std::string path_;
  TCriticalSection lock_;
  std::unique_ptr<File> file_;  // guarded by lock_
};
