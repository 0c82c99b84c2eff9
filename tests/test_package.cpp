// The Debian packages as a sysop gets them: what they hold against the install rules, their
// control fields, lintian's verdict, and the door installed with dpkg into a scratch root (no
// container): its usage screen on a terminal, a short show over loopback, the test board in
// its three modes, and removal leaving the root as it was.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "boards/board.h"
#include "vtscreen.h"

namespace {

namespace fs = std::filesystem;
using boards::TBoardRun;
using boards::TChild;
using boards::TTelnetCaller;

std::string ReadFile(const std::string &APath) {
  std::ifstream In(APath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

// Runs a program to its end; its exit code, or -1 if it did not start or end in time.
int RunProgram(const std::vector<std::string> &AArgs, std::string *ALog = nullptr, int ATimeoutMs = 120000) {
  TChild Child;
  if (!Child.Start(AArgs, "") || !Child.Wait(ATimeoutMs)) return -1;
  if (ALog) *ALog = Child.Log;
  return WIFEXITED(Child.Status) ? WEXITSTATUS(Child.Status) : -1;
}

std::string Output(const std::vector<std::string> &AArgs) {
  std::string Log;
  EXPECT_EQ(RunProgram(AArgs, &Log), 0) << Log;
  while (!Log.empty() && Log.back() == '\n') Log.pop_back();
  return Log;
}

// Files (not folders) under ARoot, as paths relative to it.
std::set<std::string> FilesUnder(const std::string &ARoot) {
  std::set<std::string> Files;
  for (const auto &E : fs::recursive_directory_iterator(ARoot))
    if (!E.is_directory()) Files.insert(fs::relative(E.path(), ARoot).string());
  return Files;
}

// The files a package holds, as paths below its root ("usr/bin/vantorama").
std::set<std::string> PackageFiles(const std::string &ADeb) {
  std::set<std::string> Files;
  std::istringstream In(Output({VANTORAMA_DPKG_DEB, "--contents", ADeb}));
  for (std::string Line; std::getline(In, Line);) {
    const size_t At = Line.find(" ./");
    if (At != std::string::npos && Line.back() != '/') Files.insert(Line.substr(At + 3));
  }
  return Files;
}

std::string Field(const std::string &ADeb, const std::string &AName) {
  return Output({VANTORAMA_DPKG_DEB, "-f", ADeb, AName});
}

// The names of the packages ADeb depends on, without versions.
std::vector<std::string> DependsOf(const std::string &ADeb) {
  std::vector<std::string> Names;
  std::istringstream In(Field(ADeb, "Depends"));
  for (std::string Dep; std::getline(In, Dep, ',');) {
    const size_t B = Dep.find_first_not_of(' ');
    if (B != std::string::npos) Names.push_back(Dep.substr(B, Dep.find_first_of(" (", B) - B));
  }
  return Names;
}

struct TPackage {
  const char *Name;
  const char *Component;
  std::string Deb;
};

// The packages built for this test run (the package_build test makes them).
std::vector<TPackage> &Packages() {
  static std::vector<TPackage> P = {{"vantorama", "runtime", ""}, {"libdoorkit-dev", "dev", ""}};
  return P;
}

class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (TPackage &P : Packages()) {
      P.Deb.clear();
      if (fs::is_directory(VANTORAMA_PACKAGE_DIR))
        for (const auto &E : fs::directory_iterator(VANTORAMA_PACKAGE_DIR))
          if (E.path().filename().string().starts_with(std::string(P.Name) + "_") && E.path().extension() == ".deb")
            P.Deb = E.path().string();
      ASSERT_FALSE(P.Deb.empty()) << "no " << P.Name << " package in " << VANTORAMA_PACKAGE_DIR
                                  << " (ctest builds it first: run the tests through ctest)";
    }
  }
};

// An empty root with a dpkg database of its own. With ADependencies, the database knows the
// packages ours depend on, as this machine has them installed (their files are the
// machine's own, outside the root), so dpkg checks the door's dependencies for real.
struct TScratchRoot {
  TTempDir Dir;
  std::string Admin = Dir.Path + "/var/lib/dpkg";

