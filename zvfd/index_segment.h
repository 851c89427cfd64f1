// Index segments: which blocks a repository holds and where, as immutable sorted
// objects that a backup looks blocks up in without loading them (segment_index.h
// keeps the set of them). Written by a backup for the packs it stored, and merged
// into larger segments as objects of their own; nothing is rewritten in place.
//
// The blocks of one key and one name size form a space of their own:
//   segments/<key id in hex>-<name size>/L<level>/<number, 12 digits>
// A segment of level k and number j covers the level-0 segments j·16^k to
// (j+1)·16^k - 1 (segment_index.h).
//
// Head object (the name above):
//   fixed header, 64 bytes: 8-byte magic "ZVFDSEGM" | u32 version (1) | 16-byte key id
//     | u8 sealed | u8 name size | u8 part bits | u8 level | u64 number
//     | u32 meta chunk length | u32 pack chunk length | u64 part offset | zeros
//   meta chunk: u8 level, u64 number, u8 part bits, u8 name size, u64 entries,
//     u32 pack count, text attempt, then per part: u64 entries, u32 chunk 0 length
//   pack chunk: the pack ids, 16 bytes each; entries name a pack by its position
//   with one part (part bits 0): that part, from the part offset
// With part bits b > 0 the entries lie in 2^b part objects "<head>.<attempt>.<p>",
// part p holding the names whose first b bits are p; the attempt (random) keeps a
// merge that a killed run left half done apart from a later one.
//
// A part: chunk 0 then one chunk per bucket. Chunk 0: u32 entries | u8 bucket bits
//   | u32 filter blocks | the filter (64 bytes a block) | u32 first entry of each
//   bucket and one past the last. Bucket i holds the part's names whose next bucket
//   bits are i, sorted; each entry: name | u32 pack position | u32 offset in the pack
//   | u32 stored length | u32 length | u8 flags. So a look-up reads chunk 0 once
//   (kept in memory, within a budget) and then one bucket of about 64 entries.
// The filter is a split-block Bloom filter of 10 bits per name: a name it does not
// hold costs no read in 99 cases of 100.
//
// Every chunk is checked on its own, so that a range of an object can be trusted:
// sealed with the repository's key when it has one, else followed by 16 bytes of
// SHA-256; in both cases over 16 bytes that bind it to its object's name and its
// position there, so that no chunk passes for another.
#pragma once

#include "zvfd/cipher.h"
#include "zvfd/storage.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zvfd {

// A block as an index names it.
struct IndexEntry {
    std::string name;
    std::string pack;  // pack id: 32 hex digits
    std::uint32_t offset = 0, stored = 0, raw = 0;
    std::uint8_t flags = 0;
};
// By name, then where: the order of a segment's entries.
bool entry_before(const IndexEntry& a, const IndexEntry& b);

constexpr std::uint32_t kSegmentFanout = 16;
// The most entries a part holds: a merge holds one part of its output at a time.
constexpr std::uint64_t kPartEntries = 1u << 18;

// What a segment reads once and keeps: the filter and fan-out of each part, and its
// pack table. Each is a slot of its segment, read without a lock; the cache only
// counts their bytes and, past its budget, empties the slots used least lately (a
// slot emptied is read again when next needed).
class CachedSlots {
public:
    virtual ~CachedSlots() = default;
    // Whether the slot was used since the last call, which clears the mark.
    virtual bool take_used(std::uint32_t slot) = 0;
    virtual void release(std::uint32_t slot) = 0;
};

class SegmentCache {
public:
    explicit SegmentCache(std::size_t budget) : budget_(budget) {}
    // A slot now holds `bytes`; empties others while the cache is over its budget.
    void hold(const std::weak_ptr<CachedSlots>& owner, std::uint32_t slot, std::size_t bytes);
    std::size_t bytes() const;
    std::size_t budget() const { return budget_; }

private:
    struct Item {
        std::weak_ptr<CachedSlots> owner;
        std::uint32_t slot;
        std::size_t bytes;
    };
    const std::size_t budget_;
    mutable std::mutex mutex_;
    std::deque<Item> items_;  // oldest first
    std::size_t bytes_ = 0;
};

// The segments of one key and name size in one store.
struct SegmentSpace {
    Storage& storage;
    Keys keys;
    const Sealer* sealer;  // null without a key
    std::size_t name_size;
    SegmentCache& cache;
    std::string prefix;  // "segments/<key id>-<name size>"

