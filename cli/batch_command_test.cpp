// The batch command: its arguments, and
// pixelmote-batch run as a separate process on real trees.
#include "cli/options.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "imaging/codec.h"
#include "testsupport/golden.h"
#include "testsupport/temp_tree.h"

namespace pixelmote::cli {
namespace {

// Replaces every `from` in `text` with `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The fields of a result as one line: operation, folder, settings, jobs, update.
std::string describe(const BatchOptions& o) {
  const batch::BatchSettings& s = o.settings;
  return std::to_string(static_cast<int>(o.operation)) + " " + o.folder + " " + s.sImageExt + ">" + s.sThumbExt + " " +
         s.sPrefix + " c" + std::to_string(s.iColumns) + " b" + std::to_string(s.iBorder) + " s" +
         std::to_string(s.iSize) + " q" + std::to_string(s.iQuality) + " m" + std::to_string(s.iSmooth) + " j" +
         std::to_string(o.jobs) + (o.update ? " update" : "");
}

// Every argument list, accepted or not, as a line of what it gives: values
// that do not fit their control in a settings file are passed over, the
// folder is made absolute step by step, a refusal names the option and value.
TEST(BatchOptions, ArgumentListsGiveTheirOptionsOrNameTheOptionAndValue) {
  testing::TempTree tree;
  const std::string ini = tree.fileWith("a.ini", "[Image]\nType=GIF\nThumb=gif\nColumn=11\nBorder=0\nPrefix=p_\n"
                                                 "Size=76\nQuality=152\nSmooth=x\n");
  const std::string ini2 = tree.fileWith("b.ini", "[Image]\nColumn=10\nBorder=11\nSize=12,5\nType=PNG\n");
  const std::vector<std::string> lists[] = {
      {"report", "/data/pics"},
      {"remove", "pics", "--source", "GIF", "--thumb=gif", "--prefix", "th", "--columns=10", "--border", "0", "--size",
       "100", "--quality=0", "--smooth", "33", "--jobs", "3"},
      {"create", "..", "--update", "--columns", "1", "--border=10", "--size", "0"},
      {"report", "x", "--settings", ini},
      {"report", "x", "--settings", ini, "--prefix", "q_", "--columns", "2"},
      {"report", "x", "--settings=" + ini2},
      {"report", "--", "--x"},
      {"report", "../bob//pics/./"}, {"report", "/data///x/"}, {"report", "/"}, {"report", "../../.."},
      {"report", "a\xff b"},
      {}, {"scan", "/x"}, {"report"}, {"report", ""}, {"report", "/x", "/y"},
      {"report", "/x", "--columns", "0"}, {"report", "/x", "--columns", "11"}, {"report", "/x", "--border=-1"},
      {"report", "/x", "--border", "+3"}, {"report", "/x", "--size", "101"}, {"report", "/x", "--size", "abc"},
      {"report", "/x", "--quality", "7.5"}, {"report", "/x", "--smooth", ""}, {"report", "/x", "--source", "png"},
      {"report", "/x", "--thumb", "jpeg"}, {"report", "/x", "--prefix", "a/b"}, {"report", "/x", "--jobs", "0"},
      {"report", "/x", "--quality"}, {"report", "/x", "--colour", "red"},
      {"report", "/x", "--settings", tree.path("missing.ini")},
  };
  std::string all;
  for (const auto& args : lists) {
    const ParseResult r = parseArguments(args, "/home/ann", 6, ',');
    all += "$";
    for (const std::string& arg : args) all += " " + arg;
    all += "\n  " + (r.options ? describe(*r.options) : r.error) + "\n";
  }
  testing::expectGolden("cli/testdata/arguments.txt", replaced(all, tree.root(), "@"));
  EXPECT_TRUE(parseArguments({"report", "--bogus", "-h"}, "/", 1).help) << "help wins wherever it stands";
  EXPECT_TRUE(parseArguments({"--version"}, "/", 1).version);
}

using testing::TempTree;

struct Outcome {
  int exitCode = -1;  // or 128 + the signal that ended it
  std::string out;
  std::string err;
};

// Runs the batch command with `args` in `folder`, with the C locale. With a
// signal given, sends it once `lines` lines have come on standard output.
Outcome runBatch(const std::vector<std::string>& args, const std::string& folder, int signal = 0,
                 std::size_t lines = 0) {
  TempTree capture;
  int fds[2];
  if (::pipe(fds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addopen(&actions, 2, capture.path("err").c_str(), O_WRONLY | O_CREAT, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  std::vector<std::string> argvStore{PIXELMOTE_BATCH_EXE};
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  char locale[] = "LC_ALL=C";
  char* envp[] = {locale, nullptr};
  pid_t pid = -1;
  const bool started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp) == 0;
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  Outcome outcome;
  char buf[4096];
  for (ssize_t n; started && (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
    outcome.out.append(buf, static_cast<std::size_t>(n));
    if (signal != 0 && static_cast<std::size_t>(std::count(outcome.out.begin(), outcome.out.end(), '\n')) >= lines) {
      ::kill(pid, signal);
      signal = 0;
    }
  }
  ::close(fds[0]);
  int status = 0;
  if (started && ::waitpid(pid, &status, 0) == pid) {
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  outcome.err = capture.read("err");
  return outcome;
}

const std::string kSeparator(40, '-');

std::string smallJpeg() {
  return imaging::encodeJpeg(imaging::Raster({40, 30}, imaging::Rgb{20, 120, 220}), 80, 0).value();
}

// Status lines byte for byte: relative folders, type and prefix options, a
// settings file, Remove; then what each run printed on its error stream and
// its exit status: 1 when something was not done, 2 for a refused run.
TEST(BatchCommand, StatusLinesErrorsAndExitStatusOfWholeRuns) {
  TempTree tree;
  tree.file("pics/a.jpg", 2048);
  tree.file("pics/t_a.jpg", 512);
  tree.file("pics/Sub/b.jpg", 1048576);
  tree.file("flat/a.gif", 10);
  tree.file("flat/x_a.jpg", 30);
  tree.file("flat/p_a.jpg", 4);
  tree.file("flat/b.jpg", 99);
  tree.fileWith("desk.ini", "[Folder]\nPath=/somewhere\n[Image]\nType=GIF\nThumb=JPG\nPrefix=p_\n");
  tree.file("gone/a.jpg", 100);
  tree.file("gone/t_a.jpg", 10);
  tree.fileWith("gone/index.html", "<html><body><center><table border=1><tr></tr></table></center></body></html>\r\n");
  const std::string jpeg = smallJpeg();
  tree.fileWith("ok/a.jpg", jpeg);
  tree.fileWith("notjpeg/a.jpg", jpeg);
  tree.fileWith("notjpeg/b.jpg", "GIF89a but named as a JPEG");
  tree.fileWith("inway/ab.jpg", jpeg);
  tree.fileWith("inway/b.jpg", jpeg);
  tree.fileWith("pagefolder/a.jpg", jpeg);
  tree.file("pagefolder/index.html/x", 1);
  tree.fileWith("page/index.html", "<p>mine</p>");
  const std::vector<std::string> runs[] = {
      {"report", "pics/"},
      {"report", "./flat", "--source", "GIF", "--thumb=jpg", "--prefix", "x_"},
      {"report", "flat", "--settings", tree.path("desk.ini")},
      {"remove", "gone"},
      {"create", "ok"},
      {"create", "notjpeg"},
      {"create", "inway", "--prefix", "a"},
      {"create", "pagefolder"},
      {"create", "page"},
      {"report", "/"},
      {"report", "/tmp/.."},
      {"create", ".", "--prefix", ""},
      {},
      {"report", ".", "--settings", "missing.ini"},
      {"report", "nothing-here"},
      {"report", "--help"},
  };
  std::string all;
  for (const auto& args : runs) {
    const Outcome o = runBatch(args, tree.root());
    all += "$";
    for (const std::string& arg : args) all += " " + arg;
    all += "\n" + o.out + o.err + "exit " + std::to_string(o.exitCode) + "\n";
  }
  testing::expectGolden("cli/testdata/batch_runs.txt", replaced(all, tree.root(), "@"));
  EXPECT_FALSE(tree.exists("gone/t_a.jpg") || tree.exists("gone/index.html"));
  EXPECT_TRUE(tree.exists("gone/a.jpg"));
}

// Ctrl-C ends the run with the totals and 130, having printed the line of
// every folder whose page it wrote.
TEST(BatchCommand, StoppedRunsEndWithTheTotals) {
  TempTree tree;
  const std::string jpeg = smallJpeg();
  for (int i = 0; i < 300; ++i) tree.fileWith("f" + std::to_string(1000 + i) + "/a.jpg", jpeg);
  const Outcome batch = runBatch({"create", ".", "--jobs", "1"}, tree.root(), SIGINT, 3);
  EXPECT_EQ(batch.exitCode, 130);
  const auto at = batch.out.find(kSeparator + "\n" + tree.root() + ": 300 folders, ");
  ASSERT_NE(at, std::string::npos) << batch.out;
  EXPECT_EQ(batch.out.find('\n', at + kSeparator.size() + 1), batch.out.size() - 1) << "the totals end it";
  int pages = 0;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "f" + std::to_string(1000 + i);
    if (!tree.exists(name + "/index.html")) continue;
    ++pages;
    EXPECT_NE(batch.out.find(tree.path(name) + ": 0 folders, 1 files ("), std::string::npos) << name;
  }
  EXPECT_GE(pages, 2);
  EXPECT_LT(pages, 300) << "it stopped early";
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
}

}  // namespace
}  // namespace pixelmote::cli
