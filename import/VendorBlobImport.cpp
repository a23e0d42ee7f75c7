// Encryption-certificate import, the envelope path: the keys stay encrypted
// and go to the provider in its vendor import blob, which carries the
// address of the key material (RSA: the composed envelope; SM2: the
// ciphertext of the private key).
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "encoding/ASN1Composer.h"
#include "import/CertificateInstall.h"
#include "diag/Diagnostics.h"
#include "import/ImportEncryptCert.h"
#include "diag/ResultCode.h"

#define TRACE_UNIT_W u"ImportEncryptCert"

namespace {

const char OID_RSA_ENCRYPTION[] = "1.2.840.113549.1.1.1";
const char OID_VENDOR_3DES_ECB[] = "1.3.6.1.4.1.4929.1.7";

// The vendor form of a PRIVATEKEYBLOB: the blob header with reserved word 1,
// the algorithm twice, the given 32-bit fields, then the address of the key
// material. The caller checked that cbBlob holds them.
void FillVendorBlob(BYTE* pbBlob, DWORD cbBlob, ALG_ID alg, std::initializer_list<DWORD> fields,
                    const BYTE* pbKeyMaterial) {
    memset(pbBlob, 0, cbBlob);
    pbBlob[0] = PRIVATEKEYBLOB;
    pbBlob[1] = CUR_BLOB_VERSION;
    pbBlob[2] = 1;
    PutDword(pbBlob + 4, alg);
    PutDword(pbBlob + 8, alg);
    BYTE* pb = pbBlob + 12;
    for (DWORD v : fields) {
        PutDword(pb, v);
        pb += 4;
    }
    const uintptr_t address = reinterpret_cast<uintptr_t>(pbKeyMaterial);
    memcpy(pb, &address, sizeof(void*));
}

// The names one import reports its two steps under.
struct VendorImportSteps {
    LPCWSTR pwszImport, pwszSetParam, pwszReason;
};

// Hands the vendor blob to the provider and binds the certificate to the key
// it makes. *pbKeyImported and *pbImportRefused as for the callers.
HRESULT ImportVendorBlob(LPCWSTR FUNC, HCRYPTPROV hProv, const BYTE* pbBlob, DWORD cbBlob, DWORD dwFlags,
                         const BYTE* pbCert, const VendorImportSteps& steps, bool* pbKeyImported,
                         bool* pbImportRefused) {
    tessaro::UniqueCryptKey key;
    HRESULT hr = ImportKeyBlob(FUNC, hProv, pbBlob, cbBlob, dwFlags, steps.pwszImport, steps.pwszReason, key);
    if (FAILED(hr)) {
        if (pbImportRefused) *pbImportRefused = true;
        return hr;
    }
    if (pbKeyImported) *pbKeyImported = true;
    return SetKeyCertificate(FUNC, key.get(), pbCert, steps.pwszSetParam, steps.pwszReason);
}

}  // namespace

HRESULT GetCSPHandleofTempPublickey(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                                    const std::u16string& wstrKeyAlgorithm, tessaro::UniqueCryptProv& prov) {
    const LPCWSTR FUNC = u"GetCSPHandleofTempPublickey";
    TraceHelper th(FUNC);
    return OpenRequestContainer(FUNC, IsRSAAlgorithm(wstrKeyAlgorithm), PROV_RSA_FULL, wstrCSPName,
                                wstrContainerName, prov);
}

// ---- RSA --------------------------------------------------------------------------

