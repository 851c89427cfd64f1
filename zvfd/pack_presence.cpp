#include "zvfd/pack_presence.h"

#include "zvfd/pack.h"

namespace zvfd {

PackPresence::PackPresence(Storage& storage, std::set<std::string> damaged)
    : storage_(storage), damaged_(std::move(damaged)) {}

void PackPresence::add_own(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    known_[id] = State::Present;
}

bool PackPresence::trusted(const std::string& id) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            auto it = known_.find(id);
            if (it == known_.end()) break;
            if (it->second != State::Asking) return it->second == State::Present;
            answered_.wait(lock);
        }
        if (damaged_.count(id) || !is_object_name(id) || id.size() < 2) {
            known_.emplace(id, State::Absent);
            ++refused_;
            return false;
        }
        known_.emplace(id, State::Asking);
    }
    bool present = false;
    try {
        present = storage_.exists(pack_object_name(id));
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        known_.erase(id);  // asked again by the next caller, who then sees the failure too
        answered_.notify_all();
        throw;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        known_[id] = present ? State::Present : State::Absent;
    }
    answered_.notify_all();
    ++(present ? confirmed_ : refused_);
    // The record being written names the packs it trusts: a store that locks them
    // begins now, beside the backup, rather than all of them after it.
    if (present) storage_.keep_soon({pack_object_name(id)});
    return present;
}

}  // namespace zvfd
