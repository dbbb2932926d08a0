// Loading thumbnail boxes ahead, on worker threads, in the order the run
// will ask for them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "imaging/estimate.h"
#include "imaging/raster.h"
#include "imaging/render.h"
#include "util/result.h"

namespace pixelmote::imaging {

// A queue of pictures to load into their thumbnail boxes. Workers load
// pictures of the first `window` places of the queue within a memory budget:
// the decoders' working memory while they run plus the boxes until they are
// taken, both estimated from the pictures' headers. Memory stays bounded
// however long the queue and however large the pictures. Workers take the
// queue in order, but a picture that does not fit in the budget now lets
// later ones that do go first; the picture at the front of the queue (the one
// the run needs next) may always start once no other load runs, however
// large. A load whose decoder holds a lot (a large or progressive picture,
// slow to decode) may be set to start as soon as it is in the window and
// fits, so that its long decode runs beside the pictures before it instead
// of holding up the run when it reaches it. The caller takes the results in
// queue order, waiting for the workers when it is ahead of them; a picture
// it skips (because the folder changed) is dropped, and one that was never
// queued is loaded on the spot. A load that throws (memory running out, on
// a worker or on the spot) is that picture's failure; no exception leaves a
// worker or take().
class BoxPrefetcher {
 public:
  using Estimate = std::function<LoadEstimate(const std::string& path, double sizePercent)>;
  using Loader = std::function<util::Result<LoadedBox>(const std::string& path, double sizePercent)>;

  // `workers` threads (0: everything is loaded on the spot, in take()).
  // Without an estimate every load counts as 0 bytes; without a loader the
  // pictures are loaded by loadThumbnailBox. An estimate that throws counts
  // as 0 bytes.
  BoxPrefetcher(unsigned workers, std::size_t window, std::uint64_t budgetBytes = UINT64_MAX,
                Estimate estimate = {}, Loader loader = {});
  ~BoxPrefetcher();
  BoxPrefetcher(const BoxPrefetcher&) = delete;
  BoxPrefetcher& operator=(const BoxPrefetcher&) = delete;

  // Loads whose working memory is at least `workingBytes` start ahead of
  // their turn when they fit (by default none does).
  void startEarlyFrom(std::uint64_t workingBytes);
  // Appends pictures to the queue, each to be loaded at `sizePercent`.
  void schedule(const std::vector<std::string>& paths, double sizePercent);
  // The box of `path` at `sizePercent`: the queued result when there is one
  // (waiting for a worker to load it), else loaded now. Queued pictures
  // before it are dropped.
  util::Result<LoadedBox> take(const std::string& path, double sizePercent);
  // Drops everything queued or loaded ahead and waits for the workers to
  // finish the pictures they are at.
  void cancel();

  unsigned workers() const { return static_cast<unsigned>(m_threads.size()); }
  // Pictures the workers have started loading so far.
  std::size_t started();
  // The largest budget in use at any moment so far.
  std::uint64_t peakInUse();
  // Waits until the workers have nothing more they may start now.
  void waitIdle();

 private:
  enum class State { Pending, Estimating, Running, Done };
  struct Job {
    std::string path;
    double sizePercent = 0;
    State state = State::Pending;
    bool estimated = false;
    bool dropped = false;    // abandoned: a worker still at it throws its result away
    bool boxHeld = false;    // its box counts against the budget
    LoadEstimate cost;
    std::unique_ptr<util::Result<LoadedBox>> result;
  };

  void work();
  // The loader's result, or a failure for what it threw.
  util::Result<LoadedBox> runLoader(const std::string& path, double sizePercent) noexcept;
  LoadEstimate runEstimate(const std::string& path, double sizePercent) noexcept;
  // The job a free worker should turn to now (to estimate it or to load it),
  // or null; `load` tells which.
  Job* nextJob(bool& load) const;
  bool fits(const Job& job) const;
  void releaseBox(Job& job);  // gives back the job's box share of the budget

  std::mutex m_mutex;
  std::condition_variable m_wake;  // workers: new work, budget, or shutdown
  std::condition_variable m_done;  // taker: a job finished
  std::deque<std::shared_ptr<Job>> m_queue;
  std::size_t m_window;
  std::uint64_t m_budget;
  std::uint64_t m_earlyFrom = UINT64_MAX;
  Estimate m_estimate;
  Loader m_loader;
  std::uint64_t m_working = 0;  // working memory of the loads running
  std::uint64_t m_boxes = 0;    // boxes of the loads running or done and not yet taken
  std::uint64_t m_peakInUse = 0;
  std::size_t m_loading = 0;    // loads running
  std::size_t m_busy = 0;       // workers estimating or loading
  std::size_t m_started = 0;
  bool m_stopping = false;
  std::vector<std::thread> m_threads;
};

}  // namespace pixelmote::imaging
