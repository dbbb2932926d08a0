// The batch command: its arguments, its terminal front end, and
// pixelmote-batch run as a separate process on real trees.
#include "cli/options.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "cli/terminal_frontend.h"
#include "imaging/codec.h"
#include "testsupport/golden.h"
#include "testsupport/temp_tree.h"

namespace pixelmote::cli {
namespace {

// The fields of a result as one line: operation, folder, settings, jobs, update.
std::string describe(const BatchOptions& o) {
  const batch::BatchSettings& s = o.settings;
  return std::to_string(static_cast<int>(o.operation)) + " " + o.folder + " " + s.sImageExt + ">" + s.sThumbExt + " " +
         s.sPrefix + " c" + std::to_string(s.iColumns) + " b" + std::to_string(s.iBorder) + " s" +
         std::to_string(s.iSize) + " q" + std::to_string(s.iQuality) + " m" + std::to_string(s.iSmooth) + " j" +
         std::to_string(o.jobs) + (o.update ? " update" : "");
}

TEST(BatchOptions, AcceptedArgumentListsAndTheOptionsTheyGive) {
  testing::TempTree tree;
  // Values that do not fit their control are passed over; the others apply.
  const std::string ini = tree.fileWith("a.ini", "[Image]\nType=GIF\nThumb=gif\nColumn=11\nBorder=0\nPrefix=p_\n"
                                                 "Size=76\nQuality=152\nSmooth=x\n");
  const std::string ini2 = tree.fileWith("b.ini", "[Image]\nColumn=10\nBorder=11\nSize=12,5\nType=PNG\n");
  const int report = static_cast<int>(batch::Operation::Report);
  const int remove = static_cast<int>(batch::Operation::Remove);
  const int create = static_cast<int>(batch::Operation::Create);
  const struct {
    std::vector<std::string> args;
    char decimalPoint;
    std::string expected;
  } cases[] = {
      {{"report", "/data/pics"}, '.', std::to_string(report) + " /data/pics jpg>jpg t_ c5 b1 s25 q75 m0 j6"},
      {{"remove", "pics", "--source", "GIF", "--thumb=gif", "--prefix", "th", "--columns=10", "--border", "0", "--size",
        "100", "--quality=0", "--smooth", "33", "--jobs", "3"},
       '.', std::to_string(remove) + " /home/ann/pics gif>gif th c10 b0 s100 q0 m33 j3"},
      {{"create", "..", "--update", "--columns", "1", "--border=10", "--size", "0"}, '.',
       std::to_string(create) + " /home jpg>jpg t_ c1 b10 s0 q75 m0 j6 update"},
      {{"report", "x", "--settings", ini}, '.', std::to_string(report) + " /home/ann/x gif>gif p_ c5 b0 s50 q100 m0 j6"},
      {{"report", "x", "--settings", ini, "--prefix", "q_", "--columns", "2"}, '.',
       std::to_string(report) + " /home/ann/x gif>gif q_ c2 b0 s50 q100 m0 j6"},
      {{"report", "x", "--settings=" + ini2}, ',', std::to_string(report) + " /home/ann/x jpg>jpg t_ c10 b1 s8 q75 m0 j6"},
      {{"report", "--", "--x"}, '.', std::to_string(report) + " /home/ann/--x jpg>jpg t_ c5 b1 s25 q75 m0 j6"},
  };
  for (const auto& c : cases) {
    const ParseResult r = parseArguments(c.args, "/home/ann", 6, c.decimalPoint);
    ASSERT_TRUE(r.options) << c.expected << ": " << r.error;
    EXPECT_EQ(describe(*r.options), c.expected);
  }
  EXPECT_TRUE(parseArguments({"report", "--bogus", "-h"}, "/", 1).help) << "help wins wherever it stands";
  EXPECT_TRUE(parseArguments({"--version"}, "/", 1).version);
}

TEST(BatchOptions, RefusedArgumentListsNameTheOptionAndValue) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "missing OPERATION"},
      {{"scan", "/x"}, "unknown OPERATION 'scan'"},
      {{"report"}, "missing FOLDER"},
      {{"report", ""}, "FOLDER must not be empty"},
      {{"report", "/x", "/y"}, "unexpected argument '/y'"},
      {{"report", "/x", "--columns", "0"}, "invalid --columns '0'"},
      {{"report", "/x", "--columns", "11"}, "invalid --columns '11'"},
      {{"report", "/x", "--border=-1"}, "invalid --border '-1'"},
      {{"report", "/x", "--border", "+3"}, "invalid --border '+3'"},
      {{"report", "/x", "--size", "101"}, "invalid --size '101'"},
      {{"report", "/x", "--size", "abc"}, "invalid --size 'abc'"},
      {{"report", "/x", "--quality", "7.5"}, "invalid --quality '7.5'"},
      {{"report", "/x", "--smooth", ""}, "invalid --smooth ''"},
      {{"report", "/x", "--source", "png"}, "invalid --source 'png'"},
      {{"report", "/x", "--thumb", "jpeg"}, "invalid --thumb 'jpeg'"},
      {{"report", "/x", "--prefix", "a/b"}, "invalid --prefix 'a/b'"},
      {{"report", "/x", "--jobs", "0"}, "invalid --jobs '0'"},
      {{"report", "/x", "--quality"}, "option --quality needs a value"},
      {{"report", "/x", "--colour", "red"}, "unknown option --colour"},
      {{"report", "/x", "--settings", "/nonexistent/a.ini"}, "cannot read --settings file '/nonexistent/a.ini'"},
  };
  for (const auto& [args, message] : cases) {
    const ParseResult r = parseArguments(args, "/", 1);
    EXPECT_FALSE(r.options) << message;
    EXPECT_EQ(r.error.rfind(message, 0), 0u) << r.error;
  }
}

