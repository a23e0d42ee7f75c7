#include "platform/csp/Sm2Crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <cstring>

#include "platform/base/Der.h"

namespace tessaro::csp {

const char kSm2DefaultUserId[] = "1234567812345678";

namespace {

using BnPtr = tessaro::UniquePtr<BIGNUM>;
using PkeyCtxPtr = tessaro::UniquePtr<EVP_PKEY_CTX>;

// A coordinate's size as OpenSSL's number calls take it.
constexpr int kCoordBytes = static_cast<int>(kSm2CoordSize);

tessaro::UniquePtr<EC_GROUP> Sm2Group() { return tessaro::UniquePtr<EC_GROUP>(EC_GROUP_new_by_curve_name(NID_sm2)); }

HRESULT Failed(HRESULT hr) { return CspOpenSslFailed(hr); }

PkeyCtxPtr ContextFor(const EVP_PKEY* key) {
    return PkeyCtxPtr(EVP_PKEY_CTX_new_from_pkey(nullptr, const_cast<EVP_PKEY*>(key), nullptr));
}

HRESULT KeyFromParams(const OSSL_PARAM* params, int selection, EvpPkeyPtr& out) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* pkey = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &pkey, selection, const_cast<OSSL_PARAM*>(params)) <= 0)
        return Failed(NTE_FAIL);
    out.reset(pkey);
    return S_OK;
}

HRESULT UncompressedPoint(const EC_GROUP* g, const EC_POINT* pt, BYTE out[65]) {
    if (EC_POINT_point2oct(g, pt, POINT_CONVERSION_UNCOMPRESSED, out, 65, nullptr) != 65)
        return Failed(NTE_FAIL);
    return S_OK;
}

HRESULT GetBn(const EVP_PKEY* key, const char* name, BYTE out[32]) {
    BIGNUM* bn = nullptr;
    if (!key || EVP_PKEY_get_bn_param(key, name, &bn) <= 0) return Failed(NTE_BAD_KEY);
    BnPtr holder(bn);
    if (BN_bn2binpad(bn, out, kCoordBytes) != kCoordBytes) return Failed(NTE_BAD_KEY);
    return S_OK;
}

}  // namespace

HRESULT Sm2GenerateKey(EvpPkeyPtr& out) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* pkey = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_keygen(ctx.get(), &pkey) <= 0)
        return Failed(NTE_FAIL);
    out.reset(pkey);
    return S_OK;
}

namespace {

// The scalar as a BIGNUM, checked to lie in [1, n-2] (d = n-1 has no inverse
// of 1 + d, which every signature needs).
HRESULT CheckedScalar(const EC_GROUP* g, const BYTE* d, size_t len, BnPtr& out) {
    if (!d || len != kSm2CoordSize) return NTE_BAD_DATA;
    BnPtr bn(BN_secure_new());
    BnPtr limit(BN_dup(EC_GROUP_get0_order(g)));
    if (!bn || !limit || !BN_bin2bn(d, static_cast<int>(len), bn.get()) || !BN_sub_word(limit.get(), 1))
        return Failed(NTE_NO_MEMORY);
    if (BN_is_zero(bn.get()) || BN_cmp(bn.get(), limit.get()) >= 0) return NTE_BAD_DATA;
    out = std::move(bn);
    return S_OK;
}

// A key pair from the scalar and its point (04 || x || y); OpenSSL checks that
// the point lies on the curve, not that it belongs to the scalar. The scalar
// is a secure BIGNUM (CheckedScalar), so the parameter array keeps its copy
// in memory that OSSL_PARAM_free wipes.
HRESULT KeyPairFrom(const BIGNUM* d, const BYTE pubOct[65], EvpPkeyPtr& out) {
    tessaro::UniquePtr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!bld || !OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d) ||
        !OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, pubOct, 65))
        return Failed(NTE_NO_MEMORY);
    tessaro::UniquePtr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    if (!params) return Failed(NTE_NO_MEMORY);
    return KeyFromParams(params.get(), EVP_PKEY_KEYPAIR, out);
}

}  // namespace

HRESULT Sm2KeyFromPrivate(const BYTE* d, size_t len, EvpPkeyPtr& out) {
    auto g = Sm2Group();
    tessaro::UniquePtr<BN_CTX> bnctx(BN_CTX_new());
    if (!g || !bnctx) return Failed(NTE_NO_MEMORY);
    BnPtr bn;
    HRESULT hr = CheckedScalar(g.get(), d, len, bn);
    if (FAILED(hr)) return hr;
    tessaro::UniquePtr<EC_POINT> pub(EC_POINT_new(g.get()));
    BYTE pubOct[65];
    if (!pub || !EC_POINT_mul(g.get(), pub.get(), bn.get(), nullptr, nullptr, bnctx.get()))
        return Failed(NTE_FAIL);
    hr = UncompressedPoint(g.get(), pub.get(), pubOct);
    if (FAILED(hr)) return hr;
    return KeyPairFrom(bn.get(), pubOct, out);
}

