#include "zvfd/index_segment.h"

#include "zvfd/block_name.h"
#include "zvfd/codec.h"
#include "zvfd/pack.h"
#include "zvfd/record.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

namespace zvfd {

namespace {

constexpr char kSegmentMagic[9] = "ZVFDSEGM";
constexpr std::uint32_t kSegmentVersion = 1;
constexpr std::size_t kHeaderSize = 64;
// A head's first read: the fixed header and, nearly always, its meta chunk.
constexpr std::size_t kFirstRead = 64 << 10;
constexpr std::uint32_t kMetaChunk = 0xffffffffu, kPackChunk = 0xfffffffeu;
constexpr unsigned kBucketEntries = 64;
constexpr unsigned kFilterBits = 10;  // per entry
constexpr std::size_t kFilterBlock = 64;

std::uint64_t le64(const char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

// `count` bits of the name from bit `start` on (the first byte's high bit is bit 0).
std::uint32_t name_bits(const std::string& name, unsigned start, unsigned count) {
    if (count == 0) return 0;
    std::uint64_t v = 0;
    for (unsigned i = 0; i < 8; ++i) {
        const std::size_t at = start / 8 + i;
        v = (v << 8) | (at < name.size() ? static_cast<unsigned char>(name[at]) : 0u);
    }
    return static_cast<std::uint32_t>((v >> (64 - start % 8 - count)) & ((std::uint64_t(1) << count) - 1));
}

// The split-block Bloom filter: a name sets one bit in each of the 8 words of one
// 64-byte block. Names are digests, so their own bytes serve as the hashes.
std::uint32_t filter_block(const std::string& name, std::uint32_t blocks) {
    return static_cast<std::uint32_t>(((le64(name.data() + 8) >> 32) * blocks) >> 32);
}

void filter_add(std::uint64_t* words, std::uint32_t blocks, const std::string& name) {
    std::uint64_t* block = words + 8 * std::size_t(filter_block(name, blocks));
    const std::uint64_t h = le64(name.data() + 16);
    for (unsigned w = 0; w < 8; ++w) block[w] |= std::uint64_t(1) << ((h >> (6 * w)) & 63);
}

bool filter_has(const std::uint64_t* words, std::uint32_t blocks, const std::string& name) {
    const std::uint64_t* block = words + 8 * std::size_t(filter_block(name, blocks));
    const std::uint64_t h = le64(name.data() + 16);
    for (unsigned w = 0; w < 8; ++w)
        if (!(block[w] & (std::uint64_t(1) << ((h >> (6 * w)) & 63)))) return false;
    return true;
}

std::string from_hex(const std::string& hex) {
    if (hex.size() != 32) return {};
    std::string out(16, '\0');
    for (std::size_t i = 0; i < 16; ++i) {
        int v = 0;
        for (char c : {hex[2 * i], hex[2 * i + 1]}) {
            v <<= 4;
            if (c >= '0' && c <= '9') v |= c - '0';
            else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
            else return {};
        }
        out[i] = static_cast<char>(v);
    }
    return out;
}

std::string random_attempt() {
    unsigned char raw[4];
    if (RAND_bytes(raw, sizeof raw) != 1) throw Error("no random bytes for a segment");
    return to_hex(std::string(reinterpret_cast<char*>(raw), sizeof raw));
}

// The 16 bytes that tie a chunk to its object and its place there.
std::string binding(const std::string& object, std::uint32_t chunk) {
    ByteWriter w;
    w.text("zvfd segment chunk");
    w.text(object);
    w.u32(chunk);
    return sha256(w.bytes()).substr(0, 16);
}

std::size_t chunk_overhead(const SegmentSpace& space) { return 16 + (space.sealer ? space.sealer->overhead() : 0); }

std::string seal_chunk(const SegmentSpace& space, const std::string& object, std::uint32_t chunk,
                       std::string_view plain) {
    std::string bound = binding(object, chunk);
    if (space.sealer) {
        bound.append(plain.data(), plain.size());
        return space.sealer->seal(bound);
    }
    std::string out(plain);
    bound.append(plain.data(), plain.size());
    out += sha256(bound).substr(0, 16);
    return out;
}

std::string open_chunk(const SegmentSpace& space, const std::string& object, std::uint32_t chunk,
                       std::string_view sealed) {
    const std::string what = "index segment " + object;
    if (sealed.size() < chunk_overhead(space)) throw Error(what + " is damaged");
    const std::string bound = binding(object, chunk);
    if (space.sealer) {
        std::string plain;
        try {
            plain = space.sealer->open(std::string(sealed));
        } catch (const AuthError&) {
            throw Error(what + " fails its authentication: it is damaged");
        }
        if (plain.compare(0, 16, bound) != 0) throw Error(what + " holds a part of another segment: it is damaged");
        return plain.substr(16);
    }
    const std::string_view plain = sealed.substr(0, sealed.size() - 16);
    if (sha256(bound + std::string(plain)).compare(0, 16, sealed.data() + plain.size(), 16) != 0)
        throw Error(what + " is damaged");
    return std::string(plain);
}

[[noreturn]] void damaged(const std::string& object) { throw Error("index segment " + object + " is damaged"); }

}  // namespace

bool entry_before(const IndexEntry& a, const IndexEntry& b) {
    if (int c = a.name.compare(b.name)) return c < 0;
    if (int c = a.pack.compare(b.pack)) return c < 0;
    return a.offset < b.offset;
}

void SegmentCache::hold(const std::weak_ptr<CachedSlots>& owner, std::uint32_t slot, std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back({owner, slot, bytes});
    bytes_ += bytes;
    // A slot used since it was last looked at gets one more round; after a whole
    // round of those, the oldest goes anyway.
    std::size_t spared = 0;
    while (bytes_ > budget_ && items_.size() > 1) {
        Item item = std::move(items_.front());
        items_.pop_front();
        const auto segment = item.owner.lock();
        if (segment && spared < items_.size() && segment->take_used(item.slot)) {
            ++spared;
            items_.push_back(std::move(item));
            continue;
        }
        if (segment) segment->release(item.slot);
        bytes_ -= item.bytes;
    }
}

std::size_t SegmentCache::bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

SegmentSpace::SegmentSpace(Storage& storage_, Keys keys_, const Sealer* sealer_, std::size_t name_size_,
                           SegmentCache& cache_)
    : storage(storage_), keys(std::move(keys_)), sealer(sealer_), name_size(name_size_), cache(cache_) {
    if (name_size < 24 || name_size > 64) throw Error("block names of " + std::to_string(name_size) + " bytes cannot be indexed");
    prefix = "segments/" + to_hex(keys.id) + "-" + std::to_string(name_size);
}

std::string SegmentSpace::object(unsigned level, std::uint64_t number) const {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%012llu", static_cast<unsigned long long>(number));
    return prefix + "/L" + std::to_string(level) + "/" + digits;
}

SegmentWriter::SegmentWriter(const SegmentSpace& space, unsigned level, std::uint64_t number, std::uint64_t entries)
    : space_(space), level_(level), number_(number) {
    while ((entries >> part_bits_) > kPartEntries) ++part_bits_;
    if (part_bits_ > 0) attempt_ = random_attempt();
}

void SegmentWriter::add_part(const std::vector<IndexEntry>& entries) {
    const std::uint32_t part = static_cast<std::uint32_t>(parts_.size());
    if (part >> part_bits_) throw Error("a segment got more parts than it has");
    const std::string object =
        part_bits_ == 0 ? space_.object(level_, number_)
                        : space_.object(level_, number_) + "." + attempt_ + "." + std::to_string(part);
    const std::size_t n = entries.size(), es = space_.entry_size();
    unsigned bucket_bits = 0;
    while ((n >> bucket_bits) > kBucketEntries && part_bits_ + bucket_bits < 32) ++bucket_bits;
    const std::uint32_t buckets = 1u << bucket_bits;
    const std::uint32_t blocks = static_cast<std::uint32_t>(std::max<std::size_t>(1, (n * kFilterBits + 511) / 512));
    std::vector<std::uint64_t> filter(std::size_t(blocks) * 8);
    std::vector<std::uint32_t> fanout(buckets + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const IndexEntry& e = entries[i];
        if (e.name.size() != space_.name_size || name_bits(e.name, 0, part_bits_) != part ||
            (i > 0 && entry_before(e, entries[i - 1])))
            throw Error("index entries out of order for segment " + object);
        ++fanout[name_bits(e.name, part_bits_, bucket_bits) + 1];
        filter_add(filter.data(), blocks, e.name);
    }
    for (std::uint32_t b = 0; b < buckets; ++b) fanout[b + 1] += fanout[b];

    ByteWriter head;
    head.u32(static_cast<std::uint32_t>(n));
    head.u8(static_cast<std::uint8_t>(bucket_bits));
    head.u32(blocks);
    for (std::uint64_t word : filter) head.u64(word);
    for (std::uint32_t f : fanout) head.u32(f);
    std::string bytes = seal_chunk(space_, object, 0, head.bytes());
    const std::uint32_t chunk0 = static_cast<std::uint32_t>(bytes.size());
    bytes.reserve(bytes.size() + n * es + buckets * chunk_overhead(space_));
    std::string plain;
    for (std::uint32_t b = 0; b < buckets; ++b) {
        plain.clear();
        for (std::uint32_t i = fanout[b]; i < fanout[b + 1]; ++i) {
            const IndexEntry& e = entries[i];
            const std::string id = from_hex(e.pack);
            if (id.empty()) throw Error("pack id '" + e.pack + "' cannot be indexed");
            auto [at, added] = pack_positions_.emplace(id, static_cast<std::uint32_t>(packs_.size()));
            if (added) packs_.push_back(id);
            ByteWriter w;
            w.raw(e.name);
            w.fields(at->second, e.offset, e.stored, e.raw, e.flags);
            plain += w.bytes();
        }
        bytes += seal_chunk(space_, object, 1 + b, plain);
    }
    if (part_bits_ == 0) {
        inline_part_ = std::move(bytes);
    } else if (!space_.storage.put_if_absent(object, bytes)) {
        throw Error("index segment part " + object + " exists already");
    }
    parts_.emplace_back(n, chunk0);
    entries_ += n;
}

bool SegmentWriter::finish() {
    if (parts_.size() != (std::size_t(1) << part_bits_)) throw Error("a segment is missing parts");
    const std::string object = space_.object(level_, number_);
    ByteWriter meta;
    meta.fields(static_cast<std::uint8_t>(level_), number_, static_cast<std::uint8_t>(part_bits_),
                static_cast<std::uint8_t>(space_.name_size), entries_, static_cast<std::uint32_t>(packs_.size()),
                attempt_);
    for (const auto& [entries, chunk0] : parts_) meta.fields(entries, chunk0);
    const std::string meta_chunk = seal_chunk(space_, object, kMetaChunk, meta.bytes());
    std::string table;
    table.reserve(packs_.size() * 16);
    for (const auto& id : packs_) table += id;
    const std::string pack_chunk = seal_chunk(space_, object, kPackChunk, table);

    ByteWriter w;
    w.raw(std::string(kSegmentMagic, 8));
    w.u32(kSegmentVersion);
    w.raw(space_.keys.id);
    w.fields(static_cast<std::uint8_t>(space_.sealer != nullptr), static_cast<std::uint8_t>(space_.name_size),
             static_cast<std::uint8_t>(part_bits_), static_cast<std::uint8_t>(level_), number_,
             static_cast<std::uint32_t>(meta_chunk.size()), static_cast<std::uint32_t>(pack_chunk.size()));
    const std::uint64_t part_at = part_bits_ == 0 ? kHeaderSize + meta_chunk.size() + pack_chunk.size() : 0;
    w.u64(part_at);
    w.raw(std::string(kHeaderSize - w.bytes().size(), '\0'));
    w.raw(meta_chunk);
    w.raw(pack_chunk);
    w.raw(inline_part_);
    return space_.storage.put_if_absent(object, w.bytes());
}

bool write_segment(const SegmentSpace& space, unsigned level, std::uint64_t number, std::vector<IndexEntry> entries) {
    std::sort(entries.begin(), entries.end(), entry_before);
    SegmentWriter writer(space, level, number, entries.size());
    std::vector<IndexEntry> part;
    std::size_t at = 0;
    for (std::uint32_t p = 0; p < (1u << writer.part_bits()); ++p) {
        part.clear();
        while (at < entries.size() && name_bits(entries[at].name, 0, writer.part_bits()) == p)
            part.push_back(std::move(entries[at++]));
        writer.add_part(part);
    }
    return writer.finish();
}

struct Segment::PartHead {
    std::uint64_t base = 0;  // where the part begins in its object
    std::uint32_t chunk0 = 0, entries = 0, blocks = 0;
    unsigned bucket_bits = 0;
    std::vector<std::uint64_t> filter;
    std::vector<std::uint32_t> fanout;
};

std::shared_ptr<Segment> Segment::open(const SegmentSpace& space, unsigned level, std::uint64_t number) {
    std::shared_ptr<Segment> s(new Segment(space, space.object(level, number)));
    std::string bytes;
    try {
        bytes = space.storage.get_range(s->object_, 0, kFirstRead);
    } catch (const ObjectMissing&) {
        return nullptr;
    }
    if (bytes.size() < kHeaderSize || bytes.compare(0, 8, kSegmentMagic, 8) != 0) damaged(s->object_);
    ByteReader r(bytes, "index segment " + s->object_);
    r.raw(8);
    if (r.u32() != kSegmentVersion)
        throw Error("index segment " + s->object_ + " has a format version this archiver does not read");
    std::uint8_t sealed, name_size, part_bits, head_level;
    std::uint64_t head_number, part_at;
    std::uint32_t meta_length;
    if (r.raw(16) != space.keys.id) damaged(s->object_);
    r.fields(sealed, name_size, part_bits, head_level, head_number, meta_length, s->packs_length_, part_at);
    if (sealed != (space.sealer ? 1 : 0) || name_size != space.name_size || head_level != level ||
        head_number != number || part_bits > 24 || r.raw(kHeaderSize - 56) != std::string(kHeaderSize - 56, '\0'))
        damaged(s->object_);
    if (bytes.size() < kHeaderSize + std::size_t(meta_length))
        bytes += space.storage.get_range(s->object_, bytes.size(), kHeaderSize + meta_length - bytes.size());
    if (bytes.size() < kHeaderSize + std::size_t(meta_length)) damaged(s->object_);
    const std::string meta =
        open_chunk(space, s->object_, kMetaChunk, std::string_view(bytes).substr(kHeaderSize, meta_length));
    ByteReader m(meta, "index segment " + s->object_);
    std::uint8_t meta_level, meta_bits, meta_size;
    std::uint64_t meta_number;
    m.fields(meta_level, meta_number, meta_bits, meta_size, s->entries_, s->pack_count_, s->attempt_);
    if (meta_level != level || meta_number != number || meta_bits != part_bits || meta_size != name_size ||
        std::uint64_t(s->pack_count_) * 16 + chunk_overhead(space) != s->packs_length_ ||
        m.left() != (std::size_t(12) << part_bits))
        damaged(s->object_);
    std::uint64_t total = 0;
    for (std::uint32_t p = 0; p < (1u << part_bits); ++p) {
        std::uint64_t entries;
        std::uint32_t chunk0;
        m.fields(entries, chunk0);
        s->parts_.emplace_back(entries, chunk0);
        total += entries;
    }
    if (total != s->entries_) damaged(s->object_);
    s->level_ = level;
    s->number_ = number;
    s->part_bits_ = part_bits;
    s->packs_at_ = kHeaderSize + meta_length;
    s->part_at_ = part_at;
    if (part_bits == 0 && part_at != s->packs_at_ + s->packs_length_) damaged(s->object_);
    const std::size_t slots = (std::size_t(2) << part_bits) + 1;
    s->slots_ = std::make_unique<std::shared_ptr<const void>[]>(slots);
    s->used_ = std::make_unique<std::atomic<bool>[]>(slots);
    s->found_ = std::make_unique<std::atomic<std::uint32_t>[]>(std::size_t(1) << part_bits);
    return s;
}

std::string Segment::part_object(std::uint32_t part) const {
    return part_bits_ == 0 ? object_ : object_ + "." + attempt_ + "." + std::to_string(part);
}

std::shared_ptr<const void> Segment::slot(
    std::uint32_t slot, const std::function<std::pair<std::shared_ptr<const void>, std::size_t>()>& load) {
    // Read before written: every look-up passes here, and a store on each would bounce
    // the line between the workers.
    if (!used_[slot].load(std::memory_order_relaxed)) used_[slot].store(true, std::memory_order_relaxed);
    std::shared_ptr<const void> value = std::atomic_load(&slots_[slot]);
    if (value) return value;
    auto [loaded, bytes] = load();
    // Two threads may read it at once; the first to keep it is counted.
    std::shared_ptr<const void> empty;
    if (!std::atomic_compare_exchange_strong(&slots_[slot], &empty, loaded)) return empty;
    space_.cache.hold(weak_from_this(), slot, bytes);
    return loaded;
}

std::shared_ptr<const Segment::PartHead> Segment::part_head(std::uint32_t part) {
    return std::static_pointer_cast<const PartHead>(slot(part, [&] {
        auto head = std::make_shared<PartHead>();
        head->base = part_bits_ == 0 ? part_at_ : 0;
        head->chunk0 = parts_.at(part).second;
        const std::string object = part_object(part);
        const std::string bytes = space_.storage.get_range(object, head->base, head->chunk0);
        if (bytes.size() != head->chunk0) damaged(object);
        const std::string plain = open_chunk(space_, object, 0, bytes);
        ByteReader r(plain, "index segment " + object);
        std::uint8_t bucket_bits;
        r.fields(head->entries, bucket_bits, head->blocks);
        head->bucket_bits = bucket_bits;
        if (head->entries != parts_[part].first || bucket_bits > 24 || part_bits_ + bucket_bits > 32 ||
            r.left() != std::size_t(head->blocks) * kFilterBlock + ((std::size_t(1) << bucket_bits) + 1) * 4)
            damaged(object);
        head->filter.resize(std::size_t(head->blocks) * 8);
        for (auto& word : head->filter) word = r.u64();
        head->fanout.resize((std::size_t(1) << bucket_bits) + 1);
        for (auto& f : head->fanout) f = r.u32();
        for (std::size_t b = 0; b + 1 < head->fanout.size(); ++b)
            if (head->fanout[b] > head->fanout[b + 1]) damaged(object);
        if (head->fanout.front() != 0 || head->fanout.back() != head->entries) damaged(object);
        const std::size_t bytes_held = head->filter.size() * 8 + head->fanout.size() * 4 + sizeof(PartHead);
        return std::make_pair(std::shared_ptr<const void>(std::move(head)), bytes_held);
    }));
}

std::shared_ptr<const std::vector<std::string>> Segment::packs() {
    return std::static_pointer_cast<const std::vector<std::string>>(slot(std::uint32_t(1) << part_bits_, [&] {
        const std::string bytes = space_.storage.get_range(object_, packs_at_, packs_length_);
        if (bytes.size() != packs_length_) damaged(object_);
        const std::string table = open_chunk(space_, object_, kPackChunk, bytes);
        auto ids = std::make_shared<std::vector<std::string>>();
        ids->reserve(pack_count_);
        for (std::size_t at = 0; at + 16 <= table.size(); at += 16) ids->push_back(to_hex(table.substr(at, 16)));
        const std::size_t bytes_held = ids->size() * 64 + sizeof(*ids);
        return std::make_pair(std::shared_ptr<const void>(std::move(ids)), bytes_held);
    }));
}

std::vector<IndexEntry> Segment::read_buckets(std::uint32_t part, const PartHead& head, std::uint32_t first,
                                              std::uint32_t last) {
    const std::size_t es = space_.entry_size(), overhead = chunk_overhead(space_);
    const std::string object = part_object(part);
    const std::uint64_t at = head.base + head.chunk0 + std::uint64_t(head.fanout[first]) * es + first * overhead;
    const std::size_t length = std::size_t(head.fanout[last] - head.fanout[first]) * es + (last - first) * overhead;
    const std::string bytes = space_.storage.get_range(object, at, length);
    if (bytes.size() != length) damaged(object);
    const auto ids = packs();
    std::vector<IndexEntry> out;
    out.reserve(head.fanout[last] - head.fanout[first]);
    std::size_t pos = 0;
    for (std::uint32_t b = first; b < last; ++b) {
        const std::size_t n = std::size_t(head.fanout[b + 1] - head.fanout[b]) * es + overhead;
        const std::string plain = open_chunk(space_, object, 1 + b, std::string_view(bytes).substr(pos, n));
        pos += n;
        ByteReader r(plain, "index segment " + object);
        while (!r.done()) {
            IndexEntry e;
            e.name = r.raw(space_.name_size);
            std::uint32_t position;
            r.fields(position, e.offset, e.stored, e.raw, e.flags);
            if (position >= ids->size() || e.raw > kMaxBlockSize || name_bits(e.name, 0, part_bits_) != part ||
                name_bits(e.name, part_bits_, head.bucket_bits) != b)
                damaged(object);
            e.pack = (*ids)[position];
            out.push_back(std::move(e));
        }
    }
    return out;
}

bool Segment::may_hold(const std::string& name) {
    if (name.size() != space_.name_size) return false;
    const auto head = part_head(name_bits(name, 0, part_bits_));
    return filter_has(head->filter.data(), head->blocks, name);
}

void Segment::find(const std::string& name, std::vector<IndexEntry>& out) {
    if (name.size() != space_.name_size) return;
    const std::uint32_t part = name_bits(name, 0, part_bits_);
    const auto head = part_head(part);
    if (!filter_has(head->filter.data(), head->blocks, name)) return;
    const std::uint32_t bucket = name_bits(name, part_bits_, head->bucket_bits);
    const std::size_t count = head->fanout[bucket + 1] - head->fanout[bucket];
    if (count == 0) return;
    // Only the entries named `name` are decoded: the others are passed over in place.
    const std::size_t es = space_.entry_size(), overhead = chunk_overhead(space_);
    const std::string object = part_object(part);
    const std::uint64_t within = std::uint64_t(head->fanout[bucket]) * es + std::uint64_t(bucket) * overhead;
    const std::size_t length = count * es + overhead;
    std::string read;
    std::string_view bytes;
    if (const auto body = part_body(part, *head)) {
        bytes = std::string_view(*body).substr(within, length);
    } else {
        read = space_.storage.get_range(object, head->base + head->chunk0 + within, length);
        bytes = read;
    }
    if (bytes.size() != length) damaged(object);
    const std::string plain = open_chunk(space_, object, 1 + bucket, bytes);
    if (plain.size() != count * es) damaged(object);
    for (std::size_t i = 0; i < count; ++i) {
        const char* entry = plain.data() + i * es;
        if (std::memcmp(entry, name.data(), name.size()) != 0) continue;
        const std::string one(entry, es);
        ByteReader r(one, "index segment " + object);
        IndexEntry e;
        e.name = r.raw(space_.name_size);
        std::uint32_t position;
        r.fields(position, e.offset, e.stored, e.raw, e.flags);
        const auto ids = packs();
        if (position >= ids->size() || e.raw > kMaxBlockSize) damaged(object);
        e.pack = (*ids)[position];
        out.push_back(std::move(e));
    }
}

std::shared_ptr<const std::string> Segment::part_body(std::uint32_t part, const PartHead& head) {
    const std::uint32_t at = (std::uint32_t(1) << part_bits_) + 1 + part;
    if (auto held = std::atomic_load(&slots_[at])) {
        if (!used_[at].load(std::memory_order_relaxed)) used_[at].store(true, std::memory_order_relaxed);
        return std::static_pointer_cast<const std::string>(held);
    }
    // A local file reads a bucket for the price of a system call: only a store, whose
    // every read is a round trip, is worth holding a body in memory for.
    if (!space_.storage.remote()) return nullptr;
    const std::size_t length =
        std::size_t(head.entries) * space_.entry_size() + ((std::size_t(1) << head.bucket_bits)) * chunk_overhead(space_);
    // Worth it once the reads made, counted at 64 KiB each (what a round trip costs
    // in bytes moved), come to the whole body; and only while it leaves the filters room.
    const std::uint32_t found = found_[part].fetch_add(1, std::memory_order_relaxed) + 1;
    if (found < std::max<std::size_t>(64, length >> 16) || length > space_.cache.budget() / 4) return nullptr;
    return std::static_pointer_cast<const std::string>(slot(at, [&] {
        const std::string object = part_object(part);
        auto body = std::make_shared<std::string>(space_.storage.get_range(object, head.base + head.chunk0, length));
        if (body->size() != length) damaged(object);
        const std::size_t bytes = body->size() + sizeof(std::string);
        return std::make_pair(std::shared_ptr<const void>(std::move(body)), bytes);
    }));
}

std::vector<IndexEntry> Segment::slice(std::uint32_t prefix, unsigned bits) {
    if (bits < part_bits_ || bits > 32) throw Error("a slice of segment " + object_ + " finer than it can give");
    const unsigned finer = bits - part_bits_;
    const std::uint32_t part = finer >= 32 ? 0 : prefix >> finer;
    const std::uint32_t within = prefix & ((std::uint64_t(1) << finer) - 1);
    const auto head = part_head(part);
    std::vector<IndexEntry> entries;
    if (head->bucket_bits >= finer) {
        const unsigned wider = head->bucket_bits - finer;
        entries = read_buckets(part, *head, within << wider, (within + 1) << wider);
    } else {
        const std::uint32_t bucket = within >> (finer - head->bucket_bits);
        for (auto& e : read_buckets(part, *head, bucket, bucket + 1))
            if (name_bits(e.name, 0, bits) == prefix) entries.push_back(std::move(e));
    }
    std::sort(entries.begin(), entries.end(), entry_before);
    return entries;
}

}  // namespace zvfd
