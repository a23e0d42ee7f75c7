// Encryption-certificate import, RSA: the plain path (session key and private
// key opened here, the key imported as a PRIVATEKEYBLOB) and the envelope
// path (both keys handed to the provider in its vendor blob). Same unit as
// ImportEncryptCert.cpp.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "encoding/ASN1Composer.h"
#include "encoding/ASN1Engine.h"
#include "import/CertificateInstall.h"
#include "encoding/Codec.h"
#include "diag/Diagnostics.h"
#include "import/ImportEncryptCert.h"
#include "misc/Misc.h"
#include "diag/ResultCode.h"

#define TRACE_UNIT_W u"ImportEncryptCert"

namespace {

const char16_t TEMP_KEYSET_PROVIDER[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
const char OID_RSA_ENCRYPTION[] = "1.2.840.113549.1.1.1";
const char OID_VENDOR_3DES_ECB[] = "1.3.6.1.4.1.4929.1.7";

// PRIVATEKEYBLOB: 8-byte BLOBHEADER, magic, bitlen, pubexp, then the numbers.
const DWORD RSA_BLOB_HEADER_SIZE = 20;
// Key sizes a PRIVATEKEYBLOB is built for.
const DWORD MIN_RSA_KEY_BITS = 384;
const DWORD MAX_RSA_KEY_BITS = 16384;
// PKCS#1 v1.5 takes 11 bytes of every block.
const DWORD PKCS1_PADDING_OVERHEAD = 11;

struct ProvReleaser {
    HCRYPTPROV h = 0;
    ~ProvReleaser() {
        if (h) CryptReleaseContext(h, 0);
    }
};

struct KeyDestroyer {
    HCRYPTKEY h = 0;
    ~KeyDestroyer() {
        if (h) CryptDestroyKey(h);
    }
};

// Key bytes in a vector, wiped when it goes.
struct WipedBytes {
    std::vector<BYTE> v;
    ~WipedBytes() {
        if (!v.empty()) WipeKeyMaterial(v.data(), v.size());
    }
};

void PutDword(BYTE* p, DWORD v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

DWORD GetDword(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

bool IsMicrosoftCSP(const std::u16string& wstrCSPName) {
    return wstrCSPName.find(u"Microsoft") != std::u16string::npos;
}

bool IsRSAAlgorithm(const std::u16string& wstrKeyAlgorithm) {
    return _wcsicmp(wstrKeyAlgorithm.c_str(), u"RSA") == 0;
}

// Big-endian INTEGER content without leading zero octets.
void StripLeadingZeros(const BYTE*& pb, DWORD& cb) {
    while (cb > 0 && *pb == 0) {
        ++pb;
        --cb;
    }
}

// The RSA numbers of a parsed PKCS#1 key, element by element.
HRESULT ParsePkcs1(const BYTE* pbDer, DWORD cbDer, std::unique_ptr<CASN1Node>& root) {
    CASN1Node* pRoot = nullptr;
    LONG r = DecodeASN1Memory(&pRoot, pbDer, cbDer);
    root.reset(pRoot);
    if (r == ASN1_PARSE_FAILED) return r;  // below the root: as it comes
    if (r != 0 || !root) return KEVO_E_ASN1_DECODE;
    // version, n, e, d, p, q, dp, dq, qinv: two-prime keys only.
    if (root->GetTag() != 0x30 || root->GetChildCount() != 9) return KEVO_E_ASN1_DECODE;
    return KEVO_OK;
}

// A positive INTEGER of at most 32 bits.
HRESULT ReadPublicExponent(const CASN1Node* pNode, DWORD* pdwExponent) {
    if (pNode->GetTag() != 0x02 || pNode->GetValueLength() == 0) return KEVO_E_IMPORT_ENCRYPT_CERT;
    const BYTE* pb = pNode->GetValue();
    DWORD cb = pNode->GetValueLength();
    if (pb[0] & 0x80) return KEVO_E_IMPORT_ENCRYPT_CERT;  // negative
    StripLeadingZeros(pb, cb);
    if (cb == 0 || cb > 4) return KEVO_E_IMPORT_ENCRYPT_CERT;
    DWORD v = 0;
    for (DWORD i = 0; i < cb; ++i) v = v << 8 | pb[i];
    *pdwExponent = v;
    return KEVO_OK;
}

}  // namespace

RSA_PRIVATE_KEY_NUMBERS::~RSA_PRIVATE_KEY_NUMBERS() {
    for (std::vector<BYTE>* p : {&modulus, &privateExponent, &prime1, &prime2, &exponent1, &exponent2, &coefficient})
        if (!p->empty()) WipeKeyMaterial(p->data(), p->size());
}

// ---- The plain path: session key ------------------------------------------------

HRESULT DecryptSessionKeywithTempKey(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                                     const std::u16string& wstrKeyAlgorithm, HCRYPTPROV* phProv,
                                     BYTE* pbEncryptedSessionKey, DWORD cbEncryptedSessionKey, BYTE** ppbSessionKey,
                                     DWORD* pcbSessionKey) {
    const LPCWSTR FUNC = u"DecryptSessionKeywithTempKey";
    TraceHelper th(FUNC);
    KevoTraceValueW(u"wstrKeyAlgorithm", wstrKeyAlgorithm.c_str());
    if (phProv == nullptr || ppbSessionKey == nullptr || pcbSessionKey == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"out pointer == NULL", E_POINTER);
        return E_POINTER;
    }
    if (pbEncryptedSessionKey == nullptr || cbEncryptedSessionKey == 0) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"pbEncryptedSessionKey == NULL || 0 == cbEncryptedSessionKey",
                    KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    const DWORD dwProvType = wstrCSPName.find(u"Microsoft Enhanced RSA and AES") != std::u16string::npos
                                 ? PROV_RSA_AES
                                 : PROV_RSA_FULL;
    ProvReleaser prov;
    if (!CryptAcquireContextW(&prov.h, wstrContainerName.c_str(), wstrCSPName.c_str(), dwProvType, 0)) {
        prov.h = 0;
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"RSA CryptAcquireContext", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"RSA CryptAcquireContext");

    // The authority sends the RSA output most significant byte first;
    // CryptoAPI reads it the other way round.
    SwapByteOrder(pbEncryptedSessionKey, static_cast<int>(cbEncryptedSessionKey));

    KeyDestroyer key;
    if (!CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &key.h)) {
        key.h = 0;
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptGetUserKey", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CryptGetUserKey");

    CKeyBuffer sessionKey;
    *sessionKey.Out() = new (std::nothrow) BYTE[static_cast<size_t>(cbEncryptedSessionKey) + 1]();
    if (sessionKey.Get() == nullptr) {
        KEVO_FAIL_W(FUNC, u"new memory", u"pbSessionKey == NULL", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    *sessionKey.OutLength() = cbEncryptedSessionKey;
    memcpy(sessionKey.Get(), pbEncryptedSessionKey, cbEncryptedSessionKey);
    DWORD cbPlain = cbEncryptedSessionKey;
    if (!CryptDecrypt(key.h, 0, TRUE, 0, sessionKey.Get(), &cbPlain)) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptDecrypt", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CryptDecrypt");
    // Some authorities send 32 bytes of which the 3DES key is the first 24.
    if (cbPlain == 32) cbPlain = 24;
    // The bytes past the key keep ciphertext or key remains: wipe them now.
    WipeKeyMaterial(sessionKey.Get() + cbPlain, cbEncryptedSessionKey - cbPlain);
    *sessionKey.OutLength() = cbPlain;
    KevoTraceValueN("session key length", static_cast<LONG>(cbPlain));

    *pcbSessionKey = sessionKey.Size();
    *ppbSessionKey = sessionKey.Release();
    *phProv = prov.h;
    prov.h = 0;
    return KEVO_OK;
}

// ---- The plain path: private key --------------------------------------------------

bool CreatePrivateExponentOneKey(HCRYPTPROV hProv, HCRYPTKEY* phKey) {
    const LPCWSTR FUNC = u"CreatePrivateExponentOneKey";
    TraceHelper th(FUNC);
    if (phKey == nullptr) return false;
    KeyDestroyer generated;
    if (!CryptGenKey(hProv, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &generated.h)) {
        generated.h = 0;
        KEVO_FAIL_W(FUNC, u"CryptGenKey", u"1", KevoLastErrorResult());
        return false;
    }
    DWORD cbBlob = 0;
    if (!CryptExportKey(generated.h, 0, PRIVATEKEYBLOB, 0, nullptr, &cbBlob) || cbBlob < RSA_BLOB_HEADER_SIZE) {
        KEVO_FAIL_W(FUNC, u"CryptExportKey(size)", u"1", KevoLastErrorResult());
        return false;
    }
    WipedBytes blob;
    blob.v.assign(cbBlob, 0);
    if (!CryptExportKey(generated.h, 0, PRIVATEKEYBLOB, 0, blob.v.data(), &cbBlob)) {
        KEVO_FAIL_W(FUNC, u"CryptExportKey", u"1", KevoLastErrorResult());
        return false;
    }
    CryptDestroyKey(generated.h);
    generated.h = 0;

    const DWORD B = GetDword(&blob.v[12]);
    if (B == 0 || B % 16 != 0 || cbBlob < RSA_BLOB_HEADER_SIZE + 9 * B / 16) {
        KEVO_FAIL_W(FUNC, u"Check PRIVATEKEYBLOB", u"bitlen does not match the blob", NTE_BAD_DATA);
        return false;
    }
    // pubexp, exponent1, exponent2 and privateExponent become 1; the
    // modulus, primes and coefficient stay.
    auto SetToOne = [&](size_t offset, size_t size) {
        memset(&blob.v[offset], 0, size);
        blob.v[offset] = 1;
    };
    SetToOne(16, 4);
    size_t offset = RSA_BLOB_HEADER_SIZE + B / 8 + 2 * (B / 16);
    SetToOne(offset, B / 16);
    SetToOne(offset + B / 16, B / 16);
    offset += 3 * (B / 16);
    SetToOne(offset, B / 8);

    if (!CryptImportKey(hProv, blob.v.data(), cbBlob, 0, 0, phKey)) {
        *phKey = 0;
        KEVO_FAIL_W(FUNC, u"CryptImportKey", u"1", KevoLastErrorResult());
        return false;
    }
    KevoTraceStepW(FUNC, u"CryptImportKey");
    return true;
}

HRESULT ComposePlainSessionBlob(HCRYPTPROV hProv, ALG_ID algSession, ALG_ID algExchange, DWORD dwExchangeBits,
                                const BYTE* pbKey, DWORD cbKey, BYTE** ppbBlob, DWORD* pcbBlob) {
    const LPCWSTR FUNC = u"ComposePlainSessionBlob";
    if (ppbBlob == nullptr || pcbBlob == nullptr || pbKey == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"pbKey == NULL || ppbBlob == NULL", E_INVALIDARG);
        return E_INVALIDARG;
    }
    // One PKCS#1 v1.5 block of the exchange key must hold the key with its
    // 11 bytes of padding; checked before anything is sized from cbKey.
    const DWORD cbBlock = dwExchangeBits / 8;
    if (dwExchangeBits % 8 != 0 || cbKey == 0 || cbBlock < PKCS1_PADDING_OVERHEAD + 1 ||
        cbKey > cbBlock - PKCS1_PADDING_OVERHEAD) {
        KEVO_FAIL_W(FUNC, u"Check session key length", u"cbKey > dwExchangeBits / 8 - 11", NTE_BAD_LEN);
        return NTE_BAD_LEN;
    }
    // SIMPLEBLOB: header, the exchange algorithm, then a PKCS#1 v1.5 type-2
    // block least significant byte first (key reversed, 0, non-zero random
    // bytes, 2, 0).
    CKeyBuffer blob;
    const DWORD cbBlob = cbBlock + 12;
    *blob.Out() = new (std::nothrow) BYTE[cbBlob]();
    if (blob.Get() == nullptr) {
        KEVO_FAIL_W(FUNC, u"new memory", u"pbBlob == NULL", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    *blob.OutLength() = cbBlob;
    BYTE* pb = blob.Get();
    pb[0] = SIMPLEBLOB;
    pb[1] = CUR_BLOB_VERSION;
    PutDword(pb + 4, algSession);
    PutDword(pb + 8, algExchange);
    for (DWORD i = 0; i < cbKey; ++i) pb[12 + i] = pbKey[cbKey - 1 - i];
    pb[12 + cbKey] = 0;
    const DWORD cbRandom = cbBlock - cbKey - 3;
    if (!CryptGenRandom(hProv, cbRandom, pb + 12 + cbKey + 1)) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptGenRandom", u"1", hr);
        return hr;
    }
    for (DWORD i = 0; i < cbRandom; ++i)
        if (pb[12 + cbKey + 1 + i] == 0) pb[12 + cbKey + 1 + i] = 1;
    pb[cbBlock + 10] = 2;
    pb[cbBlock + 11] = 0;
    *pcbBlob = blob.Size();
    *ppbBlob = blob.Release();
    return KEVO_OK;
}

bool ImportPlainSessionBlob(HCRYPTPROV hProv, HCRYPTKEY hPubKey, ALG_ID algSession, const BYTE* pbKey, DWORD cbKey,
                            HCRYPTKEY* phSessionKey) {
    const LPCWSTR FUNC = u"ImportPlainSessionBlob";
    TraceHelper th(FUNC);
    if (phSessionKey == nullptr || pbKey == nullptr || cbKey == 0 || hPubKey == 0) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"pbKey == NULL || 0 == cbKey || hPubKey == NULL", E_INVALIDARG);
        return false;
    }

