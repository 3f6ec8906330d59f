// Progress thread: reads the shared counters and writes a status line or periodic lines.
#include "progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <limits>
#include <system_error>
#include <utility>

#include "errors.hpp"

namespace vorpex {

namespace {

constexpr const char* kFilledCell = "\xe2\x94\x81";  // U+2501 heavy horizontal
constexpr const char* kEmptyCell = "\xe2\x95\x8c";   // U+254C light double dash horizontal
constexpr unsigned kBarCells = 20;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* fmt, ...) {
  char buf[256];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof buf) return std::string(buf, static_cast<std::size_t>(n));
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  va_start(args, fmt);
  std::vsnprintf(out.data(), out.size(), fmt, args);
  va_end(args);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// Truncation toward zero; NaN and negatives give 0, values past the range saturate.
unsigned long long to_whole(double x) {
  if (!(x > 0.0)) return 0;
  if (x >= 18446744073709551616.0) return std::numeric_limits<unsigned long long>::max();
  return static_cast<unsigned long long>(x);
}

// floor(100 * c / t) without overflow; 0 when t = 0. Not capped.
std::uint64_t raw_percent(std::uint64_t c, std::uint64_t t) {
  if (t == 0) return 0;
  const unsigned __int128 p = static_cast<unsigned __int128>(c) * 100u / t;
  return p > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                      : static_cast<std::uint64_t>(p);
}

struct Derived {
  std::uint64_t percent;  // capped at 100
  double speed;           // iterations per second, 0 before 0.1 s
  double remaining;       // seconds
};

Derived derive(const ProgressSnapshot& s) {
  Derived d{};
  d.percent = std::min<std::uint64_t>(100, raw_percent(s.completed, s.total));
  d.speed = s.elapsed > 0.1 ? static_cast<double>(s.completed) / s.elapsed : 0.0;
  d.remaining = d.speed > 0.0 && s.completed < s.total
                    ? static_cast<double>(s.total - s.completed) / d.speed
                    : 0.0;
  return d;
}

std::string bar(std::uint64_t c, std::uint64_t t) {
  std::uint64_t filled = 0;
  if (t != 0) {
    filled = static_cast<std::uint64_t>(static_cast<unsigned __int128>(std::min(c, t)) * kBarCells / t);
  }
  std::string out;
  for (std::uint64_t i = 0; i < kBarCells; ++i) out += i < filled ? kFilledCell : kEmptyCell;
  return out;
}

void write_and_flush(std::FILE* stream, const std::string& text) {
  // A closed or full stream must not stop sampling: errors are ignored on purpose.
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

double clock_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Sleeps for one tick, or less when `finish_progress` is called meanwhile; true once finished.
// The flag is stored under the lock there, so a call made between the check and the wait is
// never missed.
template <class Duration>
bool wait_tick(ProgressState& state, Duration tick) {
  std::unique_lock<std::mutex> lock(state.wake_mutex);
  return state.wake.wait_for(lock, tick, [&] { return state.finished.load(); });
}

void terminal_loop(ProgressState& state, std::FILE* stream, ProgressTiming timing) {
  if (!state.finished.load()) {
    do {
      render_tty(state, stream);
    } while (!wait_tick(state, timing.terminal_tick));
  }
  render_tty(state, stream);
}

void plain_loop(ProgressState& state, std::FILE* stream, ProgressTiming timing) {
  PlainSchedule schedule(clock_seconds(), timing.plain_period_seconds);
  if (!state.finished.load()) {
    do {
      if (schedule.should_print(state.completed.load(), state.total, clock_seconds())) {
        render_plain(state, stream);
      }
    } while (!wait_tick(state, timing.plain_tick));
  }
  render_plain(state, stream);
}

}  // namespace

std::string fmt_time(double x) {
  if (x < 60.0) return format("%.0fs", x);
  if (x < 3600.0) return format("%llu:%02llu", to_whole(x / 60.0), to_whole(std::fmod(x, 60.0)));
  return format("%lluh%02llum", to_whole(x / 3600.0), to_whole(std::fmod(x, 3600.0) / 60.0));
}

std::string fmt_speed(double x) {
  if (x >= 1000.0) return format("%.1fk/s", x / 1000.0);
  if (x >= 1.0) return format("%.1f/s", x);
  if (x > 0.0) return format("%.2f/s", x);
  return "-.--/s";
}

ProgressSnapshot read_progress(const ProgressState& state) {
  ProgressSnapshot s;
  s.completed = state.completed.load();
  s.total = state.total;
  s.divergences = state.divergences.load();
  s.n_chains = state.n_chains;
  s.elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - state.start).count();
  s.finished = state.finished.load();
  return s;
}

