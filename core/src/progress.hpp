// Progress reporting on standard error: the shared counters block and the progress thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
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
  // Lets `finish_progress` cut the thread's current wait short, so the driver's join does not
  // wait out a whole tick. Only the driver and the progress thread take this lock; chains never.
  std::mutex wake_mutex;
  std::condition_variable wake;
};

// What a chain reports after each iteration: one more completed and, when it diverged, one
// more divergence. Two relaxed increments, no lock; nothing without a block.
inline void record_iteration(ProgressState* progress, bool divergent) {
  if (progress == nullptr) return;
  progress->completed.fetch_add(1, std::memory_order_relaxed);
  if (divergent) progress->divergences.fetch_add(1, std::memory_order_relaxed);
}

// Sets `finished` and wakes the progress thread at once; the driver then joins the handle.
// Storing `finished` without this still ends the thread, at its next tick.
void finish_progress(ProgressState& state) noexcept;

// Starts the reporting thread (terminal mode when fd 2 is a terminal, plain mode otherwise).
// End it with `finish_progress` and join the handle.
std::thread spawn_progress_thread(std::shared_ptr<ProgressState> state);

std::string fmt_time(double seconds);
std::string fmt_speed(double iterations_per_second);

// Terminal mode redraws one line in place; plain mode appends a line per tenth or per 10 s.
enum class ProgressMode { Terminal, Plain };

// How often the thread checks the counters, and how long plain mode may stay silent. A wait
// between checks ends early when `finish_progress` is called.
struct ProgressTiming {
  std::chrono::milliseconds terminal_tick{100};
  std::chrono::milliseconds plain_tick{500};
  double plain_period_seconds = 10.0;
};

// Same thread with the mode, stream and timing fixed by the caller (tests, embedding).
std::thread spawn_progress_thread(std::shared_ptr<ProgressState> state, ProgressMode mode,
                                  std::FILE* stream, ProgressTiming timing = {});

// One consistent reading of the block: counters, fixed fields and seconds since `start`.
struct ProgressSnapshot {
  std::uint64_t completed = 0;
  std::uint64_t total = 0;
  std::uint64_t divergences = 0;
  std::uint64_t n_chains = 0;
  double elapsed = 0.0;
  bool finished = false;
};

ProgressSnapshot read_progress(const ProgressState& state);

// The report texts for a snapshot (the final form when `finished`).
std::string tty_line(const ProgressSnapshot& s);
std::string plain_line(const ProgressSnapshot& s);

// Write one report to `stream` and flush; write and flush errors are ignored.
void render_tty(const ProgressState& state, std::FILE* stream);
void render_plain(const ProgressState& state, std::FILE* stream);

// The plain-mode decision: print when progress reached the next tenth or when the period has
// passed since the last print. `should_print` records the print when it answers true.
class PlainSchedule {
 public:
  PlainSchedule(double start_seconds, double period_seconds)
      : last_print_(start_seconds), period_(period_seconds) {}
  bool should_print(std::uint64_t completed, std::uint64_t total, double now_seconds);

 private:
  double last_print_;
  double period_;
  std::uint64_t bucket_ = 0;
};

}  // namespace vorpex