  explicit TScratchRoot(bool ADependencies) {
    fs::create_directories(Admin + "/info");
    fs::create_directories(Admin + "/updates");
    std::set<std::string> Deps;
    for (const TPackage &P : Packages())
      for (const std::string &Name : DependsOf(P.Deb)) Deps.insert(Name);
    for (const TPackage &P : Packages()) Deps.erase(P.Name);
    std::string Status;
    for (const std::string &Name : ADependencies ? Deps : std::set<std::string>{}) {
      Status += Output({VANTORAMA_DPKG_QUERY, "-s", Name}) + "\n\n";
      std::ofstream(Admin + "/info/" + Output({VANTORAMA_DPKG_QUERY, "-W", "-f=${binary:Package}", Name}) + ".list");
    }
    std::ofstream(Admin + "/status") << Status;
  }

  int Dpkg(std::vector<std::string> AArgs, std::string *ALog = nullptr) {
    std::vector<std::string> Args = {VANTORAMA_DPKG, "--root=" + Dir.Path, "--log=/dev/null"};
    if (geteuid() != 0) Args.push_back("--force-not-root");
    Args.insert(Args.end(), AArgs.begin(), AArgs.end());
    return RunProgram(Args, ALog);
  }

  bool InstallAll() {
    std::vector<std::string> Args = {"-i"};
    for (const TPackage &P : Packages()) Args.push_back(P.Deb);
    std::string Log;
    const int Code = Dpkg(Args, &Log);
    EXPECT_EQ(Code, 0) << Log;
    return Code == 0;
  }

  // What dpkg knows of APackage in this root ("install ok installed"); empty: nothing.
  std::string Status(const std::string &APackage) {
    std::string Log;
    return RunProgram({VANTORAMA_DPKG_QUERY, "--admindir=" + Admin, "-W", "-f=${Status}", APackage}, &Log) == 0 ? Log
                                                                                                            : "";
  }

