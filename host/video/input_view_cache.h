#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "host/base/log.h"

namespace veyra {

// The converter's cache of input views, one per source texture: a desktop
// duplication hands out the same few textures over and over, and making a
// view per frame costs more than the conversion. Keyed by the texture's
// identity; a view keeps its texture alive, so an identity in the cache
// cannot belong to another texture. Full at kCapacity views, when it starts
// afresh rather than tracking use. Used on the capture thread only.
// Addresses are taken with std::addressof: a COM smart pointer's own
// operator& releases what it holds.
template <typename View>
class InputViewCache {
 public:
  static constexpr std::size_t kCapacity = 16;

  // The cached view of |identity|, or a new one from |create| (a callable
  // filling a View* and returning false on failure); nullptr when that
  // fails, which is not logged.
  template <typename Create>
  View* Find(const void* identity, Create create) {
    for (Entry& entry : entries_) {
      if (entry.identity == identity) return std::addressof(entry.view);
    }
    View view{};
    if (!create(std::addressof(view))) return nullptr;
    if (entries_.size() >= kCapacity) {
      Log(LogLevel::Debug, "input view cache full (%zu); resetting", entries_.size());
      entries_.clear();
    }
    entries_.push_back({identity, std::move(view)});
    Log(LogLevel::Debug, "cached input view for surface %p (%zu cached)", identity,
        entries_.size());
    return std::addressof(entries_.back().view);
  }

  void Clear() { entries_.clear(); }
  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    const void* identity;
    View view;
  };
  std::vector<Entry> entries_;
};

}  // namespace veyra
