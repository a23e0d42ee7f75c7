#include "platform/csp/VendorBlob.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <cstring>

#include "platform/base/Der.h"
#include "platform/csp/CspBlob.h"

namespace tessaro::csp {

namespace {

// DER content octets of the two identifiers the envelope carries.
const BYTE kOidRsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const BYTE kOidTripleDesEcb[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07};

constexpr DWORD kSessionKeySize = 24;

using PkeyCtxPtr = tessaro::UniquePtr<EVP_PKEY_CTX>;

// Both blobs begin alike: a PRIVATEKEYBLOB header with the vendor mark in its
// reserved word and the algorithm twice, once in the header and once after it.
template <class Bytes>
void WriteHeader(BlobWriter<Bytes>& w, ALG_ID alg) {
    w.Header(MakeBlobHeader(PRIVATEKEYBLOB, alg, kVendorBlobMark));
    w.Dword(alg);
}

// The checks of that beginning, in order: size, type, version, vendor mark,
// both algorithm words.
HRESULT ReadHeader(BlobReader& rd, size_t expected, ALG_ID alg) {
    if (rd.Left() != expected) return NTE_BAD_LEN;
    BLOBHEADER h;
    DWORD second = 0;
    if (!rd.Header(&h) || !rd.Dword(&second)) return NTE_BAD_LEN;
    if (h.bType != PRIVATEKEYBLOB) return NTE_BAD_TYPE;
    if (h.bVersion != CUR_BLOB_VERSION) return NTE_BAD_VER;
    if (h.reserved != kVendorBlobMark) return NTE_BAD_DATA;
    if (h.aiKeyAlg != alg || second != alg) return NTE_BAD_ALGID;
    return S_OK;
}

// A length field in bits: whole bytes, not zero, within the ceiling.
HRESULT BitsToBytes(DWORD bits, size_t ceiling, size_t* bytes) {
    if (bits == 0 || bits % 8 != 0 || bits / 8 > ceiling) return NTE_BAD_DATA;
    *bytes = bits / 8;
    return S_OK;
}

// The closing fields of both blobs: the length of the pointed-to material in
// bits and its address, which must not be null.
HRESULT ReadMaterial(BlobReader& rd, size_t ceiling, const BYTE** material, size_t* len) {
    DWORD bits = 0;
    const BYTE* p = nullptr;
    size_t n = 0;
    if (!rd.Dword(&bits)) return NTE_BAD_LEN;
    HRESULT hr = BitsToBytes(bits, ceiling, &n);
    if (FAILED(hr)) return hr;
    if (!rd.Pointer(&p)) return NTE_BAD_LEN;
    if (!p) return NTE_BAD_DATA;
    *material = p;
    *len = n;
    return S_OK;
}

}  // namespace

bool IsVendorImportBlob(const BYTE* blob, size_t len) {
    if (!blob || len < kBlobKindSize) return false;
    BLOBHEADER kind = LoadBlobKind(blob);
    return kind.bType == PRIVATEKEYBLOB && kind.reserved == kVendorBlobMark;
}

std::vector<BYTE> BuildSm2VendorBlob(const BYTE* ciphertext, size_t len) {
    std::vector<BYTE> b;
    BlobWriter w(b);
    WriteHeader(w, CALG_SM2_KEYX);
    w.Dword(static_cast<DWORD>(len * 8));
    w.Pointer(ciphertext);
    return b;
}

std::vector<BYTE> BuildRsaVendorBlob(DWORD keyBits, const BYTE* envelope, size_t len) {
    std::vector<BYTE> b;
    BlobWriter w(b);
    WriteHeader(w, CALG_RSA_KEYX);
    w.Dword(keyBits);
    w.Dword(static_cast<DWORD>(len * 8));
    w.Pointer(envelope);
    return b;
}

HRESULT ParseSm2VendorBlob(const BYTE* blob, size_t len, const BYTE** ciphertext, size_t* ctLen) {
    if (!blob) return NTE_BAD_DATA;
    BlobReader rd(blob, len);
    HRESULT hr = ReadHeader(rd, kSm2VendorBlobSize, CALG_SM2_KEYX);
    if (FAILED(hr)) return hr;
    return ReadMaterial(rd, kMaxSm2VendorCiphertext, ciphertext, ctLen);
}

HRESULT ParseRsaVendorBlob(const BYTE* blob, size_t len, DWORD* keyBits, const BYTE** envelope,
                           size_t* envLen) {
    if (!blob) return NTE_BAD_DATA;
    BlobReader rd(blob, len);
    HRESULT hr = ReadHeader(rd, kRsaVendorBlobSize, CALG_RSA_KEYX);
    if (FAILED(hr)) return hr;
    DWORD bits = 0;
    if (!rd.Dword(&bits)) return NTE_BAD_LEN;
    if (bits < 512 || bits > 16384 || bits % 8 != 0) return NTE_BAD_DATA;
    hr = ReadMaterial(rd, kMaxRsaVendorEnvelope, envelope, envLen);
    if (FAILED(hr)) return hr;
    *keyBits = bits;
    return S_OK;
}

HRESULT ParseRsaKeyEnvelope(const BYTE* p, size_t n, RsaKeyEnvelope* env) {
    if (!p || !env) return NTE_BAD_DATA;
    der::Reader outer(p, n);
    const BYTE* seq;
    size_t seqLen;
    if (!outer.Next(der::kTagSequence, &seq, &seqLen) || !outer.AtEnd()) return NTE_BAD_DATA;
    der::Reader in(seq, seqLen);
    const BYTE *ver, *asym, *sym, *sk, *pk;
    size_t lVer, lAsym, lSym, lSk, lPk;
    if (!in.Next(der::kTagInteger, &ver, &lVer) || !in.Next(der::kTagOid, &asym, &lAsym) ||
        !in.Next(der::kTagOid, &sym, &lSym) || !in.Next(der::kTagOctetString, &sk, &lSk) ||
        !in.Next(der::kTagOctetString, &pk, &lPk) || !in.AtEnd())
        return NTE_BAD_DATA;
    if (lVer != 1 || ver[0] != 1) return NTE_BAD_VER;
    if (lAsym != sizeof kOidRsaEncryption || std::memcmp(asym, kOidRsaEncryption, lAsym) != 0 ||
        lSym != sizeof kOidTripleDesEcb || std::memcmp(sym, kOidTripleDesEcb, lSym) != 0)
        return NTE_BAD_ALGID;
    if (lSk == 0 || lPk == 0) return NTE_BAD_DATA;
    env->sessionKey = sk;
    env->sessionKeyLen = lSk;
    env->privateKey = pk;
    env->privateKeyLen = lPk;
    return S_OK;
}

std::vector<BYTE> BuildRsaKeyEnvelope(const BYTE* encSessionKey, size_t sessionLen, const BYTE* encPrivateKey,
                                      size_t privateLen) {
    std::vector<BYTE> body;
    static const BYTE kOne = 1;
    der::AppendElement(body, der::kTagInteger, &kOne, 1);
    der::AppendElement(body, der::kTagOid, kOidRsaEncryption, sizeof kOidRsaEncryption);
    der::AppendElement(body, der::kTagOid, kOidTripleDesEcb, sizeof kOidTripleDesEcb);
    der::AppendElement(body, der::kTagOctetString, encSessionKey, sessionLen);
    der::AppendElement(body, der::kTagOctetString, encPrivateKey, privateLen);
    std::vector<BYTE> out;
    der::AppendElement(out, der::kTagSequence, body.data(), body.size());
    return out;
}

HRESULT OpenRsaKeyEnvelope(const EVP_PKEY* exchangeKey, const BYTE* envBytes, size_t envLen, DWORD keyBits,
                           EvpPkeyPtr& outKey) {
    EVP_PKEY* xk = const_cast<EVP_PKEY*>(exchangeKey);
    if (!xk || !EVP_PKEY_is_a(xk, "RSA")) return NTE_BAD_KEY;
    RsaKeyEnvelope env;
    HRESULT hr = ParseRsaKeyEnvelope(envBytes, envLen, &env);
    if (FAILED(hr)) return hr;

    // 1. The session key, PKCS#1 v1.5, as the RSA output comes (big-endian).
    size_t modBytes = static_cast<size_t>(EVP_PKEY_get_size(xk));
    if (env.sessionKeyLen != modBytes) return NTE_BAD_DATA;
    PkeyCtxPtr rctx(EVP_PKEY_CTX_new_from_pkey(nullptr, xk, nullptr));
    if (!rctx || EVP_PKEY_decrypt_init(rctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(rctx.get(), RSA_PKCS1_PADDING) <= 0)
        return CspOpenSslFailed(NTE_BAD_KEY);
    SecureBytes session(modBytes);
    size_t sessionLen = session.size();
    if (EVP_PKEY_decrypt(rctx.get(), session.data(), &sessionLen, env.sessionKey, env.sessionKeyLen) <= 0)
        return CspOpenSslFailed(NTE_BAD_DATA);
    // Some issuers send 32 bytes of which the key is the first 24.
    if (sessionLen != kSessionKeySize && sessionLen != 32) return NTE_BAD_DATA;
    session.resize(kSessionKeySize);

    // 2. The private key, 3DES-ECB with block padding.
    if (env.privateKeyLen % 8 != 0) return NTE_BAD_DATA;
    tessaro::UniquePtr<EVP_CIPHER_CTX> cctx(EVP_CIPHER_CTX_new());
    SecureBytes plain(env.privateKeyLen + 8);
    int l1 = 0, l2 = 0;
    if (!cctx || EVP_DecryptInit_ex(cctx.get(), EVP_des_ede3_ecb(), nullptr, session.data(), nullptr) != 1)
        return CspOpenSslFailed(NTE_FAIL);
    if (EVP_DecryptUpdate(cctx.get(), plain.data(), &l1, env.privateKey, static_cast<int>(env.privateKeyLen)) != 1 ||
        EVP_DecryptFinal_ex(cctx.get(), plain.data() + l1, &l2) != 1)
        return CspOpenSslFailed(NTE_BAD_DATA);
    cctx.reset();  // holds the key schedule; freeing it clears it
    plain.resize(static_cast<size_t>(l1 + l2));

    // 3. PKCS#1 RSAPrivateKey, the whole plaintext and nothing else.
    const BYTE* p = plain.data();
    EvpPkeyPtr key(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(plain.size())));
    if (!key) return CspOpenSslFailed(NTE_BAD_DATA);
    if (p != plain.data() + plain.size()) return NTE_BAD_DATA;
    if (static_cast<DWORD>(EVP_PKEY_get_bits(key.get())) != keyBits) return NTE_BAD_LEN;
    // Numbers that parse but do not form one key pair would sign garbage.
    PkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!check || EVP_PKEY_pairwise_check(check.get()) != 1) return CspOpenSslFailed(NTE_BAD_DATA);
    outKey = std::move(key);
    return S_OK;
}

