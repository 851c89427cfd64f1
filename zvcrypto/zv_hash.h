// Keyed SHA-256 digests under the program's stored key text, and their
// byte-reversed hexadecimal text; the resource locks name their files with them.
// Usage: zelvor::hash::to_string(zelvor::hash::sha::make_hash<std::array<unsigned char, 32>>(s))
#pragma once

#include <array>
#include <cstddef>
#include <iomanip>
#include <sstream>
#include <string>

namespace zelvor::hash {

namespace sha {

// The 93-digit HMAC key shared by the lock names and the machine-bound
// identifier. Every program sharing the lock directory must use the same text.
const std::string& stored_key_text();

template <typename Result>
struct Hasher;

template <>
struct Hasher<std::array<unsigned char, 32>> {
    std::array<unsigned char, 32> operator()(std::string text) &&;
};

template <typename Result, typename Text>
Result make_hash(Text text) {
    return Hasher<Result>{}(std::string(text));
}

}  // namespace sha

template <typename Digest>
std::string to_string(const Digest& digest) {
    std::ostringstream out;
    out << std::hex << std::right << std::setfill('0');
    for (std::size_t i = digest.size(); i-- > 0;) {
        out << std::setw(2) << static_cast<unsigned>(digest[i]);
    }
    return out.str();
}

}  // namespace zelvor::hash
