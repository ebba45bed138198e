// The cryptographic primitives over Windows CNG (bcrypt.dll).
#include <windows.h>
#include <bcrypt.h>

#include <climits>
#include <vector>

#include "libs/linkcore/crypto.h"

namespace qv::link::crypto {
namespace {

bool Ok(NTSTATUS s) { return s >= 0; }

// The algorithm providers, opened once and shared: CNG lets any thread
// create keys and hashes from one provider handle.
struct Providers {
    BCRYPT_ALG_HANDLE aes_gcm = nullptr;
    BCRYPT_ALG_HANDLE hmac_sha256 = nullptr;
    DWORD key_object_bytes = 0;
    bool ok = false;

    Providers() {
        if (!Ok(BCryptOpenAlgorithmProvider(&aes_gcm, BCRYPT_AES_ALGORITHM, nullptr, 0))) {
            aes_gcm = nullptr;
            return;
        }
        if (!Ok(BCryptSetProperty(aes_gcm, BCRYPT_CHAINING_MODE,
                                  reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                                  sizeof(BCRYPT_CHAIN_MODE_GCM), 0)))
            return;
        DWORD got = 0;
        if (!Ok(BCryptGetProperty(aes_gcm, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&key_object_bytes),
                                  sizeof key_object_bytes, &got, 0)))
            key_object_bytes = 0;  // CNG then allocates the key object itself
        if (!Ok(BCryptOpenAlgorithmProvider(&hmac_sha256, BCRYPT_SHA256_ALGORITHM, nullptr,
                                            BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
            hmac_sha256 = nullptr;
            return;
        }
        ok = true;
    }
    ~Providers() {
        if (aes_gcm) BCryptCloseAlgorithmProvider(aes_gcm, 0);
        if (hmac_sha256) BCryptCloseAlgorithmProvider(hmac_sha256, 0);
    }
};

Providers& Get() {
    static Providers p;
    return p;
}

bool FitsUlong(std::size_t n) { return n <= static_cast<std::size_t>(ULONG_MAX); }

}  // namespace

bool Available() { return Get().ok; }

bool Random(uint8_t* out, std::size_t n) {
    return FitsUlong(n) &&
           Ok(BCryptGenRandom(nullptr, out, static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool HmacSha256(const uint8_t* key, std::size_t key_len, const uint8_t* a, std::size_t a_len, const uint8_t* b,
                std::size_t b_len, uint8_t out[kSha256Bytes]) {
    Providers& p = Get();
    if (!p.ok || !FitsUlong(key_len) || !FitsUlong(a_len) || !FitsUlong(b_len)) return false;
    BCRYPT_HASH_HANDLE h = nullptr;
    if (!Ok(BCryptCreateHash(p.hmac_sha256, &h, nullptr, 0, const_cast<PUCHAR>(key), static_cast<ULONG>(key_len),
                             0)))
        return false;
    const bool ok = (a_len == 0 || Ok(BCryptHashData(h, const_cast<PUCHAR>(a), static_cast<ULONG>(a_len), 0))) &&
                    (b_len == 0 || Ok(BCryptHashData(h, const_cast<PUCHAR>(b), static_cast<ULONG>(b_len), 0))) &&
                    Ok(BCryptFinishHash(h, out, static_cast<ULONG>(kSha256Bytes), 0));
    BCryptDestroyHash(h);
    return ok;
}

bool Equal(const uint8_t* a, const uint8_t* b, std::size_t n) {
    // CNG has no comparison of its own; every byte is looked at, whatever
    // the first difference.
    volatile uint8_t diff = 0;
    for (std::size_t i = 0; i < n; ++i) diff = static_cast<uint8_t>(diff | (a[i] ^ b[i]));
    return diff == 0;
}

struct Aead::Impl {
    BCRYPT_KEY_HANDLE key = nullptr;
    std::vector<UCHAR> object;
    ~Impl() {
        if (key) BCryptDestroyKey(key);
    }
};

Aead::Aead() = default;
Aead::~Aead() = default;

bool Aead::SetKey(const uint8_t key[kAeadKeyBytes]) {
    Providers& p = Get();
    if (!p.ok) return false;
    auto impl = std::make_unique<Impl>();
    impl->object.resize(p.key_object_bytes);
    if (!Ok(BCryptGenerateSymmetricKey(p.aes_gcm, &impl->key, impl->object.empty() ? nullptr : impl->object.data(),
                                       static_cast<ULONG>(impl->object.size()), const_cast<PUCHAR>(key),
                                       static_cast<ULONG>(kAeadKeyBytes), 0))) {
        impl->key = nullptr;
        return false;
    }
    impl_ = std::move(impl);
    return true;
}

namespace {

BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO GcmInfo(const uint8_t* nonce, const uint8_t* aad, std::size_t aad_len,
                                             uint8_t* tag) {
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = const_cast<PUCHAR>(nonce);
    info.cbNonce = static_cast<ULONG>(kAeadNonceBytes);
    info.pbAuthData = aad_len ? const_cast<PUCHAR>(aad) : nullptr;
    info.cbAuthData = static_cast<ULONG>(aad_len);
    info.pbTag = tag;
    info.cbTag = static_cast<ULONG>(kAeadTagBytes);
    return info;
}

}  // namespace

bool Aead::Seal(const uint8_t nonce[kAeadNonceBytes], const uint8_t* aad, std::size_t aad_len, const uint8_t* in,
                std::size_t len, uint8_t* out) {
    if (!impl_ || !FitsUlong(len) || !FitsUlong(aad_len)) return false;
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = GcmInfo(nonce, aad, aad_len, out + len);
    ULONG written = 0;
    return Ok(BCryptEncrypt(impl_->key, const_cast<PUCHAR>(in), static_cast<ULONG>(len), &info, nullptr, 0, out,
                            static_cast<ULONG>(len), &written, 0)) &&
           written == len;
}

bool Aead::Open(const uint8_t nonce[kAeadNonceBytes], const uint8_t* aad, std::size_t aad_len, const uint8_t* in,
                std::size_t len, uint8_t* out) {
    if (!impl_ || len < kAeadTagBytes || !FitsUlong(len) || !FitsUlong(aad_len)) return false;
    const std::size_t text = len - kAeadTagBytes;
    uint8_t tag[kAeadTagBytes];
    for (std::size_t i = 0; i < kAeadTagBytes; ++i) tag[i] = in[text + i];
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = GcmInfo(nonce, aad, aad_len, tag);
    ULONG written = 0;
    return Ok(BCryptDecrypt(impl_->key, const_cast<PUCHAR>(in), static_cast<ULONG>(text), &info, nullptr, 0, out,
                            static_cast<ULONG>(text), &written, 0)) &&
           written == text;
}

}  // namespace qv::link::crypto