TEST(BatchOptions, AbsoluteFolderResolvesStepsAndDropsTrailingSlash) {
  const std::pair<const char*, const char*> cases[] = {
      {"pics/", "/home/ann/pics"},          {".", "/home/ann"},   {"../bob//pics/./", "/home/bob/pics"},
      {"/data///x/", "/data/x"},            {"/", "/"},           {"../../..", "/"},
      {"a\xff b", "/home/ann/a\xff b"},  // names are bytes
  };
  for (const auto& [folder, absolute] : cases) EXPECT_EQ(absoluteFolder(folder, "/home/ann"), absolute) << folder;
}


std::string contents(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string text;
  for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
  return text;
}

TEST(TerminalFrontend, ProgressLineOnlyWhenAskedForAndCtrlCAsksForStopOnce) {
  for (const bool progress : {false, true}) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(out && err);
    {
      TerminalFrontend frontend(out, err, progress);
      frontend.folderChanged("/pics/" + std::string(100, 'n'));
      frontend.setBar(0, 50, "50");
      frontend.appendStatus("/pics: 0 folders");
    }
    EXPECT_EQ(contents(out), "/pics: 0 folders\n");
    const std::string line = "Total 50%  Folder 0%  File 0%  /pics/" + std::string(60, 'n') + "...";
    EXPECT_EQ(contents(err), progress ? "\r\033[K" + line + "\r\033[K" : "");
    std::fclose(out);
    std::fclose(err);
  }

  TerminalFrontend frontend(stdout, stderr, false);
  TerminalFrontend::installInterruptHandler();
  EXPECT_FALSE(frontend.processEvents());
  EXPECT_FALSE(TerminalFrontend::interrupted());
  std::raise(SIGINT);
  EXPECT_TRUE(TerminalFrontend::interrupted());
  EXPECT_TRUE(frontend.processEvents());
  EXPECT_FALSE(frontend.processEvents()) << "the Stop is asked for once";
  std::signal(SIGINT, SIG_DFL);
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