HRESULT Sm2KeyFromStoredPair(const BYTE* p, size_t len, EvpPkeyPtr& out) {
    if (len == kSm2CoordSize) return Sm2KeyFromPrivate(p, len, out);
    if (!p || len != kSm2StoredPairSize || p[kSm2StoredPointOffset] != 0x04) return NTE_BAD_DATA;
    auto g = Sm2Group();
    if (!g) return Failed(NTE_NO_MEMORY);
    BnPtr bn;
    HRESULT hr = CheckedScalar(g.get(), p, kSm2CoordSize, bn);
    if (FAILED(hr)) return hr;
    // A point off the curve is a damaged record.
    hr = KeyPairFrom(bn.get(), p + kSm2CoordSize, out);
    return FAILED(hr) ? NTE_BAD_DATA : hr;
}

bool Sm2StoredPairIsSound(const BYTE* p, size_t len) {
    // Made once: making the group is dearer than the whole check.
    static const EC_GROUP* const group = Sm2Group().release();
    if (!group || !p || len != kSm2StoredPairSize || p[kSm2StoredPointOffset] != 0x04) return false;
    BnPtr scalar;
    tessaro::UniquePtr<EC_POINT> point(EC_POINT_new(group));
    tessaro::UniquePtr<BN_CTX> bnctx(BN_CTX_new());
    bool sound = point && bnctx && SUCCEEDED(CheckedScalar(group, p, kSm2CoordSize, scalar)) &&
                 EC_POINT_oct2point(group, point.get(), p + kSm2StoredPointOffset, 65, bnctx.get()) == 1;
    if (!sound) ERR_clear_error();
    return sound;
}

HRESULT Sm2SerializePair(const EVP_PKEY* key, SecureBytes& out) {
    SecureBytes rec;
    HRESULT hr = Sm2GetPrivate(key, rec);
    if (FAILED(hr)) return hr;
    std::vector<BYTE> pub;
    hr = Sm2SerializePublic(key, pub);
    if (FAILED(hr)) return hr;
    rec.insert(rec.end(), pub.begin(), pub.end());
    out = std::move(rec);
    return S_OK;
}

HRESULT Sm2KeyFromPublic(const BYTE x[32], const BYTE y[32], EvpPkeyPtr& out) {
    auto g = Sm2Group();
    tessaro::UniquePtr<BN_CTX> bnctx(BN_CTX_new());
    BnPtr bx(BN_bin2bn(x, kCoordBytes, nullptr)), by(BN_bin2bn(y, kCoordBytes, nullptr));
    tessaro::UniquePtr<EC_POINT> pt(g ? EC_POINT_new(g.get()) : nullptr);
    if (!g || !bnctx || !bx || !by || !pt) return Failed(NTE_NO_MEMORY);
    // Setting the coordinates checks that the point lies on the curve.
    if (!EC_POINT_set_affine_coordinates(g.get(), pt.get(), bx.get(), by.get(), bnctx.get()))
        return Failed(NTE_BAD_PUBLIC_KEY);
    BYTE oct[65];
    HRESULT hr = UncompressedPoint(g.get(), pt.get(), oct);
    if (FAILED(hr)) return hr;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("SM2"), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, oct, sizeof oct),
        OSSL_PARAM_construct_end()};
    return KeyFromParams(params, EVP_PKEY_PUBLIC_KEY, out);
}

HRESULT Sm2GetPublic(const EVP_PKEY* key, BYTE x[32], BYTE y[32]) {
    HRESULT hr = GetBn(key, OSSL_PKEY_PARAM_EC_PUB_X, x);
    if (FAILED(hr)) return hr;
    return GetBn(key, OSSL_PKEY_PARAM_EC_PUB_Y, y);
}

HRESULT Sm2GetPrivate(const EVP_PKEY* key, SecureBytes& d) {
    SecureBytes tmp(kSm2CoordSize);
    HRESULT hr = GetBn(key, OSSL_PKEY_PARAM_PRIV_KEY, tmp.data());
    if (FAILED(hr)) return hr;
    d = std::move(tmp);
    return S_OK;
}

