// The RSA providers: Microsoft's four software providers and the vendor RSA
// token provider. OpenSSL does the RSA and cipher mathematics; this file
// keeps CryptoAPI's byte layouts (little-endian numbers, key blobs) and
// codes. The exponent-one key (e = d = 1, whose RSA operation is the
// identity) is never handed to OpenSSL's RSA operations: its padding is
// added and removed here on the raw bytes.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <iterator>

#include "platform/csp/RsaProvider.h"

#include "platform/base/Der.h"
#include "platform/csp/CspBlob.h"
#include "platform/csp/VendorBlob.h"

namespace tessaro::csp {

namespace {

// ---- Algorithm tables -----------------------------------------------------------

constexpr DWORD kSig = CRYPT_FLAG_SIGNING;
constexpr DWORD kIpsec = CRYPT_FLAG_IPSEC;

// OpenSSL 3 generates RSA moduli from 512 bits on; that is the floor here too.
constexpr DWORD kRsaMin = 512;

// A symmetric or hash algorithm of one fixed length.
PROV_ENUMALGS_EX Fixed(ALG_ID id, DWORD bits, DWORD proto, const char* name, const char* longName) {
    return CspAlgorithm(id, bits, bits, bits, proto, name, longName);
}

std::vector<PROV_ENUMALGS_EX> TableFor(const std::u16string& image) {
    std::vector<PROV_ENUMALGS_EX> t;
    bool base = image == CSP_IMAGE_RSA_BASE;
    bool aes = image == CSP_IMAGE_RSA_AES;
    bool token = image == CSP_IMAGE_RSA_TOKEN;
    DWORD rsaDefault = base ? 512 : 1024;
    DWORD rsaMax = token ? 4096 : 16384;
    if (!base) {
        t.push_back(Fixed(CALG_DES, 56, kIpsec, "DES", "Data Encryption Standard (DES)"));
        t.push_back(Fixed(CALG_3DES_112, 112, kIpsec, "3DES TWO KEY", "Two Key Triple DES"));
        t.push_back(Fixed(CALG_3DES, 168, kIpsec, "3DES", "Three Key Triple DES"));
    }
    if (aes) {
        t.push_back(Fixed(CALG_AES_128, 128, kIpsec, "AES 128", "Advanced Encryption Standard (AES) 128"));
        t.push_back(Fixed(CALG_AES_192, 192, kIpsec, "AES 192", "Advanced Encryption Standard (AES) 192"));
        t.push_back(Fixed(CALG_AES_256, 256, kIpsec, "AES 256", "Advanced Encryption Standard (AES) 256"));
    }
    t.push_back(Fixed(CALG_SHA1, 160, kSig | kIpsec, "SHA-1", "Secure Hash Algorithm (SHA-1)"));
    if (aes || token) {
        t.push_back(Fixed(CALG_SHA_256, 256, kSig, "SHA-256", "Secure Hash Algorithm (SHA-256)"));
    }
    if (aes) {
        t.push_back(Fixed(CALG_SHA_384, 384, kSig, "SHA-384", "Secure Hash Algorithm (SHA-384)"));
        t.push_back(Fixed(CALG_SHA_512, 512, kSig, "SHA-512", "Secure Hash Algorithm (SHA-512)"));
    }
    t.push_back(Fixed(CALG_MD5, 128, kSig | kIpsec, "MD5", "Message Digest 5 (MD5)"));
    t.push_back(CspAlgorithm(CALG_RSA_SIGN, rsaDefault, kRsaMin, rsaMax, kSig | kIpsec, "RSA_SIGN", "RSA Signature"));
    t.push_back(CspAlgorithm(CALG_RSA_KEYX, rsaDefault, kRsaMin, rsaMax, kSig | kIpsec, "RSA_KEYX", "RSA Key Exchange"));
    return t;
}

// ---- Numbers ----------------------------------------------------------------------

using BnPtr = tessaro::UniquePtr<BIGNUM>;
using PkeyCtxPtr = tessaro::UniquePtr<EVP_PKEY_CTX>;

struct RsaParts {
    BnPtr n, e, d, p, q, dp, dq, qinv;
};

// The private numbers of a PRIVATEKEYBLOB in blob order, each after the
// modulus: the primes, their exponents and the coefficient are half the
// modulus length, the private exponent is as long as the modulus.
struct PrivateField {
    BnPtr RsaParts::*part;
    bool bHalf;
};
constexpr PrivateField kPrivateFields[] = {{&RsaParts::p, true},  {&RsaParts::q, true},    {&RsaParts::dp, true},
                                           {&RsaParts::dq, true}, {&RsaParts::qinv, true}, {&RsaParts::d, false}};

// Bytes of the modulus and of the half-length numbers for a key of that size.
size_t FullBytes(DWORD bits) { return (bits + 7) / 8; }
size_t HalfBytes(DWORD bits) { return (bits + 15) / 16; }

size_t RsaBlobSize(DWORD bits, bool bPrivate) {
    return kBlobHeaderSize + kRsaPubKeySize + FullBytes(bits) +
           (bPrivate ? 5 * HalfBytes(bits) + FullBytes(bits) : 0);
}

BnPtr GetBn(const EVP_PKEY* k, const char* name) {
    BIGNUM* b = nullptr;
    EVP_PKEY_get_bn_param(k, name, &b);
    return BnPtr(b);
}

bool GetParts(const EVP_PKEY* k, bool bPrivate, RsaParts* r) {
    r->n = GetBn(k, OSSL_PKEY_PARAM_RSA_N);
    r->e = GetBn(k, OSSL_PKEY_PARAM_RSA_E);
    if (!r->n || !r->e) return false;
    if (!bPrivate) return true;
    r->d = GetBn(k, OSSL_PKEY_PARAM_RSA_D);
    r->p = GetBn(k, OSSL_PKEY_PARAM_RSA_FACTOR1);
    r->q = GetBn(k, OSSL_PKEY_PARAM_RSA_FACTOR2);
    r->dp = GetBn(k, OSSL_PKEY_PARAM_RSA_EXPONENT1);
    r->dq = GetBn(k, OSSL_PKEY_PARAM_RSA_EXPONENT2);
    r->qinv = GetBn(k, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    return r->d && r->p && r->q && r->dp && r->dq && r->qinv;
}

// The private numbers must be secure BIGNUMs (see GetSecretLe): the
// parameter array then keeps its copies of them in memory that
// OSSL_PARAM_free wipes.
EvpPkeyPtr BuildKey(const RsaParts& r, bool bPrivate) {
    tessaro::UniquePtr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!bld) return nullptr;
    bool ok = OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, r.n.get()) &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, r.e.get());
    if (ok && bPrivate)
        ok = OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, r.d.get()) &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, r.p.get()) &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, r.q.get()) &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, r.dp.get()) &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, r.dq.get()) &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, r.qinv.get());
    tessaro::UniquePtr<OSSL_PARAM> params(ok ? OSSL_PARAM_BLD_to_param(bld.get()) : nullptr);
    bld.reset();
    if (!params) return nullptr;
    EVP_PKEY* pk = nullptr;
    PkeyCtxPtr c(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (c && EVP_PKEY_fromdata_init(c.get()) == 1)
        EVP_PKEY_fromdata(c.get(), &pk, bPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get());
    return EvpPkeyPtr(pk);
}

