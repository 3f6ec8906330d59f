// Worker pool: maps are queued as jobs that idle workers join; the caller always drives its own job.
#include "pool.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <system_error>

namespace vorpex::pool {

// One running map. It lives on the caller's stack; workers reach it only through the queue, and
// the caller leaves parallel_for only after the job is unlinked and no worker is attached, so no
// worker can touch it afterwards.
struct Job {
  const std::function<void(std::size_t)>* task = nullptr;
  std::size_t n = 0;
  std::atomic<std::size_t> next{0};     // next unclaimed index
  std::atomic<bool> failed{false};      // a task has thrown: skip the indices not yet claimed
  std::exception_ptr error;             // first exception; written under the pool mutex
  std::size_t attached = 0;             // workers currently running indices; under the pool mutex
  std::condition_variable detached_cv;  // signalled when `attached` drops to zero
  Job* prev = nullptr;                  // queue links; under the pool mutex
  Job* following = nullptr;
  bool queued = false;

  bool exhausted() const {
    return failed.load(std::memory_order_relaxed) ||
           next.load(std::memory_order_relaxed) >= n;
  }
};

namespace {

std::size_t default_size() {
  const unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : static_cast<std::size_t>(hw);
}

}  // namespace

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_cv_.notify_all();
  for (std::thread& t : workers_) t.join();
}

bool ThreadPool::request_size(std::size_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_) return false;
  requested_ = n;
  return true;
}

std::size_t ThreadPool::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!started_) start_locked();
  return workers_.size();
}

bool ThreadPool::started() {
  std::lock_guard<std::mutex> lock(mutex_);
  return started_;
}

void ThreadPool::start_locked() {
  started_ = true;
  const std::size_t want = requested_ == 0 ? default_size() : requested_;
  workers_.reserve(want);
  for (std::size_t i = 0; i < want; ++i) {
    try {
      workers_.emplace_back([this] { worker_loop(); });
    } catch (const std::system_error&) {
      // The system refused another thread: run with the workers we have. The calling thread
      // takes part in every map, so even zero workers complete every map.
      break;
    }
  }
}

void ThreadPool::unlink_locked(Job& job) {
  if (!job.queued) return;
  if (job.prev != nullptr) job.prev->following = job.following;
  else head_ = job.following;
  if (job.following != nullptr) job.following->prev = job.prev;
  else tail_ = job.prev;
  job.prev = job.following = nullptr;
  job.queued = false;
}

void ThreadPool::run_indices(Job& job) {
  const std::function<void(std::size_t)>& task = *job.task;
  while (!job.failed.load(std::memory_order_relaxed)) {
    const std::size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
    if (i >= job.n) break;
    try {
      task(i);
    } catch (...) {
      // Only the first failure is kept; claiming stops at the next check of `failed`.
      if (!job.failed.exchange(true)) job.error = std::current_exception();
    }
  }
}

void ThreadPool::worker_loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Drop finished jobs from the newest end, then join the newest one with work left: a nested
    // map (a large product inside a chain) is short and its caller is waiting on it.
    while (tail_ != nullptr && tail_->exhausted()) unlink_locked(*tail_);
    if (tail_ == nullptr) {
      if (stopping_) return;
      work_cv_.wait(lock);
      continue;
    }
    Job& job = *tail_;
    ++job.attached;
    lock.unlock();
    run_indices(job);
    lock.lock();
    unlink_locked(job);  // every index is claimed: nobody else needs to find it
    if (--job.attached == 0) job.detached_cv.notify_all();
  }
}

void ThreadPool::parallel_for(std::size_t n, const std::function<void(std::size_t)>& task) {
  if (n == 0) return;
  if (n == 1) {
    task(0);
    return;
  }
  Job job;
  job.task = &task;
  job.n = n;
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) start_locked();
    if (!workers_.empty()) {
      queued = true;
      job.prev = tail_;
      if (tail_ != nullptr) tail_->following = &job;
      else head_ = &job;
      tail_ = &job;
      job.queued = true;
    }
  }
  // A worker may already be unlinking the job, so its own flag is read only under the mutex.
  if (queued) work_cv_.notify_all();

  // The caller runs its own job's indices and nothing else, so a nested map never waits on an
  // unrelated outer task and always makes progress even when every worker is busy.
  run_indices(job);

  {
    std::unique_lock<std::mutex> lock(mutex_);
    unlink_locked(job);
    job.detached_cv.wait(lock, [&] { return job.attached == 0; });
  }
  // Workers' writes (results, the stored exception) happen before their detach under the mutex,
  // so they are visible here.
  if (job.error) std::rethrow_exception(job.error);
}

ThreadPool& global() {
  // Never destroyed: worker threads may still be parked in it while static destructors run at
  // process exit, and joining them there could hang behind a task that is still running.
  static ThreadPool* const pool = new ThreadPool();
  return *pool;
}

bool request_size(std::size_t n) { return global().request_size(n); }

std::size_t size() { return global().size(); }

void parallel_for(std::size_t n, const std::function<void(std::size_t)>& task) {
  global().parallel_for(n, task);
}

}  // namespace vorpex::pool
