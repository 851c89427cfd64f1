// Naming a block: its digest, so equal blocks get equal names and a restore can check
// every block against its name. With encryption the name is a keyed digest (HMAC)
// under a key derived from the key file, so the repository does not reveal the
// plain digests of the data.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace zvfd {

enum class DigestKind { Sha256, Sha512 };

// From the archiver options: the algorithm word of "-a" ("sha2", any letter case) and
// "-5" for 512 bits ("-2", or neither, for 256). Throws Error naming an unknown word.
DigestKind digest_kind(const std::string& algorithm, bool long_digest);
std::size_t digest_size(DigestKind kind);  // in bytes
const char* digest_word(DigestKind kind);  // "sha256" or "sha512"

// SHA-256/512 of data, or HMAC with them when keyed. The key's padded blocks are
// hashed once here, so a call costs the data's hashing and no set-up: names are
// computed for every block of every backup.
class Digest {
public:
    Digest(DigestKind kind, const std::string& key);
    ~Digest();
    Digest(Digest&&) noexcept;
    Digest& operator=(Digest&&) noexcept;
    // Writes size() bytes to `out`; safe to call from several threads.
    void compute(const void* data, std::size_t len, unsigned char* out) const;
    std::size_t size() const { return size_; }

private:
    struct State;
    std::unique_ptr<State> inner_;  // after the key's inner block; null when not keyed
    std::unique_ptr<State> outer_;
    const void* md_ = nullptr;
    std::size_t size_;
};

class BlockNamer {
public:
    // An empty key gives plain digests.
    BlockNamer(DigestKind kind, const std::string& key) : kind_(kind), digest_(kind, key) {}
    // The binary name of `len` bytes at `data`; safe to call from several threads.
    std::string name(const void* data, std::size_t len) const;
    std::size_t size() const { return digest_size(kind_); }
    DigestKind kind() const { return kind_; }
    const Digest& digest() const { return digest_; }

private:
    DigestKind kind_;
    Digest digest_;
};

std::string to_hex(const std::string& bytes);

}  // namespace zvfd
