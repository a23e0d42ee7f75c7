#include "platform/csp/Sm2Provider.h"

#include <cstring>

#include "platform/csp/Sm2Certificate.h"
#include "platform/csp/VendorBlob.h"

namespace tessaro::csp {

namespace {

// Flags a key keeps from CryptGenKey / CryptImportKey.
constexpr DWORD kKeptKeyFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_ARCHIVABLE;

const char kOidEcPublicKey[] = "1.2.840.10045.2.1";
const BYTE kSm2CurveOidDer[] = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};

PROV_ENUMALGS_EX MakeAlg(ALG_ID algid, DWORD bits, const char* name, const char* longName) {
    return CspAlgorithm(algid, bits, bits, bits, 0, name, longName);
}

std::vector<PROV_ENUMALGS_EX> Sm2Algorithms() {
    return {MakeAlg(CALG_SM2_SIGN, kSm2KeyBits, "SM2_SIGN", "SM2 Signature Algorithm"),
            MakeAlg(CALG_SM2_KEYX, kSm2KeyBits, "SM2_KEYX", "SM2 Key Exchange Algorithm"),
            MakeAlg(CALG_SM3, kSm2KeyBits, "SM3", "SM3 Hash Algorithm")};
}

DWORD SpecOfAlg(ALG_ID algid) {
    if (algid == CALG_SM2_KEYX) return AT_KEYEXCHANGE;
    if (algid == CALG_SM2_SIGN) return AT_SIGNATURE;
    return 0;
}

ALG_ID AlgOfSpec(DWORD spec) { return spec == AT_KEYEXCHANGE ? CALG_SM2_KEYX : CALG_SM2_SIGN; }

CAsymmetricKey* AsSm2Key(CCspKey& key) {
    auto* a = dynamic_cast<CAsymmetricKey*>(&key);
    if (!a || !a->PublicPkey() || SpecOfAlg(a->AlgId()) == 0) return nullptr;
    return a;
}

// A stored scalar and point (Sm2StoredPairIsSound): the point alone makes the
// public key, the pair is read as DecodeKeyPair reads it.
class CStoredSm2Pair : public CStoredKeyMaterial {
public:
    explicit CStoredSm2Pair(const SecureBytes& stored) : m_stored(stored) {}
    DWORD BitLength() const override { return kSm2KeyBits; }

protected:
    EvpPkeyPtr MakePublic() const override {
        EvpPkeyPtr pkey;
        Sm2PublicFromSerialized(m_stored.data() + kSm2StoredPointOffset, 65, pkey);
        return pkey;
    }
    EvpPkeyPtr MakePair() const override {
        EvpPkeyPtr pkey;
        Sm2KeyFromStoredPair(m_stored.data(), m_stored.size(), pkey);
        return pkey;
    }

private:
    const SecureBytes m_stored;
};

// Key objects made here get the permissions a container key gets when it is
// read back, so a fresh key and a reopened one behave alike.
std::shared_ptr<CAsymmetricKey> MakeKey(const ContextPtr& ctx, ALG_ID algid, EvpPkeyPtr pkey, bool bPrivate,
                                        DWORD dwFlags = 0) {
    auto k = std::make_shared<CAsymmetricKey>(ctx, algid, std::move(pkey), bPrivate);
    k->m_dwFlags = dwFlags & kKeptKeyFlags;
    k->m_dwPermissions = CRYPT_ENCRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC |
                         (bPrivate ? CRYPT_DECRYPT : 0) |
                         (!bPrivate || (dwFlags & CRYPT_EXPORTABLE) ? CRYPT_EXPORT : 0);
    return k;
}

}  // namespace

// ---- SM3 hash object ----------------------------------------------------------

CSm3Hash::CSm3Hash(ContextPtr ctx) : CCspHash(std::move(ctx), CALG_SM3, EVP_sm3()) {}

CspStatus CSm3Hash::Update(const BYTE* p, size_t n) {
    CspStatus st = CCspHash::Update(p, n);
    if (st == CSP_OK && n) m_message.insert(m_message.end(), p, p + n);
    return st;
}

CspStatus CSm3Hash::SetValue(const BYTE* p) {
    CspStatus st = CCspHash::SetValue(p);
    if (st == CSP_OK) m_bValueSet = true;
    return st;
}

// ---- provider -----------------------------------------------------------------

CSm2TokenProvider::CSm2TokenProvider(const CspProviderInfo& info)
    : CCspProvider(info, CSP_FAMILY_SM2_TOKEN, Sm2Algorithms()) {}

