// Encryption-certificate import, the plain path (RSA): the session key is
// opened with the request's exchange key, the private key with the session
// key (brought in as a SIMPLEBLOB through an exponent-one key in a key set
// of its own), and the key imported as a PRIVATEKEYBLOB.
#include <cstring>
#include <memory>

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

// PRIVATEKEYBLOB: 8-byte BLOBHEADER, magic, bitlen, pubexp, then the numbers.
const DWORD RSA_BLOB_HEADER_SIZE = 20;
// Key sizes a PRIVATEKEYBLOB is built for.
const DWORD MIN_RSA_KEY_BITS = 384;
const DWORD MAX_RSA_KEY_BITS = 16384;
// PKCS#1 v1.5 takes 11 bytes of every block.
const DWORD PKCS1_PADDING_OVERHEAD = 11;

DWORD GetDword(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
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

// Decrypts a copy of the ciphertext with hKey, in place in a wiping buffer,
// and hands out the plain bytes; bReverse reverses the copy first.
HRESULT DecryptIntoBuffer(LPCWSTR FUNC, HCRYPTKEY hKey, const BYTE* pbCiphertext, DWORD cbCiphertext, bool bReverse,
                          tessaro::SecureBytes& plain) {
    // One byte more than the ciphertext, zero, as the provider may expect.
    tessaro::SecureBytes work(static_cast<size_t>(cbCiphertext) + 1, 0);
    memcpy(work.data(), pbCiphertext, cbCiphertext);
    // The authority sends the RSA output most significant byte first;
    // CryptoAPI reads it the other way round.
    if (bReverse) SwapByteOrder(work.data(), static_cast<int>(cbCiphertext));
    DWORD cbPlain = cbCiphertext;
    if (!CryptDecrypt(hKey, 0, TRUE, 0, work.data(), &cbPlain)) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptDecrypt", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CryptDecrypt");
    plain.swap(work);
    // What lies past the plain bytes is wiped with the rest when freed.
    plain.resize(cbPlain);
    return KEVO_OK;
}

}  // namespace

// ---- The plain path: session key ------------------------------------------------

HRESULT DecryptSessionKeywithTempKey(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                                     const std::u16string& wstrKeyAlgorithm, tessaro::UniqueCryptProv& provOut,
                                     const BYTE* pbEncryptedSessionKey, DWORD cbEncryptedSessionKey,
                                     tessaro::SecureBytes& sessionKeyOut) {
    const LPCWSTR FUNC = u"DecryptSessionKeywithTempKey";
    TraceHelper th(FUNC);
    KevoTraceValueW(u"wstrKeyAlgorithm", wstrKeyAlgorithm.c_str());
    if (pbEncryptedSessionKey == nullptr || cbEncryptedSessionKey == 0) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"pbEncryptedSessionKey == NULL || 0 == cbEncryptedSessionKey",
                    KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    const DWORD dwProvType = wstrCSPName.find(u"Microsoft Enhanced RSA and AES") != std::u16string::npos
                                 ? PROV_RSA_AES
                                 : PROV_RSA_FULL;
    tessaro::UniqueCryptProv prov;
    HRESULT hr = OpenRequestContainer(FUNC, true, dwProvType, wstrCSPName, wstrContainerName, prov);
    if (FAILED(hr)) return hr;
    tessaro::UniqueCryptKey key;
    hr = GetContainerKey(FUNC, prov.get(), AT_KEYEXCHANGE, key);
    if (FAILED(hr)) return hr;

    tessaro::SecureBytes sessionKey;
    hr = DecryptIntoBuffer(FUNC, key.get(), pbEncryptedSessionKey, cbEncryptedSessionKey, true, sessionKey);
    if (FAILED(hr)) return hr;
    // Some authorities send 32 bytes of which the 3DES key is the first 24.
    if (sessionKey.size() == 32) sessionKey.resize(24);
    KevoTraceValueN("session key length", static_cast<LONG>(sessionKey.size()));

    sessionKeyOut.swap(sessionKey);
    provOut = std::move(prov);
    return KEVO_OK;
}

