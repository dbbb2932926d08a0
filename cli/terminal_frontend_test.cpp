// The batch command's front end: Ctrl-C reaches the run as a Stop.
#include "cli/terminal_frontend.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

namespace pixelmote::cli {
namespace {

TEST(TerminalFrontend, CtrlCAsksForStopOnceAtTheNextEventPass) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_NE(err, nullptr);
  {
    TerminalFrontend frontend(out, err, false);
    TerminalFrontend::installInterruptHandler();
    EXPECT_FALSE(frontend.processEvents());
    EXPECT_FALSE(TerminalFrontend::interrupted());
    std::raise(SIGINT);
    EXPECT_TRUE(TerminalFrontend::interrupted());
    EXPECT_TRUE(frontend.processEvents());
    EXPECT_FALSE(frontend.processEvents()) << "the Stop is asked for once";
  }
  std::signal(SIGINT, SIG_DFL);
  std::fclose(out);
  std::fclose(err);
}

}  // namespace
}  // namespace pixelmote::cli
