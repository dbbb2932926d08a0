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

#include "imaging/raster.h"
#include "util/result.h"

namespace pixelmote::imaging {

// A queue of pictures to load into their thumbnail boxes. Workers load the
// first pictures of the queue, at most `window` ahead of what has been taken
// and within a memory budget (what each load is estimated to hold, counted
// until its box is taken; one load may always run), so memory stays bounded
// however long the queue and however large the pictures. The caller takes
// the results in queue order; a picture it skips (because the folder
// changed) is dropped, and one that was never queued is loaded on the spot.
class BoxPrefetcher {
 public:
  using Estimate = std::function<std::uint64_t(const std::string& path, double sizePercent)>;

  // `workers` threads (0: everything is loaded on the spot, in take()).
  // Without an estimate every load counts as 0 bytes.
  BoxPrefetcher(unsigned workers, std::size_t window, std::uint64_t budgetBytes = UINT64_MAX,
                Estimate estimate = {});
  ~BoxPrefetcher();
  BoxPrefetcher(const BoxPrefetcher&) = delete;
  BoxPrefetcher& operator=(const BoxPrefetcher&) = delete;

  // Appends pictures to the queue, each to be loaded at `sizePercent`.
  void schedule(const std::vector<std::string>& paths, double sizePercent);
  // The box of `path` at `sizePercent`: the queued result when there is one
  // (waiting for it if a worker is loading it), else loaded now. Queued
  // pictures before it are dropped.
  util::Result<Raster> take(const std::string& path, double sizePercent);
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
  enum class State { Pending, Claimed, Running, Done };
  struct Job {
    std::string path;
    double sizePercent = 0;
    State state = State::Pending;
    bool dropped = false;  // abandoned: a worker still at it throws its result away
    std::uint64_t cost = 0;
    std::unique_ptr<util::Result<Raster>> result;
  };

  void work();
  void release(Job& job);  // gives back the job's share of the budget

  std::mutex m_mutex;
  std::condition_variable m_wake;  // workers: new work, budget, or shutdown
  std::condition_variable m_done;  // taker: a job finished
  std::deque<std::shared_ptr<Job>> m_queue;
  std::size_t m_window;
  std::uint64_t m_budget;
  Estimate m_estimate;
  std::uint64_t m_inUse = 0;
  std::uint64_t m_peakInUse = 0;
  std::size_t m_busy = 0;     // jobs a worker is estimating, waiting for or loading
  std::size_t m_waiting = 0;  // of those, the ones waiting for room in the budget
  std::size_t m_started = 0;
  bool m_stopping = false;
  std::vector<std::thread> m_threads;
};

}  // namespace pixelmote::imaging