    // The exchange key first: the key bytes must fit one PKCS#1 block of it
    // before any buffer is sized from them.
    ALG_ID algExchange = 0;
    DWORD cbParam = sizeof(algExchange);
    if (!CryptGetKeyParam(hPubKey, KP_ALGID, reinterpret_cast<BYTE*>(&algExchange), &cbParam, 0)) {
        KEVO_FAIL_W(FUNC, u"CryptGetKeyParam-KP_ALGID", u"1", KevoLastErrorResult());
        return false;
    }
    DWORD dwExchangeBits = 0;
    cbParam = sizeof(dwExchangeBits);
    if (!CryptGetKeyParam(hPubKey, KP_KEYLEN, reinterpret_cast<BYTE*>(&dwExchangeBits), &cbParam, 0)) {
        KEVO_FAIL_W(FUNC, u"CryptGetKeyParam-KP_KEYLEN", u"1", KevoLastErrorResult());
        return false;
    }
    const DWORD cbBlock = dwExchangeBits / 8;
    if (cbBlock < PKCS1_PADDING_OVERHEAD + 1 || cbKey > cbBlock - PKCS1_PADDING_OVERHEAD) {
        KEVO_FAIL_W(FUNC, u"Check session key length", u"cbKey > dwExchangeBits / 8 - 11", NTE_BAD_LEN);
        return false;
    }

