#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sondrix {

// An entry of the operator's list: its path and a key that stays with it while the list is
// edited (rows move, others come and go).
struct TRunEntry {
  std::uint64_t Key = 0;
  std::string Path;
  friend bool operator==(const TRunEntry&, const TRunEntry&) = default;
};

// The order a broadcast plays the list in, kept while the operator edits the list on air.
// Without shuffle it is the list's order; with it, a shuffle of the list at the start, in which
// entries that stay keep their places, removed ones go, and added ones take random places among
// those still to come. Requests ("play next") go right after the entry being played.
// Main thread only.
class TRunOrder {
public:
  using Seed = std::function<std::uint32_t()>;

  void Start(const std::vector<TRunEntry>& List, bool Shuffle, const Seed& Seeds);
  // The list as edited. Current: the key of the entry being played, if any.
  void Update(const std::vector<TRunEntry>& List, std::optional<std::uint64_t> Current,
              const Seed& Seeds);
  // Key plays after Current, without a cut; a later request goes after the earlier ones.
  void PlayNext(std::uint64_t Key, std::optional<std::uint64_t> Current);
  // Current has started: a request that it was is done.
  void Started(std::uint64_t Current);

  const std::vector<TRunEntry>& Entries() const { return FOrder; }
  std::vector<std::string> Paths() const;
  std::vector<std::uint64_t> Keys() const;
  std::optional<std::size_t> IndexOf(std::uint64_t Key) const;
  // Where a list of the order stands after a change while Current plays: Current's index, or,
  // when Current is no longer in it, the index before the entry that followed it, so that this
  // entry comes next.
  std::size_t Position(std::optional<std::uint64_t> Current) const;
  const std::vector<std::uint64_t>& Requests() const { return FRequests; }

private:
  // Moves the requests, in order, right after Current.
  void placeRequests(std::optional<std::uint64_t> Current);

  bool FShuffle = false;
  std::vector<TRunEntry> FOrder;
  std::vector<std::uint64_t> FRequests; // asked to play next, not yet started
  // The entry being played when it was last seen in the order, and what followed it then
  // among the entries that stay: where the run goes on should it be removed.
  std::optional<std::uint64_t> FGone;
  std::optional<std::uint64_t> FFollower;
};

} // namespace sondrix
