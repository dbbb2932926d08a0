// pixelmote-batch: runs Create, Remove and Report from scripts, headless.
#include <clocale>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "batch/engine.h"
#include "cli/options.h"
#include "cli/terminal_frontend.h"
#include "imaging/imglib.h"
#include "util/memory.h"

using namespace pixelmote;

namespace {

// Exit status: the run did everything; it finished but skipped pictures or
// could not write files; a refusal or usage error; stopped by Ctrl-C.
constexpr int kExitDone = 0;
constexpr int kExitIncomplete = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

std::string currentFolder() {
  std::vector<char> buf(4096);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return "/";
    buf.resize(buf.size() * 2);
  }
  return buf.data();
}

}  // namespace

int main(int argc, char** argv) {
  util::limitRetainedMemory();
  // Numbers in status lines follow the user's locale.
  std::setlocale(LC_ALL, "");
  const batch::NumberFormat numbers = batch::NumberFormat::fromLocale();

  const std::vector<std::string> args(argv + 1, argv + argc);
  const cli::ParseResult parsed =
      cli::parseArguments(args, currentFolder(), std::thread::hardware_concurrency(), numbers.decimalPoint.front());
  if (parsed.help) {
    std::fputs(cli::kUsage, stdout);
    return 0;
  }
  if (parsed.version) {
    std::printf("pixelmote-batch %s\n", PIXELMOTE_VERSION);
    return 0;
  }
  if (!parsed.options) {
    std::fprintf(stderr, "pixelmote-batch: %s\n%s", parsed.error.c_str(),
                 "Try 'pixelmote-batch --help' for more information.\n");
    return kExitUsage;
  }
  const cli::BatchOptions& options = *parsed.options;

  struct stat st {};
  if (options.folder != "/" && (::stat(options.folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    std::fprintf(stderr, "pixelmote-batch: FOLDER '%s' is not a folder\n", options.folder.c_str());
    return kExitUsage;
  }

  imaging::startImaging();
  cli::TerminalFrontend frontend(stdout, stderr, ::isatty(STDERR_FILENO) == 1);
  batch::Engine engine(frontend, numbers);
  cli::TerminalFrontend::installInterruptHandler();

  batch::BatchSettings settings = options.settings;
  settings.sFolder = options.folder;
  const batch::CommandResult result =
      engine.runCommand(options.operation, settings, batch::RunOptions{options.jobs, options.update});
  frontend.finish();
  std::fflush(stdout);
  if (result != batch::CommandResult::Ran) return kExitUsage;
  if (cli::TerminalFrontend::interrupted()) return kExitInterrupted;
  const batch::RunSummary& run = engine.lastRun();
  return run.skippedPictures > 0 || run.unwrittenFiles > 0 ? kExitIncomplete : kExitDone;
}
