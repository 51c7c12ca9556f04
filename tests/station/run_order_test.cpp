#include "station/run_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace sondrix {
namespace {

std::vector<TRunEntry> entries(std::initializer_list<std::uint64_t> Keys) {
  std::vector<TRunEntry> list;
  for (std::uint64_t k : Keys)
    list.push_back({k, "/m/" + std::to_string(k) + ".mp3"});
  return list;
}

const TRunOrder::Seed kSeeds = [] {
  static std::uint32_t s = 7;
  return s = s * 69069u + 1u;
};

// What plays after the entry at Position, in order, once round.
std::vector<std::uint64_t> after(const TRunOrder& Order, std::optional<std::uint64_t> Current) {
  std::vector<std::uint64_t> keys;
  const std::size_t n = Order.Entries().size();
  const std::size_t at = Order.Position(Current);
  for (std::size_t i = 1; i <= n; ++i)
    keys.push_back(Order.Entries()[(at + i) % n].Key);
  return keys;
}

TEST(RunOrder, EditsOnAirApplyAfterTheEntryPlaying) {
  TRunOrder order;
  order.Start(entries({1, 2, 3, 4, 5}), false, kSeeds);
  EXPECT_EQ(order.Keys(), (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
  // 3 plays; 6 is added at the end, 4 dragged to the top.
  order.Update(entries({4, 1, 2, 3, 5, 6}), 3, kSeeds);
  EXPECT_EQ(after(order, 3), (std::vector<std::uint64_t>{5, 6, 4, 1, 2, 3}));
  // The entry playing is removed: it finishes, and what followed it follows.
  order.Update(entries({4, 1, 2, 5, 6}), 3, kSeeds);
  EXPECT_EQ(after(order, 3), (std::vector<std::uint64_t>{5, 6, 4, 1, 2}));
  // ...also when what followed it was the first entry of the list.
  order.Update(entries({4, 1, 2, 5, 6}), 6, kSeeds);
  order.Update(entries({4, 1, 2, 5}), 6, kSeeds);
  EXPECT_EQ(after(order, 6), (std::vector<std::uint64_t>{4, 1, 2, 5}));
}

TEST(RunOrder, RequestsGoRightAfterTheEntryPlayingInTheOrderAsked) {
  TRunOrder order;
  order.Start(entries({1, 2, 3, 4, 5}), false, kSeeds);
  order.PlayNext(5, 1);
  order.PlayNext(4, 1);
  order.PlayNext(1, 1); // the entry playing is no request
  EXPECT_EQ(after(order, 1), (std::vector<std::uint64_t>{5, 4, 2, 3, 1}));
  // An edit of the list keeps the requests where they were asked for.
  order.Update(entries({1, 2, 3, 4, 5, 6}), 1, kSeeds);
  EXPECT_EQ(after(order, 1), (std::vector<std::uint64_t>{5, 4, 2, 3, 6, 1}));
  // Once a request has started it is done: the list's order comes back from there.
  order.Started(5);
  order.Update(entries({1, 2, 3, 4, 5, 6}), 5, kSeeds);
  EXPECT_EQ(after(order, 5), (std::vector<std::uint64_t>{4, 6, 1, 2, 3, 5}));
  // A request removed from the list is forgotten.
  order.Update(entries({1, 2, 3, 5, 6}), 5, kSeeds);
  EXPECT_TRUE(order.Requests().empty());
}

TEST(RunOrder, AShuffledRunKeepsItsOrderAndPlacesNewEntriesAheadOnly) {
  TRunOrder order;
  order.Start(entries({1, 2, 3, 4, 5, 6, 7, 8}), true, kSeeds);
  const std::vector<std::uint64_t> shuffled = order.Keys();
  EXPECT_NE(shuffled, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  const std::uint64_t playing = shuffled[2];
  // A new entry and a moved one: the shuffle stays, the new entry comes among those ahead.
  for (int round = 0; round < 20; ++round) {
    TRunOrder copy = order;
    copy.Update(entries({8, 7, 6, 5, 4, 3, 2, 1, 9}), playing, kSeeds);
    std::vector<std::uint64_t> keys = copy.Keys();
    const auto nine = std::find(keys.begin(), keys.end(), 9u);
    ASSERT_NE(nine, keys.end());
    EXPECT_GT(nine - keys.begin(), 2) << "placed among the entries already played";
    keys.erase(nine);
    EXPECT_EQ(keys, shuffled);
  }
  // A removal keeps the others' order.
  order.Update(entries({1, 2, 4, 5, 6, 7, 8}), playing, kSeeds);
  std::vector<std::uint64_t> expected = shuffled;
  std::erase(expected, 3u);
  EXPECT_EQ(order.Keys(), expected);
}

// A list read anew has keys of its own: the entry playing finishes, then the new list from its
// first entry (in a shuffled run, the first of a fresh shuffle), whatever the old one held.
TEST(RunOrder, AWholeNewListFollowsTheEntryPlayingFromItsStart) {
  for (const bool shuffle : {false, true}) {
    TRunOrder order;
    order.Start(entries({1, 2, 3, 4}), shuffle, kSeeds);
    const std::uint64_t playing = order.Keys()[1];
    order.PlayNext(order.Keys()[3], playing);
    order.Update(entries({10, 11, 12, 13, 14, 15}), playing, kSeeds);
    EXPECT_TRUE(order.Requests().empty()) << shuffle;
    const std::vector<std::uint64_t> next = after(order, playing);
    EXPECT_EQ(next, order.Keys()) << shuffle;
    std::vector<std::uint64_t> sorted = next;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::uint64_t>{10, 11, 12, 13, 14, 15})) << shuffle;
    if (!shuffle) {
      EXPECT_EQ(next, sorted);
    }
  }
  // Shuffled again and again, every entry sometimes comes first: a fresh shuffle each time.
  std::set<std::uint64_t> firsts;
  for (int round = 0; round < 60; ++round) {
    TRunOrder order;
    order.Start(entries({1, 2, 3}), true, kSeeds);
    const std::uint64_t playing = order.Keys()[0];
    order.Update(entries({10, 11, 12, 13}), playing, kSeeds);
    firsts.insert(after(order, playing).front());
  }
  EXPECT_EQ(firsts, (std::set<std::uint64_t>{10, 11, 12, 13}));
}

} // namespace
} // namespace sondrix
