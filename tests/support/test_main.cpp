// The test programs' main. The kit ends the process with exit(0) on a lost carrier, an idle
// limit or the usage screen; a test that drives such code in-process by mistake would end
// the program with status 0 half-way through, and ctest would count it passed. Here any
// exit of the test process itself while the tests run turns into a failure status.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// The test process's id while its tests run; 0 before and after. Children started with
// fork (doors, callers) see another pid and end as they please.
pid_t GRunningPid = 0;

void FailPrematureExit() {
  if (GRunningPid == 0 || GRunningPid != getpid()) return;
  const ::testing::TestInfo *Test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::fflush(stdout);
  std::fprintf(stderr, "\nThe test program ended early, in %s%s%s: a failure, whatever its exit code\n",
               Test ? Test->test_suite_name() : "no test", Test ? "." : "", Test ? Test->name() : "");
  std::fflush(stderr);
  _exit(1);
}

}  // namespace

int main(int argc, char **argv) {
  // A death test's child, re-run by gtest for the threadsafe style, is meant to end early.
  bool DeathTestChild = false;
  for (int I = 1; I < argc; I++)
    if (std::strncmp(argv[I], "--gtest_internal_run_death_test", 31) == 0) DeathTestChild = true;
  ::testing::InitGoogleTest(&argc, argv);
  if (!DeathTestChild) {
    std::atexit(FailPrematureExit);
    GRunningPid = getpid();
  }
  const int Status = RUN_ALL_TESTS();
  GRunningPid = 0;
  return Status;
}
