// SHA-512 through the platform's own cryptography: OpenSSL's libcrypto on
// Linux and macOS, CNG (bcrypt.dll) on Windows. The same bytes give the same
// digest everywhere.
#pragma once
#include <cstddef>
#include <memory>
#include <string>

namespace orv {

// A running SHA-512 digest.
class Sha512 {
public:
    Sha512();
    ~Sha512();
    Sha512(const Sha512&) = delete;
    Sha512& operator=(const Sha512&) = delete;
    // False when the platform could not start a digest (then nothing else works).
    bool ok() const;
    // Adds n bytes; false when the platform refused them.
    bool update(const void* data, size_t n);
    // The digest as 128 lowercase hex digits; false when it could not be had.
    bool finish(std::string& hex);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace orv
