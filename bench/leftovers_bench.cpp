// Cost of clearing dead runs' temporary files: one call of removeDeadLeftovers
// on a folder of many pictures, with and without leftovers in it, and the cost
// of making a temporary name. Built and run by bench/leftovers_bench.sh.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "util/temp_files.h"

using namespace pixelmote::util;
using Clock = std::chrono::steady_clock;

namespace {

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void touch(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: leftovers_bench FOLDER PICTURES LEFTOVERS\n");
    return 2;
  }
  const std::string folder = argv[1];
  const long pictures = std::atol(argv[2]);
  const long leftovers = std::atol(argv[3]);
  for (long i = 0; i < pictures; ++i) touch(folder + "/photo" + std::to_string(i) + ".jpg");

  auto start = Clock::now();
  const std::size_t none = removeDeadLeftovers(folder);
  std::printf("%ld pictures, no leftovers: %.2f ms (removed %zu)\n", pictures, millisecondsSince(start), none);

  // Leftovers of ten processes that no longer run (free PIDs above the
  // kernel's largest), and as many files of this running process.
  ProcessTag dead = currentProcessTag();
  for (long i = 0; i < leftovers; ++i) {
    dead.pid = 4194305 + static_cast<pid_t>(i % 10);
    touch(folder + "/" + temporaryFileName(TemporaryKind::AtomicWrite, dead, static_cast<std::uint32_t>(i)));
    touch(folder + "/" + temporaryFileName(TemporaryKind::AtomicWrite));
  }
  start = Clock::now();
  const std::size_t removed = removeDeadLeftovers(folder);
  std::printf("%ld pictures, %ld dead and %ld live leftovers: %.2f ms (removed %zu)\n", pictures, leftovers,
              leftovers, millisecondsSince(start), removed);

  constexpr int kNames = 1000000;
  std::size_t total = 0;
  start = Clock::now();
  for (int i = 0; i < kNames; ++i) total += temporaryFileName(TemporaryKind::AtomicWrite).size();
  std::printf("making a temporary name: %.0f ns (%zu bytes)\n", millisecondsSince(start) * 1e6 / kNames, total);
  return removed == static_cast<std::size_t>(leftovers) ? 0 : 1;
}
