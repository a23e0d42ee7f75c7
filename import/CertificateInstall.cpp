// Installation of an issued certificate onto the key pair it was issued for.
#include "import/CertificateInstall.h"

#include <cstring>
#include <memory>
#include <vector>

#include "encoding/Codec.h"
#include "diag/Diagnostics.h"
#include "misc/Misc.h"
#include "diag/ResultCode.h"

#define TRACE_UNIT_W u"ImportEncryptCert"

namespace {

// Page-supplied bytes larger than this are never copied to the disk.
const DWORD MAX_DUMPED_CERTIFICATE = 64 * 1024;

// The SM2 provider's public blob: blob header, a 4-byte word, then X and Y
// in fields of 64 bytes, each coordinate least significant byte first.
const DWORD SM2_PUBLIC_KEY_BLOB_SIZE = 140;
const DWORD SM2_BLOB_X_OFFSET = 12;
const DWORD SM2_BLOB_Y_OFFSET = 12 + 64;
const DWORD SM2_COORDINATE_SIZE = 32;

DWORD ProviderTypeFor(const std::u16string& wstrCSPName) {
    return wstrCSPName.find(u"Microsoft Enhanced RSA and AES Cryptographic Provider") != std::u16string::npos
               ? PROV_RSA_AES
               : PROV_RSA_FULL;
}

HRESULT CompareRSAKey(HCRYPTPROV hProv, DWORD dwKeySpec, PCCERT_CONTEXT pCertContext) {
    const LPCWSTR FUNC = u"CheckCertificateMatchesKey";
    DWORD cbInfo = 0;
    if (!CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING, nullptr, &cbInfo) || cbInfo == 0) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptExportPublicKeyInfo(size)", u"1", hr);
        return hr;
    }
    // Aligned for the structure the buffer starts with.
    std::vector<ULONG_PTR> info((cbInfo + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR), 0);
    auto* pInfo = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data());
    if (!CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING, pInfo, &cbInfo)) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptExportPublicKeyInfo", u"1", hr);
        return hr;
    }
    if (!CertComparePublicKeyInfo(X509_ASN_ENCODING, pInfo, &pCertContext->pCertInfo->SubjectPublicKeyInfo)) {
        KEVO_FAIL_W(FUNC, u"CertComparePublicKeyInfo", u"certificate is not for the container key",
                    NTE_BAD_PUBLIC_KEY);
        return NTE_BAD_PUBLIC_KEY;
    }
    return KEVO_OK;
}

HRESULT CompareSM2Key(HCRYPTKEY hKey, PCCERT_CONTEXT pCertContext) {
    const LPCWSTR FUNC = u"CheckCertificateMatchesKey";
    DWORD cbBlob = 0;
    if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, nullptr, &cbBlob)) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptExportKey(size)", u"1", hr);
        return hr;
    }
    std::vector<BYTE> blob(cbBlob, 0);
    if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob)) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptExportKey", u"1", hr);
        return hr;
    }
    // An RSA key, or a blob of another layout, is not the certificate's point.
    if (cbBlob < SM2_PUBLIC_KEY_BLOB_SIZE) {
        KEVO_FAIL_W(FUNC, u"Check public key blob", u"cbBlob < 140", NTE_BAD_PUBLIC_KEY);
        return NTE_BAD_PUBLIC_KEY;
    }
    // The certificate carries the uncompressed point 04 || X || Y, big-endian.
    BYTE point[1 + 2 * SM2_COORDINATE_SIZE];
    point[0] = 0x04;
    for (DWORD i = 0; i < SM2_COORDINATE_SIZE; ++i) {
        point[1 + i] = blob[SM2_BLOB_X_OFFSET + SM2_COORDINATE_SIZE - 1 - i];
        point[1 + SM2_COORDINATE_SIZE + i] = blob[SM2_BLOB_Y_OFFSET + SM2_COORDINATE_SIZE - 1 - i];
    }
    const CRYPT_BIT_STRING_BLOB& certKey = pCertContext->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    if (certKey.cbData != sizeof(point) || certKey.cUnusedBits != 0 || certKey.pbData == nullptr ||
        memcmp(certKey.pbData, point, sizeof(point)) != 0) {
        KEVO_FAIL_W(FUNC, u"Compare SM2 public key", u"certificate is not for the container key",
                    NTE_BAD_PUBLIC_KEY);
        return NTE_BAD_PUBLIC_KEY;
    }
    return KEVO_OK;
}

}  // namespace

