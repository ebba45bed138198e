// The few cryptographic primitives the keyed sessions use, from the
// system's well-kept libraries: OpenSSL's libcrypto (crypto_openssl.cpp)
// on POSIX systems and Windows CNG, bcrypt.dll (crypto_win.cpp), in the
// Windows build. Nothing here is a cipher or hash of our own; HKDF
// (keyed.cpp) is the RFC 5869 construction over HmacSha256.
//
// All functions return false when the backend fails (out of memory, an
// algorithm the system lacks); callers treat that as "no session".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qv::link::crypto {

constexpr std::size_t kSha256Bytes = 32;
constexpr std::size_t kAeadKeyBytes = 32;   // AES-256
constexpr std::size_t kAeadNonceBytes = 12;  // GCM's 96-bit nonce
constexpr std::size_t kAeadTagBytes = 16;

// True when the backend offers everything below (checked once).
bool Available();

// n bytes from the system's cryptographic random generator.
bool Random(uint8_t* out, std::size_t n);

// HMAC-SHA256 of the concatenation of up to two pieces of data (the second
// may be empty), so callers need not copy a transcript together.
bool HmacSha256(const uint8_t* key, std::size_t key_len, const uint8_t* a, std::size_t a_len,
                const uint8_t* b, std::size_t b_len, uint8_t out[kSha256Bytes]);

// Compares n bytes in a time that does not depend on where they differ.
bool Equal(const uint8_t* a, const uint8_t* b, std::size_t n);

// AES-256-GCM with one fixed key. Seal writes len bytes of cipher text
// followed by the 16-byte tag to out (len + kAeadTagBytes bytes); Open
// takes such a sealed text of len bytes and writes len - kAeadTagBytes
// bytes of plain text, or returns false (nothing usable in out) when the
// tag does not match. One object is used by one thread at a time.
class Aead {
public:
    Aead();
    ~Aead();
    Aead(const Aead&) = delete;
    Aead& operator=(const Aead&) = delete;

    bool SetKey(const uint8_t key[kAeadKeyBytes]);
    bool Seal(const uint8_t nonce[kAeadNonceBytes], const uint8_t* aad, std::size_t aad_len, const uint8_t* in,
              std::size_t len, uint8_t* out);
    bool Open(const uint8_t nonce[kAeadNonceBytes], const uint8_t* aad, std::size_t aad_len, const uint8_t* in,
              std::size_t len, uint8_t* out);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qv::link::crypto
