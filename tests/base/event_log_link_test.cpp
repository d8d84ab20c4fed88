// Rotation of a log reached through a link, as the package lays it out: the link in a
// read-only program folder, the file in a writable log folder.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/event_log.h"
#include "temp_folder.h"

using namespace morvanix;
namespace fs = std::filesystem;

namespace {

// Makes folder read-only for this process alone: a read-only bind mount of it onto itself
// in a private mount namespace. False without the right to (not root).
bool MakeReadOnlyHere(const fs::path& folder) {
  if (::unshare(CLONE_NEWNS) != 0) return false;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  const std::string where = folder.string();
  if (::mount(where.c_str(), where.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
  return ::mount(nullptr, where.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

TEST(EventLogLink, RotatesTheLinksTargetBesideItAndLeavesTheLinksFolderAlone) {
  struct Case {
    const char* name;
    bool readOnlyProgramFolder;
  };
  for (const Case& c :
       {Case{"writable program folder", false}, Case{"read-only program folder", true}}) {
    SCOPED_TRACE(c.name);
    TempFolder root;
    const fs::path program = root.Path() / "program";
    const fs::path logs = root.Path() / "log";
    fs::create_directories(program);
    fs::create_directories(logs);
    const fs::path link = program / "vd_service.log";
    fs::create_symlink(logs / "vd_service.log", link);

    // The lines are written in a child, so that the mount namespace ends with it.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (c.readOnlyProgramFolder && !MakeReadOnlyHere(program)) ::_exit(77);
      bool written = true;
      for (int i = 0; i < 25; ++i) {
        std::string line = "line " + std::to_string(i) + " ";
        line.resize(99, 'x');
        written = AppendLogLine(link.string().c_str(), line + "\n", 1000) && written;
      }
      ::_exit(written ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) {
      GTEST_SKIP() << "a read-only bind mount needs root";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);

    EXPECT_TRUE(fs::is_symlink(link));
    std::vector<fs::path> inProgram;
    for (const auto& entry : fs::directory_iterator(program)) inProgram.push_back(entry.path());
    EXPECT_EQ(inProgram, std::vector<fs::path>{link});
    // 25 lines of 100 bytes with a limit of 1000: the last five in the file, ten before them.
    EXPECT_EQ(ReadLines(logs / "vd_service.log").size(), 5u);
    EXPECT_EQ(ReadLines(logs / "vd_service.log.1").size(), 10u);
  }
}

}  // namespace
