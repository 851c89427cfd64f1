// Packs: blocks grouped into objects of a few MiB, so a repository holds a few large
// files instead of one per block; and the index object per pack that archivers wrote
// before index segments (segment_index.h) said which blocks it holds and where.
//
// Pack object "packs/<first two hex digits>/<id>", the id being 32 random hex digits
// (two writers never pick the same one):
//   8-byte magic "ZVFDPACK" | u32 version (1) | blocks back to back
// Each block is stored as its data, zstd-compressed when that made it smaller, and
// sealed by the cipher when a key is given.
//
// Index object "index/<id>", written after its pack, read once into index segments:
// an envelope (codec.h) with magic "ZVFDINDX", the key id, and the payload (sealed
// when a key is given), version 2:
//   text pack id, u32 entry count, then per entry: text block name, u32 offset in
//   the pack, u32 stored length, u32 length of the block, u8 flags (record.h)
// The pack id inside the checked (and sealed) payload ties the index to its pack: an
// index stored under another pack's name is refused. Version 1, still read, has no
// pack id.
#pragma once

#include "zvfd/cipher.h"
#include "zvfd/record.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zvfd {

struct PackEntry {
    std::string name;
    std::uint32_t offset = 0, stored = 0, raw = 0;
    std::uint8_t flags = 0;
};

// The largest pack and index objects a reader takes (Storage::get_at_most); a larger
// one is damaged. A pack is closed once it holds kPackSize (block_store.h, 4 MiB), so
// only its last block, stored at most as long as it is plus the cipher's overhead,
// lies past that. An index holds some 80 bytes for each block of its pack, and a
// stored block takes more than 10 bytes.
constexpr std::uint64_t kMaxPackObjectSize = (4u << 20) + kMaxBlockSize + (64u << 10);
constexpr std::uint64_t kMaxIndexObjectSize = 64u << 20;

std::string pack_object_name(const std::string& id);
std::string index_object_name(const std::string& id);
std::string new_pack_id();

class PackBuilder {
public:
    PackBuilder();
    // Empty again under a new id, keeping the memory it holds: a backup fills pack
    // after pack, and fresh memory costs a page fault per page when first written.
    void reset();
    const std::string& id() const { return id_; }
    // Appends stored bytes; returns their offset in the pack.
    std::uint32_t add(const std::string& name, std::string_view stored, std::uint32_t raw, std::uint8_t flags);
    // Takes out the entries marked in `dropped` (one flag per entry); the others move
    // up, so their offsets change.
    void drop(const std::vector<bool>& dropped);
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return entries_.empty(); }
    const std::string& bytes() const { return bytes_; }
    const std::vector<PackEntry>& entries() const { return entries_; }

private:
    std::string id_;
    std::string bytes_;
    std::vector<PackEntry> entries_;
};

// Throws Error when the bytes do not start like a pack.
void check_pack_header(const std::string& bytes, const std::string& id);

std::string encode_pack_index(const std::string& id, const std::vector<PackEntry>& entries, const Keys& keys,
                              const Sealer* sealer);
// Entries of the index object of pack `id`; throws Error when it is damaged or names
// another pack, and AuthError when the key id matches but the seal does not open.
std::vector<PackEntry> decode_pack_index(const std::string& bytes, const std::string& id, const Sealer* sealer);
// The key id an index object was written with, without opening it.
std::string pack_index_key_id(const std::string& bytes, const std::string& id);

}  // namespace zvfd
