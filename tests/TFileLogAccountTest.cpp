// The log's restart as the installed service's own account (Linux): the
// account may write its log but nothing beside it. Windows proves the same
// under its service account in tests/windows/ServiceAccountTest.cpp.
#include "log/TFileLog.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/ProcUtil.h"

namespace {

const std::string kStart = "-------------------- LOG Started!";
const std::string kStop = "==================== LOG Stopped!";
const std::string kRestart = "-------------------- LOG Re-started!";

std::vector<std::string> Texts(const std::string& bytes) {
  std::vector<std::string> out;
  for (const auto& l : proc::SplitCrLf(bytes)) out.push_back(proc::LineText(l));
  return out;
}

// A file that the start banner and `text` take exactly to the limit.
void Prefill(const std::string& path, const std::string& text) {
  const auto lineBytes = [](const std::string& t) { return 19 + 1 + t.size() + 2; };
  proc::WriteFile(path, std::string(TFileLog::kMaxSize - lineBytes(kStart) - lineBytes(text), 'x'));
}

// The installed service runs as an account of its own that may write its
// log but not the log's folder (the unit makes the file writable, nothing
// beside it). The restart needs nothing more: in a process that has become
// such an account, the log restarts in place and its hold is kept all along.
TEST(TFileLog, RestartsWithNoRightButWritingTheFileItself) {
  if (::geteuid() != 0) GTEST_SKIP() << "becoming another account needs root";
  const passwd* pw = ::getpwnam("nobody");
  ASSERT_NE(pw, nullptr);
  const uid_t uid = pw->pw_uid;
  const gid_t gid = pw->pw_gid;
  proc::TempDir dir;
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);  // root's: others may only look in
  const std::string path = dir / "Telvane.log";
  const std::string text(100, 'a');
  Prefill(path, text);
  ASSERT_EQ(::chown(path.c_str(), uid, gid), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);

  int restarted[2], checked[2];
  ASSERT_EQ(::pipe(restarted), 0);
  ASSERT_EQ(::pipe(checked), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The service's side. No assertion here: the exit status tells.
    ::close(restarted[0]);
    ::close(checked[1]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(10);
    if (::access(dir.Path().c_str(), W_OK) == 0) ::_exit(11);
    try {
      TFileLog log(path);
      log.WriteLine(text);  // reaches the limit: restart
      char c = 'r';
      if (::write(restarted[1], &c, 1) != 1 || ::read(checked[0], &c, 1) != 1) ::_exit(12);
      log.WriteLine("depois");
    } catch (...) {
      ::_exit(13);
    }
    ::_exit(0);
  }
  ::close(restarted[1]);
  ::close(checked[0]);
  char c = 0;
  const bool reached = ::read(restarted[0], &c, 1) == 1;
  ::close(restarted[0]);
  ASSERT_TRUE(reached) << "the child ended before the restart";
  // Restarted: only the banner, and the file still held by the child.
  EXPECT_EQ(Texts(proc::ReadFile(path)), std::vector<std::string>{kRestart});
  EXPECT_THROW(TFileLog{path}, std::runtime_error);
  EXPECT_FALSE(proc::FileExists(path + ".new"));
  EXPECT_EQ(::write(checked[1], &c, 1), 1);
  ::close(checked[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(proc::ExitCode(status), 0);
  EXPECT_EQ(Texts(proc::ReadFile(path)),
            (std::vector<std::string>{kRestart, "depois", kStop, "", ""}));
}

}  // namespace
