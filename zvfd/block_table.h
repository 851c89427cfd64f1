// The blocks a backup has met in this run, by name: those it stored and those it
// found stored already, so that a block that comes again is not looked up again. A
// flat open-addressing table of fixed-size entries, about 60 bytes a block with a
// 32-byte name, where a map of strings takes well over 100. Not safe for concurrent
// use; the block store guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zvfd {

struct TableLocation {
    std::uint32_t pack = 0;  // a number the caller gives its packs
    std::uint32_t offset = 0, stored = 0, raw = 0;
    std::uint8_t flags = 0;
};

class BlockTable {
public:
    explicit BlockTable(std::size_t name_size);
    bool find(const std::string& name, TableLocation& out) const;
    // A name that is there already keeps its location.
    void insert(const std::string& name, const TableLocation& location);
    // Gives a name that is there a new location; false when it is not there.
    bool assign(const std::string& name, const TableLocation& location);
    std::size_t size() const { return count_; }
    std::size_t bytes() const { return entries_.capacity() + slots_.capacity() * sizeof(std::uint32_t); }

private:
    std::size_t slot_of(const std::string& name) const;
    void grow();

    std::size_t name_size_, stride_;
    std::vector<char> entries_;         // name, then the location, entry after entry
    std::vector<std::uint32_t> slots_;  // 0: empty; else the entry's number + 1
    std::size_t count_ = 0;
    // A per-run key in the hash, so that names chosen to collide cannot be made to.
    std::uint64_t key_, multiplier_;
};

}  // namespace zvfd