    // The provider must offer the algorithm, at a length that holds the key.
    bool bFound = false;
    for (DWORD dwFlags = CRYPT_FIRST;; dwFlags = CRYPT_NEXT) {
        PROV_ENUMALGS_EX alg = {};
        DWORD cbAlg = sizeof(alg);
        if (!CryptGetProvParam(hProv, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&alg), &cbAlg, dwFlags)) break;
        if (alg.aiAlgid == algSession) {
            bFound = true;
            break;
        }
    }
    if (!bFound) {
        KEVO_FAIL_W(FUNC, u"CryptGetProvParam-PP_ENUMALGS_EX", u"algorithm not offered", NTE_BAD_ALGID);
        return false;
    }
    {
        KeyDestroyer probe;
        if (!CryptGenKey(hProv, algSession, 0, &probe.h)) {
            probe.h = 0;
            KEVO_FAIL_W(FUNC, u"CryptGenKey", u"1", KevoLastErrorResult());
            return false;
        }
        DWORD dwSessionBits = 0;
        cbParam = sizeof(dwSessionBits);
        if (!CryptGetKeyParam(probe.h, KP_KEYLEN, reinterpret_cast<BYTE*>(&dwSessionBits), &cbParam, 0)) {
            KEVO_FAIL_W(FUNC, u"CryptGetKeyParam-KP_KEYLEN", u"1", KevoLastErrorResult());
            return false;
        }
        if (dwSessionBits < 8 * cbKey) {
            KEVO_FAIL_W(FUNC, u"Check session key length", u"dwSessionBits < 8 * cbKey", NTE_BAD_LEN);
            return false;
        }
    }

    CKeyBuffer blob;
    HRESULT hr = ComposePlainSessionBlob(hProv, algSession, algExchange, dwExchangeBits, pbKey, cbKey, blob.Out(),
                                         blob.OutLength());
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ComposePlainSessionBlob", u"FAILED(hResult)", hr);
        return false;
    }
    if (!CryptImportKey(hProv, blob.Get(), blob.Size(), hPubKey, CRYPT_EXPORTABLE, phSessionKey)) {
        *phSessionKey = 0;
        KEVO_FAIL_W(FUNC, u"CryptImportKey", u"1", KevoLastErrorResult());
        return false;
    }
    KevoTraceStepW(FUNC, u"CryptImportKey");
    return true;
}

