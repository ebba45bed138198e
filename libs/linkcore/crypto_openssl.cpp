// The cryptographic primitives over OpenSSL's libcrypto (POSIX build).
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <climits>

#include "libs/linkcore/crypto.h"

namespace qv::link::crypto {
namespace {

// The HMAC implementation, fetched once and shared (fetched objects may be
// used from any thread; each call gets its own context).
EVP_MAC* HmacAlgorithm() {
    static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    return mac;
}

bool FitsInt(std::size_t n) { return n <= static_cast<std::size_t>(INT_MAX); }

}  // namespace

bool Available() {
    static const bool ok = HmacAlgorithm() != nullptr && EVP_aes_256_gcm() != nullptr;
    return ok;
}

bool Random(uint8_t* out, std::size_t n) { return FitsInt(n) && RAND_bytes(out, static_cast<int>(n)) == 1; }

bool HmacSha256(const uint8_t* key, std::size_t key_len, const uint8_t* a, std::size_t a_len, const uint8_t* b,
                std::size_t b_len, uint8_t out[kSha256Bytes]) {
    EVP_MAC* mac = HmacAlgorithm();
    if (!mac) return false;
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
    if (!ctx) return false;
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    std::size_t got = 0;
    const bool ok = EVP_MAC_init(ctx, key, key_len, params) == 1 && EVP_MAC_update(ctx, a, a_len) == 1 &&
                    (b_len == 0 || EVP_MAC_update(ctx, b, b_len) == 1) &&
                    EVP_MAC_final(ctx, out, &got, kSha256Bytes) == 1 && got == kSha256Bytes;
    EVP_MAC_CTX_free(ctx);
    return ok;
}

bool Equal(const uint8_t* a, const uint8_t* b, std::size_t n) { return CRYPTO_memcmp(a, b, n) == 0; }

struct Aead::Impl {
    EVP_CIPHER_CTX* enc = nullptr;
    EVP_CIPHER_CTX* dec = nullptr;
    ~Impl() {
        EVP_CIPHER_CTX_free(enc);
        EVP_CIPHER_CTX_free(dec);
    }
};

Aead::Aead() = default;
Aead::~Aead() = default;

bool Aead::SetKey(const uint8_t key[kAeadKeyBytes]) {
    auto impl = std::make_unique<Impl>();
    impl->enc = EVP_CIPHER_CTX_new();
    impl->dec = EVP_CIPHER_CTX_new();
    if (!impl->enc || !impl->dec) return false;
    // The key is scheduled once; each packet only sets its nonce.
    if (EVP_EncryptInit_ex(impl->enc, EVP_aes_256_gcm(), nullptr, key, nullptr) != 1 ||
        EVP_DecryptInit_ex(impl->dec, EVP_aes_256_gcm(), nullptr, key, nullptr) != 1)
        return false;
    impl_ = std::move(impl);
    return true;
}

bool Aead::Seal(const uint8_t nonce[kAeadNonceBytes], const uint8_t* aad, std::size_t aad_len, const uint8_t* in,
                std::size_t len, uint8_t* out) {
    if (!impl_ || !FitsInt(len) || !FitsInt(aad_len)) return false;
    EVP_CIPHER_CTX* c = impl_->enc;
    int n = 0, fin = 0;
    return EVP_EncryptInit_ex(c, nullptr, nullptr, nullptr, nonce) == 1 &&
           (aad_len == 0 || EVP_EncryptUpdate(c, nullptr, &n, aad, static_cast<int>(aad_len)) == 1) &&
           (len == 0 || EVP_EncryptUpdate(c, out, &n, in, static_cast<int>(len)) == 1) &&
           EVP_EncryptFinal_ex(c, out + len, &fin) == 1 &&
           EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kAeadTagBytes), out + len) == 1;
}

bool Aead::Open(const uint8_t nonce[kAeadNonceBytes], const uint8_t* aad, std::size_t aad_len, const uint8_t* in,
                std::size_t len, uint8_t* out) {
    if (!impl_ || len < kAeadTagBytes || !FitsInt(len) || !FitsInt(aad_len)) return false;
    const std::size_t text = len - kAeadTagBytes;
    EVP_CIPHER_CTX* c = impl_->dec;
    uint8_t tag[kAeadTagBytes];
    for (std::size_t i = 0; i < kAeadTagBytes; ++i) tag[i] = in[text + i];
    int n = 0, fin = 0;
    return EVP_DecryptInit_ex(c, nullptr, nullptr, nullptr, nonce) == 1 &&
           (aad_len == 0 || EVP_DecryptUpdate(c, nullptr, &n, aad, static_cast<int>(aad_len)) == 1) &&
           (text == 0 || EVP_DecryptUpdate(c, out, &n, in, static_cast<int>(text)) == 1) &&
           EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kAeadTagBytes), tag) == 1 &&
           EVP_DecryptFinal_ex(c, out + text, &fin) == 1;
}

}  // namespace qv::link::crypto