CspStatus CSm2TokenProvider::GenKey(const ContextPtr& ctx, ALG_ID algid, DWORD dwFlags, KeyPtr* out) {
    DWORD spec = algid == AT_KEYEXCHANGE ? AT_KEYEXCHANGE : algid == AT_SIGNATURE ? AT_SIGNATURE : SpecOfAlg(algid);
    if (spec == 0) return CspCode(NTE_BAD_ALGID);
    DWORD bits = dwFlags >> 16;
    if (bits != 0 && bits != kSm2KeyBits) return CspCode(NTE_BAD_FLAGS);
    // Accepted as the RSA providers accept them; the salt and protection
    // flags mean nothing for SM2 and are not kept.
    if ((dwFlags & 0xFFFF) & ~kCspKnownGenKeyFlags) return CspCode(NTE_BAD_FLAGS);

    EvpPkeyPtr pkey;
    HRESULT hr = Sm2GenerateKey(pkey);
    if (FAILED(hr)) return CspCode(hr);
    auto key = MakeKey(ctx, AlgOfSpec(spec), std::move(pkey), true, dwFlags);
    key->m_dwKeySpec = spec;
    CspStatus st = SaveKeyPair(ctx, spec, key);
    if (st != CSP_OK) return st;
    *out = key;
    return CSP_OK;
}

// The vendor blob: the private key arrives encrypted for the container's
// exchange key and, once it decrypts and checks out, replaces that key (and
// the certificate that went with it). Any failure leaves the container as is.
CspStatus CSm2TokenProvider::ImportVendorBlob(const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen,
                                              DWORD dwFlags, KeyPtr* out) {
    std::shared_ptr<CAsymmetricKey> exchange;
    CspStatus st = LoadKeyPair(ctx, AT_KEYEXCHANGE, &exchange);
    if (st != CSP_OK) return st;
    if (!exchange || !exchange->HasPrivate()) return CspCode(NTE_NO_KEY);
    EvpPkeyPtr opened;
    HRESULT hr = ImportSm2VendorBlob(exchange->Pkey(), pbData, dwDataLen, opened);
    if (FAILED(hr)) return CspCode(hr);
    auto key = MakeKey(ctx, CALG_SM2_KEYX, std::move(opened), true, dwFlags);
    st = SaveKeyPair(ctx, AT_KEYEXCHANGE, key);
    if (st != CSP_OK) return st;
    *out = key;
    return CSP_OK;
}

CspStatus CSm2TokenProvider::ExportKey(CCspKey& key, CCspKey* expKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                                       DWORD* pdwDataLen) {
    CAsymmetricKey* k = AsSm2Key(key);
    if (!k) return CspCode(NTE_BAD_KEY);
    if (expKey) return CspCode(NTE_BAD_KEY);  // SM2 blobs are never wrapped
    if (dwFlags != 0) return CspCode(NTE_BAD_FLAGS);
    BYTE x[32], y[32];
    HRESULT hr = Sm2GetPublic(k->PublicPkey(), x, y);
    if (FAILED(hr)) return CspCode(hr);

    if (dwBlobType == PUBLICKEYBLOB) {
        std::vector<BYTE> blob = Sm2BuildPublicKeyBlob(x, y, k->AlgId());
        return CspCopyOut(blob.data(), static_cast<DWORD>(blob.size()), pbData, pdwDataLen);
    }
    if (dwBlobType == PRIVATEKEYBLOB) {
        if (!k->HasPrivate() || !(k->m_dwFlags & CRYPT_EXPORTABLE)) return CspCode(NTE_BAD_KEY_STATE);
        SecureBytes d;
        hr = Sm2GetPrivate(k->Pkey(), d);
        if (FAILED(hr)) return CspCode(hr);
        SecureBytes blob = Sm2BuildPrivateKeyBlob(x, y, d, k->AlgId());
        return CspCopyOut(blob.data(), static_cast<DWORD>(blob.size()), pbData, pdwDataLen);
    }
    return CspCode(NTE_BAD_TYPE);
}

