#include "ChildProcess.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <vector>

#include "Figures.h"

namespace kez::bench {
namespace {

using reposa::test::StatusField;

TEST(StatusField, ReadsTheNumberOfItsOwnLine) {
  struct Row {
    const char* status;
    const char* key;
    std::int64_t expected;
  };
  const Row rows[] = {
      {"VmRSS:\t    3892 kB\n", "VmRSS", 3892},
      {"Name:\tx\nVmHWM:\t  10 kB\nVmRSS:\t   5 kB\n", "VmRSS", 5},
      {"Name:\tx\nVmHWM:\t  10 kB\nVmRSS:\t   5 kB\n", "VmHWM", 10},
      // One key is the tail of another: only a whole line counts.
      {"nonvoluntary_ctxt_switches:\t7\nvoluntary_ctxt_switches:\t3\n", "voluntary_ctxt_switches",
       3},
      {"voluntary_ctxt_switches:\t3\nnonvoluntary_ctxt_switches:\t7\n",
       "nonvoluntary_ctxt_switches", 7},
      {"nonvoluntary_ctxt_switches:\t7\n", "voluntary_ctxt_switches", 0},
      {"VmRSS:\t5 kB\n", "VmHWM", 0},
      {"", "VmRSS", 0},
  };
  for (const Row& r : rows) EXPECT_EQ(StatusField(r.status, r.key), r.expected) << r.status;
}

std::int64_t ThreadCpuNs() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

TEST(Sample, CountsCpuTimeWakeupsAndMemoryOfAProcess) {
  const ProcSample before = Sample(::getpid());
  EXPECT_GT(before.rssKiB, 0);
  EXPECT_GE(before.hwmKiB, before.rssKiB);

  const std::int64_t spinUntil = ThreadCpuNs() + 30'000'000;
  while (ThreadCpuNs() < spinUntil) {
  }
  for (int i = 0; i < 5; ++i) ::poll(nullptr, 0, 1);
  std::vector<char> touched(32 << 20, 1);

  const ProcSample after = Sample(::getpid());
  EXPECT_GE(after.cpuNs - before.cpuNs, 25'000'000);
  EXPECT_GE(after.wakeups - before.wakeups, 5);
  EXPECT_GE(after.hwmKiB - before.hwmKiB, 30 << 10) << touched[12345];
}

TEST(Process, WaitsForWhatItsChildSaysAndSeesItSleep) {
  ChildProcess child({"/bin/sh", "-c", "echo hello; echo oops >&2; exec cat"});
  EXPECT_NE(child.WaitOut("hello\n"), std::string::npos);
  EXPECT_EQ(child.WaitErr("oops\n"), 5u);
  EXPECT_TRUE(WaitAsleep(child.pid()));  // cat waits for input
  EXPECT_TRUE(child.Idle(20ms));
  EXPECT_TRUE(child.Running());
  child.Stop();
  EXPECT_FALSE(child.Running());
}

TEST(Process, GivesUpOnAChildThatEnded) {
  ChildProcess child({"/bin/sh", "-c", "echo partial; exit 3"});
  const auto start = Clock::now();
  EXPECT_EQ(child.WaitOut("never said", 0, 10s), std::string::npos);
  EXPECT_LT(Clock::now() - start, 5s);  // ended by the closed pipes, not the bound
  EXPECT_EQ(child.out(), "partial\n");
  EXPECT_FALSE(child.Idle(10ms));
}

TEST(Process, ItsOwnEnvironmentEntriesWin) {
  ::setenv("REPOSA_BENCH_PROBE", "inherited", 1);
  ChildProcess child({"/bin/sh", "-c", "echo \"$REPOSA_BENCH_PROBE|$PATH\""},
                     {"REPOSA_BENCH_PROBE=given"});
  ASSERT_NE(child.WaitOut("\n"), std::string::npos);
  EXPECT_EQ(child.out(), "given|" + std::string(::getenv("PATH")) + "\n");
  ::unsetenv("REPOSA_BENCH_PROBE");
}

TEST(Process, ThrowsWhenTheProgramCannotStart) {
  EXPECT_THROW(ChildProcess({"/nonexistent/program"}), std::runtime_error);
}

TEST(Median, OfOddEvenAndEmptySamples) {
  struct Row {
    std::vector<double> samples;
    double median;
    double p99;
  };
  const Row rows[] = {
      {{}, 0, 0},
      {{7}, 7, 7},
      {{3, 1, 2}, 2, 3},
      {{4, 1, 3, 2}, 2.5, 4},
      {{10, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 1, 10},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(Median(r.samples), r.median);
    EXPECT_EQ(Quantile(r.samples, 0.99), r.p99);
  }
}

}  // namespace
}  // namespace kez::bench
