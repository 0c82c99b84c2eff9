// The installed tree, as `make install` lays it out under a prefix, and the installed door
// started the way the guide says: from the picture's folder, so the picture is found.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>

#include "boards/caller.h"

namespace {

using boards::TChild;
using boards::TTelnetCaller;

std::string ReadFile(const std::string &APath) {
  std::ifstream In(APath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

bool IsExecutable(const std::string &APath) {
  struct stat St{};
  return stat(APath.c_str(), &St) == 0 && S_ISREG(St.st_mode) && (St.st_mode & S_IXUSR);
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

// Started from share/vantorama, the installed door sends the caller its picture; started
// elsewhere, it says the picture is missing and waits for a key before the show.
TEST_F(InstallTest, InstalledDoorFindsThePictureInItsStartFolder) {
  struct TCase {
    const char *Name;
    std::string Folder;
    bool Found;
  };
  const TCase kCases[] = {
      {"picture folder", Prefix->Path + "/share/vantorama", true},
      {"bin folder", Prefix->Path + "/bin", false},
  };
  for (const TCase &Case : kCases) {
    SCOPED_TRACE(Case.Name);
    TNetPair Pair;
    ASSERT_TRUE(NetSocketPair(Pair));
    TChild Door;
    ASSERT_TRUE(Door.Start({Prefix->Path + "/bin/vantorama", "-N1", "-S" + std::to_string(Pair.Door)}, Case.Folder,
                           Pair.Door));
    NetClose(Pair.Door);
    TTelnetCaller C;
    C.Fd = Pair.Peer;
    ASSERT_TRUE(C.Shows(10, 10, "Would you like to enable ANSI Music for this demo? (Y/N): "));
    ASSERT_TRUE(C.Type("ny"));
    if (Case.Found) {
      // The whole picture goes out, its lines joined by CR LF, before the frame.
      ASSERT_TRUE(C.Saw(" THE KELVARRA "));
      std::string Wire;
      for (char Ch : ReadFile(Case.Folder + "/vortex.sixel")) Wire += Ch == '\n' ? std::string("\r\n") : std::string(1, Ch);
      while (Wire.ends_with("\r\n")) Wire.resize(Wire.size() - 2);
      ASSERT_GT(Wire.size(), 1000u);
      const size_t At = C.Data.find(Wire);
      ASSERT_NE(At, std::string::npos);
      EXPECT_LT(At, C.Data.find(" THE KELVARRA "));
    } else {
      ASSERT_TRUE(C.Saw("Error reading \"vortex.sixel\": No such file or directory"));
      ASSERT_TRUE(C.Saw("Hit a key to continue"));
      ASSERT_TRUE(C.Type(" "));
      ASSERT_TRUE(C.Saw(" THE KELVARRA "));
    }
    ASSERT_TRUE(C.Type("q"));
    ASSERT_TRUE(C.Saw("Returning to BBS..."));
    ASSERT_TRUE(Door.Wait(10000, &C));
    EXPECT_TRUE(Door.ExitedWith(0));
  }
}

}  // namespace
