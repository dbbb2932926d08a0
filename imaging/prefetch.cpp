#include "imaging/prefetch.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace pixelmote::imaging {

BoxPrefetcher::BoxPrefetcher(unsigned workers, std::size_t window, std::uint64_t budgetBytes, Estimate estimate,
                             Loader loader)
    : m_window(window < 1 ? 1 : window),
      m_budget(budgetBytes),
      m_estimate(std::move(estimate)),
      m_loader(loader ? std::move(loader) : Loader(loadThumbnailBox)) {
  for (unsigned i = 0; i < workers; ++i) m_threads.emplace_back([this] { work(); });
}

BoxPrefetcher::~BoxPrefetcher() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    for (auto& job : m_queue) job->dropped = true;
    m_queue.clear();
  }
  m_wake.notify_all();
  for (std::thread& t : m_threads) t.join();
}

util::Result<LoadedBox> BoxPrefetcher::runLoader(const std::string& path, double sizePercent) noexcept {
  using R = util::Result<LoadedBox>;
  // Making a failure allocates its message; should even that fail, the
  // process cannot go on in any useful way and noexcept ends it.
  try {
    return m_loader(path, sizePercent);
  } catch (const std::bad_alloc&) {
    return R::failure(kNoMemoryToLoad);
  } catch (const std::length_error&) {
    return R::failure(kNoMemoryToLoad);
  } catch (const std::exception& e) {
    return R::failure(std::string("cannot load the picture: ") + e.what());
  } catch (...) {
    return R::failure("cannot load the picture");
  }
}

LoadEstimate BoxPrefetcher::runEstimate(const std::string& path, double sizePercent) noexcept {
  try {
    return m_estimate ? m_estimate(path, sizePercent) : LoadEstimate{};
  } catch (...) {
    return {};  // the load itself will meet the same trouble and report it
  }
}

void BoxPrefetcher::startEarlyFrom(std::uint64_t workingBytes) {
  std::lock_guard lock(m_mutex);
  m_earlyFrom = workingBytes;
}

void BoxPrefetcher::schedule(const std::vector<std::string>& paths, double sizePercent) {
  if (m_threads.empty()) return;  // nothing is loaded ahead without workers
  {
    std::lock_guard lock(m_mutex);
    for (const std::string& path : paths) {
      auto job = std::make_shared<Job>();
      job->path = path;
      job->sizePercent = sizePercent;
      m_queue.push_back(std::move(job));
    }
  }
  m_wake.notify_all();
}

void BoxPrefetcher::releaseBox(Job& job) {
  if (!job.boxHeld) return;
  m_boxes -= std::min(m_boxes, job.cost.box);
  job.boxHeld = false;
}

bool BoxPrefetcher::fits(const Job& job) const {
  if (m_working + m_boxes + job.cost.total() <= m_budget) return true;
  // The picture the run needs next waits only for loads still running, never
  // for boxes loaded ahead of it: those are given back only after it.
  return m_loading == 0 && !m_queue.empty() && m_queue.front().get() == &job;
}

BoxPrefetcher::Job* BoxPrefetcher::nextJob(bool& load) const {
  const std::size_t limit = std::min(m_window, m_queue.size());
  // Every picture in the window is estimated before more are loaded, so that
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

void BoxPrefetcher::work() {
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
      // How much the load will hold, read from the picture's header.
      job->state = State::Estimating;
      lock.unlock();
      const LoadEstimate cost = runEstimate(job->path, job->sizePercent);
      lock.lock();
      job->cost = cost;
      job->estimated = true;
      job->state = State::Pending;
      --m_busy;
      m_wake.notify_all();  // it may be loaded now, by this worker or another
      m_done.notify_all();  // for waitIdle
      continue;
    }

    job->state = State::Running;
    job->boxHeld = true;
    m_working += job->cost.working;
    m_boxes += job->cost.box;
    ++m_loading;
    ++m_started;
    m_peakInUse = std::max(m_peakInUse, m_working + m_boxes);
    lock.unlock();
    std::unique_ptr<util::Result<LoadedBox>> result;
    try {
      result = std::make_unique<util::Result<LoadedBox>>(runLoader(job->path, job->sizePercent));
    } catch (const std::bad_alloc&) {
      // No room even for the result: take() loads the picture on the spot.
    }
    lock.lock();
    m_working -= std::min(m_working, job->cost.working);
    --m_loading;
    --m_busy;
    job->state = State::Done;
    if (job->dropped) {
      releaseBox(*job);  // nobody will take it
    } else {
      job->result = std::move(result);
    }
    m_done.notify_all();
    m_wake.notify_all();  // the budget has room again
  }
}

util::Result<LoadedBox> BoxPrefetcher::take(const std::string& path, double sizePercent) {
  std::shared_ptr<Job> job;
  {
    std::unique_lock lock(m_mutex);
    std::size_t at = 0;
    while (at < m_queue.size() && !(m_queue[at]->path == path && m_queue[at]->sizePercent == sizePercent)) ++at;
    if (at < m_queue.size()) {
      // Pictures queued before this one will not be asked for any more.
      for (std::size_t i = 0; i < at; ++i) {
        Job& skipped = *m_queue[i];
        skipped.dropped = true;
        if (skipped.state == State::Done) releaseBox(skipped);
      }
      job = m_queue[at];
      m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(at));
      m_wake.notify_all();  // the window moved on
      // A worker loads it even when none has started it yet: it is first in
      // line for the budget, and loading it here instead would load one
      // picture more at once than the budget allows. It stays queued until
      // then, so that a worker finds it.
      m_done.wait(lock, [&] { return job->state == State::Done; });
      std::erase(m_queue, job);
      releaseBox(*job);
      m_wake.notify_all();  // the window and the budget moved on
    }
  }
  if (job && job->result) return std::move(*job->result);
  return runLoader(path, sizePercent);
}

std::size_t BoxPrefetcher::started() {
  std::lock_guard lock(m_mutex);
  return m_started;
}

std::uint64_t BoxPrefetcher::peakInUse() {
  std::lock_guard lock(m_mutex);
  return m_peakInUse;
}

void BoxPrefetcher::waitIdle() {
  std::unique_lock lock(m_mutex);
  bool load = false;
  m_done.wait(lock, [&] { return m_threads.empty() || (m_busy == 0 && nextJob(load) == nullptr); });
}

void BoxPrefetcher::cancel() {
  std::unique_lock lock(m_mutex);
  for (auto& job : m_queue) {
    job->dropped = true;
    if (job->state == State::Done) releaseBox(*job);
  }
  m_queue.clear();
  m_wake.notify_all();
  m_done.wait(lock, [&] { return m_busy == 0; });
}

}  // namespace pixelmote::imaging
