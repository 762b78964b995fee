// SHA-512 through Windows' Cryptography API: Next Generation (bcrypt.dll).
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <vector>

#include "sha512.h"

namespace orv {

struct Sha512::State {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<UCHAR> object;  // the hash object's memory, which CNG asks the caller for
    bool ok = false;
};

namespace {

bool succeeded(NTSTATUS s) { return s >= 0; }

}  // namespace

Sha512::Sha512() : state_(new State) {
    State& s = *state_;
    if (!succeeded(BCryptOpenAlgorithmProvider(&s.alg, BCRYPT_SHA512_ALGORITHM, nullptr, 0))) {
        s.alg = nullptr;
        return;
    }
    DWORD size = 0;
    ULONG got = 0;
    if (!succeeded(BCryptGetProperty(s.alg, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&size), sizeof size,
                                     &got, 0)))
        return;
    s.object.resize(size);
    if (!succeeded(BCryptCreateHash(s.alg, &s.hash, s.object.data(), size, nullptr, 0, 0))) {
        s.hash = nullptr;
        return;
    }
    s.ok = true;
}

Sha512::~Sha512() {
    if (state_->hash) BCryptDestroyHash(state_->hash);
    if (state_->alg) BCryptCloseAlgorithmProvider(state_->alg, 0);
}

bool Sha512::ok() const { return state_->ok; }

bool Sha512::update(const void* data, size_t n) {
    const UCHAR* p = static_cast<const UCHAR*>(data);
    while (state_->ok && n > 0) {  // BCryptHashData takes at most a ULONG at a time
        const ULONG part = static_cast<ULONG>(std::min<size_t>(n, 1u << 30));
        if (!succeeded(BCryptHashData(state_->hash, const_cast<PUCHAR>(p), part, 0))) state_->ok = false;
        p += part;
        n -= part;
    }
    return state_->ok;
}

bool Sha512::finish(std::string& hex) {
    UCHAR digest[64];
    if (!state_->ok || !succeeded(BCryptFinishHash(state_->hash, digest, sizeof digest, 0))) return false;
    static const char digits[] = "0123456789abcdef";
    hex.clear();
    for (UCHAR b : digest) {
        hex += digits[b >> 4];
        hex += digits[b & 0xF];
    }
    state_->ok = false;  // a digest is finished once
    return true;
}

}  // namespace orv