// ---- The plain path: private key --------------------------------------------------

HRESULT CreatePrivateExponentOneKey(HCRYPTPROV hProv, HCRYPTKEY* phKey) {
    const LPCWSTR FUNC = u"CreatePrivateExponentOneKey";
    TraceHelper th(FUNC);
    if (phKey == nullptr) return E_POINTER;
    tessaro::SecureBytes blob;
    {
        tessaro::UniqueCryptKey generated;
        if (!CryptGenKey(hProv, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, generated.put())) {
            generated.release();
            HRESULT hr = KevoLastErrorResult();
            KEVO_FAIL_W(FUNC, u"CryptGenKey", u"1", hr);
            return hr;
        }
        DWORD cbBlob = 0;
        if (!CryptExportKey(generated.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &cbBlob) ||
            cbBlob < RSA_BLOB_HEADER_SIZE) {
            HRESULT hr = KevoLastErrorResult();
            KEVO_FAIL_W(FUNC, u"CryptExportKey(size)", u"1", hr);
            return FAILED(hr) ? hr : NTE_BAD_DATA;
        }
        blob.assign(cbBlob, 0);
        if (!CryptExportKey(generated.get(), 0, PRIVATEKEYBLOB, 0, blob.data(), &cbBlob)) {
            HRESULT hr = KevoLastErrorResult();
            KEVO_FAIL_W(FUNC, u"CryptExportKey", u"1", hr);
            return hr;
        }
        blob.resize(cbBlob);
    }

    const DWORD B = GetDword(&blob[12]);
    if (B == 0 || B % 16 != 0 || blob.size() < RSA_BLOB_HEADER_SIZE + 9 * B / 16) {
        KEVO_FAIL_W(FUNC, u"Check PRIVATEKEYBLOB", u"bitlen does not match the blob", NTE_BAD_DATA);
        return NTE_BAD_DATA;
    }
    // pubexp, exponent1, exponent2 and privateExponent become 1; the
    // modulus, primes and coefficient stay.
    auto SetToOne = [&](size_t offset, size_t size) {
        memset(&blob[offset], 0, size);
        blob[offset] = 1;
    };
    SetToOne(16, 4);
    size_t offset = RSA_BLOB_HEADER_SIZE + B / 8 + 2 * (B / 16);
    SetToOne(offset, B / 16);
    SetToOne(offset + B / 16, B / 16);
    offset += 3 * (B / 16);
    SetToOne(offset, B / 8);

    if (!CryptImportKey(hProv, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, phKey)) {
        *phKey = 0;
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptImportKey", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CryptImportKey");
    return KEVO_OK;
}

HRESULT ComposePlainSessionBlob(HCRYPTPROV hProv, ALG_ID algSession, ALG_ID algExchange, DWORD dwExchangeBits,
                                const BYTE* pbKey, DWORD cbKey, tessaro::SecureBytes& blobOut) {
    const LPCWSTR FUNC = u"ComposePlainSessionBlob";
    if (pbKey == nullptr) {
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
    tessaro::SecureBytes blob(cbBlock + 12, 0);
    BYTE* pb = blob.data();
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
    blobOut.swap(blob);
    return KEVO_OK;
}

namespace {

// A numeric key parameter, traced as "CryptGetKeyParam-<name>".
HRESULT GetKeyDword(LPCWSTR FUNC, HCRYPTKEY hKey, DWORD dwParam, LPCWSTR pwszStep, DWORD* pdwValue) {
    DWORD cbParam = sizeof(*pdwValue);
    if (!CryptGetKeyParam(hKey, dwParam, reinterpret_cast<BYTE*>(pdwValue), &cbParam, 0)) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, pwszStep, u"1", hr);
        return hr;
    }
    return KEVO_OK;
}

}  // namespace

