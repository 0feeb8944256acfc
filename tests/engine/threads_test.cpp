// Thread team: the THREADS rules, the interleaved division of items, and no
// idle threads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <vector>

#include "engine/threads.h"
#include "tests/support/run.h"

namespace {

TEST(ThreadTeam, ItemJBelongsToThreadJModM) {
  setenv("THREADS", "4", 1);
  ThreadTeam team;
  team.Start();
  std::vector<int> owner(10, -1);
  team.Run(owner.size(), [&](unsigned t, unsigned m) {
    for (size_t j = t; j < owner.size(); j += m) owner[j] = static_cast<int>(t);
  });
  team.Release();
  EXPECT_EQ(owner, (std::vector<int>{0, 1, 2, 3, 0, 1, 2, 3, 0, 1}));
}

TEST(ThreadTeam, NoThreadWithoutAnItem) {
  setenv("THREADS", "100000", 1);
  ThreadTeam team;
  team.Start();
  unsigned seen = 0;
  team.Run(3, [&](unsigned t, unsigned m) {
    EXPECT_EQ(m, 3u);
    if (t == 0) seen = m;
  });
  team.Release();
  EXPECT_EQ(seen, 3u);
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