namespace {

// The key set that exists only while the private key is being decrypted.
struct TempKeySet {
    std::u16string wstrName;
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hExponentOneKey = 0;
    HCRYPTKEY hSessionKey = 0;
    ~TempKeySet() {
        if (hSessionKey) CryptDestroyKey(hSessionKey);
        if (hExponentOneKey) CryptDestroyKey(hExponentOneKey);
        if (hProv) CryptReleaseContext(hProv, 0);
        if (!wstrName.empty()) {
            const DWORD dwError = GetLastError();
            // A delete that fails on its way (the provider's lookup in the
            // registry, say) is tried once more: nobody else would ever
            // remove the key set.
            for (int nTry = 0; nTry < 2; ++nTry) {
                HCRYPTPROV hDelete = 0;
                if (CryptAcquireContextW(&hDelete, wstrName.c_str(), TEMP_KEYSET_PROVIDER, PROV_RSA_FULL,
                                         CRYPT_DELETEKEYSET) ||
                    GetLastError() == static_cast<DWORD>(NTE_BAD_KEYSET))
                    break;
            }
            SetLastError(dwError);
        }
    }
};

}  // namespace

HRESULT DecryptPrivateKeywithSessionKey(BYTE** ppbPrivateKey, DWORD* pcbPrivateKey, ALG_ID algSession,
                                        const BYTE* pbSessionKey, DWORD cbSessionKey,
                                        const BYTE* pbEncryptedPrivateKey, DWORD cbEncryptedPrivateKey) {
    const LPCWSTR FUNC = u"DecryptPrivateKeywithSessionKey";
    TraceHelper th(FUNC);
    if (ppbPrivateKey == nullptr || pcbPrivateKey == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"out pointer == NULL", E_POINTER);
        return E_POINTER;
    }
    if (pbSessionKey == nullptr || cbSessionKey == 0 || pbEncryptedPrivateKey == nullptr ||
        cbEncryptedPrivateKey == 0) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"pbSessionKey == NULL || pbEncryptedPrivateKey == NULL",
                    KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }

    TempKeySet temp;
    std::u16string wstrName;
    HRESULT hr = CreateGUIDStr(wstrName);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"CreateGUIDStr", u"FAILED(hResult)", hr);
        return hr;
    }
    if (!CryptAcquireContextW(&temp.hProv, wstrName.c_str(), TEMP_KEYSET_PROVIDER, PROV_RSA_FULL, 0)) {
        temp.hProv = 0;
        // From here on the destructor deletes whatever was made under the name.
        temp.wstrName = wstrName;
        if (!CryptAcquireContextW(&temp.hProv, wstrName.c_str(), TEMP_KEYSET_PROVIDER, PROV_RSA_FULL,
                                  CRYPT_NEWKEYSET)) {
            temp.hProv = 0;
            hr = KevoLastErrorResult();
            KEVO_FAIL_W(FUNC, u"CryptAcquireContext", u"FALSE == bResult", hr);
            return hr;
        }
    } else {
        temp.wstrName = wstrName;
    }
    KevoTraceStepW(FUNC, u"CryptAcquireContext");

    if (!CreatePrivateExponentOneKey(temp.hProv, &temp.hExponentOneKey)) {
        temp.hExponentOneKey = 0;
        KEVO_FAIL_W(FUNC, u"CreatePrivateExponentOneKey", u"FALSE", KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    KevoTraceStepW(FUNC, u"CreatePrivateExponentOneKey");

    if (!ImportPlainSessionBlob(temp.hProv, temp.hExponentOneKey, algSession, pbSessionKey, cbSessionKey,
                                &temp.hSessionKey)) {
        temp.hSessionKey = 0;
        KEVO_FAIL_W(FUNC, u"ImportPlainSessionBlob", u"FALSE", KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    KevoTraceStepW(FUNC, u"ImportPlainSessionBlob");

    const DWORD dwMode = CRYPT_MODE_ECB;
    if (!CryptSetKeyParam(temp.hSessionKey, KP_MODE, reinterpret_cast<const BYTE*>(&dwMode), 0)) {
        hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptSetKeyParam", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CryptSetKeyParam");

    CKeyBuffer privateKey;
    *privateKey.Out() = new (std::nothrow) BYTE[static_cast<size_t>(cbEncryptedPrivateKey) + 1]();
    if (privateKey.Get() == nullptr) {
        KEVO_FAIL_W(FUNC, u"new memory", u"pPrivateKey == NULL", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    *privateKey.OutLength() = cbEncryptedPrivateKey;
    memcpy(privateKey.Get(), pbEncryptedPrivateKey, cbEncryptedPrivateKey);
    DWORD cbPlain = cbEncryptedPrivateKey;
    if (!CryptDecrypt(temp.hSessionKey, 0, TRUE, 0, privateKey.Get(), &cbPlain)) {
        hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptDecrypt", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CryptDecrypt");
    WipeKeyMaterial(privateKey.Get() + cbPlain, cbEncryptedPrivateKey - cbPlain);
    *privateKey.OutLength() = cbPlain;
    *pcbPrivateKey = privateKey.Size();
    *ppbPrivateKey = privateKey.Release();
    return KEVO_OK;
}

// ---- PKCS#1 to PRIVATEKEYBLOB ------------------------------------------------------

HRESULT CopyPrivateKeyAttribute(BYTE byTag, const BYTE* pbContent, DWORD cbContent, std::vector<BYTE>& attribute) {
    // An empty INTEGER would leave nothing to drop a zero octet from.
    if (byTag != 0x02 || pbContent == nullptr || cbContent == 0) return KEVO_E_IMPORT_ENCRYPT_CERT;
    if (pbContent[0] == 0x00) {
        ++pbContent;
        --cbContent;
    }
    if (!attribute.empty()) WipeKeyMaterial(attribute.data(), attribute.size());
    attribute.assign(pbContent, pbContent + cbContent);
    SwapByteOrder(attribute.data(), static_cast<int>(attribute.size()));
    return KEVO_OK;
}

HRESULT DecodePrivateKey(const BYTE* pbDer, DWORD cbDer, RSA_PRIVATE_KEY_NUMBERS& numbers) {
    const LPCWSTR FUNC = u"DecodePrivateKey";
    TraceHelper th(FUNC);
    if (pbDer == nullptr || cbDer == 0) {
        KEVO_FAIL_W(FUNC, u"DecodeASN1Memory", u"pbDer == NULL || 0 == cbDer", KEVO_E_ASN1_DECODE);
        return KEVO_E_ASN1_DECODE;
    }
    std::unique_ptr<CASN1Node> root;
    HRESULT hr = ParsePkcs1(pbDer, cbDer, root);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"DecodeASN1Memory", u"not a SEQUENCE of nine elements", hr);
        return hr;
    }
    hr = ReadPublicExponent(root->GetChild(2), &numbers.dwPublicExponent);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"publicExponent", u"not a positive INTEGER of 32 bits", hr);
        return hr;
    }
    const struct {
        DWORD index;
        std::vector<BYTE>* out;
    } fields[] = {{1, &numbers.modulus},   {3, &numbers.privateExponent}, {4, &numbers.prime1},
                  {5, &numbers.prime2},    {6, &numbers.exponent1},       {7, &numbers.exponent2},
                  {8, &numbers.coefficient}};
    for (const auto& f : fields) {
        const CASN1Node* pNode = root->GetChild(f.index);
        hr = CopyPrivateKeyAttribute(pNode->GetTag(), pNode->GetValue(), pNode->GetValueLength(), *f.out);
        if (FAILED(hr)) {
            KEVO_FAIL_W(FUNC, u"CopyPrivateKeyAttribute", u"INTEGER expected", hr);
            return hr;
        }
    }
    return KEVO_OK;
}

HRESULT getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(const BYTE* pbDer, DWORD cbDer, DWORD dwKeyBits, BYTE** ppbBlob,
                                                DWORD* pcbBlob) {
    const LPCWSTR FUNC = u"getMicrosoftSoftPkcs1PrivateKeyBlob_RSA";
    TraceHelper th(FUNC);
    if (ppbBlob == nullptr || pcbBlob == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"ppbBlob == NULL || pcbBlob == NULL", E_POINTER);
        return E_POINTER;
    }
    RSA_PRIVATE_KEY_NUMBERS numbers;
    HRESULT hr = DecodePrivateKey(pbDer, cbDer, numbers);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"getMicrosoftSoftPkcs1PrivateKeyBlob_RSA-DecodePrivateKey", u"FAILED(hResult)", hr);
        return hr;
    }
    // The agent's key length fixes every slot; the blob layout needs whole
    // half-modulus slots.
    const DWORD B = dwKeyBits;
    const size_t cbFull = B / 8, cbHalf = B / 16;
    // The modulus fills its slot exactly; any other number may be shorter
    // (high zero octets are not encoded) and is zero-padded at its high end.
    auto Fits = [](const std::vector<BYTE>& v, size_t slot) { return !v.empty() && v.size() <= slot; };
    if (B < MIN_RSA_KEY_BITS || B > MAX_RSA_KEY_BITS || B % 16 != 0 || numbers.modulus.size() != cbFull ||
        !Fits(numbers.prime1, cbHalf) || !Fits(numbers.prime2, cbHalf) || !Fits(numbers.exponent1, cbHalf) ||
        !Fits(numbers.exponent2, cbHalf) || !Fits(numbers.coefficient, cbHalf) ||
        !Fits(numbers.privateExponent, cbFull)) {
        KEVO_FAIL_W(FUNC, u"PKCS1 RSA private key length", u"TRUE", KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }

    const DWORD cbBlob = RSA_BLOB_HEADER_SIZE + 9 * B / 16;
    CKeyBuffer blob;
    *blob.Out() = new (std::nothrow) BYTE[cbBlob]();
    if (blob.Get() == nullptr) {
        KEVO_FAIL_W(FUNC, u"new memory", u"pbBlob == NULL", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    *blob.OutLength() = cbBlob;
    BYTE* pb = blob.Get();
    pb[0] = PRIVATEKEYBLOB;
    pb[1] = CUR_BLOB_VERSION;
    PutDword(pb + 4, CALG_RSA_KEYX);
    PutDword(pb + 8, RSA2_MAGIC);
    PutDword(pb + 12, B);
    PutDword(pb + 16, numbers.dwPublicExponent);
    // Little-endian numbers: the missing high octets are the zeros already there.
    size_t offset = RSA_BLOB_HEADER_SIZE;
    for (const auto& field : {std::make_pair(&numbers.modulus, cbFull), std::make_pair(&numbers.prime1, cbHalf),
                              std::make_pair(&numbers.prime2, cbHalf), std::make_pair(&numbers.exponent1, cbHalf),
                              std::make_pair(&numbers.exponent2, cbHalf), std::make_pair(&numbers.coefficient, cbHalf),
                              std::make_pair(&numbers.privateExponent, cbFull)}) {
        memcpy(pb + offset, field.first->data(), field.first->size());
        offset += field.second;
    }
    *pcbBlob = blob.Size();
    *ppbBlob = blob.Release();
    return KEVO_OK;
}

HRESULT CheckPrivateKeyMatchesCertificate(const BYTE* pbPrivateKey, DWORD cbPrivateKey, const BYTE* pbCert,
                                          DWORD cbCert) {
    const LPCWSTR FUNC = u"CheckPrivateKeyMatchesCertificate";
    TraceHelper th(FUNC);
    PCCERT_CONTEXT pCert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbCert, cbCert);
    if (pCert == nullptr) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CertCreateCertificateContext", u"1", hr);
        return hr;
    }
    std::unique_ptr<const CERT_CONTEXT, BOOL (*)(PCCERT_CONTEXT)> cert(pCert, CertFreeCertificateContext);
    const CERT_PUBLIC_KEY_INFO& info = cert->pCertInfo->SubjectPublicKeyInfo;
    if (info.Algorithm.pszObjId == nullptr || strcmp(info.Algorithm.pszObjId, OID_RSA_ENCRYPTION) != 0 ||
        info.PublicKey.pbData == nullptr || info.PublicKey.cbData == 0) {
        KEVO_FAIL_W(FUNC, u"Check certificate key", u"not an RSA key", NTE_BAD_PUBLIC_KEY);
        return NTE_BAD_PUBLIC_KEY;
    }
    CASN1Node* pRoot = nullptr;
    LONG r = DecodeASN1Memory(&pRoot, info.PublicKey.pbData, info.PublicKey.cbData);
    std::unique_ptr<CASN1Node> certKey(pRoot);
    std::unique_ptr<CASN1Node> privateKey;
    HRESULT hr = ParsePkcs1(pbPrivateKey, cbPrivateKey, privateKey);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"DecodeASN1Memory", u"private key", hr);
        return hr;
    }
    if (r != 0 || !certKey || certKey->GetChildCount() != 2) {
        KEVO_FAIL_W(FUNC, u"DecodeASN1Memory", u"certificate key", NTE_BAD_PUBLIC_KEY);
        return NTE_BAD_PUBLIC_KEY;
    }
    for (DWORD i = 0; i < 2; ++i) {
        const CASN1Node* a = certKey->GetChild(i);
        const CASN1Node* b = privateKey->GetChild(1 + i);  // modulus, publicExponent
        const BYTE* pa = a->GetValue();
        const BYTE* pbv = b->GetValue();
        DWORD ca = a->GetValueLength(), cb = b->GetValueLength();
        StripLeadingZeros(pa, ca);
        StripLeadingZeros(pbv, cb);
        if (a->GetTag() != 0x02 || b->GetTag() != 0x02 || ca != cb || ca == 0 || memcmp(pa, pbv, ca) != 0) {
            KEVO_FAIL_W(FUNC, u"Compare public key", u"certificate is not for the decrypted key", NTE_BAD_PUBLIC_KEY);
            return NTE_BAD_PUBLIC_KEY;
        }
    }
    return KEVO_OK;
}

