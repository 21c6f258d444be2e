// Pool sizing rules and the ordered error reporting of the parallel loops.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "worker_pool.hpp"

namespace vp = velmora::pool;

TEST(PoolSize, PositiveIntegersOnly) {
  EXPECT_EQ(vp::detail::parse_positive("4"), 4u);
  EXPECT_EQ(vp::detail::parse_positive("012"), 12u);
  for (const char* bad : {"", "0", "-1", "2.5", " 3", "3 ", "abc", "99999999999999999999999"}) {
    EXPECT_FALSE(vp::detail::parse_positive(bad).has_value()) << bad;
  }
  EXPECT_FALSE(vp::detail::parse_positive(nullptr).has_value());
}

TEST(PoolSize, FirstValidVariableWins) {
  EXPECT_EQ(vp::detail::choose_size("3", "5", 8), 3u);
  EXPECT_EQ(vp::detail::choose_size("0", "5", 8), 5u);
  EXPECT_EQ(vp::detail::choose_size("x", nullptr, 8), 8u);
  EXPECT_EQ(vp::detail::choose_size(nullptr, "-2", 0), 1u);
}

TEST(PoolSize, CgroupQuotas) {
  EXPECT_FALSE(vp::detail::cgroup_v2_limit("max 100000").has_value());
  EXPECT_EQ(vp::detail::cgroup_v2_limit("200000 100000"), 2u);
  EXPECT_EQ(vp::detail::cgroup_v2_limit("150000 100000"), 1u);
  EXPECT_EQ(vp::detail::cgroup_v2_limit("50000 100000"), 1u);  // a fraction of a CPU is one
  EXPECT_FALSE(vp::detail::cgroup_v2_limit("garbage").has_value());
  EXPECT_FALSE(vp::detail::cgroup_v1_limit(-1, 100000).has_value());
  EXPECT_EQ(vp::detail::cgroup_v1_limit(400000, 100000), 4u);
}

TEST(PoolLoops, EveryIndexRunsOnce) {
  std::vector<std::atomic<int>> hits(1000);
  vp::for_each_index(hits.size(), [&](std::size_t i) { hits[i]++; });
  for (const auto& h : hits) EXPECT_EQ(h.load(), 1);

  std::vector<int> covered(10007, 0);
  vp::for_each_block(covered.size(), 100, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) covered[i]++;
  });
  for (int c : covered) EXPECT_EQ(c, 1);
}

TEST(PoolLoops, LowestFailingIndexIsReported) {
  for (int round = 0; round < 20; ++round) {
    try {
      vp::for_each_index(64, [](std::size_t i) {
        if (i % 7 == 3) throw std::runtime_error(std::to_string(i));
      });
      FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "3");
    }
  }
}

TEST(PoolLoops, NestedLoopsComplete) {
  std::atomic<long> total{0};
  vp::for_each_index(8, [&](std::size_t) {
    vp::for_each_index(100, [&](std::size_t j) { total += static_cast<long>(j); });
  });
  EXPECT_EQ(total.load(), 8 * 4950);
}
