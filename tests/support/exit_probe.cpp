// A test program that ends itself in the ways a test may: test_harness runs it to see that
// an early end of the test process fails, and that children ending early do not.

#include <cstdlib>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

TEST(Probe, EndsTheProcess) { std::exit(0); }

TEST(Probe, EndsTheProcessFromAnotherThread) {
  std::thread([] { std::exit(0); }).join();
}

TEST(Probe, ForkedChildEnds) {
  const pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) std::exit(0);
  int Status = -1;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
}

TEST(ProbeDeathTest, FastChildEnds) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(std::exit(0), ::testing::ExitedWithCode(0), "");
}

TEST(ProbeDeathTest, ThreadsafeChildEnds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(0), ::testing::ExitedWithCode(0), "");
}

}  // namespace
