#include "zvcrypto/zv_hash.h"

#include "zvcrypto/hmac.h"
#include "zvcrypto/sha256.h"

namespace zelvor::hash::sha {

const std::string& stored_key_text() {
    static const std::string key =
        "185844657202839599866187869172415810690317133366993490673294358816121492149823320998747829261";
    return key;
}

std::array<unsigned char, 32> Hasher<std::array<unsigned char, 32>>::operator()(std::string text) && {
    std::array<unsigned char, 32> result{};
    zvcrypto::hmac mac(zvcrypto::sha256(), stored_key_text());
    mac.hash_string(text, result.data());
    return result;
}

}  // namespace zelvor::hash::sha
