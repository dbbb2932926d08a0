// A Create run over a huge file that is no picture, under a memory limit:
// the file is skipped and the run goes on.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "batch/engine.h"
#include "imaging/codec.h"
#include "imaging/imglib.h"
#include "testsupport/recording_frontend.h"
#include "testsupport/temp_tree.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PIXELMOTE_RESERVES_ADDRESS_SPACE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define PIXELMOTE_RESERVES_ADDRESS_SPACE 1
#endif
#endif

namespace pixelmote::batch {
namespace {

using testing::RecordingFrontend;
using testing::TempTree;

constexpr rlim_t kAddressSpace = rlim_t{3} << 29;        // 1.5 GB
constexpr std::uint64_t kHugeFile = std::uint64_t{3} << 30;  // 3 GiB

// What the child found wrong, as its exit code.
enum Verdict : int {
  kAllWell = 0,
  kNoLimit = 10,
  kRunRefused,
  kNoThumbnail,
  kNoCell,
  kSkipLines,
  kNoTotals,
  kThrew,  // an exception left the run
};

// Runs Create over `folder` with `jobs` jobs; what it checks of the outcome
// comes back as a Verdict.
int createAndCheck(const std::string& folder, unsigned jobs) {
  imaging::startImaging();
  RecordingFrontend frontend;
  Engine engine(frontend, NumberFormat::english());
  BatchSettings settings;
  RunOptions options;
  options.jobs = jobs;
  settings.sFolder = folder;
  if (engine.runCommand(Operation::Create, settings, options) != CommandResult::Ran) return kRunRefused;

  if (::access((folder + "/t_a.jpg").c_str(), F_OK) != 0) return kNoThumbnail;
  std::string page;
  if (FILE* f = std::fopen((folder + "/index.html").c_str(), "rb")) {
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) page.append(buffer, n);
    std::fclose(f);
  }
  if (page.find("<a href='a.jpg'><img src='t_a.jpg' border=0></a>") == std::string::npos) return kNoCell;
  if (page.find("b.jpg") != std::string::npos) return kNoCell;
  const std::string skipped = std::string(kStatusUnreadable) + folder + "/b.jpg";
  if (std::count(frontend.status.begin(), frontend.status.end(), skipped) != 1) return kSkipLines;
  if (std::count_if(frontend.status.begin(), frontend.status.end(),
                    [](const std::string& line) { return line.rfind(kStatusUnreadable, 0) == 0; }) != 1) {
    return kSkipLines;
  }
  if (frontend.status.empty() || frontend.status.back().rfind(folder + ": 0 folders, 2 files", 0) != 0) return kNoTotals;
  return kAllWell;
}

class LargeFileTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(LargeFileTest, AHugeNonPictureIsSkippedUnderAMemoryLimit) {
#ifdef PIXELMOTE_RESERVES_ADDRESS_SPACE
  GTEST_SKIP() << "the sanitizer reserves more address space than the limit allows";
#else
  TempTree tree;
  tree.fileWith("a.jpg", imaging::encodeJpeg(imaging::Raster(imaging::Size{64, 48}, {40, 90, 160}), 85, 0).value());
  const std::string huge = tree.fileWith("b.jpg", "this is no picture");
  ASSERT_EQ(::truncate(huge.c_str(), static_cast<off_t>(kHugeFile)), 0);

  // The limit is set in a child so that it binds only the run; the child
  // reports by its exit code, and a run that aborts shows as a signal.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{kAddressSpace, kAddressSpace};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(kNoLimit);
    // Nothing may return into the test framework from the child.
    int verdict = kThrew;
    try {
      verdict = createAndCheck(tree.root(), GetParam());
    } catch (...) {
    }
    ::_exit(verdict);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the run ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), kAllWell);
#endif
}

INSTANTIATE_TEST_SUITE_P(Jobs, LargeFileTest, ::testing::Values(1u, 2u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                           return info.param == 1 ? std::string("OneJob") : std::string("TwoJobs");
                         });

}  // namespace
}  // namespace pixelmote::batch
