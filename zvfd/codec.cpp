#include "zvfd/codec.h"

#include <openssl/evp.h>

#include <string_view>

namespace zvfd {

namespace {
constexpr std::size_t kHead = kEnvelopeHead;
static_assert(kHead == 8 + 4 + 16 + 1 + 8, "magic, version, key id, sealed, payload length");
}  // namespace

std::string sha256(const char* data, std::size_t size) {
    unsigned char out[32];
    unsigned int n = 0;
    if (EVP_Digest(data, size, out, &n, EVP_sha256(), nullptr) != 1) throw Error("SHA-256 failed");
    return std::string(reinterpret_cast<char*>(out), n);
}

std::string write_envelope(const char (&magic)[9], const Envelope& envelope) {
    ByteWriter w;
    w.reserve(kHead + envelope.payload.size() + 32);
    w.raw(std::string(magic, 8));
    w.u32(envelope.version);
    std::string id = envelope.key_id;
    id.resize(16, '\0');
    w.raw(id);
    w.u8(envelope.sealed ? 1 : 0);
    w.u64(envelope.payload.size());
    w.raw(envelope.payload);
    std::string sum = sha256(w.bytes());
    w.raw(sum);
    return std::move(w.bytes());
}

std::uint64_t envelope_length(const std::string& head, const char (&magic)[9]) {
    if (head.size() < kHead || head.compare(0, 8, magic, 8) != 0) return 0;
    ByteReader r(head, "envelope");
    r.raw(8 + 4 + 16 + 1);
    const std::uint64_t n = r.u64();
    return n > UINT64_MAX - kHead - 32 ? UINT64_MAX : kHead + n + 32;
}

Envelope read_envelope(const std::string& bytes, const char (&magic)[9], const std::string& what,
                       std::uint32_t newest) {
    if (bytes.size() < 8 || bytes.compare(0, 8, magic, 8) != 0)
        throw Error(what + " is not a file of this archiver (" + std::string(magic, 8) + ")");
    if (bytes.size() < kHead + 32) throw Error(what + " is truncated or damaged");
    ByteReader r(bytes, what);
    r.raw(8);
    Envelope e;
    e.version = r.u32();
    if (e.version == 0 || e.version > newest) throw Error(what + " has a format version this archiver does not read");
    e.key_id = r.raw(16);
    e.sealed = r.u8() != 0;
    const std::uint64_t n = r.u64();
    if (n != bytes.size() - kHead - 32) throw Error(what + " is truncated or damaged");
    if (sha256(bytes.data(), kHead + n) != std::string_view(bytes).substr(kHead + n))
        throw Error(what + " is truncated or damaged");
    e.payload = bytes.substr(kHead, n);
    return e;
}

}  // namespace zvfd