bool Sm2HasPrivate(const EVP_PKEY* key) {
    BIGNUM* bn = nullptr;
    if (!key || EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &bn) <= 0) {
        ERR_clear_error();
        return false;
    }
    BnPtr holder(bn);
    return true;
}

namespace {

// The fields of both key blobs: the header, the key length in bits, X and Y
// (and for a private blob D), each number least significant byte first in a
// field of kSm2FieldSize bytes.
template <class Bytes>
void WriteKeyBlob(Bytes& out, BYTE type, ALG_ID algid, const BYTE x[32], const BYTE y[32], const BYTE* d) {
    BlobWriter<Bytes> w(out);
    w.Header(MakeBlobHeader(type, algid));
    w.Dword(kSm2KeyBits);
    w.ReversedField(x, kSm2CoordSize, kSm2FieldSize);
    w.ReversedField(y, kSm2CoordSize, kSm2FieldSize);
    if (d) w.ReversedField(d, kSm2CoordSize, kSm2FieldSize);
}

// The public fields of a blob of the given type whose length has been checked.
HRESULT ReadPublicFields(BlobReader& rd, BYTE type, ALG_ID* algid, BYTE x[32], BYTE y[32]) {
    BLOBHEADER h;
    DWORD bits = 0;
    if (!rd.Header(&h)) return NTE_BAD_LEN;
    if (h.bType != type) return NTE_BAD_TYPE;
    if (h.bVersion != CUR_BLOB_VERSION) return NTE_BAD_VER;
    if (h.aiKeyAlg != CALG_SM2_KEYX && h.aiKeyAlg != CALG_SM2_SIGN) return NTE_BAD_ALGID;
    if (!rd.Dword(&bits) || bits != kSm2KeyBits) return NTE_BAD_DATA;
    if (!rd.ReversedField(kSm2FieldSize, x, kSm2CoordSize) || !rd.ReversedField(kSm2FieldSize, y, kSm2CoordSize))
        return NTE_BAD_LEN;
    if (algid) *algid = h.aiKeyAlg;
    return S_OK;
}

}  // namespace

std::vector<BYTE> Sm2BuildPublicKeyBlob(const BYTE x[32], const BYTE y[32], ALG_ID algid) {
    std::vector<BYTE> b;
    WriteKeyBlob(b, PUBLICKEYBLOB, algid, x, y, nullptr);
    return b;
}

SecureBytes Sm2BuildPrivateKeyBlob(const BYTE x[32], const BYTE y[32], const SecureBytes& d, ALG_ID algid) {
    SecureBytes b;
    WriteKeyBlob(b, PRIVATEKEYBLOB, algid, x, y, d.data());
    return b;
}

HRESULT Sm2ParsePublicKeyBlob(const BYTE* blob, size_t len, ALG_ID* algid, BYTE x[32], BYTE y[32]) {
    if (!blob) return NTE_BAD_DATA;
    if (len != kSm2PublicKeyBlobSize) return NTE_BAD_LEN;
    BlobReader rd(blob, len);
    return ReadPublicFields(rd, PUBLICKEYBLOB, algid, x, y);
}

HRESULT Sm2ParsePrivateKeyBlob(const BYTE* blob, size_t len, ALG_ID* algid, BYTE x[32], BYTE y[32], SecureBytes& d) {
    if (!blob) return NTE_BAD_DATA;
    if (len != kSm2PrivateKeyBlobSize) return NTE_BAD_LEN;
    BlobReader rd(blob, len);
    HRESULT hr = ReadPublicFields(rd, PRIVATEKEYBLOB, algid, x, y);
    if (FAILED(hr)) return hr;
    SecureBytes scalar(kSm2CoordSize);
    if (!rd.ReversedField(kSm2FieldSize, scalar.data(), scalar.size())) return NTE_BAD_LEN;
    d = std::move(scalar);
    return S_OK;
}