HRESULT OpenSm2VendorCiphertext(const EVP_PKEY* exchangeKey, const BYTE* ct, size_t len, EvpPkeyPtr& outKey) {
    if (!exchangeKey || !EVP_PKEY_is_a(const_cast<EVP_PKEY*>(exchangeKey), "SM2")) return NTE_BAD_KEY;
    SecureBytes plain;
    HRESULT hr = Sm2DecryptC1C3C2(exchangeKey, ct, len, plain);
    if (FAILED(hr)) return hr;
    if (plain.size() != kSm2CoordSize) return NTE_BAD_DATA;
    return Sm2KeyFromPrivate(plain.data(), plain.size(), outKey);
}

HRESULT ImportSm2VendorBlob(const EVP_PKEY* exchangeKey, const BYTE* blob, size_t len, EvpPkeyPtr& outKey) {
    const BYTE* ct = nullptr;
    size_t n = 0;
    HRESULT hr = ParseSm2VendorBlob(blob, len, &ct, &n);
    if (FAILED(hr)) return hr;
    return OpenSm2VendorCiphertext(exchangeKey, ct, n, outKey);
}

HRESULT ImportRsaVendorBlob(const EVP_PKEY* exchangeKey, const BYTE* blob, size_t len, EvpPkeyPtr& outKey) {
    DWORD bits = 0;
    const BYTE* env = nullptr;
    size_t n = 0;
    HRESULT hr = ParseRsaVendorBlob(blob, len, &bits, &env, &n);
    if (FAILED(hr)) return hr;
    return OpenRsaKeyEnvelope(exchangeKey, env, n, bits, outKey);
}

}  // namespace tessaro::csp