// Replaces every `from` in `text` with `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Status lines byte for byte: relative folders, type and prefix options, a
// settings file, Remove; then what each run printed on its error stream and
// its exit status: 1 when something was not done.
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
  };
  std::string all;
  for (const auto& args : runs) {
    const Outcome o = runBatch(args, tree.root());
    all += "$ " + args[0] + " " + args[1] + "\n" + o.out + o.err + "exit " + std::to_string(o.exitCode) + "\n";
  }
  testing::expectGolden("cli/testdata/batch_runs.txt", replaced(all, tree.root(), "@"));
  EXPECT_FALSE(tree.exists("gone/t_a.jpg") || tree.exists("gone/index.html"));
  EXPECT_TRUE(tree.exists("gone/a.jpg"));

  const Outcome help = runBatch({"report", "--help"}, tree.root());
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("Usage: pixelmote-batch OPERATION FOLDER [OPTIONS]\n", 0), 0u);
}

TEST(BatchCommand, RefusalsAndUsageErrorsExitWithTwo) {
  TempTree tree;
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"report", "/"}, "Please select a folder\n"},
      {{"report", "/tmp/.."}, "Please select a folder\n"},
      {{"create", tree.root(), "--prefix", ""}, "Please enter a thumbnail prefix.\n"},
      {{}, "pixelmote-batch: missing OPERATION (create, remove or report)\nTry 'pixelmote-batch --help'"},
      {{"report", tree.root(), "--settings", tree.path("missing.ini")}, "cannot read --settings file"},
      {{"report", tree.path("nothing-here")}, "pixelmote-batch: FOLDER '" + tree.path("nothing-here") + "' is not a folder\n"},
  };
  for (const auto& [args, message] : cases) {
    const Outcome o = runBatch(args, tree.root());
    SCOPED_TRACE(args.empty() ? "(none)" : args.back());
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_NE(o.err.find(message), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
  }
}

// Ctrl-C ends the run with the totals and 130; a killed run has printed
// the line of every folder it finished, as a folder's page is written just
// before its status line.
TEST(BatchCommand, StoppedAndKilledRunsEndCleanly) {
  for (const int sig : {SIGINT, SIGKILL}) {
    SCOPED_TRACE(sig);
    TempTree tree;
    const std::string jpeg = smallJpeg();
    for (int i = 0; i < 300; ++i) tree.fileWith("f" + std::to_string(1000 + i) + "/a.jpg", jpeg);
    const Outcome batch = runBatch({"create", ".", "--jobs", "1"}, tree.root(), sig, 3);
    EXPECT_EQ(batch.exitCode, sig == SIGINT ? 130 : 128 + SIGKILL);
    if (sig == SIGINT) {
      const auto at = batch.out.find(kSeparator + "\n" + tree.root() + ": 300 folders, ");
      ASSERT_NE(at, std::string::npos) << batch.out;
      EXPECT_EQ(batch.out.find('\n', at + kSeparator.size() + 1), batch.out.size() - 1) << "the totals end it";
    }
    int pages = 0;
    int missing = 0;
    for (int i = 0; i < 300; ++i) {
      const std::string name = "f" + std::to_string(1000 + i);
      if (!tree.exists(name + "/index.html")) continue;
      ++pages;
      if (batch.out.find(tree.path(name) + ": 0 folders, 1 files (") == std::string::npos) ++missing;
    }
    EXPECT_GE(pages, 2);
    EXPECT_LT(pages, 300) << "it stopped early";
    EXPECT_LE(missing, 1) << pages << " pages\n" << batch.out;
  }
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
  // Size and columns reach the run: 60x30 at 50 % is 30 wide; one picture a row.
  const Outcome sized = runBatch({"create", "pics/a", "--size", "50", "--columns", "1", "--thumb", "gif"}, tree.root());
  ASSERT_EQ(sized.exitCode, 0) << sized.err;
  EXPECT_EQ(tree.read("pics/a/t_p3.gif").substr(6, 2), std::string("\x1e\x00", 2));
  EXPECT_EQ(tree.read("pics/a/index.html").find("</td><td"), std::string::npos);
  EXPECT_NE(tree.read("pics/a/index.html").find("</td></tr><tr><td"), std::string::npos);
  ASSERT_EQ(runBatch({"create", "pics/a", "--thumb", "gif"}, tree.root()).exitCode, 0);
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

}  // namespace
}  // namespace pixelmote::cli
