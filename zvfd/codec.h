// Byte layouts shared by every file and object the archiver writes.
//
// Integers are little-endian. A text or byte string is its u32 length, then its bytes.
//
// Envelope: the frame of the metadata file, pack indexes, records and task marks:
//   8-byte magic | u32 version | 16-byte key id | u8 sealed (0 or 1) |
//   u64 payload length | payload | SHA-256 of every byte before it (32 bytes)
// A sealed payload is the output of the cipher (cipher.h) over the plain payload; the
// key id says which key sealed it (all zero bytes: none). The checksum tells a
// truncated or damaged file from one sealed with another key. The version is that of
// the payload's layout: 1 for every kind, and later ones where the header of that kind
// says so; a reader names the highest it knows.
#pragma once

#include "zvfd/io.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <string>

namespace zvfd {

class ByteWriter {
public:
    void u8(std::uint8_t v) { out_ += static_cast<char>(v); }
    void u32(std::uint32_t v) { put(v, 4); }
    void u64(std::uint64_t v) { put(v, 8); }
    void raw(const std::string& bytes) { out_ += bytes; }
    void reserve(std::size_t bytes) { out_.reserve(bytes); }
    void text(const std::string& s) {
        u32(static_cast<std::uint32_t>(s.size()));
        out_ += s;
    }
    std::string& bytes() { return out_; }
    // Each value in the layout of its type (u8, u32, u64 or text), in order: one list
    // of a structure's fields then serves ByteReader::fields as well.
    template <class... T>
    void fields(const T&... values) {
        (field(values), ...);
    }

private:
    void field(std::uint8_t v) { u8(v); }
    void field(std::uint32_t v) { u32(v); }
    void field(std::uint64_t v) { u64(v); }
    void field(const std::string& v) { text(v); }
    void put(std::uint64_t v, int n) {
        char le[8];
        for (int i = 0; i < n; ++i) le[i] = static_cast<char>((v >> (8 * i)) & 0xff);
        out_.append(le, static_cast<std::size_t>(n));
    }
    std::string out_;
};

// Every read checks the bounds; running past the end throws Error("<what> is damaged").
class ByteReader {
public:
    ByteReader(const std::string& bytes, std::string what) : data_(bytes), what_(std::move(what)) {}
    std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)[0]); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(get(4)); }
    std::uint64_t u64() { return get(8); }
    std::string raw(std::size_t n) { return std::string(take(n), n); }
    std::string text() { return raw(u32()); }
    // Reads into each value in the layout of its type, in order (ByteWriter::fields).
    template <class... T>
    void fields(T&... values) {
        (field(values), ...);
    }
    void skip(std::size_t n) { take(n); }
    bool done() const { return pos_ == data_.size(); }
    std::size_t left() const { return data_.size() - pos_; }
    [[noreturn]] void damaged() const { throw Error(what_ + " is damaged"); }

private:
    void field(std::uint8_t& v) { v = u8(); }
    void field(std::uint32_t& v) { v = u32(); }
    void field(std::uint64_t& v) { v = u64(); }
    void field(std::string& v) { v = text(); }
    const char* take(std::size_t n) {
        if (n > data_.size() - pos_) damaged();
        const char* p = data_.data() + pos_;
        pos_ += n;
        return p;
    }
    std::uint64_t get(int n) {
        const char* p = take(static_cast<std::size_t>(n));
        std::uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
        return v;
    }
    const std::string& data_;
    std::string what_;
    std::size_t pos_ = 0;
};

struct Envelope {
    std::uint32_t version = 1;
    std::string key_id;  // 16 bytes
    bool sealed = false;
    std::string payload;
};

std::string write_envelope(const char (&magic)[9], const Envelope& envelope);
// Throws Error("<what> is truncated or damaged") for a short file or a bad checksum, and
// Error("<what> is not ...") for another magic, or a version of 0 or above `newest`.
Envelope read_envelope(const std::string& bytes, const char (&magic)[9], const std::string& what,
                       std::uint32_t newest = 1);

// The whole length that the envelope beginning with `head` (at least kEnvelopeHead
// bytes of it) says it has, or 0 when `head` does not begin an envelope of `magic`:
// a file can be refused for its size before it is read.
constexpr std::size_t kEnvelopeHead = 37;
std::uint64_t envelope_length(const std::string& head, const char (&magic)[9]);

// A record's properties, in the layout both kinds of record share: a u32 count, then
// each key and its value.
inline void write_props(ByteWriter& w, const std::map<std::string, std::string>& props) {
    w.u32(static_cast<std::uint32_t>(props.size()));
    for (const auto& [k, v] : props) w.fields(k, v);
}
inline std::map<std::string, std::string> read_props(ByteReader& r) {
    std::map<std::string, std::string> props;
    for (std::uint32_t n = r.u32(); n > 0; --n) {
        std::string k, v;
        r.fields(k, v);
        props[k] = std::move(v);
    }
    return props;
}

std::string sha256(const char* data, std::size_t size);
inline std::string sha256(const std::string& bytes) { return sha256(bytes.data(), bytes.size()); }

}  // namespace zvfd
