#include "imaging/prefetch.h"

#include "imaging/render.h"

namespace pixelmote::imaging {

BoxPrefetcher::BoxPrefetcher(unsigned workers, std::size_t window) : m_window(window < 1 ? 1 : window) {
  for (unsigned i = 0; i < workers; ++i) m_threads.emplace_back([this] { work(); });
}

BoxPrefetcher::~BoxPrefetcher() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
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
    job->state = State::Running;
    ++m_running;
    ++m_started;
    lock.unlock();
    auto result = std::make_unique<util::Result<Raster>>(loadThumbnailBox(job->path, job->sizePercent));
    lock.lock();
    --m_running;
    job->state = State::Done;
    if (!job->dropped) job->result = std::move(result);
    m_done.notify_all();
    // Finishing a job may free a place in the window for another.
    m_wake.notify_all();
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
      for (std::size_t i = 0; i < at; ++i) m_queue[i]->dropped = true;
      m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(at));
      job = m_queue.front();
      m_queue.pop_front();
      m_wake.notify_all();  // the window moved on
      if (job->state == State::Pending) {
        job.reset();  // nobody is at it: load it here
      } else {
        m_done.wait(lock, [&] { return job->state == State::Done; });
      }
    }
  }
  if (job && job->result) return std::move(*job->result);
  return loadThumbnailBox(path, sizePercent);
}

std::size_t BoxPrefetcher::started() {
  std::lock_guard lock(m_mutex);
  return m_started;
}

void BoxPrefetcher::waitIdle() {
  std::unique_lock lock(m_mutex);
  m_done.wait(lock, [&] {
    if (m_running > 0) return false;
    const std::size_t limit = std::min(m_window, m_queue.size());
    for (std::size_t i = 0; i < limit; ++i) {
      if (m_queue[i]->state == State::Pending) return m_threads.empty();
    }
    return true;
  });
}

void BoxPrefetcher::cancel() {
  std::unique_lock lock(m_mutex);
  for (auto& job : m_queue) job->dropped = true;
  m_queue.clear();
  m_done.wait(lock, [&] { return m_running == 0; });
}

}  // namespace pixelmote::imaging