HRESULT ComposeObjectIdentifier(const char* pszObjId, std::vector<BYTE>& encoded) {
    const LPCWSTR FUNC = u"ComposeObjectIdentifier";
    TraceHelper th(FUNC);
    // SEQUENCE { OID, NULL }: the identifier is what lies between the
    // two-octet header and the two octets of NULL.
    BYTE* pbRaw = nullptr;
    int nRaw = 0;
    HRESULT hr = ComposeSpecialAttribute(pszObjId, nullptr, 0, &pbRaw, &nRaw);
    std::unique_ptr<BYTE[]> raw(pbRaw);
    if (FAILED(KEVO_CHECK_W(FUNC, u"ComposeSpecialAttribute", hr))) return hr;
    if (nRaw < 6 || raw[0] != 0x30 || raw[1] != nRaw - 2 || raw[2] != 0x06 || raw[nRaw - 2] != 0x05 ||
        raw[nRaw - 1] != 0x00) {
        KEVO_FAIL_W(FUNC, u"Check SEQUENCE { OID, NULL }", u"TRUE", E_FAIL);
        return E_FAIL;
    }
    encoded.assign(raw.get() + 2, raw.get() + nRaw - 2);
    return KEVO_OK;
}

HRESULT ComposeRSAEVPPrivateKey(const BYTE* pbEncryptedPrivateKey, DWORD cbEncryptedPrivateKey,
                                const BYTE* pbEncryptedSessionKey, DWORD cbEncryptedSessionKey,
                                tessaro::SecureBytes& envelope) {
    const LPCWSTR FUNC = u"ComposeRSAEVPPrivateKey";
    TraceHelper th(FUNC);
    if (cbEncryptedPrivateKey > 0x7FFFFFF || cbEncryptedSessionKey > 0x7FFFFFF) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"ppbEnvelope == NULL || length out of range", E_INVALIDARG);
        return E_INVALIDARG;
    }
    tessaro::SecureBytes content = {0x02, 0x01, 0x01};
    for (const auto& oid : {std::make_pair(OID_RSA_ENCRYPTION, u"ComposeObjectIdentifier -- AsymAlgID"),
                            std::make_pair(OID_VENDOR_3DES_ECB, u"ComposeObjectIdentifier -- SymAlgID")}) {
        std::vector<BYTE> encoded;
        HRESULT hr = ComposeObjectIdentifier(oid.first, encoded);
        if (FAILED(KEVO_CHECK_W(FUNC, oid.second, hr))) return hr;
        content.insert(content.end(), encoded.begin(), encoded.end());
    }
    const struct {
        const BYTE* pb;
        DWORD cb;
        LPCWSTR pwszStep;
    } keys[] = {{pbEncryptedSessionKey, cbEncryptedSessionKey, u"ComposeAnyString -- pbEncryptedSessionKey"},
                {pbEncryptedPrivateKey, cbEncryptedPrivateKey, u"ComposeAnyString -- pbEncryptedPrivateKey"}};
    for (const auto& k : keys) {
        CodecBytes element;
        HRESULT hr = ComposeAnyString(static_cast<int>(k.cb), CERT_RDN_OCTET_STRING, k.pb, &element.pb, &element.n);
        if (FAILED(KEVO_CHECK_W(FUNC, k.pwszStep, hr))) return hr;
        content.insert(content.end(), element.pb, element.pb + element.n);
    }

    CodecBytes total;
    HRESULT hr = ASN1Encode(0x30, content.data(), static_cast<int>(content.size()), &total.pb, &total.n);
    if (FAILED(KEVO_CHECK_W(FUNC, u"ASN1Encode", hr))) return hr;
    if (total.pb == nullptr) {
        KEVO_FAIL_W(FUNC, u"new memory", u"!pTempTotal", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    tessaro::SecureBytes composed(total.pb, total.pb + total.n);
    envelope.swap(composed);
    return KEVO_OK;
}

HRESULT FillRSAVendorImportBlob(DWORD dwKeyBits, const BYTE* pbEnvelope, DWORD cbEnvelope, BYTE* pbBlob,
                                DWORD cbBlob) {
    if (pbBlob == nullptr || cbBlob != RSA_VENDOR_IMPORT_BLOB_SIZE || cbEnvelope > 0x1FFFFFFFu) return E_INVALIDARG;
    FillVendorBlob(pbBlob, cbBlob, CALG_RSA_KEYX, {dwKeyBits, cbEnvelope * 8}, pbEnvelope);
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
    tessaro::SecureBytes envelope;
    HRESULT hr = ComposeRSAEVPPrivateKey(pbEncryptedPrivateKey, cbEncryptedPrivateKey, pbEncryptedSessionKey,
                                         cbEncryptedSessionKey, envelope);
    if (FAILED(KEVO_STEP_W(FUNC, u"ComposeRSAEVPPrivateKey", hr))) return hr;

    BYTE blob[RSA_VENDOR_IMPORT_BLOB_SIZE] = {};
    hr = FillRSAVendorImportBlob(static_cast<DWORD>(nKeyLength), envelope.data(), static_cast<DWORD>(envelope.size()),
                                 blob, sizeof(blob));
    if (FAILED(KEVO_CHECK_W(FUNC, u"FillRSAVendorImportBlob", hr))) return hr;
    return ImportVendorBlob(FUNC, hProv, blob, sizeof(blob), dwFlags, pbCert,
                            {u"ImportEncryptCertEx_RSA non-microsoft's CSP: CryptImportKey",
                             u"ImportEncryptCertEx_RSA non-microsoft's CSP: CryptSetKeyParam", u"1"},
                            pbKeyImported, pbImportRefused);
}

// ---- SM2 -----------------------------------------------------------------------

HRESULT FillSM2VendorImportBlob(const BYTE* pbCiphertext, DWORD cbCiphertext, BYTE* pbBlob, DWORD cbBlob) {
    if (pbBlob == nullptr || cbBlob != SM2_VENDOR_IMPORT_BLOB_SIZE || cbCiphertext > 0x1FFFFFFFu)
        return E_INVALIDARG;
    FillVendorBlob(pbBlob, cbBlob, CALG_SM2_KEYX, {cbCiphertext * 8}, pbCiphertext);
    return KEVO_OK;
}

HRESULT ImportEncryptCertEx_SM2(const BYTE* pbCert, const BYTE* pbCiphertext, DWORD cbCiphertext, HCRYPTPROV hProv,
                                DWORD cbCert, DWORD dwFlags, bool* pbKeyImported, bool* pbImportRefused) {
    const LPCWSTR FUNC = u"ImportEncryptCertEx_SM2";
    TraceHelper th(FUNC);
    if (pbKeyImported) *pbKeyImported = false;
    if (pbImportRefused) *pbImportRefused = false;
    if (hProv == 0 || pbCert == nullptr || cbCert == 0 || pbCiphertext == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"hProv == NULL || pbCert == NULL || pbCiphertext == NULL",
                    E_INVALIDARG);
        return E_INVALIDARG;
    }
    // C1 and C3 alone take 96 bytes; a shorter text is no SM2 ciphertext.
    if (cbCiphertext < SM2_MIN_CIPHERTEXT_LENGTH) {
        KEVO_FAIL_W(FUNC, u"Check ciphertext length", u"cbCiphertext < 96", KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    BYTE blob[SM2_VENDOR_IMPORT_BLOB_SIZE] = {};
    HRESULT hr = FillSM2VendorImportBlob(pbCiphertext, cbCiphertext, blob, sizeof(blob));
    if (FAILED(KEVO_CHECK_W(FUNC, u"FillSM2VendorImportBlob", hr))) return hr;
    return ImportVendorBlob(FUNC, hProv, blob, sizeof(blob), dwFlags, pbCert,
                            {u"CryptImportKey", u"CryptSetKeyParam", u"!bResult"}, pbKeyImported, pbImportRefused);
}

HRESULT BindCertificateToImportedExchangeKey(bool bRSA, HCRYPTPROV hProv, const BYTE* pbCert, DWORD cbCert,
                                             HRESULT hrImport) {
    const LPCWSTR FUNC = u"BindCertificateToImportedExchangeKey";
    TraceHelper th(FUNC);
    // The provider replaces the temporary exchange key as it imports, before
    // the certificate is bound. A page that first passed the wrong
    // certificate and retries with the right one and the same envelope can
    // no longer have it decrypted; the key it carries is already in place.
    if (hProv == 0 || pbCert == nullptr || cbCert == 0) return hrImport;
    tessaro::UniqueCertContext pCert;
    if (FAILED(ParseCertificate(FUNC, pbCert, cbCert, pCert))) return hrImport;
    tessaro::UniqueCryptKey key;
    if (!CryptGetUserKey(hProv, AT_KEYEXCHANGE, key.put())) {
        key.release();
        KEVO_FAIL_W(FUNC, u"CryptGetUserKey", u"1", KevoLastErrorResult());
        return hrImport;
    }
    HRESULT hr = CheckCertificateMatchesKey(bRSA, hProv, key.get(), AT_KEYEXCHANGE, pCert.get());
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"CheckCertificateMatchesKey", u"FAILED(hResult)", hr);
        return hrImport;
    }
    KevoTraceStepW(FUNC, u"CheckCertificateMatchesKey");
    return SetKeyCertificate(FUNC, key.get(), pbCert, u"CryptSetKeyParam", u"!bResult");
}

