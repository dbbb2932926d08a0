#include "imaging/pipeline.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "imaging/imglib.h"

namespace pixelmote::imaging {

namespace {

// A failure to make the thumbnail of `path` at all.
PreparedThumbnail failedToLoad(const std::string& path, const RenderSettings& settings, const char* why) noexcept {
  PreparedThumbnail prepared;
  prepared.outcome.result = RenderResult::Unreadable;
  try {
    prepared.outcome.thumbnailPath = thumbnailPathFor(path, settings.prefix, settings.thumbExt);
    prepared.outcome.message = why;
  } catch (...) {
    // The outcome stays without its texts.
  }
  return prepared;
}

}  // namespace

LoadEstimate thumbnailWorkEstimate(const std::string& path, double sizePercent) {
  LoadEstimate estimate = estimateLoadBytes(path, sizePercent);
  // The decoder is gone when rendering begins; two more copies of the box
  // are the most rendering holds at once besides the box itself.
  estimate.working = std::max(estimate.working, 2 * estimate.box + (std::uint64_t{1} << 20));
  return estimate;
}

ThumbnailPipeline::ThumbnailPipeline(unsigned workers, std::size_t window, std::uint64_t budgetBytes,
                                     Estimate estimate, Worker worker)
    : m_window(window < 1 ? 1 : window), m_budget(budgetBytes), m_estimate(std::move(estimate)) {
  if (worker) {
    m_worker = std::move(worker);
  } else {
    // The workers read and write with the settings this thread has now.
    m_worker = [start = imagingVariables()](const std::string& path, const RenderSettings& settings) {
      return prepareThumbnail(path, settings, start);
    };
  }
  for (unsigned i = 0; i < workers; ++i) m_threads.emplace_back([this] { work(); });
}

ThumbnailPipeline::~ThumbnailPipeline() {
  std::deque<std::shared_ptr<Job>> dropped;
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    for (auto& job : m_queue) job->dropped = true;
    dropped.swap(m_queue);
  }
  m_wake.notify_all();
  for (std::thread& t : m_threads) t.join();
}

PreparedThumbnail ThumbnailPipeline::runWorker(const std::string& path, const RenderSettings& settings) noexcept {
  try {
    return m_worker(path, settings);
  } catch (const std::bad_alloc&) {
    return failedToLoad(path, settings, kNoMemoryToLoad);
  } catch (const std::length_error&) {
    return failedToLoad(path, settings, kNoMemoryToLoad);
  } catch (...) {
    return failedToLoad(path, settings, "cannot load the picture");
  }
}

LoadEstimate ThumbnailPipeline::runEstimate(const std::string& path, double sizePercent) noexcept {
  try {
    return m_estimate ? m_estimate(path, sizePercent) : LoadEstimate{};
  } catch (...) {
    return {};  // the picture's own work will meet the same trouble and report it
  }
}

void ThumbnailPipeline::startEarlyFrom(std::uint64_t workingBytes) {
  std::lock_guard lock(m_mutex);
  m_earlyFrom = workingBytes;
}

void ThumbnailPipeline::schedule(const std::vector<std::string>& paths, const RenderSettings& settings) {
  if (m_threads.empty()) return;  // nothing is made ahead without workers
  {
    std::lock_guard lock(m_mutex);
    for (const std::string& path : paths) {
      auto job = std::make_shared<Job>();
      job->path = path;
      job->settings = settings;
      m_queue.push_back(std::move(job));
    }
  }
  m_wake.notify_all();
}

void ThumbnailPipeline::releaseBox(Job& job) {
  if (!job.boxHeld) return;
  m_boxes -= std::min(m_boxes, job.cost.box);
  job.boxHeld = false;
}

bool ThumbnailPipeline::fits(const Job& job) const {
  if (m_working + m_boxes + job.cost.total() <= m_budget) return true;
  // The picture the run needs next waits only for pictures still being made,
  // never for boxes made ahead of it: those are given back only after it.
  return m_loading == 0 && !m_queue.empty() && m_queue.front().get() == &job;
}

ThumbnailPipeline::Job* ThumbnailPipeline::nextJob(bool& load) const {
  const std::size_t limit = std::min(m_window, m_queue.size());
  // Every picture in the window is estimated before more are made, so that
  // a slow one further on is known in time to start it early. Reading a
  // header takes a fraction of a millisecond.
  for (std::size_t i = 0; i < limit; ++i) {
    Job& job = *m_queue[i];
    if (!job.dropped && job.state == State::Pending && !job.estimated) {
      load = false;
      return &job;
    }
  }
  // Every pending picture in the window is estimated from here on.
  load = true;
  for (std::size_t i = 0; i < limit; ++i) {
    Job& job = *m_queue[i];
    if (!job.dropped && job.state == State::Pending && job.cost.working >= m_earlyFrom && fits(job)) return &job;
  }
  // Otherwise queue order. A picture may go ahead of an earlier one only
  // when that one is known not to fit now; one still being estimated may fit
  // and keeps its turn.
  bool earlierUnknown = false;
  for (std::size_t i = 0; i < limit; ++i) {
    Job& job = *m_queue[i];
    if (job.dropped) continue;
    if (job.state == State::Estimating) earlierUnknown = true;
    if (job.state != State::Pending) continue;
    if (!earlierUnknown && fits(job)) return &job;
  }
  return nullptr;
}

