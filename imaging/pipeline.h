// Making thumbnails ahead, on worker threads, in the order the run will ask
// for them, within a memory budget.
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

namespace pixelmote::imaging {

// A queue of pictures to make thumbnails of. Workers take pictures of the
// first `window` places of the queue through the whole pipeline
// (prepareThumbnail: decode into the box, temporary bitmap, read-back,
// encode, the thumbnail written under a temporary name) within a memory
// budget: the working memory of the pictures in the pipeline plus the boxes
// of those done and not yet taken, all estimated from the pictures' headers.
// Memory stays bounded however long the queue and however large the
// pictures. Workers take the queue in order, but a picture that does not fit
// in the budget now lets later ones that do go first; the picture at the
// front of the queue (the one the run needs next) may always start once no
// other runs, however large. A picture whose decoder holds a lot (a large or
// progressive one, slow to decode) may be set to start as soon as it is in
// the window and fits, so that its long decode runs beside the pictures
// before it instead of holding up the run when it reaches it. The caller
// takes the results in queue order, waiting for the workers when it is ahead
// of them; a picture it skips (because the folder changed) is dropped, and
// one that was never queued, or queued with other settings, is made on the
// spot. Whatever is dropped, cancelled or never taken leaves no file behind.
// A worker that throws (memory running out) gives that picture's failure;
// no exception leaves a worker or take().
// What making the thumbnail of the file at `path` holds: the load's
// estimate (estimateLoadBytes), with the working memory raised to cover
// rendering from the box, which is kept until the run takes the thumbnail:
// the copy, its bitmap and read-back.
LoadEstimate thumbnailWorkEstimate(const std::string& path, double sizePercent);

class ThumbnailPipeline {
 public:
  using Estimate = std::function<LoadEstimate(const std::string& path, double sizePercent)>;
  using Worker = std::function<PreparedThumbnail(const std::string& path, const RenderSettings& settings)>;

  // `workers` threads (0: everything is made on the spot, in take()).
  // Without an estimate every picture counts as 0 bytes; without a worker
  // function the pictures go through prepareThumbnail with imaging variables
  // copied from the calling thread's now. An estimate that throws counts as
  // 0 bytes.
  ThumbnailPipeline(unsigned workers, std::size_t window, std::uint64_t budgetBytes = UINT64_MAX,
                    Estimate estimate = {}, Worker worker = {});
  ~ThumbnailPipeline();
  ThumbnailPipeline(const ThumbnailPipeline&) = delete;
  ThumbnailPipeline& operator=(const ThumbnailPipeline&) = delete;

  // Pictures whose decoders hold at least `workingBytes` start ahead of
  // their turn when they fit (by default none does).
  void startEarlyFrom(std::uint64_t workingBytes);
  // Appends pictures to the queue, each to be made with `settings`.
  void schedule(const std::vector<std::string>& paths, const RenderSettings& settings);
  // The thumbnail of `path` made with `settings`: the queued result when
  // there is one (waiting for a worker to make it), else made now. Queued
  // pictures before it are dropped.
  PreparedThumbnail take(const std::string& path, const RenderSettings& settings);
  // The queued pictures are to be made with `settings` (whose size is that
  // of their schedule) from now on: those made or being made with others
  // are made again.
  void changeSettings(const RenderSettings& settings);
  // Drops everything queued or made ahead and waits for the workers to
  // finish the pictures they are at.
  void cancel();

  unsigned workers() const { return static_cast<unsigned>(m_threads.size()); }
  // Pictures the workers have started making so far.
  std::size_t started();
  // The largest budget in use at any moment so far.
  std::uint64_t peakInUse();
  // Waits until the workers have nothing more they may start now.
  void waitIdle();

 private:
  enum class State { Pending, Estimating, Running, Done };
  struct Job {
    std::string path;
    RenderSettings settings;
    State state = State::Pending;
    bool estimated = false;
    bool dropped = false;    // abandoned: a worker still at it throws its result away
    bool redo = false;       // its settings changed while a worker was at it
    bool boxHeld = false;    // its box counts against the budget
    LoadEstimate cost;
    std::unique_ptr<PreparedThumbnail> result;
  };

  void work();
  // The worker function's result, or a failure for what it threw.
  PreparedThumbnail runWorker(const std::string& path, const RenderSettings& settings) noexcept;
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
  Worker m_worker;
  std::uint64_t m_working = 0;  // working memory of the pictures being made
  std::uint64_t m_boxes = 0;    // boxes of the pictures being made or done and not yet taken
  std::uint64_t m_peakInUse = 0;
  std::size_t m_loading = 0;    // pictures being made
  std::size_t m_busy = 0;       // workers estimating or making
  std::size_t m_started = 0;
  bool m_stopping = false;
  std::vector<std::thread> m_threads;
};

}  // namespace pixelmote::imaging
