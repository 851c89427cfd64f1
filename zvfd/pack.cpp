#include "zvfd/pack.h"

#include "zvfd/block_name.h"
#include "zvfd/codec.h"
#include "zvfd/record.h"

#include <openssl/rand.h>

namespace zvfd {

namespace {
constexpr char kPackMagic[9] = "ZVFDPACK";
constexpr char kIndexMagic[9] = "ZVFDINDX";
constexpr std::uint32_t kPackVersion = 1;
constexpr std::uint32_t kIndexVersion = 2;  // the first that names its pack
}  // namespace

std::string pack_object_name(const std::string& id) { return "packs/" + id.substr(0, 2) + "/" + id; }
std::string index_object_name(const std::string& id) { return "index/" + id; }

std::string new_pack_id() {
    unsigned char raw[16];
    if (RAND_bytes(raw, sizeof raw) != 1) throw Error("no random bytes for a pack id");
    return to_hex(std::string(reinterpret_cast<char*>(raw), sizeof raw));
}

PackBuilder::PackBuilder() { reset(); }

void PackBuilder::reset() {
    id_ = new_pack_id();
    entries_.clear();
    bytes_.clear();
    ByteWriter w;
    w.raw(std::string(kPackMagic, 8));
    w.u32(kPackVersion);
    bytes_.append(w.bytes());
}

std::uint32_t PackBuilder::add(const std::string& name, std::string_view stored, std::uint32_t raw,
                               std::uint8_t flags) {
    const auto offset = static_cast<std::uint32_t>(bytes_.size());
    bytes_.append(stored.data(), stored.size());
    entries_.push_back({name, offset, static_cast<std::uint32_t>(stored.size()), raw, flags});
    return offset;
}

void PackBuilder::drop(const std::vector<bool>& dropped) {
    std::string bytes = bytes_.substr(0, 12);
    std::vector<PackEntry> kept;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (dropped.at(i)) continue;
        PackEntry e = entries_[i];
        const auto at = static_cast<std::uint32_t>(bytes.size());
        bytes.append(bytes_, e.offset, e.stored);
        e.offset = at;
        kept.push_back(std::move(e));
    }
    bytes_.swap(bytes);
    entries_.swap(kept);
}

void check_pack_header(const std::string& bytes, const std::string& id) {
    if (bytes.size() < 12 || bytes.compare(0, 8, kPackMagic, 8) != 0) throw Error("pack " + id + " is damaged");
    ByteReader r(bytes, "pack " + id);
    r.raw(8);
    if (r.u32() != kPackVersion) throw Error("pack " + id + " has a format version this archiver does not read");
}

std::string encode_pack_index(const std::string& id, const std::vector<PackEntry>& entries, const Keys& keys,
                              const Sealer* sealer) {
    ByteWriter w;
    w.text(id);
    w.u32(static_cast<std::uint32_t>(entries.size()));
    for (const auto& e : entries) {
        w.text(e.name);
        w.u32(e.offset);
        w.u32(e.stored);
        w.u32(e.raw);
        w.u8(e.flags);
    }
    Envelope env;
    env.version = kIndexVersion;
    env.key_id = keys.id;
    env.sealed = sealer != nullptr;
    env.payload = sealer ? sealer->seal(w.bytes()) : w.bytes();
    return write_envelope(kIndexMagic, env);
}

std::string pack_index_key_id(const std::string& bytes, const std::string& id) {
    return read_envelope(bytes, kIndexMagic, "index of pack " + id, kIndexVersion).key_id;
}

std::vector<PackEntry> decode_pack_index(const std::string& bytes, const std::string& id, const Sealer* sealer) {
    const std::string what = "index of pack " + id;
    Envelope env = read_envelope(bytes, kIndexMagic, what, kIndexVersion);
    if (env.sealed != (sealer != nullptr)) throw Error(what + " was written with another key");
    const std::string payload = sealer ? sealer->open(env.payload) : env.payload;
    ByteReader r(payload, what);
    if (env.version >= 2 && r.text() != id) throw Error(what + " describes another pack: it is damaged");
    const std::uint32_t count = r.u32();
    if (count > r.left() / 17) r.damaged();  // an entry takes at least 17 bytes
    std::vector<PackEntry> entries(count);
    for (auto& e : entries) {
        e.name = r.text();
        e.offset = r.u32();
        e.stored = r.u32();
        e.raw = r.u32();
        e.flags = r.u8();
        if (e.raw > kMaxBlockSize) r.damaged();
    }
    if (!r.done()) r.damaged();
    return entries;
}

}  // namespace zvfd