CspStatus CSm2TokenProvider::ImportKey(const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen, CCspKey* pubKey,
                                       DWORD dwFlags, KeyPtr* out) {
    if (!pbData || dwDataLen < kBlobHeaderSize) return CspCode(NTE_BAD_LEN);
    if (pubKey) return CspCode(NTE_BAD_KEY);  // nothing of ours arrives wrapped by a key handle

    if (dwFlags & ~kKeptKeyFlags) return CspCode(NTE_BAD_FLAGS);

    if (IsVendorImportBlob(pbData, dwDataLen))
        return ImportVendorBlob(ctx, pbData, dwDataLen, dwFlags, out);

    const BYTE type = LoadBlobKind(pbData).bType;
    if (type == PUBLICKEYBLOB) {
        ALG_ID alg = 0;
        BYTE x[32], y[32];
        HRESULT hr = Sm2ParsePublicKeyBlob(pbData, dwDataLen, &alg, x, y);
        if (FAILED(hr)) return CspCode(hr);
        EvpPkeyPtr pkey;
        hr = Sm2KeyFromPublic(x, y, pkey);
        if (FAILED(hr)) return CspCode(hr);
        *out = MakeKey(ctx, alg, std::move(pkey), false);
        return CSP_OK;
    }

    if (type == PRIVATEKEYBLOB) {
        ALG_ID alg = 0;
        BYTE x[32], y[32];
        SecureBytes d;
        HRESULT hr = Sm2ParsePrivateKeyBlob(pbData, dwDataLen, &alg, x, y, d);
        if (FAILED(hr)) return CspCode(hr);
        EvpPkeyPtr pkey;
        hr = Sm2KeyFromPrivate(d.data(), d.size(), pkey);
        if (FAILED(hr)) return CspCode(hr);
        BYTE px[32], py[32];
        hr = Sm2GetPublic(pkey.get(), px, py);
        if (FAILED(hr)) return CspCode(hr);
        if (std::memcmp(px, x, 32) != 0 || std::memcmp(py, y, 32) != 0) return CspCode(NTE_BAD_DATA);
        DWORD spec = SpecOfAlg(alg);
        auto key = MakeKey(ctx, alg, std::move(pkey), true, dwFlags);
        key->m_dwKeySpec = spec;
        CspStatus st = SaveKeyPair(ctx, spec, key);
        if (st != CSP_OK) return st;
        *out = key;
        return CSP_OK;
    }
    return CspCode(NTE_BAD_TYPE);
}

CspStatus CSm2TokenProvider::SetKeyParam(CCspKey& key, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    auto* k = dwParam == KP_CERTIFICATE ? AsSm2Key(key) : nullptr;
    if (k && k->m_dwKeySpec && k->Context()->HasContainer()) {
        // A handle taken before an import replaced the container's key must
        // not attach its certificate to the new key.
        std::shared_ptr<CAsymmetricKey> stored;
        CspStatus st = OpenKeyPair(k->Context(), k->m_dwKeySpec, &stored);
        if (st != CSP_OK) return st;
        if (!Sm2SamePublic(stored->PublicPkey(), k->PublicPkey())) return CspCode(NTE_BAD_PUBLIC_KEY);
    }
    return CCspProvider::SetKeyParam(key, dwParam, pbData, dwFlags);
}

bool CSm2TokenProvider::KeyMatchesCertificate(const CAsymmetricKey& key, const BYTE* cert, size_t len) const {
    std::vector<uint8_t> certKey;
    if (ReadCertificatePublicKey(cert, len, &certKey) != CertKeyKind::Sm2) return false;
    std::vector<BYTE> own;
    if (!key.PublicPkey() || FAILED(Sm2SerializePublic(key.PublicPkey(), own))) return false;
    return certKey == own;
}

CspStatus CSm2TokenProvider::Encrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                                     DWORD* pdwDataLen, DWORD dwBufLen) {
    CAsymmetricKey* k = AsSm2Key(key);
    if (!k) return CCspProvider::Encrypt(key, hash, bFinal, dwFlags, pbData, pdwDataLen, dwBufLen);
    if (hash) return CspCode(NTE_BAD_HASH);
    if (!bFinal || dwFlags != 0) return CspCode(NTE_BAD_FLAGS);
    if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
    if (!(k->m_dwPermissions & CRYPT_ENCRYPT)) return CspCode(NTE_PERM);
    DWORD len = *pdwDataLen;
    if (len == 0 || len > kMaxSm2VendorCiphertext) return CspCode(NTE_BAD_LEN);
    DWORD need = len + static_cast<DWORD>(kSm2C1Size + kSm2C3Size);
    if (!pbData) {
        *pdwDataLen = need;
        return CSP_OK;
    }
    if (dwBufLen < need) {
        *pdwDataLen = need;
        return ERROR_MORE_DATA;
    }
    std::vector<BYTE> ct;
    HRESULT hr = Sm2EncryptC1C3C2(k->PublicPkey(), pbData, len, ct);
    if (FAILED(hr)) return CspCode(hr);
    // The ciphertext (C1 and C3 before a C2 as long as the message) covers
    // every byte of the plaintext it replaces.
    std::memcpy(pbData, ct.data(), ct.size());
    *pdwDataLen = static_cast<DWORD>(ct.size());
    return CSP_OK;
}

