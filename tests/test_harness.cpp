// The test programs' own main: a test that ends the process early fails, whatever the exit
// code, while forked children and death tests end as they like.

#include <cstdio>
#include <string>

#include <sys/wait.h>

#include <gtest/gtest.h>

namespace {

struct TRun {
  int Status = -1;
  std::string Output;
};

TRun RunProbe(const std::string &AFilter) {
  TRun Run;
  const std::string Command = std::string(VANTORAMA_EXIT_PROBE) + " --gtest_filter='" + AFilter + "' 2>&1";
  FILE *Pipe = popen(Command.c_str(), "r");
  if (!Pipe) {
    ADD_FAILURE() << "cannot start " << Command;
    return Run;
  }
  char Buffer[4096];
  for (size_t N; (N = std::fread(Buffer, 1, sizeof Buffer, Pipe)) > 0;) Run.Output.append(Buffer, N);
  Run.Status = pclose(Pipe);
  return Run;
}

TEST(TestMain, AnEarlyEndOfTheTestProcessFails) {
  for (const char *Name : {"Probe.EndsTheProcess", "Probe.EndsTheProcessFromAnotherThread"}) {
    SCOPED_TRACE(Name);
    const TRun Run = RunProbe(Name);
    ASSERT_TRUE(WIFEXITED(Run.Status)) << Run.Output;
    EXPECT_EQ(WEXITSTATUS(Run.Status), 1) << Run.Output;
    EXPECT_NE(Run.Output.find(std::string("ended early, in ") + Name), std::string::npos) << Run.Output;
  }
}

TEST(TestMain, ChildrenAndDeathTestsMayEndEarly) {
  const TRun Run = RunProbe("Probe.ForkedChildEnds:ProbeDeathTest.*");
  ASSERT_TRUE(WIFEXITED(Run.Status)) << Run.Output;
  EXPECT_EQ(WEXITSTATUS(Run.Status), 0) << Run.Output;
  EXPECT_NE(Run.Output.find("[  PASSED  ] 3 tests."), std::string::npos) << Run.Output;
  EXPECT_EQ(Run.Output.find("ended early"), std::string::npos) << Run.Output;
}

}  // namespace
