// Platform layer: the executable's folder and the detection of a manual
// change of the system clock.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include "platform/ExePath.h"
#include "platform/TimeChangeWatch.h"
#include "support/ProcClock.h"

namespace {

TEST(ExePath, ExtractFolder) {
  struct Case {
    std::string path, folder;
  };
  const std::vector<Case> cases = {
      {"/opt/telvane/telvane", "/opt/telvane"},
      {"/telvane", ""},
      {"/a b/c%d/telvane", "/a b/c%d"},
      {"telvane", ""},
      {"/opt/telvane/", "/opt/telvane"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::ExtractFolder(c.path), c.folder) << c.path;
}

TEST(ExePath, IsTheRunningProgram) {
  const std::string exe = platform::ExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe[0], '/');
  char resolved[PATH_MAX];
  ASSERT_NE(::realpath("/proc/self/exe", resolved), nullptr);
  EXPECT_EQ(exe, resolved);
  EXPECT_EQ(platform::ExecutableFolder() + exe.substr(exe.find_last_of('/')), exe);

  // Independent of the current directory.
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir("/"), 0);
  EXPECT_EQ(platform::ExecutablePath(), exe);
  ASSERT_EQ(::chdir(cwd), 0);
}

bool Readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) == 1;
}

TEST(TimeChangeWatch, SeesEverySettingOfTheClock) {
  KxTimeChangeWatch watch;
  EXPECT_FALSE(Readable(watch.Handle(), 0));
  EXPECT_FALSE(watch.ClockWasSet());

  std::string why;
  if (!proc::SetClockToNow(why)) GTEST_SKIP() << "cannot set the system clock here: " << why;
  ASSERT_TRUE(Readable(watch.Handle(), 5000));
  EXPECT_TRUE(watch.ClockWasSet());
  // Consumed and armed again: quiet until the next change, then seen again.
  EXPECT_FALSE(Readable(watch.Handle(), 50));
  EXPECT_FALSE(watch.ClockWasSet());
  ASSERT_TRUE(proc::SetClockToNow(why)) << why;
  ASSERT_TRUE(Readable(watch.Handle(), 5000));
  EXPECT_TRUE(watch.ClockWasSet());
}

TEST(TimeChangeWatch, ElapsingTimeIsNoChange) {
  KxTimeChangeWatch watch;
  ::usleep(100000);
  EXPECT_FALSE(Readable(watch.Handle(), 0));
  EXPECT_FALSE(watch.ClockWasSet());
}

}  // namespace
