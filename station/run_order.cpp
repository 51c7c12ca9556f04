#include "run_order.h"

#include "playlist_ops.h"

#include <algorithm>
#include <unordered_set>

namespace sondrix {

void TRunOrder::Start(const std::vector<TRunEntry>& List, bool Shuffle, const Seed& Seeds) {
  FShuffle = Shuffle;
  FOrder = Shuffle ? snuffeOf(List, Seeds) : List;
  FRequests.clear();
  FGone.reset();
  FFollower.reset();
}

std::optional<std::size_t> TRunOrder::IndexOf(std::uint64_t Key) const {
  const auto found = std::find_if(FOrder.begin(), FOrder.end(),
                                  [Key](const TRunEntry& e) { return e.Key == Key; });
  if (found == FOrder.end())
    return std::nullopt;
  return static_cast<std::size_t>(found - FOrder.begin());
}

std::size_t TRunOrder::Position(std::optional<std::uint64_t> Current) const {
  if (FOrder.empty())
    return 0;
  if (Current) {
    if (const std::optional<std::size_t> index = IndexOf(*Current))
      return *index;
    // Gone: the entry before the one that followed it, so that one comes next.
    if (FGone == Current && FFollower)
      if (const std::optional<std::size_t> next = IndexOf(*FFollower))
        return (*next + FOrder.size() - 1) % FOrder.size();
  }
  return FOrder.size() - 1;
}

void TRunOrder::Update(const std::vector<TRunEntry>& List, std::optional<std::uint64_t> Current,
                       const Seed& Seeds) {
  std::unordered_set<std::uint64_t> listed;
  for (const TRunEntry& e : List)
    listed.insert(e.Key);
  if (Current) {
    if (const std::optional<std::size_t> index = IndexOf(*Current)) {
      // Should the entry being played go, what followed it among those that stay comes next.
      FGone = Current;
      FFollower.reset();
      for (std::size_t k = 1; k < FOrder.size(); ++k) {
        const TRunEntry& e = FOrder[(*index + k) % FOrder.size()];
        if (listed.count(e.Key) != 0) {
          FFollower = e.Key;
          break;
        }
      }
    }
  }
  if (!FShuffle) {
    FOrder = List;
  } else {
    const std::size_t from = Position(Current);
    std::vector<TRunEntry> kept;
    std::size_t position = 0;
    for (std::size_t i = 0; i < FOrder.size(); ++i) {
      if (listed.count(FOrder[i].Key) == 0)
        continue;
      if (i <= from)
        position = kept.size() + 1; // new entries go after this
      // A path changed under the same key is the list's.
      kept.push_back(*std::find_if(List.begin(), List.end(),
                                   [&](const TRunEntry& l) { return l.Key == FOrder[i].Key; }));
    }
    for (const TRunEntry& e : List) {
      if (std::any_of(kept.begin(), kept.end(),
                      [&e](const TRunEntry& k) { return k.Key == e.Key; }))
        continue;
      // A new entry takes a random place among those still to come.
      const std::size_t room = kept.size() - std::min(position, kept.size());
      const std::uint32_t seed = Seeds() * 134775813u + 1u;
      const auto offset = static_cast<std::size_t>((std::uint64_t{seed} * (room + 1)) >> 32);
      kept.insert(kept.begin() + static_cast<std::ptrdiff_t>(position + offset), e);
    }
    FOrder = std::move(kept);
  }
  std::erase_if(FRequests, [&listed](std::uint64_t k) { return listed.count(k) == 0; });
  placeRequests(Current);
}

void TRunOrder::PlayNext(std::uint64_t Key, std::optional<std::uint64_t> Current) {
  if (!IndexOf(Key) || (Current && Key == *Current))
    return;
  std::erase(FRequests, Key);
  FRequests.push_back(Key);
  placeRequests(Current);
}

void TRunOrder::Started(std::uint64_t Current) {
  std::erase(FRequests, Current);
}

void TRunOrder::placeRequests(std::optional<std::uint64_t> Current) {
  for (std::size_t r = 0; r < FRequests.size(); ++r) {
    const std::optional<std::size_t> from = IndexOf(FRequests[r]);
    if (!from)
      continue;
    TRunEntry entry = FOrder[*from];
    FOrder.erase(FOrder.begin() + static_cast<std::ptrdiff_t>(*from));
    // Right after the entry being played, then after the requests before this one.
    const std::size_t at = FOrder.empty() ? 0 : std::min(Position(Current) + 1 + r, FOrder.size());
    FOrder.insert(FOrder.begin() + static_cast<std::ptrdiff_t>(at), std::move(entry));
  }
}

std::vector<std::string> TRunOrder::Paths() const {
  std::vector<std::string> paths;
  for (const TRunEntry& e : FOrder)
    paths.push_back(e.Path);
  return paths;
}

std::vector<std::uint64_t> TRunOrder::Keys() const {
  std::vector<std::uint64_t> keys;
  for (const TRunEntry& e : FOrder)
    keys.push_back(e.Key);
  return keys;
}

} // namespace sondrix
