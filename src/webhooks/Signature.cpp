#include "webhooks/Signature.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace trelvane::webhooks {

std::string Signature(std::string_view secret, std::string_view body) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // HMAC of an empty key is defined (a key of zeros); Check refuses empty secrets anyway.
    static const unsigned char kNoKey = 0;
    const void* key = secret.empty() ? static_cast<const void*>(&kNoKey) : secret.data();
    if (HMAC(EVP_sha256(), key, static_cast<int>(secret.size()),
             reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest,
             &length) == nullptr) {
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text = "sha256=";
    text.reserve(text.size() + 2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 0xF]);
    }
    return text;
}

}  // namespace trelvane::webhooks