void ThumbnailPipeline::work() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    Job* next = nullptr;
    bool load = false;
    m_wake.wait(lock, [&] { return m_stopping || (next = nextJob(load)) != nullptr; });
    if (m_stopping) return;
    // The queue may drop the job while the lock is released; holding a share
    // of it keeps it alive until this worker is done with it.
    std::shared_ptr<Job> job;
    for (const auto& queued : m_queue) {
      if (queued.get() == next) job = queued;
    }
    ++m_busy;
    if (!load) {
      // How much the picture's work will hold, read from its header.
      job->state = State::Estimating;
      const double size = job->settings.sizePercent;
      lock.unlock();
      const LoadEstimate cost = runEstimate(job->path, size);
      lock.lock();
      job->cost = cost;
      job->estimated = true;
      job->state = State::Pending;
      --m_busy;
      m_wake.notify_all();  // it may be made now, by this worker or another
      m_done.notify_all();  // for waitIdle
      continue;
    }

    job->state = State::Running;
    job->redo = false;
    job->boxHeld = true;
    m_working += job->cost.working;
    m_boxes += job->cost.box;
    ++m_loading;
    ++m_started;
    m_peakInUse = std::max(m_peakInUse, m_working + m_boxes);
    const std::string path = job->path;
    const RenderSettings settings = job->settings;
    lock.unlock();
    std::unique_ptr<PreparedThumbnail> result;
    try {
      result = std::make_unique<PreparedThumbnail>(runWorker(path, settings));
    } catch (const std::bad_alloc&) {
      // No room even for the result: take() makes the thumbnail on the spot.
    }
    lock.lock();
    m_working -= std::min(m_working, job->cost.working);
    --m_loading;
    --m_busy;
    if (job->dropped || job->redo) {
      // Nobody will take it, or it is to be made again with other settings.
      releaseBox(*job);
      job->state = job->dropped ? State::Done : State::Pending;
      job->redo = false;
      lock.unlock();
      result.reset();  // deletes what it staged, outside the lock
      lock.lock();
    } else {
      job->result = std::move(result);
      job->state = State::Done;
    }
    m_done.notify_all();
    m_wake.notify_all();  // the budget has room again
  }
}

PreparedThumbnail ThumbnailPipeline::take(const std::string& path, const RenderSettings& settings) {
  std::shared_ptr<Job> job;
  std::vector<std::shared_ptr<Job>> skipped;  // released outside the lock
  {
    std::unique_lock lock(m_mutex);
    std::size_t at = 0;
    while (at < m_queue.size() && !(m_queue[at]->path == path && m_queue[at]->settings == settings)) ++at;
    if (at < m_queue.size()) {
      // Pictures queued before this one will not be asked for any more.
      for (std::size_t i = 0; i < at; ++i) {
        Job& dropped = *m_queue[i];
        dropped.dropped = true;
        if (dropped.state == State::Done) releaseBox(dropped);
      }
      skipped.assign(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(at));
      job = m_queue[at];
      m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(at));
      m_wake.notify_all();  // the window moved on
      // A worker makes it even when none has started it yet: it is first in
      // line for the budget, and making it here instead would make one
      // picture more at once than the budget allows. It stays queued until
      // then, so that a worker finds it.
      m_done.wait(lock, [&] { return job->state == State::Done; });
      std::erase(m_queue, job);
      releaseBox(*job);
      m_wake.notify_all();  // the window and the budget moved on
    }
  }
  skipped.clear();
  if (job && job->result) return std::move(*job->result);
  return runWorker(path, settings);
}

void ThumbnailPipeline::changeSettings(const RenderSettings& settings) {
  std::vector<std::unique_ptr<PreparedThumbnail>> stale;  // released outside the lock
  {
    std::lock_guard lock(m_mutex);
    for (auto& job : m_queue) {
      if (job->dropped || job->settings == settings) continue;
      job->settings = settings;
      if (job->state == State::Running) {
        job->redo = true;
      } else if (job->state == State::Done) {
        releaseBox(*job);
        stale.push_back(std::move(job->result));
        job->state = State::Pending;
      }
    }
  }
  m_wake.notify_all();
}

std::size_t ThumbnailPipeline::started() {
  std::lock_guard lock(m_mutex);
  return m_started;
}

std::uint64_t ThumbnailPipeline::peakInUse() {
  std::lock_guard lock(m_mutex);
  return m_peakInUse;
}

void ThumbnailPipeline::waitIdle() {
  std::unique_lock lock(m_mutex);
  bool load = false;
  m_done.wait(lock, [&] { return m_threads.empty() || (m_busy == 0 && nextJob(load) == nullptr); });
}

void ThumbnailPipeline::cancel() {
  std::deque<std::shared_ptr<Job>> dropped;  // released outside the lock
  {
    std::unique_lock lock(m_mutex);
    for (auto& job : m_queue) {
      job->dropped = true;
      if (job->state == State::Done) releaseBox(*job);
    }
    dropped.swap(m_queue);
    m_wake.notify_all();
    m_done.wait(lock, [&] { return m_busy == 0; });
  }
}

}  // namespace pixelmote::imaging
