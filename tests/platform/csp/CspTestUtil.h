// Helpers of the provider tests: handle owners, fresh container names,
// blob export, and OpenSSL views of what the providers hand out.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestPki.h"
#include "tests/support/TestSupport.h"
#include "win/windows.h"
#include "win/wincrypt.h"
#include "win/winreg.h"
#include "tessaro/Handles.h"

namespace csptest {

using Bytes = std::vector<BYTE>;

using Prov = tessaro::UniqueCryptProv;
using Key = tessaro::UniqueCryptKey;
using Hash = tessaro::UniqueCryptHash;
using Pkey = tessaro::UniquePtr<EVP_PKEY>;

inline const char16_t* kEnh = MS_ENHANCED_PROV_W;
inline const char16_t* kBase = MS_DEF_PROV_W;
inline const char16_t* kStrong = MS_STRONG_PROV_W;
inline const char16_t* kAes = MS_ENH_RSA_AES_PROV_W;
inline const char16_t* kTokenRsa = u"Tessaro RSA Token CSP v1.0";
inline const char16_t* kTokenSm2 = u"Tessaro SM2 Token CSP v1.0";

inline std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// A container name no other test (or earlier run in this prefix) uses.
inline std::u16string FreshName(const char* tag) {
    static std::atomic<int> n{0};
    return Wide(std::string(tag) + "-" + std::to_string(getpid()) + "-" + std::to_string(n++));
}

inline DWORD TypeOf(const char16_t* prov) {
    return std::u16string(prov) == kAes ? PROV_RSA_AES : PROV_RSA_FULL;
}

// Creates a container (CRYPT_NEWKEYSET); fails the test when that fails.
inline void NewContainer(Prov& p, const std::u16string& name, const char16_t* prov = kEnh) {
    ASSERT_TRUE(CryptAcquireContextW(p.put(), name.c_str(), prov, TypeOf(prov), CRYPT_NEWKEYSET))
        << std::hex << GetLastError();
}

inline Bytes ExportBlob(HCRYPTKEY k, DWORD type, HCRYPTKEY exp = 0) {
    DWORD cb = 0;
    if (!CryptExportKey(k, exp, type, 0, nullptr, &cb)) return {};
    Bytes b(cb);
    if (!CryptExportKey(k, exp, type, 0, b.data(), &cb)) return {};
    b.resize(cb);
    return b;
}

inline Bytes Reversed(Bytes v) {
    std::reverse(v.begin(), v.end());
    return v;
}

// The RSA public key of a container's key spec as OpenSSL sees it, through
// CryptExportPublicKeyInfo.
inline Pkey PublicKeyOf(HCRYPTPROV h, DWORD spec) {
    DWORD cb = 0;
    if (!CryptExportPublicKeyInfo(h, spec, X509_ASN_ENCODING, nullptr, &cb)) return nullptr;
    std::vector<ULONG_PTR> buf(cb / sizeof(ULONG_PTR) + 1);
    auto* info = reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(buf.data());
    if (!CryptExportPublicKeyInfo(h, spec, X509_ASN_ENCODING, info, &cb)) return nullptr;
    const unsigned char* p = info->PublicKey.pbData;
    return Pkey(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, info->PublicKey.cbData));
}

inline Bytes BnBytes(const EVP_PKEY* k, const char* name, size_t len) {
    BIGNUM* b = nullptr;
    EVP_PKEY_get_bn_param(k, name, &b);
    Bytes v(len);
    if (!b || BN_bn2binpad(b, v.data(), static_cast<int>(len)) != static_cast<int>(len)) v.clear();
    BN_free(b);
    return v;
}

inline Pkey OpenSslRsa(int bits) { return tessaro_test::pki::NewRsaKey(bits); }

// PRIVATEKEYBLOB of an OpenSSL key, laid out here independently of the provider.
inline Bytes PrivateBlobOf(const EVP_PKEY* k, ALG_ID alg) {
    int bits = EVP_PKEY_get_bits(k);
    size_t nb = bits / 8, hb = bits / 16;
    Bytes b = {7, 2, 0, 0};
    auto put32 = [&](DWORD v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<BYTE>(v >> (8 * i)));
    };
    put32(alg);
    put32(0x32415352);
    put32(static_cast<DWORD>(bits));
    put32(65537);
    auto le = [&](const char* name, size_t len) {
        Bytes v = Reversed(BnBytes(k, name, len));
        b.insert(b.end(), v.begin(), v.end());
    };
    le(OSSL_PKEY_PARAM_RSA_N, nb);
    le(OSSL_PKEY_PARAM_RSA_FACTOR1, hb);
    le(OSSL_PKEY_PARAM_RSA_FACTOR2, hb);
    le(OSSL_PKEY_PARAM_RSA_EXPONENT1, hb);
    le(OSSL_PKEY_PARAM_RSA_EXPONENT2, hb);
    le(OSSL_PKEY_PARAM_RSA_COEFFICIENT1, hb);
    le(OSSL_PKEY_PARAM_RSA_D, nb);
    return b;
}

inline bool OpenSslVerify(EVP_PKEY* pub, const EVP_MD* md, const Bytes& data, const Bytes& sigBigEndian) {
    EVP_MD_CTX* c = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(c, nullptr, md, nullptr, pub) == 1 &&
              EVP_DigestVerify(c, sigBigEndian.data(), sigBigEndian.size(), data.data(), data.size()) == 1;
    EVP_MD_CTX_free(c);
    return ok;
}

inline Bytes SignWith(HCRYPTPROV h, ALG_ID alg, const Bytes& data, DWORD spec, DWORD flags = 0) {
    Hash hh;
    if (!CryptCreateHash(h, alg, 0, 0, hh.put())) return {};
    if (!CryptHashData(hh.get(), data.data(), static_cast<DWORD>(data.size()), 0)) return {};
    DWORD cb = 0;
    if (!CryptSignHashW(hh.get(), spec, nullptr, flags, nullptr, &cb)) return {};
    Bytes sig(cb);
    if (!CryptSignHashW(hh.get(), spec, nullptr, flags, sig.data(), &cb)) return {};
    sig.resize(cb);
    return sig;
}

// A certificate for subjectKey, signed by a throw-away issuer key.
inline Bytes CertificateFor(EVP_PKEY* subjectKey, const char* cn) {
    Pkey issuer = OpenSslRsa(1024);
    tessaro_test::pki::CertSpec spec;
    spec.subject = {{"CN", cn}};
    spec.serial = {7};
    spec.notBefore = time(nullptr);
    spec.notAfter = spec.notBefore + 86400;
    spec.signer = issuer.get();
    spec.subjectKey = subjectKey;
    return tessaro_test::pki::MakeCert(spec);
}

using ScopedPrefix = tessaro_test::ScopedPrefix;

}  // namespace csptest
