// The private scratch directory: a file is readable only once written
// completely, links are never followed, kept files replace links, and the
// directory goes on removal, with the destructor and from a signal handler.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "core/scratch_dir.h"
#include "support/test_support.h"

namespace ruvo {
namespace {

namespace fs = std::filesystem;

bool writeAll(int fd, const std::string& s) {
  const bool ok = fd >= 0 && ::write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
  if (fd >= 0) ::close(fd);
  return ok;
}

TEST(ScratchDir, OnlyCompleteFilesOfThisRunAreRead) {
  test::ScopedWorkDir here("scratchdir_complete");
  std::ostringstream err;
  ScratchDir d;
  EXPECT_EQ(d.open("a"), -1); // no directory yet
  ASSERT_TRUE(writeAll(d.create("a", err), "first"));
  EXPECT_EQ(d.open("a"), -1); // written, not yet complete
  ASSERT_TRUE(d.commit("a"));
  const int fd = d.open("a");
  EXPECT_GE(fd, 0);
  ::close(fd);
  // a rewrite that fails leaves neither the old nor the partial file
  ASSERT_TRUE(writeAll(d.create("a", err), "sec"));
  d.discard("a");
  EXPECT_EQ(d.open("a"), -1);
  // a link planted in the directory is not followed
  test::writeFile("target", "other data");
  fs::create_symlink(fs::absolute("target"), d.path() + "/b");
  EXPECT_EQ(d.open("b"), -1);
  ASSERT_TRUE(writeAll(d.create("b", err), "mine"));
  ASSERT_TRUE(d.commit("b"));
  EXPECT_EQ(test::readFile("target"), "other data");
  EXPECT_EQ(d.path().rfind(fs::current_path().string() + "/ruvo-scratch.", 0), 0u);
  EXPECT_EQ(err.str(), "");
}

TEST(ScratchDir, OwnOutputFilesReplaceLinksAndRefuseDirectories) {
  test::ScopedWorkDir here("scratchdir_own_files");
  test::writeFile("victim", "other data");
  fs::create_symlink("victim", "eval.out");
  {
    std::ofstream f;
    ASSERT_TRUE(openOwnFile(f, "eval.out"));
    f << "levels";
  }
  EXPECT_EQ(test::readFile("victim"), "other data");
  EXPECT_FALSE(fs::is_symlink("eval.out"));
  EXPECT_EQ(test::readFile("eval.out"), "levels");
  fs::create_directory("dfreq.out");
  std::ofstream g;
  EXPECT_FALSE(openOwnFile(g, "dfreq.out"));
}

TEST(ScratchDir, KeptFilesReplaceLinksAndTheDirectoryGoes) {
  test::ScopedWorkDir here("scratchdir_keep");
  std::ostringstream err;
  std::string path;
  {
    ScratchDir d;
    ASSERT_TRUE(writeAll(d.create("j00b1.s00", err), "block"));
    ASSERT_TRUE(d.commit("j00b1.s00"));
    // a second run's directory made meanwhile keeps its own files
    ScratchDir other;
    ASSERT_TRUE(writeAll(other.create("j09b1.s00", err), "theirs"));
    ASSERT_TRUE(other.commit("j09b1.s00"));
    ASSERT_TRUE(writeAll(d.create("tori.b1", err), "partial")); // never completed
    test::writeFile("target", "other data");
    fs::create_symlink("target", "j00b1.s00");
    EXPECT_EQ(d.keepInWorkingDirectory(err), 0);
    EXPECT_FALSE(fs::is_symlink("j00b1.s00"));
    EXPECT_EQ(test::readFile("j00b1.s00"), "block");
    EXPECT_EQ(test::readFile("target"), "other data");
    EXPECT_FALSE(fs::exists("tori.b1"));
    EXPECT_FALSE(fs::exists("j09b1.s00"));
    path = d.path();
    EXPECT_TRUE(fs::is_directory(path));
  } // the destructor removes the directory
  EXPECT_FALSE(fs::exists(path));

  ScratchDir h;
  h.announceToSignalHandler();
  ASSERT_TRUE(writeAll(h.create("j01b1.s00", err), "x"));
  ASSERT_TRUE(writeAll(h.create("j02b1.s00", err), "y"));
  ASSERT_TRUE(h.commit("j02b1.s00"));
  removeScratchDirFromHandler();
  EXPECT_FALSE(fs::exists(h.path()));
  EXPECT_EQ(err.str(), "");
}

// Files stored whole stay in memory up to the budget, beyond it they go to
// the directory; kept files reach the working directory either way.
TEST(ScratchDir, MemoryUpToTheBudgetThenTheDirectory) {
  test::ScopedWorkDir here("scratchdir_memory");
  std::ostringstream err;
  {
    ScratchDir d;
    d.setMemoryBudget(10);
    EXPECT_EQ(d.put("j00b1.s00", std::string("eight b."), err), 0);
    EXPECT_EQ(d.path(), ""); // no directory for what memory holds
    EXPECT_EQ(d.put("j01b1.s00", std::string("beyond budget"), err), 0);
    ASSERT_NE(d.inMemory("j00b1.s00"), nullptr);
    EXPECT_EQ(*d.inMemory("j00b1.s00"), "eight b.");
    EXPECT_EQ(d.inMemory("j01b1.s00"), nullptr);
    const int fd = d.open("j01b1.s00");
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    d.drop("j00b1.s00");
    EXPECT_EQ(d.inMemory("j00b1.s00"), nullptr);
    EXPECT_EQ(d.put("j00b1.s00", std::string("again"), err), 0);
    EXPECT_EQ(d.keepInWorkingDirectory(err), 0);
  }
  EXPECT_EQ(test::readFile("j00b1.s00"), "again");
  EXPECT_EQ(test::readFile("j01b1.s00"), "beyond budget");
  EXPECT_EQ(err.str(), "");
}

} // namespace
} // namespace ruvo
