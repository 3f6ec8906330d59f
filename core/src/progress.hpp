// Progress reporting on standard error: the shared counters block and the progress thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace vorpex {

// Shared by the driver, every chain and the progress thread. Chains only bump the two counters.
struct ProgressState {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::uint64_t total = 0;
  std::atomic<std::uint64_t> completed{0};
  std::atomic<std::uint64_t> divergences{0};
  std::uint64_t n_chains = 0;
  std::atomic<bool> finished{false};
};

// Starts the reporting thread (terminal mode when fd 2 is a terminal, plain mode otherwise).
// End it by setting `finished` and joining the handle.
std::thread spawn_progress_thread(std::shared_ptr<ProgressState> state);

std::string fmt_time(double seconds);
std::string fmt_speed(double iterations_per_second);

}  // namespace vorpex