HRESULT ImportEncryptCert_RSA(const std::u16string& wstrContainerName, const BYTE* pbCert, DWORD cbCert,
                              const std::u16string& wstrCSPName, HCRYPTPROV hProv, LONG nKeyLength,
                              const BYTE* pbPrivateKey, DWORD cbPrivateKey, DWORD dwFlags) {
    const LPCWSTR FUNC = u"ImportEncryptCert_RSA";
    TraceHelper th(FUNC);
    if (hProv == 0 || pbCert == nullptr || cbCert == 0 || pbPrivateKey == nullptr || cbPrivateKey == 0) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"hProv == NULL || pbCert == NULL || pbPrivateKey == NULL",
                    E_INVALIDARG);
        return E_INVALIDARG;
    }
    CKeyBuffer blob;
    HRESULT hr = getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(pbPrivateKey, cbPrivateKey, static_cast<DWORD>(nKeyLength),
                                                         blob.Out(), blob.OutLength());
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"getMicrosoftSoftPkcs1PrivateKeyBlob_RSA", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"getMicrosoftSoftPkcs1PrivateKeyBlob_RSA");

    // A certificate of another key must not cost the container its key.
    hr = CheckPrivateKeyMatchesCertificate(pbPrivateKey, cbPrivateKey, pbCert, cbCert);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"CheckPrivateKeyMatchesCertificate", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CheckPrivateKeyMatchesCertificate");

    const bool bMicrosoft = IsMicrosoftCSP(wstrCSPName);
    KeyDestroyer key;
    if (!CryptImportKey(hProv, blob.Get(), blob.Size(), 0, dwFlags, &key.h)) {
        key.h = 0;
        hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, bMicrosoft ? u"Microsoft CSP: CryptImportKey" : u"non-Microsoft's CSP: CryptImportKey",
                    u"FALSE == bResult", hr);
        return hr;
    }
    blob.Reset();
    KevoTraceStepW(FUNC, bMicrosoft ? u"Microsoft CSP: CryptImportKey" : u"non-Microsoft's CSP: CryptImportKey");

    if (bMicrosoft) {
        hr = AddCertificateToSystemStore(wstrCSPName.c_str(), hProv, pbCert, cbCert, AT_KEYEXCHANGE,
                                         wstrContainerName.c_str());
        if (FAILED(hr)) {
            KEVO_FAIL_W(FUNC, u"AddCertificateToSystemStore", u"FAILED(hResult)", hr);
            return hr;
        }
        KevoTraceStepW(FUNC, u"AddCertificateToSystemStore");
    } else {
        if (!CryptSetKeyParam(key.h, KP_CERTIFICATE, pbCert, 0)) {
            hr = KevoLastErrorResult();
            KEVO_FAIL_W(FUNC, u"non-Microsoft's CSP: CryptSetKeyParam", u"FALSE == bResult", hr);
            return hr;
        }
        KevoTraceStepW(FUNC, u"non-Microsoft's CSP: CryptSetKeyParam");
    }
    return KEVO_OK;
}

