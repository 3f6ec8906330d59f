// Process-wide worker pool with an indexed parallel map; the calling thread helps run the work.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vorpex::pool {

// Requests a pool of n workers (n = 0: one per processor). Effective only before the pool has
// started; later requests are ignored. Returns true when the request took effect.
bool request_size(std::size_t n);

// Number of workers of the running pool (starts it if needed).
std::size_t size();

// Runs task(i) for i in [0, n) on the pool and the calling thread; returns when all have ended.
// A call from inside a task completes without deadlock, and its thread only helps with its own
// map's tasks. The first exception thrown by a task is rethrown after all tasks have ended; once
// a task has thrown, tasks of that map that have not started yet are skipped.
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& task);

// Indexed parallel map: results in index order.
template <class T, class F>
std::vector<T> parallel_map(std::size_t n, F&& f) {
  std::vector<T> out(n);
  parallel_for(n, [&](std::size_t i) { out[i] = f(i); });
  return out;
}

struct Job;

// One pool: worker threads started lazily on first use, sized by the first request made before
// that. The process-wide pool behind the free functions above is one of these, created on first
// use and never destroyed (its workers stay parked until the process ends). Separate instances
// exist for tests of the sizing rule.
class ThreadPool {
 public:
  ThreadPool() = default;
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  // Stops and joins the workers. No map may be running on this pool.
  ~ThreadPool();

  bool request_size(std::size_t n);
  std::size_t size();
  bool started();
  void parallel_for(std::size_t n, const std::function<void(std::size_t)>& task);

 private:
  void start_locked();
  void worker_loop();
  // Claims and runs indices of `job` until none are left (or a task has failed).
  static void run_indices(Job& job);
  void unlink_locked(Job& job);

  std::mutex mutex_;
  std::condition_variable work_cv_;
  std::vector<std::thread> workers_;
  Job* head_ = nullptr;  // queued maps, oldest first; workers serve the newest
  Job* tail_ = nullptr;
  std::size_t requested_ = 0;
  bool request_made_ = false;
  bool started_ = false;
  bool stopping_ = false;
};

// The process-wide pool.
ThreadPool& global();

}  // namespace vorpex::pool
