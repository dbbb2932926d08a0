// pixelmote-batch run as a separate process on real trees.
#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "batch/format.h"
#include "imaging/codec.h"
#include "testsupport/temp_tree.h"

extern char** environ;

namespace pixelmote::cli {
namespace {

using testing::TempTree;

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string readAll(int fd) {
  std::string text;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  return text;
}

// Starts the batch command with `args`, the file actions and environment
// given; its pid, or -1.
pid_t spawnBatch(const std::vector<std::string>& args, const posix_spawn_file_actions_t* actions,
                 std::vector<std::string> envStore) {
  std::vector<std::string> argvStore{PIXELMOTE_BATCH_EXE};
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  return posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), envp.data()) == 0 ? pid : -1;
}

// Runs the batch command with `args` in `folder`, with the C locale.
Outcome runBatch(const std::vector<std::string>& args, const std::string& folder) {
  TempTree capture;
  const std::string outPath = capture.path("out");
  const std::string errPath = capture.path("err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  Outcome outcome;
  const pid_t pid = spawnBatch(args, &actions, {"LC_ALL=C", "PATH=/usr/bin:/bin"});
  posix_spawn_file_actions_destroy(&actions);
  if (pid < 0) return outcome;
  int status = 0;
  ::waitpid(pid, &status, 0);
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const int outFd = ::open(outPath.c_str(), O_RDONLY);
  const int errFd = ::open(errPath.c_str(), O_RDONLY);
  outcome.out = readAll(outFd);
  outcome.err = readAll(errFd);
  ::close(outFd);
  ::close(errFd);
  return outcome;
}

const std::string kSeparator(40, '-');

TEST(BatchCommand, ReportPrintsExactlyTheStatusLines) {
  TempTree tree;
  tree.file("pics/a.jpg", 2048);
  tree.file("pics/t_a.jpg", 512);
  tree.file("pics/Sub/b.jpg", 1048576);
  const std::string p = tree.path("pics");
  // A relative folder with a trailing "/" runs on its absolute path.
  const Outcome o = runBatch({"report", "pics/"}, tree.root());
  EXPECT_EQ(o.exitCode, 0) << o.err;
  EXPECT_EQ(o.out, p + ": 1 folders, 1 files (2k [512])\n" + p + "/Sub: 0 folders, 1 files (1.00M [0])\n" +
                       kSeparator + "\n" + p + ": 1 folders, 2 files (1.00M [512]) - -0.05%\n");
  EXPECT_EQ(o.err, "");
}

TEST(BatchCommand, OptionsShapeTheRun) {
  TempTree tree;
  tree.file("a.gif", 10);
  tree.file("x_a.jpg", 30);
  tree.file("b.jpg", 99);
  const Outcome o = runBatch({"report", tree.root(), "--source", "GIF", "--thumb=jpg", "--prefix", "x_"}, "/");
  EXPECT_EQ(o.exitCode, 0) << o.err;
  EXPECT_EQ(o.out, tree.root() + ": 0 folders, 1 files (10 [30])\n" + kSeparator + "\n" + tree.root() +
                       ": 0 folders, 1 files (10 [30]) - -281.82%\n");
}

TEST(BatchCommand, RemoveDeletesThumbnailsAndReportsZeroThumbnailBytes) {
  TempTree tree;
  tree.file("a.jpg", 100);
  tree.file("t_a.jpg", 10);
  tree.fileWith("index.html", "<html><body><center><table border=1><tr></tr></table></center></body></html>\r\n");
  const Outcome o = runBatch({"remove", "."}, tree.root());
  EXPECT_EQ(o.exitCode, 0) << o.err;
  EXPECT_FALSE(tree.exists("t_a.jpg"));
  EXPECT_FALSE(tree.exists("index.html"));
  EXPECT_TRUE(tree.exists("a.jpg"));
  EXPECT_EQ(o.out, tree.root() + ": 0 folders, 1 files (100 [0])\n" + kSeparator + "\n" + tree.root() +
                       ": 0 folders, 1 files (100 [0]) - -0.99%\n");
}

TEST(BatchCommand, RefusalsAndUsageErrorsExitWithTwo) {
  TempTree tree;
  struct Case {
    std::vector<std::string> args;
    std::string errContains;
  };
  const std::vector<Case> cases = {
      {{"report", "/"}, "Please select a folder\n"},
      {{"report", "/tmp/.."}, "Please select a folder\n"},
      {{"create", tree.root(), "--prefix", ""}, "Please enter a thumbnail prefix.\n"},
      {{}, "missing OPERATION"},
      {{"scan", tree.root()}, "unknown OPERATION 'scan'"},
      {{"report"}, "missing FOLDER"},
      {{"report", tree.root(), "--columns", "11"}, "invalid --columns '11'"},
      {{"report", tree.root(), "--border=-1"}, "invalid --border '-1'"},
      {{"report", tree.root(), "--size", "abc"}, "invalid --size 'abc'"},
      {{"report", tree.root(), "--source", "png"}, "invalid --source 'png'"},
      {{"report", tree.root(), "--prefix", "a/b"}, "invalid --prefix 'a/b'"},
      {{"report", tree.root(), "--jobs", "0"}, "invalid --jobs '0'"},
      {{"report", tree.root(), "--quality"}, "--quality needs a value"},
      {{"report", tree.root(), "--colour", "red"}, "unknown option --colour"},
      {{"report", tree.root(), "--settings", tree.path("missing.ini")}, "cannot read --settings file"},
      {{"report", tree.path("nothing-here")}, "is not a folder"},
  };
  for (const Case& c : cases) {
    const Outcome o = runBatch(c.args, tree.root());
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(o.exitCode, 2) << joined;
    EXPECT_NE(o.err.find(c.errContains), std::string::npos) << joined << "\nstderr: " << o.err;
    EXPECT_EQ(o.out, "") << joined;
  }
}

TEST(BatchCommand, SettingsFileValuesApplyAndOptionsWin) {
  TempTree tree;
  tree.file("pics/a.gif", 10);
  tree.file("pics/p_a.jpg", 4);
  tree.file("pics/q_a.jpg", 8);
  tree.fileWith("desk.ini", "[Folder]\nPath=/somewhere\n[Image]\nType=GIF\nThumb=JPG\nColumn=3\nBorder=0\n"
                            "Prefix=p_\nSize=76\nQuality=152\nSmooth=0\n");
  const std::string p = tree.path("pics");
  Outcome o = runBatch({"report", "pics", "--settings", tree.path("desk.ini")}, tree.root());
  EXPECT_EQ(o.exitCode, 0) << o.err;
  EXPECT_EQ(o.out.substr(0, o.out.find('\n')), p + ": 0 folders, 1 files (10 [4])");
  o = runBatch({"report", "pics", "--settings", tree.path("desk.ini"), "--prefix", "q_"}, tree.root());
  EXPECT_EQ(o.out.substr(0, o.out.find('\n')), p + ": 0 folders, 1 files (10 [8])");
}

TEST(BatchCommand, CreateWritesThumbnailsPagesAndStatusLines) {
  TempTree tree;
  const std::string jpeg = imaging::encodeJpeg(imaging::Raster({80, 60}, imaging::Rgb{200, 30, 30}), 80, 0).value();
  tree.fileWith("pics/a.jpg", jpeg);
  tree.fileWith("pics/sub/b.jpg", jpeg);
  tree.fileWith("pics/sub/broken.jpg", "no picture");
  const std::string p = tree.path("pics");
  const Outcome o = runBatch({"create", "pics", "--thumb", "gif", "--size", "50", "--columns", "1"}, tree.root());
  EXPECT_EQ(o.exitCode, 1) << o.err;  // a picture was skipped
  EXPECT_EQ(tree.read("pics/t_a.gif").substr(0, 6), "GIF89a");
  EXPECT_EQ(tree.read("pics/sub/index.html"),
            "<html><body><center><a href='..\\index.html'>Home</a><br><table border=1><tr><td align=center>"
            "<a href='b.jpg'><img src='t_b.gif' border=0></a></td></tr><tr></tr></table></center></body></html>\r\n");
  const auto english = batch::NumberFormat::english();
  const std::string thumbBytes = batch::funBytes(static_cast<std::int64_t>(tree.read("pics/t_a.gif").size()), english);
  const std::string lines = o.out;
  EXPECT_EQ(lines.substr(0, lines.find('\n')), p + ": 1 folders, 1 files (" + std::to_string(jpeg.size()) + " [" + thumbBytes + "])");
  EXPECT_NE(lines.find("\nSkipped unreadable picture " + p + "/sub/broken.jpg\n" + p + "/sub: 0 folders, 2 files ("),
            std::string::npos) << lines;
  EXPECT_EQ(o.err, "pixelmote-batch: " + p + "/sub/broken.jpg: not a JPEG file\n");
}

std::string smallJpeg() {
  return imaging::encodeJpeg(imaging::Raster({40, 30}, imaging::Rgb{20, 120, 220}), 80, 0).value();
}

TEST(BatchCommand, ExitStatusSaysWhetherEverythingWasDone) {
  struct Case {
    const char* name;
    std::function<void(const TempTree&)> make;
    std::vector<std::string> options;
    int exitCode;
    std::string err;  // with "@" for the tree's root
  };
  const std::vector<Case> cases = {
      {"all done", [](const TempTree& t) { t.fileWith("a.jpg", smallJpeg()); }, {}, 0, ""},
      {"nothing to do", [](const TempTree&) {}, {}, 0, ""},
      {"a picture that is not one",
       [](const TempTree& t) {
         t.fileWith("a.jpg", smallJpeg());
         t.fileWith("b.jpg", "GIF89a but named as a JPEG");
       },
       {}, 1, "pixelmote-batch: @/b.jpg: not a JPEG file\n"},
      {"a thumbnail that would replace a photo",
       [](const TempTree& t) {
         t.fileWith("ab.jpg", smallJpeg());
         t.fileWith("b.jpg", smallJpeg());
       },
       {"--prefix", "a"}, 1, "pixelmote-batch: @/ab.jpg: a picture of that name is in the way\n"},
      {"a page that cannot be written",
       [](const TempTree& t) {
         t.fileWith("a.jpg", smallJpeg());
         t.file("index.html/x", 1);
       },
       {}, 1, "pixelmote-batch: @/index.html: an index.html not written by Pixelmote is in the way\n"},
      {"a hand-written page", [](const TempTree& t) { t.fileWith("index.html", "<p>mine</p>"); }, {}, 1,
       "pixelmote-batch: @/index.html: an index.html not written by Pixelmote is in the way\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree tree;
    c.make(tree);
    std::vector<std::string> args{"create", "."};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Outcome o = runBatch(args, tree.root());
    EXPECT_EQ(o.exitCode, c.exitCode) << o.out;
    std::string err = c.err;
    if (const auto at = err.find('@'); at != std::string::npos) err.replace(at, 1, tree.root());
    EXPECT_EQ(o.err, err);
    // The totals line is always there.
    EXPECT_NE(o.out.find(kSeparator + "\n" + tree.root() + ": "), std::string::npos) << o.out;
  }
}

// pixelmote-batch started with its standard output on a pipe.
class PipedBatch {
 public:
  PipedBatch(const std::vector<std::string>& args, const std::string& folder) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    m_pid = spawnBatch(args, &actions, {"LC_ALL=C"});
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    m_fd = fds[0];
  }
  ~PipedBatch() {
    if (m_fd >= 0) ::close(m_fd);
    if (m_pid > 0 && m_status < 0) {
      ::kill(m_pid, SIGKILL);
      finish();
    }
  }

  // Reads until `lines` whole lines have come (or the output ends).
  void readLines(std::size_t lines) {
    char buf[4096];
    while (static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')) < lines) {
      const ssize_t n = ::read(m_fd, buf, sizeof buf);
      if (n <= 0) return;
      out.append(buf, static_cast<std::size_t>(n));
    }
  }
  void signal(int sig) { ::kill(m_pid, sig); }
  // Reads the rest and waits for the process: its exit code, or 128 + signal.
  int finish() {
    if (m_fd >= 0) out += readAll(m_fd);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_status;
  }

  std::string out;

 private:
  pid_t m_pid = -1;
  int m_fd = -1;
  int m_status = -1;
};

// A tree of many folders with a small picture each: long enough a run for
// a signal to reach it half-way.
void manyFolders(const TempTree& tree, int folders) {
  const std::string jpeg = smallJpeg();
  for (int i = 0; i < folders; ++i) tree.fileWith("f" + std::to_string(1000 + i) + "/a.jpg", jpeg);
}

TEST(BatchCommand, CtrlCStopsWithTotalsAndExitStatus130) {
  TempTree tree;
  manyFolders(tree, 300);
  PipedBatch batch({"create", ".", "--jobs", "1"}, tree.root());
  batch.readLines(2);
  batch.signal(SIGINT);
  EXPECT_EQ(batch.finish(), 130);
  // The separator and the totals line end the output.
  const auto at = batch.out.find(kSeparator + "\n" + tree.root() + ": 300 folders, ");
  ASSERT_NE(at, std::string::npos) << batch.out;
  EXPECT_EQ(batch.out.find('\n', at + kSeparator.size() + 1), batch.out.size() - 1);
  EXPECT_LT(std::count(batch.out.begin(), batch.out.end(), '\n'), 300);  // it stopped early
}

TEST(BatchCommand, AKilledRunHasPrintedTheLineOfEveryFolderItFinished) {
  TempTree tree;
  manyFolders(tree, 300);
  PipedBatch batch({"create", ".", "--jobs", "1"}, tree.root());
  batch.readLines(3);
  batch.signal(SIGKILL);
  ASSERT_EQ(batch.finish(), 128 + SIGKILL);
  // A folder's page is written just before its status line, so at most the
  // folder the run was killed at has a page without a line.
  int pages = 0;
  int missing = 0;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "f" + std::to_string(1000 + i);
    if (!tree.exists(name + "/index.html")) continue;
    ++pages;
    if (batch.out.find(tree.path(name) + ": 0 folders, 1 files (") == std::string::npos) ++missing;
  }
  EXPECT_GE(pages, 2);
  EXPECT_LE(missing, 1) << pages << " pages\n" << batch.out;
}