// ---- The envelope path ------------------------------------------------------------

HRESULT GetCSPHandleofTempPublickey(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                                    const std::u16string& wstrKeyAlgorithm, HCRYPTPROV* phProv) {
    const LPCWSTR FUNC = u"GetCSPHandleofTempPublickey";
    TraceHelper th(FUNC);
    if (phProv == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"phProv == NULL", E_POINTER);
        return E_POINTER;
    }
    const bool bRSA = IsRSAAlgorithm(wstrKeyAlgorithm);
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, wstrContainerName.c_str(), wstrCSPName.c_str(), PROV_RSA_FULL,
                              bRSA ? 0 : CRYPT_VERIFYCONTEXT)) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, bRSA ? u"RSA CryptAcquireContext" : u"SM2 CryptAcquireContext", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, bRSA ? u"RSA CryptAcquireContext" : u"SM2 CryptAcquireContext");
    *phProv = hProv;
    return KEVO_OK;
}

HRESULT ComposeObjectIdentifier(const char* pszObjId, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    const LPCWSTR FUNC = u"ComposeObjectIdentifier";
    TraceHelper th(FUNC);
    if (ppbEncoded == nullptr || pcbEncoded == nullptr) return E_POINTER;
    // SEQUENCE { OID, NULL }: the identifier is what lies between the
    // two-octet header and the two octets of NULL.
    BYTE* pbRaw = nullptr;
    int nRaw = 0;
    HRESULT hr = ComposeSpecialAttribute(pszObjId, nullptr, 0, &pbRaw, &nRaw);
    std::unique_ptr<BYTE[]> raw(pbRaw);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ComposeSpecialAttribute", u"FAILED(hResult)", hr);
        return hr;
    }
    if (nRaw < 6 || raw[0] != 0x30 || raw[1] != nRaw - 2 || raw[2] != 0x06 || raw[nRaw - 2] != 0x05 ||
        raw[nRaw - 1] != 0x00) {
        KEVO_FAIL_W(FUNC, u"Check SEQUENCE { OID, NULL }", u"TRUE", E_FAIL);
        return E_FAIL;
    }
    const DWORD cbOid = static_cast<DWORD>(nRaw - 4);
    BYTE* pbOid = new (std::nothrow) BYTE[cbOid]();
    if (pbOid == nullptr) {
        KEVO_FAIL_W(FUNC, u"new memory", u"pbOid == NULL", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    memcpy(pbOid, raw.get() + 2, cbOid);
    *ppbEncoded = pbOid;
    *pcbEncoded = cbOid;
    return KEVO_OK;
}

HRESULT ComposeRSAEVPPrivateKey(const BYTE* pbEncryptedPrivateKey, DWORD cbEncryptedPrivateKey,
                                const BYTE* pbEncryptedSessionKey, DWORD cbEncryptedSessionKey, BYTE** ppbEnvelope,
                                DWORD* pcbEnvelope) {
    const LPCWSTR FUNC = u"ComposeRSAEVPPrivateKey";
    TraceHelper th(FUNC);
    if (ppbEnvelope == nullptr || pcbEnvelope == nullptr || cbEncryptedPrivateKey > 0x7FFFFFF ||
        cbEncryptedSessionKey > 0x7FFFFFF) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"ppbEnvelope == NULL || length out of range", E_INVALIDARG);
        return E_INVALIDARG;
    }
    std::vector<BYTE> content = {0x02, 0x01, 0x01};
    // Takes the composed element, which is released even when appending it
    // runs out of memory.
    auto Append = [&content](BYTE*& pbPart, size_t cbPart) {
        std::unique_ptr<BYTE[]> hold(pbPart);
        pbPart = nullptr;
        content.insert(content.end(), hold.get(), hold.get() + cbPart);
    };

    BYTE* pb = nullptr;
    DWORD cb = 0;
    HRESULT hr = ComposeObjectIdentifier(OID_RSA_ENCRYPTION, &pb, &cb);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ComposeObjectIdentifier -- AsymAlgID", u"FAILED(hResult)", hr);
        return hr;
    }
    Append(pb, cb);
    hr = ComposeObjectIdentifier(OID_VENDOR_3DES_ECB, &pb, &cb);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ComposeObjectIdentifier -- SymAlgID", u"FAILED(hResult)", hr);
        return hr;
    }
    Append(pb, cb);

    int n = 0;
    pb = nullptr;
    hr = ComposeAnyString(static_cast<int>(cbEncryptedSessionKey), CERT_RDN_OCTET_STRING, pbEncryptedSessionKey, &pb,
                          &n);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ComposeAnyString -- pbEncryptedSessionKey", u"FAILED(hResult)", hr);
        return hr;
    }
    Append(pb, static_cast<size_t>(n));
    pb = nullptr;
    hr = ComposeAnyString(static_cast<int>(cbEncryptedPrivateKey), CERT_RDN_OCTET_STRING, pbEncryptedPrivateKey, &pb,
                          &n);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ComposeAnyString -- pbEncryptedPrivateKey", u"FAILED(hResult)", hr);
        return hr;
    }
    Append(pb, static_cast<size_t>(n));

    BYTE* pbTotal = nullptr;
    int nTotal = 0;
    hr = ASN1Encode(0x30, content.data(), static_cast<int>(content.size()), &pbTotal, &nTotal);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ASN1Encode", u"FAILED(hResult)", hr);
        return hr;
    }
    if (pbTotal == nullptr) {
        KEVO_FAIL_W(FUNC, u"new memory", u"!pTempTotal", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    *ppbEnvelope = pbTotal;
    *pcbEnvelope = static_cast<DWORD>(nTotal);
    return KEVO_OK;
}

HRESULT FillRSAVendorImportBlob(DWORD dwKeyBits, const BYTE* pbEnvelope, DWORD cbEnvelope, BYTE* pbBlob,
                                DWORD cbBlob) {
    if (pbBlob == nullptr || cbBlob != RSA_VENDOR_IMPORT_BLOB_SIZE || cbEnvelope > 0x1FFFFFFFu) return E_INVALIDARG;
    memset(pbBlob, 0, cbBlob);
    pbBlob[0] = PRIVATEKEYBLOB;
    pbBlob[1] = CUR_BLOB_VERSION;
    pbBlob[2] = 1;  // reserved word 1: the vendor form
    PutDword(pbBlob + 4, CALG_RSA_KEYX);
    PutDword(pbBlob + 8, CALG_RSA_KEYX);
    PutDword(pbBlob + 12, dwKeyBits);
    PutDword(pbBlob + 16, cbEnvelope * 8);
    const uintptr_t address = reinterpret_cast<uintptr_t>(pbEnvelope);
    memcpy(pbBlob + 20, &address, sizeof(void*));
    return KEVO_OK;
}

HRESULT ImportEncryptCertEx_RSA(const BYTE* pbCert, DWORD cbCert, const BYTE* pbEncryptedPrivateKey,
                                const BYTE* pbEncryptedSessionKey, const std::u16string& wstrCSPName,
                                HCRYPTPROV hProv, LONG nKeyLength, DWORD cbEncryptedSessionKey,
                                DWORD cbEncryptedPrivateKey, DWORD dwFlags, bool* pbKeyImported,
                                bool* pbImportRefused) {
    const LPCWSTR FUNC = u"ImportEncryptCertEx_RSA";
    TraceHelper th(FUNC);
    KevoTraceValueW(u"wstrCSPName", wstrCSPName.c_str());
    if (pbKeyImported) *pbKeyImported = false;
    if (pbImportRefused) *pbImportRefused = false;
    if (hProv == 0) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"hCryptProv == NULL", E_INVALIDARG);
        return E_INVALIDARG;
    }
    if (pbCert == nullptr || cbCert == 0) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"pbCert == NULL", E_INVALIDARG);
        return E_INVALIDARG;
    }
    BYTE* pbEnv = nullptr;
    DWORD cbEnv = 0;
    HRESULT hr = ComposeRSAEVPPrivateKey(pbEncryptedPrivateKey, cbEncryptedPrivateKey, pbEncryptedSessionKey,
                                         cbEncryptedSessionKey, &pbEnv, &cbEnv);
    std::unique_ptr<BYTE[]> envelope(pbEnv);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ComposeRSAEVPPrivateKey", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"ComposeRSAEVPPrivateKey");

    std::unique_ptr<BYTE[]> pbEncryptedPrivateKeyBlob(new (std::nothrow) BYTE[RSA_VENDOR_IMPORT_BLOB_SIZE]());
    if (!pbEncryptedPrivateKeyBlob) {
        KEVO_FAIL_W(FUNC, u"new memory", u"!pbEncryptedPrivateKeyBlob", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    hr = FillRSAVendorImportBlob(static_cast<DWORD>(nKeyLength), envelope.get(), cbEnv,
                                 pbEncryptedPrivateKeyBlob.get(), RSA_VENDOR_IMPORT_BLOB_SIZE);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"FillRSAVendorImportBlob", u"FAILED(hResult)", hr);
        return hr;
    }
    KeyDestroyer key;
    if (!CryptImportKey(hProv, pbEncryptedPrivateKeyBlob.get(), RSA_VENDOR_IMPORT_BLOB_SIZE, 0, dwFlags, &key.h)) {
        key.h = 0;
        hr = KevoLastErrorResult();
        if (pbImportRefused) *pbImportRefused = true;
        KEVO_FAIL_W(FUNC, u"ImportEncryptCertEx_RSA non-microsoft's CSP: CryptImportKey", u"1", hr);
        return hr;
    }
    if (pbKeyImported) *pbKeyImported = true;
    KevoTraceStepW(FUNC, u"ImportEncryptCertEx_RSA non-microsoft's CSP: CryptImportKey");
    if (!CryptSetKeyParam(key.h, KP_CERTIFICATE, pbCert, 0)) {
        hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"ImportEncryptCertEx_RSA non-microsoft's CSP: CryptSetKeyParam", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"ImportEncryptCertEx_RSA non-microsoft's CSP: CryptSetKeyParam");
    return KEVO_OK;
}
