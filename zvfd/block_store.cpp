#include "zvfd/block_store.h"

namespace zvfd {

BlockStore::BlockStore(Repository& repository, Compression compression, BlockIndex known, std::size_t pack_size)
    : repository_(repository),
      compression_(compression),
      pack_size_(pack_size),
      index_(std::move(known)),
      open_(std::make_unique<PackBuilder>()) {}

BlockLocation BlockStore::put(const std::string& name, const char* data, std::uint32_t length) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = index_.find(name);
        if (it != index_.end()) {
            ++known_blocks_;
            return it->second;
        }
    }
    std::string compressed;
    std::uint8_t flags = 0;
    std::string payload;
    if (compress_block(compression_, data, length, compressed)) {
        flags |= kBlockCompressed;
        payload = std::move(compressed);
    } else {
        payload.assign(data, length);
    }
    if (const Sealer* sealer = repository_.sealer()) payload = sealer->seal(payload);

    std::unique_ptr<PackBuilder> full;
    BlockLocation location;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = index_.find(name);
        if (it != index_.end()) {  // another worker stored the same block meanwhile
            ++known_blocks_;
            return it->second;
        }
        location.pack = open_->id();
        location.offset = open_->add(name, payload, length, flags);
        location.stored = static_cast<std::uint32_t>(payload.size());
        location.raw = length;
        location.flags = flags;
        index_.emplace(name, location);
        ++new_blocks_;
        stored_bytes_ += payload.size();
        if (open_->size() >= pack_size_) {
            full = std::move(open_);
            open_ = std::make_unique<PackBuilder>();
        }
    }
    if (full) repository_.store_pack(*full);
    return location;
}

void BlockStore::flush() {
    std::unique_ptr<PackBuilder> last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last = std::move(open_);
        open_ = std::make_unique<PackBuilder>();
    }
    if (!last->empty()) repository_.store_pack(*last);
}

}  // namespace zvfd
