// Process-wide worker pool with an indexed parallel map; the calling thread helps run the work.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace vorpex::pool {

// Requests a pool of n workers (n = 0: one per processor). Effective only before the pool has
// started; later requests are ignored. Returns true when the request took effect.
bool request_size(std::size_t n);

// Number of workers of the running pool (starts it if needed).
std::size_t size();

// Runs task(i) for i in [0, n) on the pool and the calling thread; returns when all have ended.
// A call from inside a task completes without deadlock, and its thread only helps with its own
// map's tasks. The first exception thrown by a task is rethrown after all tasks have ended.
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& task);

// Indexed parallel map: results in index order.
template <class T, class F>
std::vector<T> parallel_map(std::size_t n, F&& f) {
  std::vector<T> out(n);
  parallel_for(n, [&](std::size_t i) { out[i] = f(i); });
  return out;
}

}  // namespace vorpex::pool