bool IsRSAAlgorithm(const std::u16string& wstrKeyAlgorithm) {
    return _wcsicmp(wstrKeyAlgorithm.c_str(), u"RSA") == 0;
}

bool IsMicrosoftCSP(const std::u16string& wstrCSPName) {
    return wstrCSPName.find(u"Microsoft") != std::u16string::npos;
}

HRESULT OpenRequestContainer(LPCWSTR FUNC, bool bRSA, DWORD dwRSAProvType, const std::u16string& wstrCSPName,
                             const std::u16string& wstrContainerName, tessaro::UniqueCryptProv& prov) {
    const LPCWSTR pwszStep = bRSA ? u"RSA CryptAcquireContext" : u"SM2 CryptAcquireContext";
    tessaro::UniqueCryptProv opened;
    if (!CryptAcquireContextW(opened.put(), wstrContainerName.c_str(), wstrCSPName.c_str(),
                              bRSA ? dwRSAProvType : PROV_RSA_FULL, bRSA ? 0 : CRYPT_VERIFYCONTEXT)) {
        opened.release();
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, pwszStep, u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, pwszStep);
    prov = std::move(opened);
    return KEVO_OK;
}

HRESULT ParseCertificate(LPCWSTR FUNC, const BYTE* pbCert, DWORD cbCert, tessaro::UniqueCertContext& cert) {
    cert.reset(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbCert, cbCert));
    if (!cert) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CertCreateCertificateContext", u"1", hr);
        return hr;
    }
    return KEVO_OK;
}

HRESULT GetContainerKey(LPCWSTR FUNC, HCRYPTPROV hProv, DWORD dwKeySpec, tessaro::UniqueCryptKey& key) {
    if (!CryptGetUserKey(hProv, dwKeySpec, key.put())) {
        key.release();
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptGetUserKey", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CryptGetUserKey");
    return KEVO_OK;
}

HRESULT ImportKeyBlob(LPCWSTR FUNC, HCRYPTPROV hProv, const BYTE* pbBlob, DWORD cbBlob, DWORD dwFlags,
                      LPCWSTR pwszStep, LPCWSTR pwszReason, tessaro::UniqueCryptKey& key) {
    if (!CryptImportKey(hProv, pbBlob, cbBlob, 0, dwFlags, key.put())) {
        key.release();
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, pwszStep, pwszReason, hr);
        return hr;
    }
    KevoTraceStepW(FUNC, pwszStep);
    return KEVO_OK;
}

HRESULT SetKeyCertificate(LPCWSTR FUNC, HCRYPTKEY hKey, const BYTE* pbCert, LPCWSTR pwszStep, LPCWSTR pwszReason) {
    if (!CryptSetKeyParam(hKey, KP_CERTIFICATE, pbCert, 0)) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, pwszStep, pwszReason, hr);
        return hr;
    }
    KevoTraceStepW(FUNC, pwszStep);
    return KEVO_OK;
}

HRESULT BindIssuedCertificate(LPCWSTR FUNC, const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                              HCRYPTPROV hProv, HCRYPTKEY hKey, const BYTE* pbCert, DWORD cbCert, DWORD dwKeySpec,
                              LPCWSTR pwszSetParamStep, LPCWSTR pwszReason) {
    if (!IsMicrosoftCSP(wstrCSPName)) return SetKeyCertificate(FUNC, hKey, pbCert, pwszSetParamStep, pwszReason);
    HRESULT hr = AddCertificateToSystemStore(wstrCSPName.c_str(), hProv, pbCert, cbCert, dwKeySpec,
                                             wstrContainerName.c_str());
    if (FAILED(KEVO_STEP_W(FUNC, u"AddCertificateToSystemStore", hr))) return hr;
    return KEVO_OK;
}

void EraseCommaInWstr(std::u16string& wstrText) {
    size_t out = 0;
    for (char16_t c : wstrText)
        if (c != u',') wstrText[out++] = c;
    wstrText.resize(out);
}