bool PutLe(const BIGNUM* b, BYTE* out, size_t len) {
    return BN_bn2lebinpad(b, out, static_cast<int>(len)) == static_cast<int>(len);
}

BnPtr GetLe(const BYTE* p, size_t len) { return BnPtr(BN_lebin2bn(p, static_cast<int>(len), nullptr)); }

// A private number, kept in OpenSSL's secure memory.
BnPtr GetSecretLe(const BYTE* p, size_t len) {
    BnPtr b(BN_secure_new());
    if (b && !BN_lebin2bn(p, static_cast<int>(len), b.get())) b.reset();
    return b;
}

DWORD ModulusBytes(const CAsymmetricKey& k) { return (k.BitLength() + 7) / 8; }

bool IsRsaAlg(ALG_ID a) { return a == CALG_RSA_KEYX || a == CALG_RSA_SIGN; }

PkeyCtxPtr ContextFor(EVP_PKEY* k) { return PkeyCtxPtr(EVP_PKEY_CTX_new_from_pkey(nullptr, k, nullptr)); }

// PKCS#1 v1.5 encryption block 00 02 PS 00 M, big-endian, for the identity key.
CspStatus PadType2(const BYTE* m, size_t mlen, size_t k, SecureBytes* em) {
    if (k < 11 || mlen > k - 11) return CspCode(NTE_BAD_LEN);
    em->assign(k, 0);
    BYTE* e = em->data();
    e[1] = 2;
    size_t ps = k - mlen - 3;
    if (RAND_bytes(e + 2, static_cast<int>(ps)) != 1) return CspCode(NTE_FAIL);
    for (size_t i = 0; i < ps; ++i)
        if (!e[2 + i]) e[2 + i] = 1;
    if (mlen) memcpy(e + 3 + ps, m, mlen);
    return CSP_OK;
}

CspStatus UnpadType2(const SecureBytes& em, SecureBytes* m) {
    if (em.size() < 11 || em[0] != 0 || em[1] != 2) return CspCode(NTE_BAD_DATA);
    size_t i = 2;
    while (i < em.size() && em[i]) ++i;
    if (i == em.size() || i < 10) return CspCode(NTE_BAD_DATA);
    m->assign(em.begin() + static_cast<long>(i) + 1, em.end());
    return CSP_OK;
}

// Big-endian c < modulus.
bool BelowModulus(const CAsymmetricKey& k, const SecureBytes& c) {
    BnPtr n = GetBn(k.PublicPkey(), OSSL_PKEY_PARAM_RSA_N);
    BnPtr v(BN_bin2bn(c.data(), static_cast<int>(c.size()), nullptr));
    return n && v && BN_cmp(v.get(), n.get()) < 0;
}

bool IsIdentityKey(const EVP_PKEY* pk) {
    BnPtr e = GetBn(pk, OSSL_PKEY_PARAM_RSA_E);
    return e && BN_is_one(e.get());
}

// The numbers of a stored key in the form our encoder writes: a two-prime
// RSAPrivateKey of version 0 whose numbers are all positive and minimally
// encoded. Any such key OpenSSL reads, whatever the numbers.
struct Pkcs1Numbers {
    der::Element n, e;
};

bool ReadPkcs1(const SecureBytes& stored, Pkcs1Numbers* out) {
    der::Element seq;
    der::Error error;
    if (!der::ReadWhole(stored.data(), stored.size(), der::kTagSequence, &seq, &error)) return false;
    der::Reader r(seq);
    der::Element numbers[9];
    for (der::Element& x : numbers) {
        if (!r.Read(der::kTagInteger, &x) || x.len == 0 || (x.content[0] & 0x80)) return false;
        if (x.len > 1 && x.content[0] == 0 && !(x.content[1] & 0x80)) return false;
    }
    if (!r.ExpectEnd() || numbers[0].len != 1 || numbers[0].content[0] != 0) return false;
    *out = Pkcs1Numbers{numbers[1], numbers[2]};
    return true;
}

size_t SignificantBits(const der::Element& x) {
    size_t i = 0;
    while (i < x.len && x.content[i] == 0) ++i;
    if (i == x.len) return 0;
    size_t bits = (x.len - i - 1) * 8;
    for (BYTE top = x.content[i]; top; top >>= 1) ++bits;
    return bits;
}

// The RSAPublicKey of the stored key's modulus and exponent.
std::vector<BYTE> PublicPart(const Pkcs1Numbers& numbers) {
    std::vector<BYTE> content(numbers.n.header, numbers.n.end());
    content.insert(content.end(), numbers.e.header, numbers.e.end());
    std::vector<BYTE> out;
    der::AppendElement(out, der::kTagSequence, content);
    return out;
}

// A stored key pair as DecodeKeyPair reads it; null when it is no RSA pair.
EvpPkeyPtr ReadRsaPair(const SecureBytes& stored) {
    const unsigned char* p = stored.data();
    EvpPkeyPtr pk(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(stored.size())));
    if (!pk || EVP_PKEY_get_base_id(pk.get()) != EVP_PKEY_RSA) return nullptr;
    return pk;
}