TEST(BatchCommand, JobsAndUpdateGiveTheSameOutputAsAOneCoreFullRun) {
  TempTree tree;
  for (int i = 0; i < 6; ++i) {
    const imaging::Raster r({30 + 10 * i, 20 + 5 * i}, imaging::Rgb{static_cast<std::uint8_t>(40 * i), 90, 200});
    tree.fileWith("pics/" + std::string(i % 2 ? "a/" : "") + "p" + std::to_string(i) + ".jpg",
                  imaging::encodeJpeg(r, 80, 0).value());
  }
  const auto thumbs = [&] {
    std::string all;
    for (int i = 0; i < 6; ++i) all += tree.read("pics/" + std::string(i % 2 ? "a/" : "") + "t_p" + std::to_string(i) + ".gif");
    return all + tree.read("pics/index.html") + tree.read("pics/a/index.html");
  };
  const Outcome one = runBatch({"create", "pics", "--jobs", "1", "--thumb", "gif"}, tree.root());
  ASSERT_EQ(one.exitCode, 0) << one.err;
  const std::string oneFiles = thumbs();
  const Outcome four = runBatch({"create", "pics", "--jobs", "4", "--thumb", "gif"}, tree.root());
  EXPECT_EQ(four.out, one.out);
  EXPECT_EQ(thumbs(), oneFiles);
  // --update reaches the run: thumbnails that are up to date stay the very
  // files they were (a run that renders one puts a new file in its place),
  // and a picture changed since is rendered again.
  const auto inode = [&](const std::string& relative) {
    struct stat st {};
    return ::stat(tree.path(relative).c_str(), &st) == 0 ? st.st_ino : 0;
  };
  const ino_t kept = inode("pics/t_p0.gif");
  const ino_t changed = inode("pics/a/t_p1.gif");
  const std::string p1 = tree.read("pics/a/p1.jpg");
  tree.fileWith("pics/a/p1.jpg", p1);  // the same bytes, a newer time
  const Outcome update = runBatch({"create", "pics", "--jobs", "3", "--thumb", "gif", "--update"}, tree.root());
  EXPECT_EQ(update.out, one.out);
  EXPECT_EQ(inode("pics/t_p0.gif"), kept);
  EXPECT_NE(inode("pics/a/t_p1.gif"), changed);
  const Outcome full = runBatch({"create", "pics", "--jobs", "1", "--thumb", "gif"}, tree.root());
  EXPECT_NE(inode("pics/t_p0.gif"), kept);
  EXPECT_EQ(full.out, one.out);
}

TEST(BatchCommand, HelpGoesToStandardOutput) {
  TempTree tree;
  const Outcome o = runBatch({"--help"}, tree.root());
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.out.rfind("Usage: pixelmote-batch OPERATION FOLDER [OPTIONS]\n", 0), 0u);
}

}  // namespace
}  // namespace pixelmote::cli