  std::string Door() const { return Dir.Path + "/usr/bin/vantorama"; }
  std::string PictureFolder() const { return Dir.Path + "/usr/share/vantorama"; }
};

// Every file the install rules lay down, and nothing else, is in the package of its
// component; only these two packages are made.
TEST_F(PackageTest, PackagesHoldWhatTheInstallRulesList) {
  size_t Debs = 0;
  for (const auto &E : fs::directory_iterator(VANTORAMA_PACKAGE_DIR)) Debs += E.path().extension() == ".deb";
  EXPECT_EQ(Debs, Packages().size());
  for (const TPackage &P : Packages()) {
    SCOPED_TRACE(P.Name);
    TTempDir Prefix;
    std::string Log;
    ASSERT_EQ(RunProgram({VANTORAMA_CMAKE, "--install", VANTORAMA_BUILD_DIR, "--component", P.Component, "--prefix",
                   Prefix.Path + "/usr"},
                  &Log),
              0)
        << Log;
    // The package keeps the manual pages gzipped, as Debian does.
    std::set<std::string> Installed;
    for (const std::string &F : FilesUnder(Prefix.Path))
      Installed.insert(F.starts_with("usr/share/man/") ? F + ".gz" : F);
    EXPECT_EQ(PackageFiles(P.Deb), Installed);
    for (const char *Doc : {"copyright", "changelog.gz"})
      EXPECT_TRUE(PackageFiles(P.Deb).contains("usr/share/doc/" + std::string(P.Name) + "/" + Doc)) << Doc;
  }
  const std::set<std::string> Door = PackageFiles(Packages()[0].Deb);
  for (const char *F : {"usr/bin/vantorama", "usr/share/vantorama/vortex.sixel", "usr/share/doc/vantorama/README.md",
                        "usr/share/man/man1/vantorama.1.gz"})
    EXPECT_TRUE(Door.contains(F)) << F;
  const std::set<std::string> Kit = PackageFiles(Packages()[1].Deb);
  for (const char *F : {"usr/include/doorkit/door.h", "usr/lib/cmake/doorkit/doorkitConfig.cmake",
                        "usr/share/man/man3/doorkit.3.gz"})
    EXPECT_TRUE(Kit.contains(F)) << F;
}

// Installed files name no folder of the machine they were built on: no source or build
// folder, and no temporary prefix of another install run in a CMake or pkg-config file.
TEST_F(PackageTest, NothingPointsIntoTheBuildMachine) {
  TTempDir Tree;
  for (const TPackage &P : Packages()) ASSERT_EQ(RunProgram({VANTORAMA_DPKG_DEB, "-x", P.Deb, Tree.Path}), 0);
  const std::string Temp = fs::temp_directory_path().string() + "/";
  for (const std::string &F : FilesUnder(Tree.Path)) {
    SCOPED_TRACE(F);
    // A sanitizer build's programs and libraries carry their source files' names for its
    // reports; nobody ships those, so only their text files are looked at there.
    const bool Compiled = F.starts_with("usr/bin/") || F.ends_with(".a");
    if (VANTORAMA_SANITIZED && Compiled) continue;
    const std::string Text = ReadFile(Tree.Path + "/" + F);
    EXPECT_EQ(Text.find(VANTORAMA_SOURCE_DIR), std::string::npos);
    EXPECT_EQ(Text.find(VANTORAMA_BUILD_DIR), std::string::npos);
    if (F.ends_with(".pc") || F.ends_with(".cmake")) {
      EXPECT_EQ(Text.find(Temp), std::string::npos);
    }
  }
}

TEST_F(PackageTest, ControlFields) {
  const std::string Arch = Output({VANTORAMA_DPKG, "--print-architecture"});
  for (const TPackage &P : Packages()) {
    SCOPED_TRACE(P.Name);
    EXPECT_EQ(Field(P.Deb, "Package"), P.Name);
    EXPECT_EQ(Field(P.Deb, "Architecture"), Arch);
    EXPECT_EQ(Field(P.Deb, "Version"), VANTORAMA_VERSION);
    EXPECT_EQ(Field(P.Deb, "Priority"), "optional");
    EXPECT_FALSE(Field(P.Deb, "Maintainer").empty());
    EXPECT_NE(Field(P.Deb, "Description").find('\n'), std::string::npos) << "no long description";
  }
  // The door needs the C and C++ run-time libraries, and nothing else (a sanitizer build
  // needs the sanitizers' too).
  const std::vector<std::string> Deps = DependsOf(Packages()[0].Deb);
  const std::set<std::string> Names(Deps.begin(), Deps.end());
  EXPECT_TRUE(Names.contains("libc6") && Names.contains("libstdc++6"));
  if (!VANTORAMA_SANITIZED) {
    EXPECT_EQ(Names, (std::set<std::string>{"libc6", "libgcc-s1", "libstdc++6"}));
  }
  EXPECT_EQ(Field(Packages()[0].Deb, "Section"), "net");
  EXPECT_EQ(Field(Packages()[1].Deb, "Section"), "libdevel");
}

TEST_F(PackageTest, LintianFindsNoErrors) {
  if (std::string(VANTORAMA_LINTIAN).empty()) GTEST_SKIP() << "no lintian (make test installs it)";
  std::vector<std::string> Args = {VANTORAMA_LINTIAN, "--fail-on", "error", "--tag-display-limit", "0"};
  for (const TPackage &P : Packages()) Args.push_back(P.Deb);
  std::string Log;
  EXPECT_EQ(RunProgram(Args, &Log, 300000), 0) << Log;
  EXPECT_EQ(Log.find("\nE: "), std::string::npos) << Log;
}

// Without the door's dependencies dpkg leaves it unconfigured: the package names them.
TEST_F(PackageTest, DpkgHoldsTheDoorBackWithoutItsDependencies) {
  TScratchRoot Root(false);
  std::string Log;
  EXPECT_NE(Root.Dpkg({"-i", Packages()[0].Deb}, &Log), 0) << Log;
  EXPECT_NE(Log.find("vantorama depends on libc6"), std::string::npos) << Log;
  EXPECT_NE(Root.Status("vantorama"), "install ok installed");
}

TEST_F(PackageTest, InstallRunAndRemoveOnAScratchRoot) {
  TScratchRoot Root(true);
  ASSERT_TRUE(Root.InstallAll());
  for (const TPackage &P : Packages()) EXPECT_EQ(Root.Status(P.Name), "install ok installed") << P.Name;
  EXPECT_EQ(ReadFile(Root.PictureFolder() + "/vortex.sixel"), ReadFile(VANTORAMA_SOURCE_DIR "/demo/vortex.sixel"));

  {
    // The usage screen, on the sysop's terminal.
    winsize Size{};
    Size.ws_row = 25;
    Size.ws_col = 80;
    int Master = -1;
    const pid_t Pid = forkpty(&Master, nullptr, nullptr, &Size);
    ASSERT_GE(Pid, 0);
    if (Pid == 0) {
      setenv("TERM", "xterm", 1);
      setenv("LC_ALL", "C.UTF-8", 1);
      execl(Root.Door().c_str(), "vantorama", "-?", static_cast<char *>(nullptr));
      _exit(127);
    }
    TVtScreen Vt;
    std::string Seen;
    char Buf[4096];
    for (ssize_t N; (N = read(Master, Buf, sizeof(Buf))) > 0;) Seen.append(Buf, static_cast<size_t>(N));
    close(Master);
    int Status = 0;
    ASSERT_EQ(waitpid(Pid, &Status, 0), Pid);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
    VtFeed(Vt, Seen);
    std::string Screen;
    for (int Y = 1; Y <= 25; ++Y) Screen += VtRowText(Vt, Y) + "\n";
    EXPECT_NE(Screen.find(" USAGE: vantorama <PARAMETERS>"), std::string::npos) << Screen;
    EXPECT_NE(Screen.find("  -S         SOCKET HANDLE"), std::string::npos) << Screen;
  }

  {
    // A short show over loopback TCP, started in a folder without the picture: the door
    // finds the package's beside its binary.
    TNetPair Pair;
    ASSERT_TRUE(NetTcpPair(Pair));
    TChild Door;
    ASSERT_TRUE(Door.Start({Root.Door(), "-N1", "-S" + std::to_string(Pair.Door)}, Root.Dir.Path, Pair.Door));
    NetClose(Pair.Door);
    TTelnetCaller C;
    C.Fd = Pair.Peer;
    ASSERT_TRUE(C.Shows(10, 10, "Would you like to enable ANSI Music for this demo? (Y/N): "));
    ASSERT_TRUE(C.Type("yy"));
    ASSERT_TRUE(C.Saw(" THE KELVARRA "));
    EXPECT_EQ(C.Data.find("Error reading"), std::string::npos);
    EXPECT_NE(C.Data.find("\x1bP"), std::string::npos) << "no picture";
    ASSERT_TRUE(C.Saw("\x1b[NMB T160"));  // a note of the melody
    ASSERT_TRUE(C.Type("q"));
    ASSERT_TRUE(C.Saw("Returning to BBS..."));
    ASSERT_TRUE(Door.Wait(10000, &C));
    EXPECT_TRUE(Door.ExitedWith(0)) << Door.Log;
  }

  // Removed and purged, the root holds nothing but its dpkg database again.
  std::string Log;
  ASSERT_EQ(Root.Dpkg({"-P", "vantorama", "libdoorkit-dev"}, &Log), 0) << Log;
  for (const TPackage &P : Packages()) EXPECT_EQ(Root.Status(P.Name), "") << P.Name;
  std::set<std::string> After;
  for (const std::string &F : FilesUnder(Root.Dir.Path))
    if (!F.starts_with("var/lib/dpkg/")) After.insert(F);
  EXPECT_EQ(After, std::set<std::string>{});
  EXPECT_FALSE(fs::exists(Root.Dir.Path + "/usr")) << "folders left behind";
}

// The test board runs the installed door as a board would, in each of its three ways.
class PackageBoardTest : public PackageTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(PackageBoardTest, TestBoardRunsTheInstalledDoor) {
  if (std::string(VANTORAMA_PYTHON).empty()) GTEST_SKIP() << "no Python for the test board";
  TScratchRoot Root(true);
  ASSERT_TRUE(Root.InstallAll());
  TBoardRun Run;
  // Started in the binary's own folder, as the board does by default.
  ASSERT_TRUE(Run.Call(GetParam(), Root.Door()));
  TTelnetCaller &C = Run.Caller;
  ASSERT_TRUE(C.Shows(10, 10, "Would you like to enable ANSI Music for this demo? (Y/N): ")) << C.Row(10);
  ASSERT_TRUE(C.Type("n"));
  ASSERT_TRUE(C.Shows(12, 10, "Would you like to enable Sixel graphics? (Y/N): "));
  ASSERT_TRUE(C.Type("y"));
  ASSERT_TRUE(C.Shows(22, 11, "BBS Demo by Maelgrin - April 2025 - Press ESC or Q to exit")) << C.Row(22);
  EXPECT_NE(C.Data.find("\x1bP"), std::string::npos) << "no picture";
  const std::string Top = C.Row(2) + C.Row(3);
  ASSERT_TRUE(C.PumpUntil([&] { return C.Row(2) + C.Row(3) != Top; }, 5000)) << "the show stands still";
  ASSERT_TRUE(C.Type("q"));
  ASSERT_TRUE(C.Shows(1, 1, "Thanks for checking out the Vantorama Demo!"));
  ASSERT_TRUE(C.Saw("Back at the board."));
  Run.ExpectBoardEnds();
}

INSTANTIATE_TEST_SUITE_P(Modes, PackageBoardTest, ::testing::Values("drop", "socket", "pty"),
                         [](const auto &AInfo) { return std::string(AInfo.param); });

}  // namespace
