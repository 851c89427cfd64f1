// The abstract hash interface shared by SHA-256/224, MD5 and HMAC, and the
// aligned holder their state words live in.
// Usage: zvcrypto::sha256 h; h.hash_string(text, digest);  // init, update, final
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>

namespace zvcrypto {

// Owns N elements of T at an A-byte aligned heap address.
template <typename T, std::size_t N, std::size_t A>
class aligned_pod_array {
public:
    aligned_pod_array() : t(allocate()) {}
    aligned_pod_array(const aligned_pod_array& other) : t(allocate()) {
        std::memcpy(t, other.t, bytes());
    }
    aligned_pod_array(aligned_pod_array&& other) noexcept : t(other.t) { other.t = nullptr; }
    aligned_pod_array& operator=(const aligned_pod_array& other) {
        if (this != &other) {
            if (!t) {
                t = allocate();
            }
            std::memcpy(t, other.t, bytes());
        }
        return *this;
    }
    aligned_pod_array& operator=(aligned_pod_array&& other) noexcept {
        if (this != &other) {
            std::free(t);
            t = other.t;
            other.t = nullptr;
        }
        return *this;
    }
    ~aligned_pod_array() { std::free(t); }

    operator T*() const { return t; }
    T* get() const { return t; }
    void reset() { std::memset(t, 0, bytes()); }
    static constexpr std::size_t size() { return N; }
    static constexpr std::size_t bytes() { return N * sizeof(T); }

    T* t;

private:
    static T* allocate() {
        // aligned_alloc wants a size that is a multiple of the alignment.
        constexpr std::size_t rounded = (bytes() + A - 1) / A * A;
        void* p = std::aligned_alloc(A, rounded);
        if (!p) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(p);
    }
};

class crypto_hash {
public:
    crypto_hash() = default;
    crypto_hash(const crypto_hash&) = delete;
    crypto_hash& operator=(const crypto_hash&) = delete;

    virtual ~crypto_hash() = default;
    virtual void init() = 0;
    virtual void update(const unsigned char* data, std::size_t len) = 0;
    virtual void final(unsigned char* hash) = 0;
    // Sizes are in bits.
    virtual std::size_t hashsize() const = 0;
    virtual std::size_t blocksize() const = 0;
    // A new, uninitialised object of the same algorithm; the caller owns it.
    virtual crypto_hash* clone() const = 0;
    // Overwrites the secret-bearing state with zero bytes.
    virtual void clear() = 0;

    void hash_string(const unsigned char* data, std::size_t len, unsigned char* hash);
    void hash_string(const char* data, std::size_t len, unsigned char* hash);
    void hash_string(const std::string& data, unsigned char* hash);

protected:
    void validate_hash_size(std::size_t hs, std::size_t max) const;
    void validate_hash_size(std::size_t hs, std::initializer_list<std::size_t> set) const;
};

// Zero writes the optimiser may not drop, for wiping keys and states.
void secure_zero(void* data, std::size_t len);

}  // namespace zvcrypto