// A stored key of that form: its modulus and exponent make the public key,
// the pair is read as DecodeKeyPair reads it.
class CStoredRsaPair : public CStoredKeyMaterial {
public:
    CStoredRsaPair(const SecureBytes& stored, const Pkcs1Numbers& numbers)
        : m_stored(stored), m_public(PublicPart(numbers)), m_bits(static_cast<DWORD>(SignificantBits(numbers.n))) {}
    DWORD BitLength() const override { return m_bits; }

protected:
    // Read as a public key blob is read, not built from parameters: a
    // process whose engine takes over RSA (OpenSSL's command line running the
    // PKCS#11 module) builds no key that way.
    EvpPkeyPtr MakePublic() const override {
        const unsigned char* p = m_public.data();
        return EvpPkeyPtr(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(m_public.size())));
    }
    EvpPkeyPtr MakePair() const override { return ReadRsaPair(m_stored); }

private:
    const SecureBytes m_stored;
    const std::vector<BYTE> m_public;
    const DWORD m_bits;
};

}  // namespace

// ---- RSA operations shared with the vendor code -----------------------------------------

CspStatus RsaEncryptLittleEndian(const CAsymmetricKey& key, const BYTE* pt, size_t n, bool bOaep, SecureBytes* out) {
    size_t kb = ModulusBytes(key);
    size_t max = bOaep ? (kb >= 42 ? kb - 42 : 0) : (kb >= 11 ? kb - 11 : 0);
    if (n > max) return CspCode(NTE_BAD_LEN);
    if (key.m_bIdentity) {
        if (bOaep) return CspCode(NTE_BAD_FLAGS);
        if (CspStatus st = PadType2(pt, n, kb, out)) return st;
    } else {
        PkeyCtxPtr c = ContextFor(key.PublicPkey());
        size_t outLen = kb;
        out->assign(kb, 0);
        if (!c || EVP_PKEY_encrypt_init(c.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(c.get(), bOaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_encrypt(c.get(), out->data(), &outLen, pt, n) != 1 || outLen != kb)
            return CspCode(NTE_FAIL);
    }
    ReverseBytes(out->data(), out->size());
    return CSP_OK;
}

CspStatus RsaDecryptLittleEndian(const CAsymmetricKey& key, const BYTE* ct, size_t n, bool bOaep, SecureBytes* out) {
    if (!key.HasPrivate()) return CspCode(NTE_BAD_KEY);
    size_t kb = ModulusBytes(key);
    if (n != kb) return CspCode(NTE_BAD_DATA);
    SecureBytes be(ct, ct + n);
    ReverseBytes(be.data(), be.size());
    if (key.m_bIdentity) {
        if (bOaep) return CspCode(NTE_BAD_FLAGS);
        if (!BelowModulus(key, be)) return CspCode(NTE_BAD_DATA);
        return UnpadType2(be, out);
    }
    PkeyCtxPtr c = ContextFor(key.Pkey());
    size_t outLen = kb;
    SecureBytes buf(kb);
    bool ok = c && EVP_PKEY_decrypt_init(c.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(c.get(), bOaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_decrypt(c.get(), buf.data(), &outLen, be.data(), be.size()) == 1;
    if (!ok) return CspCode(NTE_BAD_DATA);
    out->assign(buf.begin(), buf.begin() + static_cast<long>(outLen));
    return CSP_OK;
}

// ---- The provider ---------------------------------------------------------------------------

CRsaProvider::CRsaProvider(const CspProviderInfo& info, std::u16string family, bool bToken)
    : CCspProvider(info, std::move(family), TableFor(info.imagePath)), m_bToken(bToken) {}

CspStatus CRsaProvider::SetProvParam(CCspContext& ctx, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    // Token PINs are accepted as given: the emulated token has no PIN of its own.
    if (m_bToken && (dwParam == PP_KEYEXCHANGE_PIN || dwParam == PP_SIGNATURE_PIN)) {
        if (!pbData) return ERROR_INVALID_PARAMETER;
        return dwFlags ? CspCode(NTE_BAD_FLAGS) : CSP_OK;
    }
    return CCspProvider::SetProvParam(ctx, dwParam, pbData, dwFlags);
}

CspStatus CRsaProvider::GenKey(const ContextPtr& ctx, ALG_ID algid, DWORD dwFlags, KeyPtr* out) {
    const DWORD bits = dwFlags >> 16;
    const DWORD low = dwFlags & 0xFFFF;
    if (low & ~kCspKnownGenKeyFlags) return CspCode(NTE_BAD_FLAGS);
    DWORD spec = 0;
    ALG_ID keyAlg = algid;
    if (algid == AT_KEYEXCHANGE || algid == CALG_RSA_KEYX) {
        spec = AT_KEYEXCHANGE;
        keyAlg = CALG_RSA_KEYX;
    } else if (algid == AT_SIGNATURE || algid == CALG_RSA_SIGN) {
        spec = AT_SIGNATURE;
        keyAlg = CALG_RSA_SIGN;
    }
    const PROV_ENUMALGS_EX* a = FindAlgorithm(keyAlg);
    if (!a) return CspCode(NTE_BAD_ALGID);
    if (!spec) {
        size_t nb = CspSessionKeyBytes(keyAlg);
        if (GET_ALG_CLASS(keyAlg) != ALG_CLASS_DATA_ENCRYPT || !nb) return CspCode(NTE_BAD_ALGID);
        if (bits && bits != a->dwDefaultLen && bits != nb * 8) return CspCode(NTE_BAD_FLAGS);
        SecureBytes k(nb);
        if (RAND_bytes(k.data(), static_cast<int>(nb)) != 1) return CspCode(NTE_FAIL);
        CspSetDesParity(keyAlg, k);
        auto key = std::make_shared<CSymmetricKey>(ctx, keyAlg, k.data(), k.size());
        key->m_dwFlags = low;
        key->m_dwPermissions = CspDefaultPermissions(low);
        *out = key;
        return CSP_OK;
    }
    DWORD keyBits = bits ? bits : a->dwDefaultLen;
    if (keyBits < a->dwMinLen || keyBits > a->dwMaxLen || keyBits % 8) return CspCode(NTE_BAD_FLAGS);
    EVP_PKEY* generated = nullptr;
    PkeyCtxPtr c(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    bool ok = c && EVP_PKEY_keygen_init(c.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_keygen_bits(c.get(), static_cast<int>(keyBits)) == 1 &&
              EVP_PKEY_generate(c.get(), &generated) == 1;
    EvpPkeyPtr pk(generated);
    if (!ok) return CspCode(NTE_FAIL);
    auto key = std::make_shared<CAsymmetricKey>(ctx, keyAlg, std::move(pk), true);
    key->m_dwFlags = low;
    key->m_dwPermissions = CspDefaultPermissions(low);
    if (CspStatus st = SaveKeyPair(ctx, spec, key)) return st;
    *out = key;
    return CSP_OK;
}

CspStatus CRsaProvider::DecodeKeyPair(const ContextPtr& ctx, const CContainerKeyRecord& rec,
                                      std::shared_ptr<CAsymmetricKey>* out) {
    EvpPkeyPtr pk = ReadRsaPair(rec.privateKey);
    if (!pk) return CspCode(NTE_KEYSET_ENTRY_BAD);
    const bool bIdentity = IsIdentityKey(pk.get());
    *out = std::make_shared<CAsymmetricKey>(ctx, rec.aiKeyAlg, std::move(pk), true);
    (*out)->m_bIdentity = bIdentity;
    return CSP_OK;
}

std::shared_ptr<CAsymmetricKey> CRsaProvider::StoredKeyPair(const ContextPtr& ctx, const CContainerKeyRecord& rec) {
    Pkcs1Numbers numbers;
    if (!ReadPkcs1(rec.privateKey, &numbers)) return nullptr;
    auto stored = std::make_shared<CStoredRsaPair>(rec.privateKey, numbers);
    auto key = std::make_shared<CAsymmetricKey>(ctx, rec.aiKeyAlg, std::move(stored));
    key->m_bIdentity = numbers.e.len == 1 && numbers.e.content[0] == 1;
    return key;
}

// ---- Export --------------------------------------------------------------------------------

CspStatus CRsaProvider::ExportKey(CCspKey& key, CCspKey* expKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                                  DWORD* pdwDataLen) {
    if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
    if (dwFlags & ~static_cast<DWORD>(CRYPT_OAEP)) return CspCode(NTE_BAD_FLAGS);
    if ((dwFlags & CRYPT_OAEP) && dwBlobType != SIMPLEBLOB) return CspCode(NTE_BAD_FLAGS);
    SecureBytes b;
    BlobWriter w(b);
    switch (dwBlobType) {
        case PUBLICKEYBLOB:
        case PRIVATEKEYBLOB: {
            if (key.IsSymmetric()) return CspCode(NTE_BAD_KEY);
            auto& k = static_cast<CAsymmetricKey&>(key);
            if (!IsRsaAlg(k.AlgId())) return CspCode(NTE_BAD_KEY);
            if (expKey) return CspCode(NTE_BAD_KEY);  // encrypted private-key blobs are not offered
            bool bPrivate = dwBlobType == PRIVATEKEYBLOB;
            if (bPrivate && !k.HasPrivate()) return CspCode(NTE_BAD_KEY);
            if (bPrivate && !(k.m_dwPermissions & CRYPT_EXPORT)) return CspCode(NTE_BAD_KEY_STATE);
            DWORD bits = k.BitLength();
            DWORD total = static_cast<DWORD>(RsaBlobSize(bits, bPrivate));
            if (auto answer = CspSizeAnswer(total, pbData, *pdwDataLen, pdwDataLen)) return *answer;
            RsaParts r;
            if (!GetParts(bPrivate ? k.Pkey() : k.PublicPkey(), bPrivate, &r)) return CspCode(NTE_BAD_KEY);
            if (BN_num_bits(r.e.get()) > 32) return CspCode(NTE_BAD_KEY);
            w.Header(MakeBlobHeader(static_cast<BYTE>(dwBlobType), k.AlgId()));
            const DWORD magic = bPrivate ? RSA2_MAGIC : RSA1_MAGIC;
            w.RsaPubKey(RSAPUBKEY{magic, bits, static_cast<DWORD>(BN_get_word(r.e.get()))});
            bool ok = PutLe(r.n.get(), w.Grow(FullBytes(bits)), FullBytes(bits));
            for (size_t i = 0; ok && bPrivate && i < std::size(kPrivateFields); ++i) {
                size_t len = kPrivateFields[i].bHalf ? HalfBytes(bits) : FullBytes(bits);
                ok = PutLe((r.*kPrivateFields[i].part).get(), w.Grow(len), len);
            }
            return ok ? CspCopyOut(b.data(), total, pbData, pdwDataLen) : CspCode(NTE_BAD_KEY);
        }
        case SIMPLEBLOB: {
            if (!key.IsSymmetric()) return CspCode(NTE_BAD_KEY);
            auto& k = static_cast<CSymmetricKey&>(key);
            if (!(k.m_dwPermissions & CRYPT_EXPORT)) return CspCode(NTE_BAD_KEY_STATE);
            if (!expKey || expKey->IsSymmetric()) return CspCode(NTE_BAD_PUBLIC_KEY);
            auto& wrap = static_cast<CAsymmetricKey&>(*expKey);
            if (!IsRsaAlg(wrap.AlgId())) return CspCode(NTE_BAD_PUBLIC_KEY);
            DWORD total = static_cast<DWORD>(kBlobHeaderSize + kBlobDwordSize + ModulusBytes(wrap));
            if (auto answer = CspSizeAnswer(total, pbData, *pdwDataLen, pdwDataLen)) return *answer;
            SecureBytes ct;
            if (CspStatus st = RsaEncryptLittleEndian(wrap, k.m_key.data(), k.m_key.size(), dwFlags & CRYPT_OAEP, &ct))
                return st;
            w.Header(MakeBlobHeader(SIMPLEBLOB, k.AlgId()));
            w.Dword(CALG_RSA_KEYX);
            w.Append(ct.data(), ct.size());
            return CspCopyOut(b.data(), static_cast<DWORD>(b.size()), pbData, pdwDataLen);
        }
        case PLAINTEXTKEYBLOB: {
            if (!key.IsSymmetric()) return CspCode(NTE_BAD_KEY);
            if (expKey) return CspCode(NTE_BAD_KEY);
            auto& k = static_cast<CSymmetricKey&>(key);
            if (!(k.m_dwPermissions & CRYPT_EXPORT)) return CspCode(NTE_BAD_KEY_STATE);
            w.Header(MakeBlobHeader(PLAINTEXTKEYBLOB, k.AlgId()));
            w.Dword(static_cast<DWORD>(k.m_key.size()));
            w.Append(k.m_key.data(), k.m_key.size());
            return CspCopyOut(b.data(), static_cast<DWORD>(b.size()), pbData, pdwDataLen);
        }
        default:
            return CspCode(NTE_BAD_TYPE);
    }
}

// ---- Import ---------------------------------------------------------------------------------

CspStatus CRsaProvider::ImportRsaBlob(const ContextPtr& ctx, const BYTE* pb, DWORD len, DWORD dwFlags, KeyPtr* out) {
    BlobReader rd(pb, len);
    BLOBHEADER h;
    RSAPUBKEY rk;
    if (!rd.Header(&h) || !rd.RsaPubKey(&rk)) return CspCode(NTE_BAD_DATA);
    const bool bPrivate = h.bType == PRIVATEKEYBLOB;
    const ALG_ID alg = h.aiKeyAlg;
    if (!IsRsaAlg(alg)) return CspCode(NTE_BAD_DATA);
    if (rk.magic != (bPrivate ? RSA2_MAGIC : RSA1_MAGIC)) return CspCode(NTE_BAD_DATA);
    const DWORD bits = rk.bitlen;
    const PROV_ENUMALGS_EX* a = FindAlgorithm(alg);
    if (!a) return CspCode(NTE_BAD_DATA);
    if (bits < 384 || bits > a->dwMaxLen || bits % 8) return CspCode(NTE_BAD_DATA);
    if (len != RsaBlobSize(bits, bPrivate)) return CspCode(NTE_BAD_DATA);
    if (rk.pubexp == 0) return CspCode(NTE_BAD_DATA);
    RsaParts r;
    const BYTE* field = nullptr;
    rd.Take(FullBytes(bits), &field);
    r.n = GetLe(field, FullBytes(bits));
    r.e.reset(BN_new());
    if (!r.n || !r.e || !BN_set_word(r.e.get(), rk.pubexp)) return CspCode(NTE_NO_MEMORY);
    if (BN_is_zero(r.n.get()) || !BN_is_odd(r.n.get())) return CspCode(NTE_BAD_DATA);
    if (bPrivate) {
        for (const PrivateField& f : kPrivateFields) {
            size_t n = f.bHalf ? HalfBytes(bits) : FullBytes(bits);
            rd.Take(n, &field);
            if (!(r.*f.part = GetSecretLe(field, n))) return CspCode(NTE_NO_MEMORY);
        }
        // The primes must make the modulus; the private exponent lies below it.
        BnPtr prod(BN_new());
        tessaro::UniquePtr<BN_CTX> bctx(BN_CTX_new());
        if (!prod || !bctx || BN_mul(prod.get(), r.p.get(), r.q.get(), bctx.get()) != 1)
            return CspCode(NTE_NO_MEMORY);
        if (BN_cmp(prod.get(), r.n.get()) != 0 || BN_is_zero(r.d.get()) || BN_cmp(r.d.get(), r.n.get()) >= 0)
            return CspCode(NTE_BAD_DATA);
        // An exponent-one key must be one throughout: e = d = 1.
        if (BN_is_one(r.e.get()) != BN_is_one(r.d.get())) return CspCode(NTE_BAD_DATA);
    }
    EvpPkeyPtr pk = BuildKey(r, bPrivate);
    if (!pk) return CspCode(NTE_BAD_DATA);
    auto key = std::make_shared<CAsymmetricKey>(ctx, alg, std::move(pk), bPrivate);
    key->m_bIdentity = rk.pubexp == 1;
    key->m_dwFlags = dwFlags & 0xFFFF;
    key->m_dwPermissions = CspDefaultPermissions(bPrivate ? dwFlags : 0) | (bPrivate ? 0 : CRYPT_EXPORT);
    if (bPrivate) {
        if (CspStatus st = SaveKeyPair(ctx, alg == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE, key)) return st;
    }
    *out = key;
    return CSP_OK;
}

CspStatus CRsaProvider::ImportSessionKey(const ContextPtr& ctx, ALG_ID alg, const BYTE* key, size_t n, DWORD dwFlags,
                                         KeyPtr* out) {
    const PROV_ENUMALGS_EX* a = FindAlgorithm(alg);
    size_t nb = CspSessionKeyBytes(alg);
    if (!a || !nb || GET_ALG_CLASS(alg) != ALG_CLASS_DATA_ENCRYPT) return CspCode(NTE_BAD_ALGID);
    if (n != nb) return CspCode(NTE_BAD_DATA);
    auto k = std::make_shared<CSymmetricKey>(ctx, alg, key, n);
    k->m_dwFlags = dwFlags & 0xFFFF;
    k->m_dwPermissions = CspDefaultPermissions(dwFlags);
    *out = k;
    return CSP_OK;
}

CspStatus CRsaProvider::ImportKey(const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen, CCspKey* pubKey,
                                  DWORD dwFlags, KeyPtr* out) {
    if (!pbData) return ERROR_INVALID_PARAMETER;
    const DWORD known = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_NO_SALT | CRYPT_OAEP | CRYPT_ARCHIVABLE |
                        CRYPT_FORCE_KEY_PROTECTION_HIGH | CRYPT_IPSEC_HMAC_KEY;
    if (dwFlags & ~known) return CspCode(NTE_BAD_FLAGS);
    BlobReader rd(pbData, dwDataLen);
    BLOBHEADER h;
    if (!rd.Header(&h)) return CspCode(NTE_BAD_DATA);
    if (h.bType != PUBLICKEYBLOB && h.bType != PRIVATEKEYBLOB && h.bType != SIMPLEBLOB &&
        h.bType != PLAINTEXTKEYBLOB)
        return CspCode(NTE_BAD_TYPE);
    if (h.bVersion != CUR_BLOB_VERSION) return CspCode(NTE_BAD_VER);
    switch (h.bType) {
        case PUBLICKEYBLOB:
        case PRIVATEKEYBLOB:
            if (pubKey) return CspCode(NTE_BAD_KEY);  // encrypted private-key blobs are not offered
            return ImportRsaBlob(ctx, pbData, dwDataLen, dwFlags, out);
        case PLAINTEXTKEYBLOB: {
            // BLOBHEADER, the key's size, the key.
            if (pubKey) return CspCode(NTE_BAD_KEY);
            DWORD n = 0;
            const BYTE* plain = nullptr;
            if (!rd.Dword(&n) || n != rd.Left() || !rd.Take(n, &plain)) return CspCode(NTE_BAD_DATA);
            return ImportSessionKey(ctx, h.aiKeyAlg, plain, n, dwFlags, out);
        }
        default: {  // SIMPLEBLOB: BLOBHEADER, the wrapping algorithm, the wrapped key.
            DWORD wrapAlg = 0;
            if (!rd.Dword(&wrapAlg)) return CspCode(NTE_BAD_DATA);
            ALG_ID alg = h.aiKeyAlg;
            const PROV_ENUMALGS_EX* a = FindAlgorithm(alg);
            if (!a || !CspSessionKeyBytes(alg)) return CspCode(NTE_BAD_ALGID);
            if (wrapAlg != CALG_RSA_KEYX) return CspCode(NTE_BAD_ALGID);
            // Without a key handle the container's exchange key unwraps.
            std::shared_ptr<CAsymmetricKey> own;
            const CAsymmetricKey* wrap = nullptr;
            if (pubKey) {
                if (pubKey->IsSymmetric()) return CspCode(NTE_BAD_KEY);
                wrap = static_cast<CAsymmetricKey*>(pubKey);
            } else {
                if (CspStatus st = LoadKeyPair(ctx, AT_KEYEXCHANGE, &own)) return st;
                wrap = own.get();
            }
            if (!IsRsaAlg(wrap->AlgId()) || !wrap->HasPrivate()) return CspCode(NTE_BAD_KEY);
            const size_t n = rd.Left();
            const BYTE* wrapped = nullptr;
            if (n != ModulusBytes(*wrap) || !rd.Take(n, &wrapped)) return CspCode(NTE_BAD_DATA);
            SecureBytes plain;
            if (CspStatus st = RsaDecryptLittleEndian(*wrap, wrapped, n, dwFlags & CRYPT_OAEP, &plain)) return st;
            return ImportSessionKey(ctx, alg, plain.data(), plain.size(), dwFlags, out);
        }
    }
}

// ---- Encryption --------------------------------------------------------------------------------

CspStatus CRsaProvider::Encrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                                DWORD* pdwDataLen, DWORD dwBufLen) {
    if (key.IsSymmetric()) return CCspProvider::Encrypt(key, hash, bFinal, dwFlags, pbData, pdwDataLen, dwBufLen);
    if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
    if (dwFlags & ~static_cast<DWORD>(CRYPT_OAEP)) return CspCode(NTE_BAD_FLAGS);
    auto& k = static_cast<CAsymmetricKey&>(key);
    if (!IsRsaAlg(k.AlgId())) return CspCode(NTE_BAD_KEY);
    DWORD kb = ModulusBytes(k);
    DWORD len = *pdwDataLen;
    if (auto answer = CspSizeAnswer(kb, pbData, dwBufLen, pdwDataLen)) return *answer;
    SecureBytes ct;
    if (CspStatus st = RsaEncryptLittleEndian(k, pbData, len, dwFlags & CRYPT_OAEP, &ct)) return st;
    if (hash) {
        if (CspStatus st = hash->Update(pbData, len)) return st;
    }
    memcpy(pbData, ct.data(), kb);
    *pdwDataLen = kb;
    return CSP_OK;
}

CspStatus CRsaProvider::Decrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                                DWORD* pdwDataLen) {
    if (key.IsSymmetric()) return CCspProvider::Decrypt(key, hash, bFinal, dwFlags, pbData, pdwDataLen);
    if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
    if (dwFlags & ~static_cast<DWORD>(CRYPT_OAEP)) return CspCode(NTE_BAD_FLAGS);
    if (!pbData) return ERROR_INVALID_PARAMETER;
    auto& k = static_cast<CAsymmetricKey&>(key);
    if (!IsRsaAlg(k.AlgId())) return CspCode(NTE_BAD_KEY);
    if (!(k.m_dwPermissions & CRYPT_DECRYPT)) return CspCode(NTE_PERM);
    SecureBytes plain;
    if (CspStatus st = RsaDecryptLittleEndian(k, pbData, *pdwDataLen, dwFlags & CRYPT_OAEP, &plain)) return st;
    if (hash) {
        if (CspStatus st = hash->Update(plain.data(), plain.size())) return st;
    }
    if (!plain.empty()) memcpy(pbData, plain.data(), plain.size());
    *pdwDataLen = static_cast<DWORD>(plain.size());
    return CSP_OK;
}

// ---- Signatures --------------------------------------------------------------------------------

CspStatus CRsaProvider::SignHash(CCspHash& hash, DWORD dwKeySpec, DWORD dwFlags, BYTE* pbSignature,
                                 DWORD* pdwSigLen) {
    if (!pdwSigLen) return ERROR_INVALID_PARAMETER;
    if (dwFlags & ~static_cast<DWORD>(CRYPT_NOHASHOID)) return CspCode(NTE_BAD_FLAGS);
    std::shared_ptr<CAsymmetricKey> key;
    if (CspStatus st = LoadKeyPair(hash.Context(), dwKeySpec, &key)) return st;
    if (key->m_bIdentity) return CspCode(NTE_BAD_KEY);  // its "signature" would be its own padding
    DWORD kb = ModulusBytes(*key);
    if (auto answer = CspSizeAnswer(kb, pbSignature, *pdwSigLen, pdwSigLen)) return *answer;
    const EVP_MD* md = CspDigestOf(hash.AlgId());
    if (!md) return CspCode(NTE_BAD_ALGID);
    if (CspStatus st = hash.Finish()) return st;
    const std::vector<BYTE>& digest = hash.Value();
    PkeyCtxPtr c = ContextFor(key->Pkey());
    size_t sigLen = kb;
    std::vector<BYTE> sig(kb);
    bool ok = c && EVP_PKEY_sign_init(c.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(c.get(), RSA_PKCS1_PADDING) == 1 &&
              ((dwFlags & CRYPT_NOHASHOID) || EVP_PKEY_CTX_set_signature_md(c.get(), md) == 1) &&
              EVP_PKEY_sign(c.get(), sig.data(), &sigLen, digest.data(), digest.size()) == 1 && sigLen == kb;
    if (!ok) return CspCode(NTE_FAIL);
    ReverseBytes(sig.data(), sig.size());
    memcpy(pbSignature, sig.data(), kb);
    *pdwSigLen = kb;
    return CSP_OK;
}

CspStatus CRsaProvider::VerifySignature(CCspHash& hash, const BYTE* pbSignature, DWORD dwSigLen, CCspKey& pubKey,
                                        DWORD dwFlags) {
    if (!pbSignature) return ERROR_INVALID_PARAMETER;
    if (dwFlags & ~static_cast<DWORD>(CRYPT_NOHASHOID)) return CspCode(NTE_BAD_FLAGS);
    if (pubKey.IsSymmetric()) return CspCode(NTE_BAD_KEY);
    auto& k = static_cast<CAsymmetricKey&>(pubKey);
    if (!IsRsaAlg(k.AlgId()) || k.m_bIdentity) return CspCode(NTE_BAD_KEY);
    const EVP_MD* md = CspDigestOf(hash.AlgId());
    if (!md) return CspCode(NTE_BAD_ALGID);
    if (dwSigLen != ModulusBytes(k)) return CspCode(NTE_BAD_SIGNATURE);
    if (CspStatus st = hash.Finish()) return st;
    std::vector<BYTE> sig(pbSignature, pbSignature + dwSigLen);
    ReverseBytes(sig.data(), sig.size());
    PkeyCtxPtr c = ContextFor(k.PublicPkey());
    const std::vector<BYTE>& digest = hash.Value();
    bool ok = c && EVP_PKEY_verify_init(c.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(c.get(), RSA_PKCS1_PADDING) == 1 &&
              ((dwFlags & CRYPT_NOHASHOID) || EVP_PKEY_CTX_set_signature_md(c.get(), md) == 1) &&
              EVP_PKEY_verify(c.get(), sig.data(), sig.size(), digest.data(), digest.size()) == 1;
    return ok ? CSP_OK : CspCode(NTE_BAD_SIGNATURE);
}

// ---- CNG-style operations: big-endian, PKCS#1 v1.5, PSS and OAEP -----------------------------

CspStatus CRsaProvider::CurrentPair(CCspKey& key, std::shared_ptr<CAsymmetricKey>* out) {
    if (key.IsSymmetric()) return CspCode(NTE_BAD_KEY);
    auto& k = static_cast<CAsymmetricKey&>(key);
    if (!IsRsaAlg(k.AlgId()) || !k.HasPrivate()) return CspCode(NTE_BAD_KEY);
    if (k.m_dwKeySpec && k.Context()->HasContainer()) {
        if (CspStatus st = LoadKeyPair(k.Context(), k.m_dwKeySpec, out)) return st;
    } else {
        *out = std::static_pointer_cast<CAsymmetricKey>(k.Clone());
    }
    // The exponent-one key's "signature" would be its own padding.
    if ((*out)->m_bIdentity || !IsRsaAlg((*out)->AlgId())) return CspCode(NTE_BAD_KEY);
    return CSP_OK;
}

CspStatus CRsaProvider::SignPadded(CCspKey& key, const CspPadding& pad, const BYTE* pbHash, DWORD cbHash,
                                   BYTE* pbSignature, DWORD* pcbSignature) {
    std::shared_ptr<CAsymmetricKey> k;
    if (CspStatus st = CurrentPair(key, &k)) return st;
    const DWORD kb = ModulusBytes(*k);
    const EVP_MD* md = pad.hashAlg ? CspDigestOf(pad.hashAlg) : nullptr;
    if (pad.hashAlg && !md) return CspCode(NTE_BAD_ALGID);
    const DWORD hashLen = md ? static_cast<DWORD>(EVP_MD_get_size(md)) : cbHash;
    if (md && cbHash != hashLen) return CspCode(NTE_BAD_LEN);
    if (pad.scheme == BCRYPT_PAD_PKCS1 && !md && cbHash + 11 > kb) return CspCode(NTE_BAD_LEN);
    if (pad.scheme == BCRYPT_PAD_PSS) {
        const DWORD emLen = (k->BitLength() - 1 + 7) / 8;
        if (static_cast<uint64_t>(hashLen) + pad.saltBytes + 2 > emLen) return CspCode(NTE_INVALID_PARAMETER);
    }
    if (auto answer = CspSizeAnswer(kb, pbSignature, *pcbSignature, pcbSignature)) return *answer;
    PkeyCtxPtr c = ContextFor(k->Pkey());
    size_t sigLen = kb;
    std::vector<BYTE> sig(kb);
    bool ok = c && EVP_PKEY_sign_init(c.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(c.get(), pad.scheme == BCRYPT_PAD_PSS ? RSA_PKCS1_PSS_PADDING
                                                                                : RSA_PKCS1_PADDING) == 1 &&
              (!md || EVP_PKEY_CTX_set_signature_md(c.get(), md) == 1);
    if (ok && pad.scheme == BCRYPT_PAD_PSS)
        ok = EVP_PKEY_CTX_set_rsa_pss_saltlen(c.get(), static_cast<int>(pad.saltBytes)) == 1 &&
             EVP_PKEY_CTX_set_rsa_mgf1_md(c.get(), md) == 1;
    ok = ok && EVP_PKEY_sign(c.get(), sig.data(), &sigLen, pbHash, cbHash) == 1 && sigLen == kb;
    if (!ok) return CspCode(CspOpenSslFailed(NTE_FAIL));
    memcpy(pbSignature, sig.data(), kb);
    *pcbSignature = kb;
    return CSP_OK;
}

CspStatus CRsaProvider::DecryptPadded(CCspKey& key, const CspPadding& pad, const BYTE* pbInput, DWORD cbInput,
                                      BYTE* pbOutput, DWORD* pcbOutput) {
    std::shared_ptr<CAsymmetricKey> k;
    if (CspStatus st = CurrentPair(key, &k)) return st;
    if (!(k->m_dwPermissions & CRYPT_DECRYPT)) return CspCode(NTE_PERM);
    const DWORD kb = ModulusBytes(*k);
    if (cbInput != kb) return CspCode(NTE_BAD_LEN);
    const EVP_MD* md = pad.hashAlg ? CspDigestOf(pad.hashAlg) : nullptr;
    if (pad.scheme == BCRYPT_PAD_OAEP && !md) return CspCode(NTE_BAD_ALGID);
    PkeyCtxPtr c = ContextFor(k->Pkey());
    bool ok = c && EVP_PKEY_decrypt_init(c.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(c.get(), pad.scheme == BCRYPT_PAD_OAEP ? RSA_PKCS1_OAEP_PADDING
                                                                                 : RSA_PKCS1_PADDING) == 1;
    if (ok && pad.scheme == BCRYPT_PAD_OAEP) {
        ok = EVP_PKEY_CTX_set_rsa_oaep_md(c.get(), md) == 1 && EVP_PKEY_CTX_set_rsa_mgf1_md(c.get(), md) == 1;
        if (ok && !pad.label.empty()) {
            // OpenSSL takes the label's buffer over.
            unsigned char* label = static_cast<unsigned char*>(OPENSSL_memdup(pad.label.data(), pad.label.size()));
            ok = label && EVP_PKEY_CTX_set0_rsa_oaep_label(c.get(), label, static_cast<int>(pad.label.size())) == 1;
            if (!ok) OPENSSL_free(label);
        }
    }
    if (!ok) return CspCode(CspOpenSslFailed(NTE_FAIL));
    SecureBytes plain(kb);
    size_t plainLen = kb;
    if (EVP_PKEY_decrypt(c.get(), plain.data(), &plainLen, pbInput, cbInput) != 1)
        return CspCode(CspOpenSslFailed(NTE_BAD_DATA));
    return CspCopyOut(plain.data(), static_cast<DWORD>(plainLen), pbOutput, pcbOutput);
}

// ---- Public key info -----------------------------------------------------------------------------

CspStatus CRsaProvider::ExportPublicKeyInfo(const ContextPtr& ctx, DWORD dwKeySpec, std::string* oid,
                                            std::vector<BYTE>* params, std::vector<BYTE>* keyBits) {
    std::shared_ptr<CAsymmetricKey> key;
    if (CspStatus st = OpenKeyPair(ctx, dwKeySpec, &key)) return st;
    unsigned char* der = nullptr;
    EVP_PKEY* pub = key->PublicPkey();
    int n = pub ? i2d_PublicKey(pub, &der) : 0;
    if (n <= 0) return CspCode(NTE_BAD_KEY);
    tessaro::OpenSslBuffer<unsigned char> hold(der);
    keyBits->assign(der, der + n);
    *oid = szOID_RSA_RSA;
    *params = {0x05, 0x00};
    return CSP_OK;
}

CspStatus CRsaProvider::ImportPublicKeyInfo(const ContextPtr& ctx, const CERT_PUBLIC_KEY_INFO& info, KeyPtr* out) {
    if (!info.Algorithm.pszObjId || strcmp(info.Algorithm.pszObjId, szOID_RSA_RSA) != 0)
        return CspCode(NTE_BAD_ALGID);
    if (!info.PublicKey.pbData || !info.PublicKey.cbData || info.PublicKey.cUnusedBits)
        return CspCode(NTE_BAD_DATA);
    const unsigned char* p = info.PublicKey.pbData;
    EvpPkeyPtr pk(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(info.PublicKey.cbData)));
    if (!pk || p != info.PublicKey.pbData + info.PublicKey.cbData) return CspCode(NTE_BAD_DATA);
    bool bIdentity = IsIdentityKey(pk.get());
    auto key = std::make_shared<CAsymmetricKey>(ctx, CALG_RSA_KEYX, std::move(pk), false);
    key->m_bIdentity = bIdentity;
    key->m_dwPermissions = CspDefaultPermissions(CRYPT_EXPORTABLE);
    *out = key;
    return CSP_OK;
}

// ---- The vendor RSA token provider ------------------------------------------------------------------

CspStatus CRsaTokenProvider::ImportKey(const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen, CCspKey* pubKey,
                                       DWORD dwFlags, KeyPtr* out) {
    if (pbData && IsVendorImportBlob(pbData, dwDataLen)) {
        if (pubKey) return CspCode(NTE_BAD_KEY);
        if (dwFlags & ~static_cast<DWORD>(CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_ARCHIVABLE))
            return CspCode(NTE_BAD_FLAGS);
        std::shared_ptr<CAsymmetricKey> exchange;
        if (CspStatus st = LoadKeyPair(ctx, AT_KEYEXCHANGE, &exchange)) return st;
        if (exchange->m_bIdentity) return CspCode(NTE_BAD_KEY);
        EvpPkeyPtr opened;
        HRESULT hr = ImportRsaVendorBlob(exchange->Pkey(), pbData, dwDataLen, opened);
        if (FAILED(hr)) return CspCode(hr);
        if (!opened) return CspCode(NTE_FAIL);
        auto key = std::make_shared<CAsymmetricKey>(ctx, CALG_RSA_KEYX, std::move(opened), true);
        key->m_dwFlags = dwFlags & 0xFFFF;
        key->m_dwPermissions = CspDefaultPermissions(dwFlags);
        if (CspStatus st = SaveKeyPair(ctx, AT_KEYEXCHANGE, key)) return st;
        *out = key;
        return CSP_OK;
    }
    return CRsaProvider::ImportKey(ctx, pbData, dwDataLen, pubKey, dwFlags, out);
}

ProviderPtr CreateMicrosoftRsaProvider(const CspProviderInfo& info) {
    return std::make_shared<CRsaProvider>(info, CSP_FAMILY_MICROSOFT_RSA, false);
}

ProviderPtr CreateRsaTokenProvider(const CspProviderInfo& info) { return std::make_shared<CRsaTokenProvider>(info); }

}  // namespace tessaro::csp
