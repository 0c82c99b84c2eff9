// The installed tree, as `make install` lays it out under a prefix, and the installed door
// started the way the guide says: from the picture's folder, so the picture is found.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>

#include "boards/caller.h"
#include "doorkit/door.h"
#include "doorkit/version.h"

namespace {

using boards::TChild;

std::string ReadFile(const std::string &APath) {
  std::ifstream In(APath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

bool IsExecutable(const std::string &APath) {
  struct stat St{};
  return stat(APath.c_str(), &St) == 0 && S_ISREG(St.st_mode) && (St.st_mode & S_IXUSR);
}

// Runs a shell command line; its output is in the log it returns on failure.
testing::AssertionResult Shell(const std::string &ACommand, int ATimeoutMs = 110000) {
  TChild Sh;
  if (!Sh.Start({"/bin/sh", "-c", ACommand}, "")) return testing::AssertionFailure() << "cannot start sh";
  if (!Sh.Wait(ATimeoutMs)) return testing::AssertionFailure() << "did not end: " << ACommand << "\n" << Sh.Log;
  if (!Sh.ExitedWith(0)) return testing::AssertionFailure() << ACommand << "\n" << Sh.Log;
  return testing::AssertionSuccess() << Sh.Log;
}

std::string Output(const std::string &ACommand) {
  TChild Sh;
  if (!Sh.Start({"/bin/sh", "-c", ACommand}, "") || !Sh.Wait(30000)) return {};
  return Sh.Log;
}

class InstallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Prefix = new TTempDir;
    TChild Install;
    ASSERT_TRUE(Install.Start({VANTORAMA_CMAKE, "--install", VANTORAMA_BUILD_DIR, "--prefix", Prefix->Path}, ""));
    ASSERT_TRUE(Install.Wait(60000)) << "cmake --install did not end";
    ASSERT_TRUE(Install.ExitedWith(0)) << Install.Log;
  }
  static void TearDownTestSuite() {
    delete Prefix;
    Prefix = nullptr;
  }
  static TTempDir *Prefix;
};

TTempDir *InstallTest::Prefix = nullptr;

TEST_F(InstallTest, LaysOutTheDoorThePictureAndTheGuide) {
  const std::string Root = Prefix->Path;
  EXPECT_TRUE(IsExecutable(Root + "/bin/vantorama"));
  EXPECT_TRUE(IsExecutable(Root + "/bin/doorwatch")) << "the sysop's watcher, beside the door";
  const std::string Picture = ReadFile(Root + "/share/vantorama/vortex.sixel");
  EXPECT_FALSE(Picture.empty());
  EXPECT_EQ(Picture, ReadFile(std::string(VANTORAMA_SOURCE_DIR) + "/demo/vortex.sixel"));
  const std::string Guide = ReadFile(Root + "/share/doc/vantorama/README.md");
  EXPECT_FALSE(Guide.empty());
  EXPECT_EQ(Guide, ReadFile(std::string(VANTORAMA_SOURCE_DIR) + "/README.md"));
  // The pictures the guide shows, where its links point.
  for (const char *Shot : {"docs/questions.png", "docs/show.png", "docs/sysop.png"}) {
    SCOPED_TRACE(Shot);
    EXPECT_NE(Guide.find(std::string("](") + Shot + ")"), std::string::npos);
    const std::string Png = ReadFile(Root + "/share/doc/vantorama/" + Shot);
    EXPECT_TRUE(Png.starts_with("\x89PNG"));
    EXPECT_EQ(Png, ReadFile(std::string(VANTORAMA_SOURCE_DIR) + "/" + Shot));
  }
}

// The kit for door writers: public headers only, the libraries, the CMake package and the
// pkg-config files, at the version the status bar shows.
TEST_F(InstallTest, LaysOutTheKitWithoutItsPrivateHeaders) {
  const std::string Root = Prefix->Path;
  const std::string Lib = Root + "/" VANTORAMA_INSTALL_LIBDIR;
  for (const char *Header : {"door.h", "ansi.h", "comm.h", "console.h", "crt2.h", "dropfiles.h", "stringutils.h",
                             "videoutils.h", "version.h", "testkit.h"}) {
    SCOPED_TRACE(Header);
    EXPECT_EQ(ReadFile(Root + "/include/doorkit/" + Header),
              ReadFile(std::string(VANTORAMA_SOURCE_DIR) + "/include/doorkit/" + Header));
  }
  EXPECT_EQ(Output("find '" + Root + "' -name '*internal*' -o -name '*private*' -o -name cp437.h -o -name "
                   "'console_parts.h'"), "");
  for (const char *File : {"libdoorkit.a", "libdoorkit_testkit.a", "cmake/doorkit/doorkitConfig.cmake",
                           "cmake/doorkit/doorkitConfigVersion.cmake", "pkgconfig/doorkit.pc",
                           "pkgconfig/doorkit-testkit.pc"}) {
    EXPECT_FALSE(ReadFile(Lib + "/" + File).empty()) << File;
  }
  for (const char *Page : {"man1/vantorama.1", "man1/doorwatch.1", "man3/doorkit.3"}) {
    EXPECT_EQ(ReadFile(Root + "/share/man/" + Page),
              ReadFile(std::string(VANTORAMA_SOURCE_DIR) + "/man/" + std::string(Page).substr(5)))
        << Page;
  }
  const std::string Pc = "PKG_CONFIG_PATH='" + Lib + "/pkgconfig' pkg-config ";
  EXPECT_EQ(Output(Pc + "--modversion doorkit"), DOORKIT_VERSION "\n");
  EXPECT_EQ(DoorProgramNameAndVersion, DOORKIT_NAME " v" DOORKIT_VERSION);
  EXPECT_EQ(Output(Pc + "--cflags doorkit").substr(0, Root.size() + 10), "-I" + Root + "/include");
  EXPECT_NE(Output(Pc + "--libs doorkit-testkit").find("-ldoorkit_testkit -lutil -ldoorkit"), std::string::npos);
}

// examples/, copied away from the source tree, built against the installed kit with CMake
// and with pkg-config; each build's own test runs its door under the installed test kit.
TEST_F(InstallTest, ExamplesBuildOutOfTreeBothWaysAndPassTheirTest) {
  // A sanitizer build installs a sanitized kit: a door links it only with the same flags.
#if defined(__SANITIZE_ADDRESS__)
  const std::string Flags = "export CXXFLAGS='-fsanitize=address,undefined' LDFLAGS='-fsanitize=address,undefined' && ";
#else
  const std::string Flags = "export CXXFLAGS= LDFLAGS= && ";
#endif
  TTempDir Work;
  const std::string Src = std::string(VANTORAMA_SOURCE_DIR) + "/examples";
  const std::string Lib = Prefix->Path + "/" VANTORAMA_INSTALL_LIBDIR;
  ASSERT_TRUE(Shell("cp '" + Src + "/CMakeLists.txt' '" + Src + "/hello.cpp' '" + Src + "/hello_test.cpp' '" +
                    Work.Path + "'"));
  ASSERT_TRUE(Shell(Flags + "cd '" + Work.Path + "' && '" VANTORAMA_CMAKE "' -S . -B cm -DCMAKE_PREFIX_PATH='" +
                    Prefix->Path + "' -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null && '" VANTORAMA_CMAKE
                    "' --build cm >/dev/null"));
  // Nothing of our tree on the compiler's command lines.
  EXPECT_EQ(ReadFile(Work.Path + "/cm/compile_commands.json").find(VANTORAMA_SOURCE_DIR), std::string::npos);
  ASSERT_TRUE(Shell(Flags + "cd '" + Work.Path + "' && export PKG_CONFIG_PATH='" + Lib + "/pkgconfig' && "
                    "g++ -std=c++20 $CXXFLAGS hello.cpp $(pkg-config --cflags --libs doorkit) $LDFLAGS -o hello_pc && "
                    "g++ -std=c++20 $CXXFLAGS hello_test.cpp $(pkg-config --cflags --libs doorkit-testkit) $LDFLAGS "
                    "-o hello_test_pc"));
  for (const char *Pair : {"cm/hello_test cm/hello", "./hello_test_pc ./hello_pc"}) {
    SCOPED_TRACE(Pair);
    testing::AssertionResult Ran = Shell("cd '" + Work.Path + "' && " + Pair, 60000);
    EXPECT_TRUE(Ran);
    EXPECT_NE(std::string(Ran.message()).find("hello_test: passed"), std::string::npos) << Ran.message();
  }
}

// The installed door finds its picture whatever folder the board starts it in: the start
// folder first, then ../share/vantorama beside the binary (also when the start folder's
// cannot be read).
TEST_F(InstallTest, InstalledDoorFindsThePictureWhereverItStarts) {
  TTempDir Unreadable;
  mkdir(Unreadable.File("vortex.sixel").c_str(), 0755);  // a folder: it opens, but reads nothing
  struct TCase {
    const char *Name;
    std::string Folder;
  };
  const TCase kCases[] = {
      {"picture folder", Prefix->Path + "/share/vantorama"},
      {"bin folder", Prefix->Path + "/bin"},
      {"a folder with a picture that cannot be read", Unreadable.Path},
  };
  for (const TCase &Case : kCases) {
    SCOPED_TRACE(Case.Name);
    TDoorTestOptions Options;
    Options.Program = Prefix->Path + "/bin/vantorama";
    Options.Way = twCommandLine;
    Options.Folder = Case.Folder;
    TDoorTestRun Run;
    ASSERT_TRUE(DoorTestStart(Run, Options));
    ASSERT_TRUE(DoorTestShows(Run, 10, 10, "Would you like to enable ANSI Music for this demo? (Y/N): "));
    ASSERT_TRUE(DoorTestType(Run, "ny"));
    // The whole picture goes out, its lines joined by CR LF, before the frame.
    ASSERT_TRUE(DoorTestSaw(Run, " THE KELVARRA "));
    std::string Wire;
    for (char Ch : ReadFile(Prefix->Path + "/share/vantorama/vortex.sixel"))
      Wire += Ch == '\n' ? std::string("\r\n") : std::string(1, Ch);
    while (Wire.ends_with("\r\n")) Wire.resize(Wire.size() - 2);
    ASSERT_GT(Wire.size(), 1000u);
    const size_t At = Run.Received.find(Wire);
    ASSERT_NE(At, std::string::npos);
    EXPECT_LT(At, Run.Received.find(" THE KELVARRA "));
    ASSERT_TRUE(DoorTestType(Run, "q"));
    ASSERT_TRUE(DoorTestSaw(Run, "Returning to BBS..."));
    ASSERT_TRUE(DoorTestWait(Run, 10000));
    EXPECT_EQ(DoorTestExitCode(Run), 0);
    EXPECT_TRUE(DoorTestCallerConnected(Run));
  }
}

}  // namespace