HRESULT DecodeBase64Key(LPCWSTR pwszBase64, tessaro::SecureBytes& data) {
    const LPCWSTR FUNC = u"DecodeBase64Key";
    TraceHelper th(FUNC);
    char* pszUTF8 = nullptr;
    int nUTF8Length = 0;
    HRESULT hr = UTF16ToUTF8(pwszBase64, &pszUTF8, &nUTF8Length);
    std::unique_ptr<char[]> holdUTF8(pszUTF8);
    if (FAILED(KEVO_CHECK_W(FUNC, u"UTF16ToUTF8 (Kernel) FAILED.", hr))) return hr;
    CodecBytes decoded;
    hr = Base64DecodeEx(pszUTF8, nUTF8Length, &decoded.pb, &decoded.n);
    if (FAILED(KEVO_CHECK_W(FUNC, u"Base64DecodeEx (Kernel) FAILED.", hr))) return hr;
    tessaro::SecureBytes out(decoded.pb, decoded.pb + decoded.n);
    data.swap(out);
    KevoTraceValueN("DecodeBase64Key length", decoded.n);
    return KEVO_OK;
}

HRESULT DecodeBase64Key(LPCWSTR pwszBase64, BYTE** ppbData, DWORD* pcbData) {
    if (ppbData == nullptr || pcbData == nullptr) {
        TraceHelper th(u"DecodeBase64Key");
        KEVO_FAIL_W(u"DecodeBase64Key", u"Check parameters", u"ppbData == NULL || pcbData == NULL", E_POINTER);
        return E_POINTER;
    }
    tessaro::SecureBytes data;
    HRESULT hr = DecodeBase64Key(pwszBase64, data);
    if (FAILED(hr)) return hr;
    BYTE* pbData = new BYTE[data.size() + 1]();
    if (!data.empty()) memcpy(pbData, data.data(), data.size());
    *ppbData = pbData;
    *pcbData = static_cast<DWORD>(data.size());
    return KEVO_OK;
}

HRESULT CheckCertificateMatchesKey(bool bRSA, HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwKeySpec,
                                   PCCERT_CONTEXT pCertContext) {
    TraceHelper th(u"CheckCertificateMatchesKey");
    if (pCertContext == nullptr || pCertContext->pCertInfo == nullptr) return E_POINTER;
    return bRSA ? CompareRSAKey(hProv, dwKeySpec, pCertContext) : CompareSM2Key(hKey, pCertContext);
}

HRESULT AddCertificateToSystemStore(LPCWSTR pwszCSPName, HCRYPTPROV hProv, const BYTE* pbCert, DWORD cbCert,
                                    DWORD dwKeySpec, LPCWSTR pwszContainerName) {
    const LPCWSTR FUNC = u"AddCertificateToSystemStore";
    TraceHelper th(FUNC);
    if (pwszCSPName == nullptr || pwszContainerName == nullptr || pbCert == nullptr || cbCert == 0) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"pwszCSPName == NULL || pbCert == NULL || 0 == cbCert",
                    E_INVALIDARG);
        return E_INVALIDARG;
    }

    // Never point the key-provider record of a certificate at a key that is
    // not its own: the certificate would lose its real key.
    tessaro::UniqueCertContext pParsed;
    HRESULT hr = ParseCertificate(FUNC, pbCert, cbCert, pParsed);
    if (FAILED(hr)) return hr;
    hr = CheckCertificateMatchesKey(true, hProv, 0, dwKeySpec, pParsed.get());
    if (FAILED(KEVO_STEP_W(FUNC, u"CheckCertificateMatchesKey", hr))) return hr;

    tessaro::UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, hProv,
                                                 CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG,
                                                 u"MY"));
    if (!store) {
        hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CertOpenStore", u"hCertStore == NULL", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CertOpenStore");

    tessaro::UniqueCertContext pCertContext;
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbCert, cbCert,
                                          CERT_STORE_ADD_REPLACE_EXISTING, pCertContext.put())) {
        pCertContext.release();
        hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CertAddEncodedCertificateToStore", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CertAddEncodedCertificateToStore");

    std::u16string wstrContainerName(pwszContainerName);
    std::u16string wstrCSPName(pwszCSPName);
    CRYPT_KEY_PROV_INFO keyProvInfo = {};
    keyProvInfo.pwszContainerName = wstrContainerName.data();
    keyProvInfo.pwszProvName = wstrCSPName.data();
    keyProvInfo.dwProvType = ProviderTypeFor(wstrCSPName);
    keyProvInfo.dwFlags = 0;
    keyProvInfo.cProvParam = 0;
    keyProvInfo.rgProvParam = nullptr;
    keyProvInfo.dwKeySpec = dwKeySpec;
    if (!CertSetCertificateContextProperty(pCertContext.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &keyProvInfo)) {
        hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CertSetCertificateContextProperty", u"1", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CertSetCertificateContextProperty");
    return KEVO_OK;
}