namespace {

// A digest-sign or -verify context over SM3 with the user identity in Z. The
// message context borrows the key context: it is declared after it, so it
// always goes first.
struct Sm3SignContext {
    PkeyCtxPtr key;
    tessaro::UniquePtr<EVP_MD_CTX> md;
};

HRESULT OpenSm3Context(const EVP_PKEY* key, const char* userId, Sm3SignContext& c) {
    c.md.reset(EVP_MD_CTX_new());
    c.key = ContextFor(key);
    if (!c.md || !c.key) return Failed(NTE_NO_MEMORY);
    // The identity enters Z, which OpenSSL hashes in front of the message.
    if (EVP_PKEY_CTX_set1_id(c.key.get(), userId, static_cast<int>(std::strlen(userId))) <= 0)
        return Failed(NTE_FAIL);
    EVP_MD_CTX_set_pkey_ctx(c.md.get(), c.key.get());
    return S_OK;
}

// OpenSSL's DER signature to r then s, each least significant byte first.
HRESULT SignatureFromDer(const BYTE* der, size_t len, BYTE sig[64]) {
    const BYTE* p = der;
    tessaro::UniquePtr<ECDSA_SIG> s(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len)));
    if (!s || BN_bn2lebinpad(ECDSA_SIG_get0_r(s.get()), sig, kCoordBytes) != kCoordBytes ||
        BN_bn2lebinpad(ECDSA_SIG_get0_s(s.get()), sig + kSm2CoordSize, kCoordBytes) != kCoordBytes)
        return Failed(NTE_FAIL);
    return S_OK;
}

const BYTE kEmpty = 0;

}  // namespace

HRESULT Sm2SignMessage(const EVP_PKEY* key, const BYTE* msg, size_t len, const char* userId,
                       BYTE sig[64]) {
    if (!key || (!msg && len)) return NTE_BAD_KEY;
    if (!userId) userId = kSm2DefaultUserId;
    EVP_PKEY* k = const_cast<EVP_PKEY*>(key);
    Sm3SignContext c;
    HRESULT hr = OpenSm3Context(key, userId, c);
    if (FAILED(hr)) return hr;
    BYTE der[80];
    size_t derLen = sizeof der;
    if (EVP_DigestSignInit(c.md.get(), nullptr, EVP_sm3(), nullptr, k) <= 0 ||
        EVP_DigestSign(c.md.get(), der, &derLen, msg ? msg : &kEmpty, len) <= 0)
        return Failed(NTE_BAD_KEY);
    return SignatureFromDer(der, derLen, sig);
}

HRESULT Sm2SignDigest(const EVP_PKEY* key, const BYTE e[32], BYTE sig[64]) {
    if (!key || !e) return NTE_BAD_KEY;
    PkeyCtxPtr ctx = ContextFor(key);
    BYTE der[80];
    size_t derLen = sizeof der;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 || EVP_PKEY_sign(ctx.get(), der, &derLen, e, kSm3HashSize) <= 0)
        return Failed(NTE_BAD_KEY);
    return SignatureFromDer(der, derLen, sig);
}

HRESULT Sm2VerifyMessage(const EVP_PKEY* key, const BYTE* msg, size_t len, const char* userId,
                         const BYTE sig[64]) {
    if (!key || !sig || (!msg && len)) return NTE_BAD_KEY;
    if (!userId) userId = kSm2DefaultUserId;
    tessaro::UniquePtr<ECDSA_SIG> s(ECDSA_SIG_new());
    BnPtr r(BN_lebin2bn(sig, kCoordBytes, nullptr));
    BnPtr sv(BN_lebin2bn(sig + kSm2CoordSize, kCoordBytes, nullptr));
    if (!s || !r || !sv || !ECDSA_SIG_set0(s.get(), r.get(), sv.get())) return Failed(NTE_NO_MEMORY);
    r.release();  // the signature owns both numbers now
    sv.release();
    BYTE* der = nullptr;
    int derLen = i2d_ECDSA_SIG(s.get(), &der);
    if (derLen <= 0) return Failed(NTE_FAIL);
    tessaro::OpenSslBuffer<BYTE> derHolder(der);

    Sm3SignContext c;
    HRESULT hr = OpenSm3Context(key, userId, c);
    if (FAILED(hr)) return hr;
    if (EVP_DigestVerifyInit(c.md.get(), nullptr, EVP_sm3(), nullptr, const_cast<EVP_PKEY*>(key)) <= 0)
        return Failed(NTE_BAD_KEY);
    int ok = EVP_DigestVerify(c.md.get(), der, static_cast<size_t>(derLen), msg ? msg : &kEmpty, len);
    return ok == 1 ? S_OK : Failed(NTE_BAD_SIGNATURE);
}

HRESULT Sm2CiphertextToDer(const BYTE* raw, size_t len, std::vector<BYTE>& out) {
    if (!raw || len < kSm2C1Size + kSm2C3Size + 1) return NTE_BAD_DATA;
    std::vector<BYTE> body;
    body.reserve(len + 16);
    der::AppendUnsignedInteger(body, raw, 32);
    der::AppendUnsignedInteger(body, raw + 32, 32);
    der::AppendElement(body, der::kTagOctetString, raw + 64, kSm2C3Size);
    der::AppendElement(body, der::kTagOctetString, raw + 96, len - 96);
    out.clear();
    der::AppendElement(out, der::kTagSequence, body.data(), body.size());
    return S_OK;
}