CspStatus CSm2TokenProvider::Decrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                                     DWORD* pdwDataLen) {
    CAsymmetricKey* k = AsSm2Key(key);
    if (!k) return CCspProvider::Decrypt(key, hash, bFinal, dwFlags, pbData, pdwDataLen);
    if (hash) return CspCode(NTE_BAD_HASH);
    if (!bFinal || dwFlags != 0) return CspCode(NTE_BAD_FLAGS);
    if (!pbData || !pdwDataLen) return ERROR_INVALID_PARAMETER;
    if (!k->HasPrivate()) return CspCode(NTE_BAD_KEY);
    if (!(k->m_dwPermissions & CRYPT_DECRYPT)) return CspCode(NTE_PERM);
    SecureBytes plain;
    HRESULT hr = Sm2DecryptC1C3C2(k->Pkey(), pbData, *pdwDataLen, plain);
    if (FAILED(hr)) return CspCode(hr);
    std::memcpy(pbData, plain.data(), plain.size());
    *pdwDataLen = static_cast<DWORD>(plain.size());
    return CSP_OK;
}

CspStatus CSm2TokenProvider::CreateHash(const ContextPtr& ctx, ALG_ID algid, CCspKey* key, DWORD dwFlags,
                                        HashPtr* out) {
    if (algid != CALG_SM3) return CspCode(NTE_BAD_ALGID);
    if (key) return CspCode(NTE_BAD_KEY);
    if (dwFlags != 0) return CspCode(NTE_BAD_FLAGS);
    *out = std::make_shared<CSm3Hash>(ctx);
    return CSP_OK;
}

CspStatus CSm2TokenProvider::SignHash(CCspHash& hash, DWORD dwKeySpec, DWORD dwFlags, BYTE* pbSignature,
                                      DWORD* pdwSigLen) {
    auto* h = dynamic_cast<CSm3Hash*>(&hash);
    if (!h) return CspCode(NTE_BAD_HASH);
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return CspCode(NTE_BAD_KEY);
    if (dwFlags & ~static_cast<DWORD>(CRYPT_NOHASHOID)) return CspCode(NTE_BAD_FLAGS);
    if (!pdwSigLen) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<CAsymmetricKey> key;
    CspStatus st = LoadKeyPair(hash.Context(), dwKeySpec, &key);
    if (st != CSP_OK) return st;
    if (!key || !key->HasPrivate()) return CspCode(NTE_NO_KEY);
    if (!pbSignature) {
        *pdwSigLen = kSm2SignatureSize;
        return CSP_OK;
    }
    if (*pdwSigLen < kSm2SignatureSize) {
        *pdwSigLen = kSm2SignatureSize;
        return ERROR_MORE_DATA;
    }
    BYTE sig[kSm2SignatureSize];
    HRESULT hr = h->ValueWasSet()
                     ? Sm2SignDigest(key->Pkey(), h->Value().data(), sig)
                     : Sm2SignMessage(key->Pkey(), h->Message().data(), h->Message().size(), nullptr, sig);
    if (FAILED(hr)) return CspCode(hr);
    // A signed hash takes no more data, as with every CryptoAPI hash.
    if (!h->Finished()) {
        st = h->Finish();
        if (st != CSP_OK) return st;
    }
    std::memcpy(pbSignature, sig, sizeof sig);
    *pdwSigLen = kSm2SignatureSize;
    return CSP_OK;
}

