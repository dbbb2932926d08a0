// Loading thumbnail boxes ahead, on worker threads, in the order the run
// will ask for them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "imaging/raster.h"
#include "util/result.h"

namespace pixelmote::imaging {

// A queue of pictures to load into their thumbnail boxes. Workers load the
// first pictures of the queue, at most `window` ahead of what has been taken,
// so memory stays bounded however long the queue is. The caller takes the
// results in queue order; a picture it skips (because the folder changed)
// is dropped, and a picture that was never queued is loaded on the spot.
class BoxPrefetcher {
 public:
  // `workers` threads (0: everything is loaded on the spot, in take()).
  BoxPrefetcher(unsigned workers, std::size_t window);
  ~BoxPrefetcher();
  BoxPrefetcher(const BoxPrefetcher&) = delete;
  BoxPrefetcher& operator=(const BoxPrefetcher&) = delete;

  // Appends pictures to the queue, each to be loaded at `sizePercent`.
  void schedule(const std::vector<std::string>& paths, double sizePercent);
  // The box of `path` at `sizePercent`: the queued result when there is one
  // (waiting for it if a worker is still at it), else loaded now. Queued
  // pictures before it are dropped.
  util::Result<Raster> take(const std::string& path, double sizePercent);
  // Drops everything queued or loaded ahead and waits for the workers to
  // finish the pictures they are at.
  void cancel();

  unsigned workers() const { return static_cast<unsigned>(m_threads.size()); }
  // Pictures the workers have started loading so far.
  std::size_t started();
  // Waits until the workers have nothing more they may start now.
  void waitIdle();

 private:
  enum class State { Pending, Running, Done };
  struct Job {
    std::string path;
    double sizePercent = 0;
    State state = State::Pending;
    bool dropped = false;  // abandoned while running: its result is thrown away
    std::unique_ptr<util::Result<Raster>> result;
  };

  void work();

  std::mutex m_mutex;
  std::condition_variable m_wake;   // workers: new work or shutdown
  std::condition_variable m_done;   // taker: a job finished
  std::deque<std::shared_ptr<Job>> m_queue;
  std::size_t m_window;
  std::size_t m_running = 0;
  std::size_t m_started = 0;
  bool m_stopping = false;
  std::vector<std::thread> m_threads;
};

}  // namespace pixelmote::imaging
