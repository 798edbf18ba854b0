#include "platform/handles.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace velqor::platform {
namespace {

TEST(HandlesTest, RegisterResolveRelease) {
  int a = 0, b = 0;
  EXPECT_EQ(RegisterPointer(nullptr), 0u);
  EXPECT_EQ(ResolvePointer(0), nullptr);
  uint32_t ha = RegisterPointer(&a);
  uint32_t hb = RegisterPointer(&b);
  EXPECT_NE(ha, 0u);
  EXPECT_NE(ha, hb);
  EXPECT_EQ(RegisterPointer(&a), ha);  // a known pointer keeps its handle
  EXPECT_EQ(ResolveAs<int>(ha), &a);
  EXPECT_EQ(ResolveAs<int>(hb), &b);
  ReleasePointer(ha);
  EXPECT_EQ(ResolvePointer(ha), nullptr);
  EXPECT_EQ(ResolveAs<int>(hb), &b);
  ReleasePointer(ha);  // twice, and unknown handles: nothing happens
  ReleasePointer(0);
  // A released handle is not given out again, even for the same pointer.
  uint32_t again = RegisterPointer(&a);
  EXPECT_NE(again, ha);
  EXPECT_NE(again, 0u);
  ReleasePointer(again);
  ReleasePointer(hb);
}

TEST(HandlesTest, ConcurrentRegistrationsGetDistinctHandles) {
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::vector<int>> objects(kThreads, std::vector<int>(kEach));
  std::vector<std::vector<uint32_t>> handles(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int& o : objects[t]) handles[t].push_back(RegisterPointer(&o));
    });
  }
  for (auto& th : threads) th.join();
  std::set<uint32_t> all;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      EXPECT_EQ(ResolvePointer(handles[t][i]), &objects[t][i]);
      all.insert(handles[t][i]);
    }
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(all.count(0), 0u);
  for (uint32_t h : all) ReleasePointer(h);
}

}  // namespace
}  // namespace velqor::platform
