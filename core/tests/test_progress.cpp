// Tests of the progress reports: number formats, the exact line texts and both thread loops.
#include "progress.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>

namespace vorpex {
namespace {

const std::string kFull = "\xe2\x94\x81";
const std::string kEmpty = "\xe2\x95\x8c";

std::string cells(int filled) {
  std::string out;
  for (int i = 0; i < 20; ++i) out += i < filled ? kFull : kEmpty;
  return out;
}

TEST(ProgressFormat, FmtTime) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0s"},      {59.4, "59s"},     {61.0, "1:01"},   {60.0, "1:00"},
      {3599.0, "59:59"}, {3600.0, "1h00m"}, {7325.0, "2h02m"}, {90061.0, "25h01m"},
  };
  for (const auto& [x, want] : cases) EXPECT_EQ(fmt_time(x), want) << x;
  // Whole-number conversions give 0 for NaN instead of undefined behaviour.
  EXPECT_EQ(fmt_time(std::nan("")), "0h00m");
}

TEST(ProgressFormat, FmtSpeed) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "-.--/s"},  {-3.0, "-.--/s"}, {std::nan(""), "-.--/s"}, {0.5, "0.50/s"},
      {1.0, "1.0/s"},   {12.34, "12.3/s"}, {999.0, "999.0/s"},      {1000.0, "1.0k/s"},
      {1500.0, "1.5k/s"},
  };
  for (const auto& [x, want] : cases) EXPECT_EQ(fmt_speed(x), want) << x;
}

ProgressSnapshot snap(std::uint64_t c, std::uint64_t t, std::uint64_t v, std::uint64_t n,
                      double e, bool finished) {
  ProgressSnapshot s;
  s.completed = c;
  s.total = t;
  s.divergences = v;
  s.n_chains = n;
  s.elapsed = e;
  s.finished = finished;
  return s;
}

