#include "files/inotify_tree.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/temp_dir.h"

namespace printxpc::files {
namespace {

using test_support::inotifyWatchCount;
using test_support::inotifyWatches;
using test_support::TempDir;
using test_support::writeFile;
using Ids = std::vector<InotifyTree::FileId>;

// The tree is driven step by step, as its owner's loop drives it: inotify queues an event
// before the call that caused it returns, so each step's events are there to be read.
class InotifyTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_GE(tree_.fd(), 0);
  }
  std::string file(const std::string& name) const { return dir_.file(name); }
  std::string root() const { return dir_.path().string(); }

  // The files that the events read now name, each once.
  Ids changed() {
    Ids ids;
    tree_.processEvents(ids);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
  }

  TempDir dir_;
  InotifyTree tree_;
};

TEST_F(InotifyTreeTest, SpellingsShareOneKeyAndOnePath) {
  std::filesystem::create_directories(file("d"));
  std::filesystem::create_directory_symlink(file("d"), file("link"));
  const std::string key = fileKey(file("d/c"));
  for (const std::string& spelling : {file("d/./c"), root() + "//d//c", file("link/c")}) {
    EXPECT_EQ(fileKey(normalizedPath(spelling)), key) << spelling;
  }
  EXPECT_EQ(fileKey(file("gone/deeper/c")), fileKey(root() + "/./gone/deeper/c"));
  EXPECT_EQ(normalizedPath("a//./b/"), "a/b");
  EXPECT_EQ(normalizedPath("/./"), "/");
  EXPECT_EQ(normalizedPath("./."), ".");
}

// A missing directory is watched through its nearest existing ancestor, one step closer with
// each directory that appears; removed again, the watch falls back to the ancestor.
TEST_F(InotifyTreeTest, MissingDirectoriesAreFollowedAsTheyAppearAndGo) {
  tree_.attach(1, file("a/b/c"));
  EXPECT_EQ(tree_.watchCount(), 1U);
  EXPECT_TRUE(inotifyWatches(root()));
  EXPECT_TRUE(tree_.polledFiles().empty());

  std::filesystem::create_directory(file("a"));
  EXPECT_EQ(changed(), Ids{1});
  EXPECT_TRUE(inotifyWatches(file("a")));
  EXPECT_FALSE(inotifyWatches(root())) << "the ancestor's watch is released";

  std::filesystem::create_directory(file("a/b"));
  EXPECT_EQ(changed(), Ids{1});
  EXPECT_TRUE(inotifyWatches(file("a/b")));
  EXPECT_EQ(tree_.watchCount(), 1U);

  writeFile(file("a/b/c"), "");
  EXPECT_EQ(changed(), Ids{1});
  tree_.refreshFile(1);  // the owner found it empty: the file itself is watched too
  EXPECT_TRUE(inotifyWatches(file("a/b/c")));
  EXPECT_EQ(tree_.watchCount(), 2U);

  std::filesystem::remove_all(file("a"));
  EXPECT_EQ(changed(), Ids{1});
  EXPECT_TRUE(inotifyWatches(root()));
  EXPECT_EQ(tree_.watchCount(), 1U);
  EXPECT_EQ(inotifyWatchCount(), 1);
}

// Which changes name which file: growth at the path or through another name of the file, a
// file renamed into place; not a change of another name in a watched directory.
TEST_F(InotifyTreeTest, ChangesNameTheFilesTheyConcern) {
  std::filesystem::create_directories(file("d"));
  std::filesystem::create_directories(file("e"));
  writeFile(file("d/x"), "");
  writeFile(file("d/other"), "");
  ASSERT_EQ(::link(file("d/x").c_str(), file("e/link").c_str()), 0);
  tree_.attach(1, file("d/x"));
  tree_.attach(2, file("d/y"));
  const struct {
    const char* label;
    std::function<void()> change;
    Ids expected;
  } cases[] = {
      {"written at its path", [&] { writeFile(file("d/x"), "\x01"); }, {1}},
      {"written through a hard link elsewhere",
       [&] { writeFile(file("e/link"), "\x01\x01"); },
       {1}},
      {"another name in the directory", [&] { writeFile(file("d/other"), "\x01"); }, {}},
      {"renamed into place",
       [&] {
         writeFile(file("e/new"), "\x01");
         std::filesystem::rename(file("e/new"), file("d/y"));
       },
       {2}},
  };
  for (const auto& c : cases) {
    c.change();
    EXPECT_EQ(changed(), c.expected) << c.label;
  }
}

// Directories and files shared by several files cost one watch each, released with the last
// file that needs them.
TEST_F(InotifyTreeTest, SharedWatchesAreReleasedWithTheirLastFile) {
  std::filesystem::create_directories(file("d"));
  writeFile(file("d/x"), "");
  writeFile(file("d/y"), "");
  tree_.attach(1, file("d/x"));
  tree_.attach(2, file("d/y"));
  tree_.attach(3, root() + "//d/./x");  // another spelling: the same inodes
  EXPECT_EQ(tree_.watchCount(), 3U);
  EXPECT_EQ(inotifyWatchCount(), 3);
  const struct {
    InotifyTree::FileId id;
    std::size_t left;
  } steps[] = {{1, 3}, {3, 2}, {2, 0}};
  for (const auto& step : steps) {
    tree_.detach(step.id);
    EXPECT_EQ(tree_.watchCount(), step.left) << step.id;
    EXPECT_EQ(inotifyWatchCount(), static_cast<int>(step.left)) << step.id;
  }
  writeFile(file("d/x"), "\x01");
  EXPECT_EQ(changed(), Ids{});
}

// An ancestor moved away sends no event to the directory watched below it: upkeep() finds
// the directory no longer at its path and looks for it again.
TEST_F(InotifyTreeTest, UpkeepFindsADirectoryMovedWithItsAncestor) {
  std::filesystem::create_directories(file("top/d"));
  writeFile(file("top/d/c"), "");
  tree_.attach(1, file("top/d/c"));
  std::filesystem::rename(file("top"), file("moved"));
  Ids ids = changed();
  EXPECT_TRUE(inotifyWatches(file("moved/d"))) << "still on the moved directory";
  tree_.upkeep(ids);
  EXPECT_EQ(ids, Ids{1});
  EXPECT_TRUE(inotifyWatches(root()));
  EXPECT_FALSE(inotifyWatches(file("moved/d")));

  std::filesystem::create_directories(file("top/d"));
  EXPECT_EQ(changed(), Ids{1});
  EXPECT_TRUE(inotifyWatches(file("top/d")));
  EXPECT_EQ(tree_.pathOf(1), file("top/d/c"));
}

}  // namespace
}  // namespace printxpc::files