HRESULT ImportSignCert(const std::u16string& wstrKeyAlgorithm, std::u16string& wstrSignCert, DWORD dwKeySpec,
                       const std::u16string& wstrCSPName, const std::u16string& wstrContainerName) {
    const LPCWSTR FUNC = u"ImportSignCert";
    TraceHelper th(FUNC);
    KevoTraceValueW(u"wstrKeyAlgorithm", wstrKeyAlgorithm.c_str());
    KevoTraceValueN("dwKeySpec", static_cast<LONG>(dwKeySpec));
    KevoTraceValueW(u"wstrCSPName", wstrCSPName.c_str());
    KevoTraceValueW(u"wstrContainerName", wstrContainerName.c_str());

    EraseCommaInWstr(wstrSignCert);
    KevoTraceStepW(FUNC, u"EraseCommaInWstr");

    tessaro::SecureBytes cert;
    HRESULT hr = DecodeBase64Key(wstrSignCert.c_str(), cert);
    if (FAILED(KEVO_CHECK_W(FUNC, u"base64 decode public key FAILED.", hr))) return hr;
    KevoTraceStepW(FUNC, u"DecodeBase64Key");
    const BYTE* pbCert = cert.data();
    const DWORD cbCert = static_cast<DWORD>(cert.size());

    // Parsed once: the dump below and the key check before binding need it.
    // A parse failure is reported at the key check, after the container.
    tessaro::UniqueCertContext pCertContext(
        cbCert ? CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbCert, cbCert) : nullptr);
    HRESULT hrParse = pCertContext ? KEVO_OK : (cbCert ? KevoLastErrorResult() : CRYPT_E_ASN1_EOD);

    // A copy for whoever is tracing the import. Only then, only a real
    // certificate and only a bounded one: otherwise a page could fill the disk.
    if (KevoTraceEnabled(TRACE_FLAG_INFO) && pCertContext && cbCert <= MAX_DUMPED_CERTIFICATE) {
        std::u16string wstrTempFile;
        DumpDatatoTempFile(wstrTempFile, pbCert, cbCert);
        KevoTraceValueW(u"temp file", wstrTempFile.c_str());
    }

    const bool bRSA = IsRSAAlgorithm(wstrKeyAlgorithm);
    tessaro::UniqueCryptProv prov;
    hr = OpenRequestContainer(FUNC, bRSA, ProviderTypeFor(wstrCSPName), wstrCSPName, wstrContainerName, prov);
    if (FAILED(hr)) return hr;
    tessaro::UniqueCryptKey key;
    hr = GetContainerKey(FUNC, prov.get(), dwKeySpec, key);
    if (FAILED(hr)) return hr;

    if (!pCertContext) {
        KEVO_FAIL_W(FUNC, u"CertCreateCertificateContext", u"1", hrParse);
        return hrParse;
    }
    hr = CheckCertificateMatchesKey(bRSA, prov.get(), key.get(), dwKeySpec, pCertContext.get());
    if (FAILED(KEVO_STEP_W(FUNC, u"CheckCertificateMatchesKey", hr))) return hr;
    return BindIssuedCertificate(FUNC, wstrCSPName, wstrContainerName, prov.get(), key.get(), pbCert, cbCert,
                                 dwKeySpec, u"non-microsoft's CSP: CryptSetKeyParam", u"1");
}