HRESULT ImportPlainSessionBlob(HCRYPTPROV hProv, HCRYPTKEY hPubKey, ALG_ID algSession, const BYTE* pbKey, DWORD cbKey,
                               HCRYPTKEY* phSessionKey) {
    const LPCWSTR FUNC = u"ImportPlainSessionBlob";
    TraceHelper th(FUNC);
    if (phSessionKey == nullptr || pbKey == nullptr || cbKey == 0 || hPubKey == 0) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"pbKey == NULL || 0 == cbKey || hPubKey == NULL", E_INVALIDARG);
        return E_INVALIDARG;
    }

    // The exchange key first: the key bytes must fit one PKCS#1 block of it
    // before any buffer is sized from them.
    ALG_ID algExchange = 0;
    HRESULT hr = GetKeyDword(FUNC, hPubKey, KP_ALGID, u"CryptGetKeyParam-KP_ALGID", &algExchange);
    if (FAILED(hr)) return hr;
    DWORD dwExchangeBits = 0;
    hr = GetKeyDword(FUNC, hPubKey, KP_KEYLEN, u"CryptGetKeyParam-KP_KEYLEN", &dwExchangeBits);
    if (FAILED(hr)) return hr;
    const DWORD cbBlock = dwExchangeBits / 8;
    if (cbBlock < PKCS1_PADDING_OVERHEAD + 1 || cbKey > cbBlock - PKCS1_PADDING_OVERHEAD) {
        KEVO_FAIL_W(FUNC, u"Check session key length", u"cbKey > dwExchangeBits / 8 - 11", NTE_BAD_LEN);
        return NTE_BAD_LEN;
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
        return NTE_BAD_ALGID;
    }
    {
        tessaro::UniqueCryptKey probe;
        if (!CryptGenKey(hProv, algSession, 0, probe.put())) {
            probe.release();
            hr = KevoLastErrorResult();
            KEVO_FAIL_W(FUNC, u"CryptGenKey", u"1", hr);
            return hr;
        }
        DWORD dwSessionBits = 0;
        hr = GetKeyDword(FUNC, probe.get(), KP_KEYLEN, u"CryptGetKeyParam-KP_KEYLEN", &dwSessionBits);
        if (FAILED(hr)) return hr;
        if (dwSessionBits < 8 * cbKey) {
            KEVO_FAIL_W(FUNC, u"Check session key length", u"dwSessionBits < 8 * cbKey", NTE_BAD_LEN);
            return NTE_BAD_LEN;
        }
    }

    tessaro::SecureBytes blob;
    hr = ComposePlainSessionBlob(hProv, algSession, algExchange, dwExchangeBits, pbKey, cbKey, blob);
    if (FAILED(KEVO_CHECK_W(FUNC, u"ComposePlainSessionBlob", hr))) return hr;
    if (!CryptImportKey(hProv, blob.data(), static_cast<DWORD>(blob.size()), hPubKey, CRYPT_EXPORTABLE,
                        phSessionKey)) {
        *phSessionKey = 0;
        hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptImportKey", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CryptImportKey");
    return KEVO_OK;
}

namespace {

// The key set that exists only while the private key is being decrypted.
// Members go in reverse: the keys before their context, the context before
// the key set is deleted.
struct TempKeySet {
    struct Removal {
        std::u16string wstrName;
        ~Removal() {
            if (wstrName.empty()) return;
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
    } keySet;
    tessaro::UniqueCryptProv prov;
    tessaro::UniqueCryptKey exponentOneKey;
    tessaro::UniqueCryptKey sessionKey;
};

}  // namespace

HRESULT DecryptPrivateKeywithSessionKey(tessaro::SecureBytes& privateKeyOut, ALG_ID algSession,
                                        const BYTE* pbSessionKey, DWORD cbSessionKey,
                                        const BYTE* pbEncryptedPrivateKey, DWORD cbEncryptedPrivateKey) {
    const LPCWSTR FUNC = u"DecryptPrivateKeywithSessionKey";
    TraceHelper th(FUNC);
    if (pbSessionKey == nullptr || cbSessionKey == 0 || pbEncryptedPrivateKey == nullptr ||
        cbEncryptedPrivateKey == 0) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"pbSessionKey == NULL || pbEncryptedPrivateKey == NULL",
                    KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }

    TempKeySet temp;
    std::u16string wstrName;
    HRESULT hr = CreateGUIDStr(wstrName);
    if (FAILED(KEVO_CHECK_W(FUNC, u"CreateGUIDStr", hr))) return hr;
    if (!CryptAcquireContextW(temp.prov.put(), wstrName.c_str(), TEMP_KEYSET_PROVIDER, PROV_RSA_FULL, 0)) {
        temp.prov.release();
        // From here on the destructor deletes whatever was made under the name.
        temp.keySet.wstrName = wstrName;
        if (!CryptAcquireContextW(temp.prov.put(), wstrName.c_str(), TEMP_KEYSET_PROVIDER, PROV_RSA_FULL,
                                  CRYPT_NEWKEYSET)) {
            temp.prov.release();
            hr = KevoLastErrorResult();
            KEVO_FAIL_W(FUNC, u"CryptAcquireContext", u"FALSE == bResult", hr);
            return hr;
        }
    } else {
        temp.keySet.wstrName = wstrName;
    }
    KevoTraceStepW(FUNC, u"CryptAcquireContext");

    if (FAILED(CreatePrivateExponentOneKey(temp.prov.get(), temp.exponentOneKey.put()))) {
        temp.exponentOneKey.release();
        KEVO_FAIL_W(FUNC, u"CreatePrivateExponentOneKey", u"FALSE", KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    KevoTraceStepW(FUNC, u"CreatePrivateExponentOneKey");

    if (FAILED(ImportPlainSessionBlob(temp.prov.get(), temp.exponentOneKey.get(), algSession, pbSessionKey,
                                      cbSessionKey, temp.sessionKey.put()))) {
        temp.sessionKey.release();
        KEVO_FAIL_W(FUNC, u"ImportPlainSessionBlob", u"FALSE", KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    KevoTraceStepW(FUNC, u"ImportPlainSessionBlob");

    const DWORD dwMode = CRYPT_MODE_ECB;
    if (!CryptSetKeyParam(temp.sessionKey.get(), KP_MODE, reinterpret_cast<const BYTE*>(&dwMode), 0)) {
        hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptSetKeyParam", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CryptSetKeyParam");

    return DecryptIntoBuffer(FUNC, temp.sessionKey.get(), pbEncryptedPrivateKey, cbEncryptedPrivateKey, false,
                             privateKeyOut);
}

// ---- PKCS#1 to PRIVATEKEYBLOB ------------------------------------------------------

HRESULT CopyPrivateKeyAttribute(BYTE byTag, const BYTE* pbContent, DWORD cbContent, tessaro::SecureBytes& attribute) {
    // An empty INTEGER would leave nothing to drop a zero octet from.
    if (byTag != 0x02 || pbContent == nullptr || cbContent == 0) return KEVO_E_IMPORT_ENCRYPT_CERT;
    if (pbContent[0] == 0x00) {
        ++pbContent;
        --cbContent;
    }
    tessaro::SecureBytes value(pbContent, pbContent + cbContent);
    SwapByteOrder(value.data(), static_cast<int>(value.size()));
    attribute.swap(value);
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
        tessaro::SecureBytes* out;
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

HRESULT getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(const BYTE* pbDer, DWORD cbDer, DWORD dwKeyBits,
                                                tessaro::SecureBytes& blobOut) {
    const LPCWSTR FUNC = u"getMicrosoftSoftPkcs1PrivateKeyBlob_RSA";
    TraceHelper th(FUNC);
    RSA_PRIVATE_KEY_NUMBERS numbers;
    HRESULT hr = DecodePrivateKey(pbDer, cbDer, numbers);
    if (FAILED(KEVO_CHECK_W(FUNC, u"getMicrosoftSoftPkcs1PrivateKeyBlob_RSA-DecodePrivateKey", hr))) return hr;
    // The agent's key length fixes every slot; the blob layout needs whole
    // half-modulus slots.
    const DWORD B = dwKeyBits;
    const size_t cbFull = B / 8, cbHalf = B / 16;
    // The modulus fills its slot exactly; any other number may be shorter
    // (high zero octets are not encoded) and is zero-padded at its high end.
    auto Fits = [](const tessaro::SecureBytes& v, size_t slot) { return !v.empty() && v.size() <= slot; };
    if (B < MIN_RSA_KEY_BITS || B > MAX_RSA_KEY_BITS || B % 16 != 0 || numbers.modulus.size() != cbFull ||
        !Fits(numbers.prime1, cbHalf) || !Fits(numbers.prime2, cbHalf) || !Fits(numbers.exponent1, cbHalf) ||
        !Fits(numbers.exponent2, cbHalf) || !Fits(numbers.coefficient, cbHalf) ||
        !Fits(numbers.privateExponent, cbFull)) {
        KEVO_FAIL_W(FUNC, u"PKCS1 RSA private key length", u"TRUE", KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }

    const DWORD cbBlob = RSA_BLOB_HEADER_SIZE + 9 * B / 16;
    tessaro::SecureBytes blob(cbBlob, 0);
    BYTE* pb = blob.data();
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
    blobOut.swap(blob);
    return KEVO_OK;
}

HRESULT CheckPrivateKeyMatchesCertificate(const BYTE* pbPrivateKey, DWORD cbPrivateKey, const BYTE* pbCert,
                                          DWORD cbCert) {
    const LPCWSTR FUNC = u"CheckPrivateKeyMatchesCertificate";
    TraceHelper th(FUNC);
    tessaro::UniqueCertContext cert;
    HRESULT hr = ParseCertificate(FUNC, pbCert, cbCert, cert);
    if (FAILED(hr)) return hr;
    const CERT_PUBLIC_KEY_INFO& info = cert.get()->pCertInfo->SubjectPublicKeyInfo;
    if (info.Algorithm.pszObjId == nullptr || strcmp(info.Algorithm.pszObjId, OID_RSA_ENCRYPTION) != 0 ||
        info.PublicKey.pbData == nullptr || info.PublicKey.cbData == 0) {
        KEVO_FAIL_W(FUNC, u"Check certificate key", u"not an RSA key", NTE_BAD_PUBLIC_KEY);
        return NTE_BAD_PUBLIC_KEY;
    }
    CASN1Node* pRoot = nullptr;
    LONG r = DecodeASN1Memory(&pRoot, info.PublicKey.pbData, info.PublicKey.cbData);
    std::unique_ptr<CASN1Node> certKey(pRoot);
    std::unique_ptr<CASN1Node> privateKey;
    hr = ParsePkcs1(pbPrivateKey, cbPrivateKey, privateKey);
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
    tessaro::UniqueCryptKey key;
    {
        tessaro::SecureBytes blob;
        HRESULT hr =
            getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(pbPrivateKey, cbPrivateKey, static_cast<DWORD>(nKeyLength), blob);
        if (FAILED(KEVO_STEP_W(FUNC, u"getMicrosoftSoftPkcs1PrivateKeyBlob_RSA", hr))) return hr;

        // A certificate of another key must not cost the container its key.
        hr = CheckPrivateKeyMatchesCertificate(pbPrivateKey, cbPrivateKey, pbCert, cbCert);
        if (FAILED(KEVO_STEP_W(FUNC, u"CheckPrivateKeyMatchesCertificate", hr))) return hr;

        hr = ImportKeyBlob(FUNC, hProv, blob.data(), static_cast<DWORD>(blob.size()), dwFlags,
                           IsMicrosoftCSP(wstrCSPName) ? u"Microsoft CSP: CryptImportKey"
                                                       : u"non-Microsoft's CSP: CryptImportKey",
                           u"FALSE == bResult", key);
        if (FAILED(hr)) return hr;
    }
    return BindIssuedCertificate(FUNC, wstrCSPName, wstrContainerName, hProv, key.get(), pbCert, cbCert,
                                 AT_KEYEXCHANGE, u"non-Microsoft's CSP: CryptSetKeyParam", u"FALSE == bResult");
}