std::string tty_line(const ProgressSnapshot& s) {
  const Derived d = derive(s);
  const std::string cells = bar(s.completed, s.total);
  const auto c = static_cast<unsigned long long>(s.completed);
  const auto t = static_cast<unsigned long long>(s.total);
  const auto v = static_cast<unsigned long long>(s.divergences);
  const auto n = static_cast<unsigned long long>(s.n_chains);
  const auto p = static_cast<unsigned long long>(d.percent);
  if (s.finished) {
    return format("\rSampling %lluch %s %3llu%% %llu/%llu | %llu div | %s\x1b[K\n", n,
                  cells.c_str(), p, c, t, v, fmt_time(s.elapsed).c_str());
  }
  return format("\rSampling %lluch %s %3llu%% %llu/%llu | %llu div | %s | ~%s\x1b[K", n,
                cells.c_str(), p, c, t, v, fmt_speed(d.speed).c_str(),
                fmt_time(d.remaining).c_str());
}

std::string plain_line(const ProgressSnapshot& s) {
  const Derived d = derive(s);
  const auto c = static_cast<unsigned long long>(s.completed);
  const auto t = static_cast<unsigned long long>(s.total);
  const auto v = static_cast<unsigned long long>(s.divergences);
  if (s.finished) {
    return format("Sampling done: %llu/%llu | %llu div | elapsed %s\n", c, t, v,
                  fmt_time(s.elapsed).c_str());
  }
  return format("Sampling: %llu/%llu (%llu%%) | %llu div | %s | ~%s remaining\n", c, t,
                static_cast<unsigned long long>(d.percent), v, fmt_speed(d.speed).c_str(),
                fmt_time(d.remaining).c_str());
}

void render_tty(const ProgressState& state, std::FILE* stream) {
  write_and_flush(stream, tty_line(read_progress(state)));
}

void render_plain(const ProgressState& state, std::FILE* stream) {
  write_and_flush(stream, plain_line(read_progress(state)));
}

bool PlainSchedule::should_print(std::uint64_t completed, std::uint64_t total,
                                 double now_seconds) {
  const std::uint64_t p = raw_percent(completed, total);
  const bool next_tenth = p >= bucket_ && p - bucket_ >= 10;
  if (!next_tenth && !(now_seconds - last_print_ >= period_)) return false;
  last_print_ = now_seconds;
  bucket_ = p / 10 * 10;
  return true;
}

void finish_progress(ProgressState& state) noexcept {
  try {
    std::lock_guard<std::mutex> lock(state.wake_mutex);
    state.finished.store(true);
  } catch (const std::system_error&) {
    // Without the lock the thread may miss the wake-up, but still sees the flag at its next tick.
    state.finished.store(true);
  }
  state.wake.notify_all();
}

std::thread spawn_progress_thread(std::shared_ptr<ProgressState> state, ProgressMode mode,
                                  std::FILE* stream, ProgressTiming timing) {
  if (!state) internal_error("progress thread started without a progress block");
  if (stream == nullptr) internal_error("progress thread started without a stream");
  try {
    // The thread owns a reference so the block outlives an early release by the driver.
    return std::thread([state = std::move(state), mode, stream, timing] {
      if (mode == ProgressMode::Terminal) {
        terminal_loop(*state, stream, timing);
      } else {
        plain_loop(*state, stream, timing);
      }
    });
  } catch (const std::system_error& e) {
    internal_error(std::string("could not start the progress thread: ") + e.what());
  }
}

std::thread spawn_progress_thread(std::shared_ptr<ProgressState> state) {
  const ProgressMode mode = ::isatty(2) == 1 ? ProgressMode::Terminal : ProgressMode::Plain;
  return spawn_progress_thread(std::move(state), mode, stderr);
}

}  // namespace vorpex