CspStatus CSm2TokenProvider::VerifySignature(CCspHash& hash, const BYTE* pbSignature, DWORD dwSigLen,
                                             CCspKey& pubKey, DWORD dwFlags) {
    auto* h = dynamic_cast<CSm3Hash*>(&hash);
    if (!h) return CspCode(NTE_BAD_HASH);
    CAsymmetricKey* k = AsSm2Key(pubKey);
    if (!k) return CspCode(NTE_BAD_KEY);
    if (dwFlags & ~static_cast<DWORD>(CRYPT_NOHASHOID)) return CspCode(NTE_BAD_FLAGS);
    if (!pbSignature || dwSigLen != kSm2SignatureSize) return CspCode(NTE_BAD_SIGNATURE);
    if (h->ValueWasSet()) return CspCode(NTE_BAD_HASH_STATE);
    HRESULT hr = Sm2VerifyMessage(k->PublicPkey(), h->Message().data(), h->Message().size(), nullptr, pbSignature);
    if (FAILED(hr)) return CspCode(hr);
    if (!h->Finished()) h->Finish();
    return CSP_OK;
}

CspStatus CSm2TokenProvider::ExportPublicKeyInfo(const ContextPtr& ctx, DWORD dwKeySpec, std::string* oid,
                                                 std::vector<BYTE>* params, std::vector<BYTE>* keyBits) {
    std::shared_ptr<CAsymmetricKey> key;
    CspStatus st = OpenKeyPair(ctx, dwKeySpec, &key);
    if (st != CSP_OK) return st;
    if (!key) return CspCode(NTE_NO_KEY);
    std::vector<BYTE> point;
    HRESULT hr = Sm2SerializePublic(key->PublicPkey(), point);
    if (FAILED(hr)) return CspCode(hr);
    *oid = kOidEcPublicKey;
    params->assign(kSm2CurveOidDer, kSm2CurveOidDer + sizeof kSm2CurveOidDer);
    *keyBits = std::move(point);
    return CSP_OK;
}

CspStatus CSm2TokenProvider::ImportPublicKeyInfo(const ContextPtr& ctx, const CERT_PUBLIC_KEY_INFO& info,
                                                 KeyPtr* out) {
    if (!info.Algorithm.pszObjId || std::strcmp(info.Algorithm.pszObjId, kOidEcPublicKey) != 0)
        return CspCode(NTE_BAD_ALGID);
    const CRYPT_OBJID_BLOB& prm = info.Algorithm.Parameters;
    if (prm.cbData != 0 &&
        (prm.cbData != sizeof kSm2CurveOidDer || std::memcmp(prm.pbData, kSm2CurveOidDer, prm.cbData) != 0))
        return CspCode(NTE_BAD_ALGID);
    EvpPkeyPtr pkey;
    HRESULT hr = Sm2PublicFromSerialized(info.PublicKey.pbData, info.PublicKey.cbData, pkey);
    if (FAILED(hr)) return CspCode(hr);
    *out = MakeKey(ctx, CALG_SM2_SIGN, std::move(pkey), false);
    return CSP_OK;
}

CspStatus CSm2TokenProvider::EncodeKeyPair(const CAsymmetricKey& key, SecureBytes* out) {
    HRESULT hr = Sm2SerializePair(key.Pkey(), *out);
    return FAILED(hr) ? CspCode(hr) : CSP_OK;
}

CspStatus CSm2TokenProvider::DecodeKeyPair(const ContextPtr& ctx, const CContainerKeyRecord& rec,
                                           std::shared_ptr<CAsymmetricKey>* out) {
    DWORD spec = SpecOfAlg(rec.aiKeyAlg);
    if (spec == 0) return CspCode(NTE_KEYSET_ENTRY_BAD);
    EvpPkeyPtr pkey;
    if (FAILED(Sm2KeyFromStoredPair(rec.privateKey.data(), rec.privateKey.size(), pkey)))
        return CspCode(NTE_KEYSET_ENTRY_BAD);
    auto key = MakeKey(ctx, rec.aiKeyAlg, std::move(pkey), true, rec.dwFlags);
    key->m_dwKeySpec = spec;
    *out = key;
    return CSP_OK;
}

std::shared_ptr<CAsymmetricKey> CSm2TokenProvider::StoredKeyPair(const ContextPtr& ctx,
                                                                 const CContainerKeyRecord& rec) {
    if (SpecOfAlg(rec.aiKeyAlg) == 0 || !Sm2StoredPairIsSound(rec.privateKey.data(), rec.privateKey.size()))
        return nullptr;
    return std::make_shared<CAsymmetricKey>(ctx, rec.aiKeyAlg, std::make_shared<CStoredSm2Pair>(rec.privateKey));
}

ProviderPtr CreateSm2TokenProvider(const CspProviderInfo& info) { return std::make_shared<CSm2TokenProvider>(info); }

}  // namespace tessaro::csp