TEST(ProgressFormat, TtyLines) {
  struct Case {
    ProgressSnapshot s;
    std::string want;
  };
  const Case cases[] = {
      // 30 of 120 in 10 s: 3 it/s, 90 left -> 30 s; 5 of 20 cells.
      {snap(30, 120, 2, 4, 10.0, false),
       "\rSampling 4ch " + cells(5) + "  25% 30/120 | 2 div | 3.0/s | ~30s\x1b[K"},
      // Before 0.1 s: no speed, no estimate.
      {snap(7, 100, 0, 1, 0.05, false),
       "\rSampling 1ch " + cells(1) + "   7% 7/100 | 0 div | -.--/s | ~0s\x1b[K"},
      // No iterations at all: empty bar, 0 %, no division by zero.
      {snap(0, 0, 0, 0, 5.0, false),
       "\rSampling 0ch " + cells(0) + "   0% 0/0 | 0 div | -.--/s | ~0s\x1b[K"},
      // Done: full bar, 100 %, nothing remaining.
      {snap(100, 100, 1, 2, 50.0, false),
       "\rSampling 2ch " + cells(20) + " 100% 100/100 | 1 div | 2.0/s | ~0s\x1b[K"},
      // Final form ends the line.
      {snap(100, 100, 3, 2, 125.0, true),
       "\rSampling 2ch " + cells(20) + " 100% 100/100 | 3 div | 2:05\x1b[K\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(tty_line(c.s), c.want);
}

TEST(ProgressFormat, PlainLines) {
  EXPECT_EQ(plain_line(snap(30, 120, 2, 4, 10.0, false)),
            "Sampling: 30/120 (25%) | 2 div | 3.0/s | ~30s remaining\n");
  EXPECT_EQ(plain_line(snap(0, 0, 0, 0, 0.0, false)),
            "Sampling: 0/0 (0%) | 0 div | -.--/s | ~0s remaining\n");
  EXPECT_EQ(plain_line(snap(6000, 6000, 12, 4, 4000.0, true)),
            "Sampling done: 6000/6000 | 12 div | elapsed 1h06m\n");
}

TEST(ProgressFormat, PercentDoesNotOverflowOnHugeCounts) {
  const std::uint64_t big = std::numeric_limits<std::uint64_t>::max() - 1;
  const std::string line = plain_line(snap(big / 2, big, 0, 1, 0.0, false));
  EXPECT_NE(line.find("(50%)"), std::string::npos) << line;
}

// Plain-mode decisions at each check: a tenth crossed prints once, several tenths crossed
// between two checks still print once, and silence never lasts the full period.
TEST(ProgressPlainSchedule, TenthsAndPeriod) {
  PlainSchedule s(0.0, 10.0);
  struct Step {
    std::uint64_t completed;
    double now;
    bool prints;
  };
  const Step steps[] = {
      {5, 0.5, false},    // 5 %
      {10, 1.0, true},    // reached 10 %
      {19, 1.5, false},   // still in the 10 % bucket
      {45, 2.0, true},    // crossed 20, 30 and 40 % at once: one line
      {49, 2.5, false},   //
      {49, 11.9, false},  // 9.9 s since the last line
      {49, 12.0, true},   // 10 s of silence
      {50, 12.5, true},   // next tenth right after a timed line
      {250, 13.0, true},  // counts past the total are not capped
  };
  for (const auto& st : steps) {
    EXPECT_EQ(s.should_print(st.completed, 100, st.now), st.prints)
        << st.completed << " at " << st.now;
  }
  PlainSchedule empty(0.0, 10.0);
  EXPECT_FALSE(empty.should_print(0, 0, 9.0));
  EXPECT_TRUE(empty.should_print(0, 0, 10.0));
}

// A temporary file the thread writes through its own FILE*, read back by path.
class ProgressThread : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "progress_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    stream_ = std::fopen(path_.c_str(), "w");
    ASSERT_NE(stream_, nullptr);
  }
  void TearDown() override {
    if (stream_ != nullptr) std::fclose(stream_);
    std::remove(path_.c_str());
  }
  std::string contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // Waits (bounded) until the thread has written past the first `already` bytes.
  void wait_for_output(std::size_t already = 0) const {
    for (int i = 0; i < 2000 && contents().size() <= already; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GT(contents().size(), already);
  }
  std::string path_;
  std::FILE* stream_ = nullptr;
};

std::shared_ptr<ProgressState> make_state(std::uint64_t completed, std::uint64_t total,
                                          std::uint64_t n_chains) {
  auto state = std::make_shared<ProgressState>();
  state->total = total;
  state->n_chains = n_chains;
  state->completed = completed;
  return state;
}

TEST_F(ProgressThread, AlreadyFinishedPrintsOnlyTheFinalLine) {
  for (ProgressMode mode : {ProgressMode::Plain, ProgressMode::Terminal}) {
    auto state = make_state(10, 10, 1);
    state->finished = true;
    spawn_progress_thread(state, mode, stream_).join();
  }
  const std::string out = contents();
  ASSERT_EQ(out.rfind("Sampling done: 10/10 | 0 div | elapsed ", 0), 0u) << out;
  const std::size_t tty = out.find('\r');
  ASSERT_NE(tty, std::string::npos) << out;
  EXPECT_EQ(out.find("\rSampling 1ch " + cells(20) + " 100% 10/10 | 0 div | "), tty) << out;
  EXPECT_EQ(out.substr(out.size() - 4), "\x1b[K\n");
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
}

TEST_F(ProgressThread, PlainLoopPrintsOnATenthThenTheFinalLine) {
  auto state = make_state(50, 100, 2);
  // The first check sees 50 % and prints; nothing else is due until finished.
  std::thread t = spawn_progress_thread(state, ProgressMode::Plain, stream_);
  wait_for_output();
  state->completed = 100;
  finish_progress(*state);
  t.join();
  const std::string out = contents();
  const std::size_t first_end = out.find('\n');
  ASSERT_NE(first_end, std::string::npos);
  EXPECT_EQ(out.rfind("Sampling: 50/100 (50%) | 0 div | ", 0), 0u) << out;
  EXPECT_EQ(out.substr(first_end + 1).rfind("Sampling done: 100/100 | 0 div | elapsed ", 0), 0u)
      << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
}

TEST_F(ProgressThread, PlainLoopPrintsAfterThePeriodWithoutProgress) {
  auto state = make_state(0, 100, 1);
  ProgressTiming timing;
  timing.plain_tick = std::chrono::milliseconds(5);
  timing.plain_period_seconds = 0.02;
  std::thread t = spawn_progress_thread(state, ProgressMode::Plain, stream_, timing);
  wait_for_output();
  state->finished = true;
  t.join();
  const std::string out = contents();
  EXPECT_EQ(out.rfind("Sampling: 0/100 (0%) | 0 div | ", 0), 0u) << out;
  EXPECT_NE(out.find("Sampling done: 0/100 | 0 div | elapsed 0s\n"), std::string::npos) << out;
}

TEST_F(ProgressThread, TerminalLoopRedrawsThenEndsWithTheFinalLine) {
  auto state = make_state(3, 10, 2);
  state->divergences = 1;
  ProgressTiming timing;
  timing.terminal_tick = std::chrono::milliseconds(2);
  std::thread t = spawn_progress_thread(state, ProgressMode::Terminal, stream_, timing);
  wait_for_output();
  state->completed = 10;
  state->finished = true;
  t.join();
  const std::string out = contents();
  // Only the final report ends with a newline, and it is the last thing written.
  ASSERT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  ASSERT_EQ(out.back(), '\n');
  const std::size_t last = out.rfind('\r');
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(out.substr(last).rfind("\rSampling 2ch " + cells(20) + " 100% 10/10 | 1 div | ", 0),
            0u)
      << out;
  const std::string running = "\rSampling 2ch " + cells(6) + "  30% 3/10 | 1 div | ";
  EXPECT_EQ(out.rfind(running, 0), 0u) << out;
  EXPECT_NE(out.substr(0, last).find("\x1b[K"), std::string::npos);
}

// The driver's join must not wait out the thread's tick: with a tick far longer than any test,
// finishing ends the wait at once, and the final line is still the last thing written.
TEST_F(ProgressThread, FinishWakesTheThreadBeforeItsTick) {
  for (ProgressMode mode : {ProgressMode::Plain, ProgressMode::Terminal}) {
    auto state = make_state(50, 100, 1);
    ProgressTiming timing;
    timing.terminal_tick = std::chrono::minutes(2);
    timing.plain_tick = std::chrono::minutes(2);
    const std::size_t before = contents().size();
    std::thread t = spawn_progress_thread(state, mode, stream_, timing);
    wait_for_output(before);  // the first check has run; the thread now waits out its tick
    const auto begin = std::chrono::steady_clock::now();
    finish_progress(*state);
    t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::minutes(1));
    const std::string out = contents().substr(before);
    const std::string final_line = mode == ProgressMode::Plain ? "Sampling done: 50/100 | 0 div | "
                                                               : "\rSampling 1ch ";
    EXPECT_NE(out.rfind(final_line), 0u) << out;  // a running report came before the final one
    EXPECT_NE(out.rfind(final_line), std::string::npos) << out;
    EXPECT_EQ(out.back(), '\n') << out;
  }
}

TEST(ProgressThreadErrors, NullBlockIsAnInternalError) {
  EXPECT_ANY_THROW(spawn_progress_thread(nullptr, ProgressMode::Plain, stderr));
}

}  // namespace
}  // namespace vorpex
