// Which packs a new record may name. An index or a reference record says where a
// block was stored, not that it is still there: a pack may have been removed, or a
// check may have found it damaged. A backup trusts a known block only when its pack
// was written by this run, or the store confirms that it holds the pack and no check
// has recorded it as damaged; any other block is stored again from the source.
//
// Each pack is asked about once (one existence check, Storage::exists), so the cost
// is bounded by the packs the backup reuses, not by the size of the repository. A
// pack confirmed is one the new record is about to name: the store is told so
// (Storage::keep_soon), so that a store which locks begins locking it at once.
//
//   PackPresence presence(storage, repository.damaged_packs());
//   if (!presence.trusted(location.pack)) { /* store the block again */ }
#pragma once

#include "zvfd/storage.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

namespace zvfd {

class PackPresence {
public:
    PackPresence(Storage& storage, std::set<std::string> damaged);
    // A pack this run stores: trusted without asking the store.
    void add_own(const std::string& id);
    // Safe to call from several threads; a pack asked about by several at once is
    // asked about once, the others wait for the answer.
    bool trusted(const std::string& id);
    // Packs confirmed by asking the store, and packs found missing or damaged.
    std::uint64_t confirmed() const { return confirmed_; }
    std::uint64_t refused() const { return refused_; }

private:
    enum class State { Asking, Present, Absent };
    Storage& storage_;
    const std::set<std::string> damaged_;
    std::mutex mutex_;
    std::condition_variable answered_;
    std::unordered_map<std::string, State> known_;
    std::atomic<std::uint64_t> confirmed_{0}, refused_{0};
};

}  // namespace zvfd
