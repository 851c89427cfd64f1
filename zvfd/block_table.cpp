#include "zvfd/block_table.h"

#include "zvfd/io.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

namespace zvfd {

namespace {

constexpr std::size_t kLocationSize = 17;

std::uint64_t word_of(const char* p, std::size_t n) {
    std::uint64_t v = 0;
    std::memcpy(&v, p, std::min<std::size_t>(8, n));
    return v;
}

void put_location(char* at, const TableLocation& l) {
    std::memcpy(at, &l.pack, 4);
    std::memcpy(at + 4, &l.offset, 4);
    std::memcpy(at + 8, &l.stored, 4);
    std::memcpy(at + 12, &l.raw, 4);
    at[16] = static_cast<char>(l.flags);
}

TableLocation get_location(const char* at) {
    TableLocation l;
    std::memcpy(&l.pack, at, 4);
    std::memcpy(&l.offset, at + 4, 4);
    std::memcpy(&l.stored, at + 8, 4);
    std::memcpy(&l.raw, at + 12, 4);
    l.flags = static_cast<std::uint8_t>(at[16]);
    return l;
}

}  // namespace

BlockTable::BlockTable(std::size_t name_size) : name_size_(name_size), stride_(name_size + kLocationSize) {
    unsigned char random[16];
    if (RAND_bytes(random, sizeof random) != 1) throw Error("no random bytes for the block table");
    std::memcpy(&key_, random, 8);
    std::memcpy(&multiplier_, random + 8, 8);
    multiplier_ |= 1;
    slots_.assign(1024, 0);
}

std::size_t BlockTable::slot_of(const std::string& name) const {
    const std::uint64_t h = ((word_of(name.data(), name.size()) ^ key_) * multiplier_) ^
                            (name.size() > 8 ? word_of(name.data() + 8, name.size() - 8) : 0);
    return static_cast<std::size_t>((h * multiplier_) >> 32) & (slots_.size() - 1);
}

bool BlockTable::find(const std::string& name, TableLocation& out) const {
    if (name.size() != name_size_) return false;
    for (std::size_t s = slot_of(name);; s = (s + 1) & (slots_.size() - 1)) {
        const std::uint32_t e = slots_[s];
        if (e == 0) return false;
        const char* at = entries_.data() + std::size_t(e - 1) * stride_;
        if (std::memcmp(at, name.data(), name_size_) == 0) {
            out = get_location(at + name_size_);
            return true;
        }
    }
}

void BlockTable::insert(const std::string& name, const TableLocation& location) {
    if (name.size() != name_size_) throw Error("a block name of another size than this run's");
    if ((count_ + 1) * 2 > slots_.size()) grow();
    std::size_t s = slot_of(name);
    for (; slots_[s] != 0; s = (s + 1) & (slots_.size() - 1))
        if (std::memcmp(entries_.data() + std::size_t(slots_[s] - 1) * stride_, name.data(), name_size_) == 0) return;
    const std::size_t at = entries_.size();
    entries_.resize(at + stride_);
    std::memcpy(entries_.data() + at, name.data(), name_size_);
    put_location(entries_.data() + at + name_size_, location);
    slots_[s] = static_cast<std::uint32_t>(++count_);
}

bool BlockTable::assign(const std::string& name, const TableLocation& location) {
    if (name.size() != name_size_) return false;
    for (std::size_t s = slot_of(name);; s = (s + 1) & (slots_.size() - 1)) {
        const std::uint32_t e = slots_[s];
        if (e == 0) return false;
        char* at = entries_.data() + std::size_t(e - 1) * stride_;
        if (std::memcmp(at, name.data(), name_size_) == 0) {
            put_location(at + name_size_, location);
            return true;
        }
    }
}

void BlockTable::grow() {
    slots_.assign(slots_.size() * 2, 0);
    std::string name(name_size_, '\0');
    for (std::size_t e = 0; e < count_; ++e) {
        std::memcpy(name.data(), entries_.data() + e * stride_, name_size_);
        std::size_t s = slot_of(name);
        while (slots_[s] != 0) s = (s + 1) & (slots_.size() - 1);
        slots_[s] = static_cast<std::uint32_t>(e + 1);
    }
}

}  // namespace zvfd
