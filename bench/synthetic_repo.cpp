// Builds a repository that holds BLOCKS blocks of other data, for measuring a backup
// into a large repository without writing its data: the index the archiver reads,
// with no packs behind it (a backup of new data never asks for them).
//
//   synthetic_repo DIR BLOCKS           index segments: the largest merged segments
//                                       that BLOCKS fill, 4096 blocks a level-0 segment
//   synthetic_repo DIR BLOCKS first     one index object per pack of 256 blocks in the
//                                       first layout (no pack id inside), as archivers
//                                       wrote before index segments
#include "zvfd/block_name.h"
#include "zvfd/codec.h"
#include "zvfd/index_segment.h"
#include "zvfd/pack.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kPerLevel0 = 4096;

struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    std::string name(unsigned top_bits, std::uint32_t top) {
        std::string n(32, '\0');
        for (int i = 0; i < 4; ++i) {
            const std::uint64_t w = next();
            std::memcpy(&n[8 * i], &w, 8);
        }
        if (top_bits) {
            std::uint32_t head = (static_cast<unsigned char>(n[0]) << 24) | (static_cast<unsigned char>(n[1]) << 16) |
                                 (static_cast<unsigned char>(n[2]) << 8) | static_cast<unsigned char>(n[3]);
            head = (head >> top_bits) | (top << (32 - top_bits));
            for (int i = 0; i < 4; ++i) n[i] = static_cast<char>(head >> (24 - 8 * i));
        }
        return n;
    }
};

std::string pack_id(std::uint64_t n) {
    char hex[40];
    std::snprintf(hex, sizeof hex, "%032llx", static_cast<unsigned long long>(n));
    return hex;
}

void segments(zvfd::LocalStorage& store, std::uint64_t blocks) {
    zvfd::SegmentCache cache(1 << 20);
    const zvfd::SegmentSpace space(store, zvfd::no_keys(), nullptr, 32, cache);
    const std::uint64_t count = std::max<std::uint64_t>(1, blocks / kPerLevel0);
    Random random{blocks};
    std::uint64_t at = 0, packs = 0;
    for (int level = 8; level >= 0; --level) {
        std::uint64_t span = 1;
        for (int k = 0; k < level; ++k) span *= zvfd::kSegmentFanout;
        for (; at + span <= count; at += span) {
            const std::uint64_t entries = span * kPerLevel0;
            zvfd::SegmentWriter writer(space, static_cast<unsigned>(level), at / span, entries);
            const unsigned bits = writer.part_bits();
            for (std::uint32_t part = 0; part < (1u << bits); ++part) {
                std::vector<zvfd::IndexEntry> part_entries(entries >> bits);
                for (auto& e : part_entries) {
                    e.name = random.name(bits, part);
                    e.pack = pack_id(packs + random.next() % (entries / 256 + 1));
                    e.offset = 12;
                    e.stored = e.raw = 16384;
                }
                std::sort(part_entries.begin(), part_entries.end(), zvfd::entry_before);
                writer.add_part(part_entries);
            }
            packs += entries / 256 + 1;
            if (!writer.finish()) throw zvfd::Error("segment taken");
            std::cerr << "level " << level << " segment " << at / span << ": " << entries << " blocks\n";
        }
    }
    // The level-0 segments they cover, which a run probes for: one block each.
    for (std::uint64_t n = 0; n < count; ++n) {
        zvfd::IndexEntry stub{random.name(0, 0), pack_id(n), 12, 1, 1, 0};
        if (!zvfd::write_segment(space, 0, n, {stub})) throw zvfd::Error("segment taken");
    }
    store.put_if_absent(space.prefix + "/imported", "");  // nothing of the first format to read
}

void first_format(zvfd::LocalStorage& store, std::uint64_t blocks) {
    Random random{blocks};
    const zvfd::Keys keys = zvfd::no_keys();
    for (std::uint64_t p = 0; p * 256 < blocks; ++p) {
        std::vector<zvfd::PackEntry> entries(256);
        for (std::size_t i = 0; i < entries.size(); ++i) entries[i] = {random.name(0, 0), 12 + 16384 * std::uint32_t(i), 16384, 16384, 0};
        zvfd::ByteWriter w;
        w.u32(static_cast<std::uint32_t>(entries.size()));
        for (const auto& e : entries) w.fields(e.name, e.offset, e.stored, e.raw, e.flags);
        zvfd::Envelope env;
        env.key_id = keys.id;
        env.payload = std::move(w.bytes());
        store.put_deferred(zvfd::index_object_name(zvfd::new_pack_id()), zvfd::write_envelope("ZVFDINDX", env));
        if (p % 1024 == 1023) store.sync_deferred();
    }
    store.sync_deferred();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: synthetic_repo DIR BLOCKS [first]\n";
        return 2;
    }
    try {
        zvfd::LocalStorage store(argv[1]);
        const std::uint64_t blocks = std::stoull(argv[2]);
        const auto start = std::chrono::steady_clock::now();
        if (argc > 3 && std::string(argv[3]) == "first")
            first_format(store, blocks);
        else
            segments(store, blocks);
        std::cerr << blocks << " blocks in "
                  << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << " s\n";
    } catch (const std::exception& e) {
        std::cerr << "synthetic_repo: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