    SegmentSpace(Storage& storage, Keys keys, const Sealer* sealer, std::size_t name_size, SegmentCache& cache);
    std::string object(unsigned level, std::uint64_t number) const;
    std::size_t entry_size() const { return name_size + 17; }
};

// Writes one segment: its parts in order, then its head.
class SegmentWriter {
public:
    SegmentWriter(const SegmentSpace& space, unsigned level, std::uint64_t number, std::uint64_t entries);
    unsigned part_bits() const { return part_bits_; }
    // The next part's entries, in entry_before order, each beginning with the part's bits.
    void add_part(const std::vector<IndexEntry>& entries);
    // Puts the head; false when another run took its name first.
    bool finish();

private:
    const SegmentSpace& space_;
    unsigned level_;
    std::uint64_t number_;
    unsigned part_bits_ = 0;
    std::string attempt_;
    std::uint64_t entries_ = 0;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> parts_;  // entries, chunk 0 length
    std::string inline_part_;
    std::vector<std::string> packs_;  // binary pack ids, by position
    std::unordered_map<std::string, std::uint32_t> pack_positions_;
};

// Writes `entries` (any order) as one segment; false when its name was taken.
bool write_segment(const SegmentSpace& space, unsigned level, std::uint64_t number, std::vector<IndexEntry> entries);

// An open segment: its head read, its parts read when a look-up needs them. Safe to
// use from several threads.
class Segment : public CachedSlots, public std::enable_shared_from_this<Segment> {
public:
    // Nullptr when there is no such segment; throws Error when its head is damaged or
    // does not belong to the space, StorageError when the store fails.
    static std::shared_ptr<Segment> open(const SegmentSpace& space, unsigned level, std::uint64_t number);

    unsigned level() const { return level_; }
    std::uint64_t number() const { return number_; }
    std::uint64_t entries() const { return entries_; }
    unsigned part_bits() const { return part_bits_; }
    const std::string& object() const { return object_; }
    // Whether this process made the segment from blocks of its own packs alone: a run
    // whose own blocks are all in its tables need not look there (segment_index.h).
    bool own() const { return own_; }
    void set_own() { own_ = true; }

    // Whether the part's filter may hold the name (reads chunk 0 when not cached).
    bool may_hold(const std::string& name);
    // Appends the entries named `name`. Throws Error when what it reads is damaged.
    void find(const std::string& name, std::vector<IndexEntry>& out);
    // The entries whose names begin with the `bits` bits of `prefix` (bits not below
    // part_bits()), in entry_before order: what a merge reads.
    std::vector<IndexEntry> slice(std::uint32_t prefix, unsigned bits);

    struct PartHead;

    bool take_used(std::uint32_t slot) override { return used_[slot].exchange(false); }
    void release(std::uint32_t slot) override { std::atomic_store(&slots_[slot], std::shared_ptr<const void>()); }

private:
    Segment(const SegmentSpace& space, std::string object) : space_(space), object_(std::move(object)) {}
    std::string part_object(std::uint32_t part) const;
    std::shared_ptr<const PartHead> part_head(std::uint32_t part);
    std::shared_ptr<const std::vector<std::string>> packs();
    // The part's bucket chunks as stored, once look-ups found enough in it that one
    // read of them all costs less than a read for each (on a store only); else null.
    std::shared_ptr<const std::string> part_body(std::uint32_t part, const PartHead& head);
    // The slot's value, or what `load` gives (with its size in bytes), kept in the slot.
    std::shared_ptr<const void> slot(std::uint32_t slot,
                                     const std::function<std::pair<std::shared_ptr<const void>, std::size_t>()>& load);
    // Bucket chunks [first, last) of a part, opened, as entries.
    std::vector<IndexEntry> read_buckets(std::uint32_t part, const PartHead& head, std::uint32_t first,
                                         std::uint32_t last);

    const SegmentSpace& space_;
    std::string object_;
    unsigned level_ = 0, part_bits_ = 0;
    std::atomic<bool> own_{false};
    std::uint64_t number_ = 0, entries_ = 0;
    std::string attempt_;
    std::uint64_t packs_at_ = 0, part_at_ = 0;
    std::uint32_t pack_count_ = 0, packs_length_ = 0;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> parts_;  // entries, chunk 0 length
    // One per part, then the pack table's, then one per part for its body.
    std::unique_ptr<std::shared_ptr<const void>[]> slots_;
    std::unique_ptr<std::atomic<bool>[]> used_;
    std::unique_ptr<std::atomic<std::uint32_t>[]> found_;  // per part: look-ups that read a bucket
};

}  // namespace zvfd
