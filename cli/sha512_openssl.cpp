// SHA-512 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include "sha512.h"

namespace orv {

struct Sha512::State {
    EVP_MD_CTX* md = nullptr;
    bool ok = false;
};

Sha512::Sha512() : state_(new State) {
    state_->md = EVP_MD_CTX_new();
    state_->ok = state_->md && EVP_DigestInit_ex(state_->md, EVP_sha512(), nullptr) == 1;
}

Sha512::~Sha512() { EVP_MD_CTX_free(state_->md); }

bool Sha512::ok() const { return state_->ok; }

bool Sha512::update(const void* data, size_t n) {
    if (state_->ok && EVP_DigestUpdate(state_->md, data, n) != 1) state_->ok = false;
    return state_->ok;
}

bool Sha512::finish(std::string& hex) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!state_->ok || EVP_DigestFinal_ex(state_->md, digest, &len) != 1) return false;
    static const char digits[] = "0123456789abcdef";
    hex.clear();
    for (unsigned int k = 0; k < len; ++k) {
        hex += digits[digest[k] >> 4];
        hex += digits[digest[k] & 0xF];
    }
    state_->ok = false;  // a digest is finished once
    return true;
}

}  // namespace orv
