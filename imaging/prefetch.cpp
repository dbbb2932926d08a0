#include "imaging/prefetch.h"

#include <algorithm>

#include "imaging/render.h"

namespace pixelmote::imaging {

BoxPrefetcher::BoxPrefetcher(unsigned workers, std::size_t window, std::uint64_t budgetBytes, Estimate estimate)
    : m_window(window < 1 ? 1 : window), m_budget(budgetBytes), m_estimate(std::move(estimate)) {
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

void BoxPrefetcher::release(Job& job) {
  m_inUse -= std::min(m_inUse, job.cost);
  job.cost = 0;
}

void BoxPrefetcher::work() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    std::shared_ptr<Job> job;
    m_wake.wait(lock, [&] {
      if (m_stopping) return true;
      const std::size_t limit = std::min(m_window, m_queue.size());
      for (std::size_t i = 0; i < limit; ++i) {
        if (m_queue[i]->state == State::Pending) {
          job = m_queue[i];
          return true;
        }
      }
      return false;
    });
    if (m_stopping) return;
    job->state = State::Claimed;
    ++m_busy;

    // How much this load will hold, read from the picture's header.
    lock.unlock();
    const std::uint64_t cost = m_estimate ? m_estimate(job->path, job->sizePercent) : 0;
    lock.lock();
    // Wait for room in the budget; a load with nothing else in use may
    // always run, so even one picture larger than the budget is loaded.
    ++m_waiting;
    m_done.notify_all();  // for waitIdle: this worker may now be held by the budget
    m_wake.wait(lock, [&] { return m_stopping || job->dropped || m_inUse == 0 || m_inUse + cost <= m_budget; });
    --m_waiting;
    if (m_stopping || job->dropped) {
      --m_busy;
      job->state = State::Done;
      m_done.notify_all();
      if (m_stopping) return;
      continue;
    }
    job->cost = cost;
    m_inUse += cost;
    m_peakInUse = std::max(m_peakInUse, m_inUse);
    job->state = State::Running;
    ++m_started;
    lock.unlock();
    auto result = std::make_unique<util::Result<Raster>>(loadThumbnailBox(job->path, job->sizePercent));
    lock.lock();
    --m_busy;
    job->state = State::Done;
    if (job->dropped) {
      release(*job);  // nobody will take it
    } else {
      job->result = std::move(result);
    }
    m_done.notify_all();
    m_wake.notify_all();  // a place in the window or the budget may be free
  }
}

util::Result<Raster> BoxPrefetcher::take(const std::string& path, double sizePercent) {
  std::shared_ptr<Job> job;
  {
    std::unique_lock lock(m_mutex);
    std::size_t at = 0;
    while (at < m_queue.size() && !(m_queue[at]->path == path && m_queue[at]->sizePercent == sizePercent)) ++at;
    if (at < m_queue.size()) {
      // Pictures queued before this one will not be asked for any more.
      for (std::size_t i = 0; i <= at; ++i) {
        Job& skipped = *m_queue[i];
        if (i < at) skipped.dropped = true;
        if (i < at && skipped.state == State::Done) release(skipped);
      }
      job = m_queue[at];
      m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(at) + 1);
      if (job->state == State::Pending || job->state == State::Claimed) {
        // Nobody is loading it yet: it is loaded here instead.
        job->dropped = true;
        job.reset();
      } else {
        m_done.wait(lock, [&] { return job->state == State::Done; });
        release(*job);
      }
      m_wake.notify_all();  // the window and the budget moved on
    }
  }
  if (job && job->result) return std::move(*job->result);
  return loadThumbnailBox(path, sizePercent);
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
  m_done.wait(lock, [&] {
    // Workers held by the budget wait for a take: they count as idle.
    if (m_busy > m_waiting) return false;
    if (m_busy >= m_threads.size()) return true;
    const std::size_t limit = std::min(m_window, m_queue.size());
    for (std::size_t i = 0; i < limit; ++i) {
      if (m_queue[i]->state == State::Pending) return false;  // a free worker will start it
    }
    return true;
  });
}

void BoxPrefetcher::cancel() {
  std::unique_lock lock(m_mutex);
  for (auto& job : m_queue) {
    job->dropped = true;
    if (job->state == State::Done) release(*job);
  }
  m_queue.clear();
  m_wake.notify_all();
  m_done.wait(lock, [&] { return m_busy == 0; });
}

}  // namespace pixelmote::imaging
