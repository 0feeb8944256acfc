// Thread team and threaded engine: the THREADS rules, the interleaved
// division of items, and no idle threads.
#include "engine/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/table_engine.h"
#include "tests/support/run.h"

namespace {

// Which thread runs which share: thread 0 is the caller, every other share
// runs on a thread of its own, each share once.
TEST(ThreadTeam, ShareTRunsOnThreadT) {
  setenv("THREADS", "4", 1);
  ThreadTeam team;
  team.Start();
  std::mutex lock;
  std::vector<std::thread::id> ran(4);
  std::vector<int> runs(4, 0);
  team.MultiThreading(10, [&](unsigned t, unsigned m) {
    EXPECT_EQ(m, 4u);
    std::lock_guard<std::mutex> hold(lock);
    ran[t] = std::this_thread::get_id();
    ++runs[t];
  });
  team.Release();
  EXPECT_EQ(runs, (std::vector<int>{1, 1, 1, 1}));
  EXPECT_EQ(ran[0], std::this_thread::get_id());
  EXPECT_EQ(std::set<std::thread::id>(ran.begin(), ran.end()).size(), 4u);
}

// The table engine's thread body writes the results of its own points
// t, t + m, ... and of no other: with THREADS=4 and 10 points, thread 1 has
// points 1, 5 and 9.
TEST(TableEngine, ItemJBelongsToThreadJModM) {
  const Facet square[] = {{{0, 0, 0, 0, 1, 0, 1, 1, 0}}, {{0, 0, 0, 1, 1, 0, 1, 0, 0}}};
  TableEngine engine(TableGuard::kRelative, 4);
  engine.Load(FacetView::Of(2, square));
  std::vector<double> x(10), y(10, 0.5), z(10, 1.0);
  for (size_t j = 0; j < x.size(); ++j) x[j] = 0.1 * static_cast<double>(j);
  for (unsigned t = 0; t < 4; ++t) {
    std::vector<double> U(10, NAN);
    engine.ExecuteSI({10, x.data(), y.data(), z.data(), {U.data()}}, t, 4);
    for (size_t j = 0; j < U.size(); ++j)
      EXPECT_EQ(std::isnan(U[j]), j % 4 != t) << "thread " << t << ", point " << j;
  }
  engine.Release();
}

// A failure on a worker thread (the error hook's exception, memory
// exhaustion) comes back to the caller once every thread is joined, the
// first one thrown; a second phase then runs as usual.
TEST(ThreadTeam, AWorkersFailureIsThrownOnTheCaller) {
  ThreadTeam team;
  team.SetCount(4);
  std::vector<int> ran(4, 0);
  try {
    team.MultiThreading(4, [&](unsigned t, unsigned) {
      ran[t] = 1;
      if (t == 2) throw std::runtime_error("worker 2");
    });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "worker 2");
  }
  EXPECT_EQ(ran, (std::vector<int>{1, 1, 1, 1}));
  int phases = 0;
  std::mutex lock;
  team.MultiThreading(4, [&](unsigned, unsigned) {
    std::lock_guard<std::mutex> hold(lock);
    ++phases;
  });
  EXPECT_EQ(phases, 4);
}

// Two callers' phases at once on one team: each runs its own m threads.
TEST(ThreadTeam, PhasesFromTwoCallersAtOnce) {
  ThreadTeam team;
  team.SetCount(3);
  std::atomic<int> count{0};
  auto phase = [&] {
    for (int k = 0; k < 50; ++k) team.MultiThreading(3, [&](unsigned, unsigned) { ++count; });
  };
  std::thread other(phase);
  phase();
  other.join();
  EXPECT_EQ(count.load(), 2 * 50 * 3);
}

TEST(ThreadTeam, NoThreadWithoutAnItem) {
  setenv("THREADS", "100000", 1);
  ThreadTeam team;
  team.Start();
  std::set<std::thread::id> threads;
  std::mutex lock;
  team.MultiThreading(3, [&](unsigned, unsigned m) {
    EXPECT_EQ(m, 3u);
    std::lock_guard<std::mutex> hold(lock);
    threads.insert(std::this_thread::get_id());
  });
  team.Release();
  EXPECT_EQ(threads.size(), 3u);
}

TEST(ThreadTeam, BadValues) {
  InstallErrorHook();
  for (const char* v : {"0", "-3", "", "letters"}) {
    setenv("THREADS", v, 1);
    ThreadTeam team;
    try {
      team.Start();
      ADD_FAILURE() << v;
    } catch (const ErrorCalled& e) {
      EXPECT_STREQ(e.what(), "bad number of THREADS.");
    }
  }
  setenv("THREADS", "2abc", 1);  // atoi: the leading number counts
  ThreadTeam team;
  team.Start();
  EXPECT_EQ(team.Count(), 2u);
  team.Release();
  unsetenv("THREADS");
  ThreadTeam one;
  one.Start();
  EXPECT_EQ(one.Count(), 1u);
  one.Release();
}

}  // namespace