HRESULT Sm2CiphertextFromDer(const BYTE* p, size_t n, std::vector<BYTE>& raw) {
    if (!p) return NTE_BAD_DATA;
    der::Reader outer(p, n);
    const BYTE* seq;
    size_t seqLen;
    if (!outer.Next(der::kTagSequence, &seq, &seqLen) || !outer.AtEnd()) return NTE_BAD_DATA;
    der::Reader in(seq, seqLen);
    const BYTE *cx, *cy, *c3, *c2;
    size_t lx, ly, l3, l2;
    if (!in.Next(der::kTagInteger, &cx, &lx) || !in.Next(der::kTagInteger, &cy, &ly) ||
        !in.Next(der::kTagOctetString, &c3, &l3) || !in.Next(der::kTagOctetString, &c2, &l2) ||
        !in.AtEnd() || l3 != kSm2C3Size || l2 == 0)
        return NTE_BAD_DATA;
    std::vector<BYTE> r(96 + l2);
    if (!der::ReadUnsignedFixed(cx, lx, r.data(), 32) || !der::ReadUnsignedFixed(cy, ly, r.data() + 32, 32))
        return NTE_BAD_DATA;
    std::memcpy(r.data() + 64, c3, 32);
    std::memcpy(r.data() + 96, c2, l2);
    raw.swap(r);
    return S_OK;
}

HRESULT Sm2DecryptC1C3C2(const EVP_PKEY* key, const BYTE* ct, size_t len, SecureBytes& plain) {
    if (!key || !Sm2HasPrivate(key)) return NTE_BAD_KEY;
    if (!ct || len < kSm2C1Size + kSm2C3Size + 1) return NTE_BAD_DATA;
    std::vector<BYTE> der;
    HRESULT hr = Sm2CiphertextToDer(ct, len, der);
    if (FAILED(hr)) return hr;
    PkeyCtxPtr ctx = ContextFor(key);
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0) return Failed(NTE_BAD_KEY);
    // C2 is as long as the message; the output never needs more.
    SecureBytes out(len);
    size_t outLen = out.size();
    // A C1 off the curve, a zero key stream or a C3 that does not match all
    // end here, as does a ciphertext given in another part order.
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &outLen, der.data(), der.size()) <= 0 || outLen > len)
        return Failed(NTE_BAD_DATA);
    out.resize(outLen);
    plain = std::move(out);
    return S_OK;
}

HRESULT Sm2EncryptC1C3C2(const EVP_PKEY* key, const BYTE* msg, size_t len, std::vector<BYTE>& ct) {
    if (!key) return NTE_BAD_KEY;
    if (!msg || len == 0) return NTE_BAD_DATA;
    PkeyCtxPtr ctx = ContextFor(key);
    size_t outLen = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &outLen, msg, len) <= 0)
        return Failed(NTE_BAD_KEY);
    std::vector<BYTE> der(outLen);
    if (EVP_PKEY_encrypt(ctx.get(), der.data(), &outLen, msg, len) <= 0) return Failed(NTE_FAIL);
    return Sm2CiphertextFromDer(der.data(), outLen, ct);
}

void Sm3Digest(const BYTE* p, size_t n, BYTE out[32]) {
    unsigned int outLen = 32;
    EVP_Digest(p ? p : &kEmpty, n, out, &outLen, EVP_sm3(), nullptr);
}

HRESULT Sm2SerializePublic(const EVP_PKEY* key, std::vector<BYTE>& out) {
    BYTE x[32], y[32];
    HRESULT hr = Sm2GetPublic(key, x, y);
    if (FAILED(hr)) return hr;
    out.assign(1, 0x04);
    out.insert(out.end(), x, x + 32);
    out.insert(out.end(), y, y + 32);
    return S_OK;
}

HRESULT Sm2PublicFromSerialized(const BYTE* p, size_t n, EvpPkeyPtr& out) {
    if (!p || n != 65 || p[0] != 0x04) return NTE_BAD_PUBLIC_KEY;
    return Sm2KeyFromPublic(p + 1, p + 33, out);
}

bool Sm2SamePublic(const EVP_PKEY* a, const EVP_PKEY* b) {
    BYTE ax[32], ay[32], bx[32], by[32];
    if (FAILED(Sm2GetPublic(a, ax, ay)) || FAILED(Sm2GetPublic(b, bx, by))) return false;
    return std::memcmp(ax, bx, 32) == 0 && std::memcmp(ay, by, 32) == 0;
}

}  // namespace tessaro::csp