// Both reorderings keep C1 in front and swap C2 (variable length) with C3
// (32 bytes). The trace names the calling routine and its own argument names.
static HRESULT ReorderSM2Ciphertext(LPCWSTR FUNC, const BYTE* pbIn, DWORD cbCiphertext, tessaro::SecureBytes& out,
                                    bool bInIsC1C3C2, LPCWSTR pwszArgsReason) {
    if (pbIn == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameters", pwszArgsReason, E_INVALIDARG);
        return E_INVALIDARG;
    }
    if (cbCiphertext < SM2_MIN_CIPHERTEXT_LENGTH) {
        KEVO_FAIL_W(FUNC, u"Check ciphertext length", u"cbCiphertext < 96", KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    tessaro::SecureBytes reordered(static_cast<size_t>(cbCiphertext) + 1, 0);
    BYTE* pbOut = reordered.data();
    const DWORD cbC2 = cbCiphertext - SM2_MIN_CIPHERTEXT_LENGTH;
    memcpy(pbOut, pbIn, SM2_C1_LENGTH);
    if (bInIsC1C3C2) {
        memcpy(pbOut + SM2_C1_LENGTH, pbIn + SM2_MIN_CIPHERTEXT_LENGTH, cbC2);
        memcpy(pbOut + SM2_C1_LENGTH + cbC2, pbIn + SM2_C1_LENGTH, SM2_C3_LENGTH);
    } else {
        memcpy(pbOut + SM2_C1_LENGTH, pbIn + cbCiphertext - SM2_C3_LENGTH, SM2_C3_LENGTH);
        memcpy(pbOut + SM2_MIN_CIPHERTEXT_LENGTH, pbIn + SM2_C1_LENGTH, cbC2);
    }
    out.swap(reordered);
    return KEVO_OK;
}

HRESULT ConvertC1C3C2ToC1C2C3(const BYTE* pbC1C3C2, DWORD cbCiphertext, tessaro::SecureBytes& c1c2c3) {
    const LPCWSTR FUNC = u"ConvertC1C3C2ToC1C2C3";
    TraceHelper th(FUNC);
    return ReorderSM2Ciphertext(FUNC, pbC1C3C2, cbCiphertext, c1c2c3, true, u"pbC1C3C2 == NULL || ppbC1C2C3 == NULL");
}

HRESULT ConvertC1C2C3ToC1C3C2(const BYTE* pbC1C2C3, DWORD cbCiphertext, tessaro::SecureBytes& c1c3c2) {
    const LPCWSTR FUNC = u"ConvertC1C2C3ToC1C3C2";
    TraceHelper th(FUNC);
    return ReorderSM2Ciphertext(FUNC, pbC1C2C3, cbCiphertext, c1c3c2, false, u"pbC1C2C3 == NULL || ppbC1C3C2 == NULL");
}
