// The batch command's front end: Ctrl-C reaches the run as a Stop; the
// progress line is drawn on the error stream only when asked for.
#include "cli/terminal_frontend.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

namespace pixelmote::cli {
namespace {

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

}  // namespace
}  // namespace pixelmote::cli
