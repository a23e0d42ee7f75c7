// Key pair generation in a provider container and the request entry point:
// the container is created by the first key of a request, a double request
// generates its second key into it through the same handle, and the signed
// request is composed by PKCS10RequestBase64.
#include "request/CertificateRequisition.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "diag/Diagnostics.h"
#include "misc/Misc.h"
#include "request/PKCS10Request.h"
#include "diag/ResultCode.h"
#include "request/SubjectDN.h"
#include "tessaro/Handles.h"

#define TRACE_UNIT_W u"CertificateRequisition"

namespace {

// The one Microsoft provider of type PROV_RSA_AES; every other name, the other
// Microsoft providers included, is opened as PROV_RSA_FULL.
constexpr std::u16string_view kRsaAesProviderName = u"Microsoft Enhanced RSA and AES Cryptographic Provider";

DWORD GetProviderType(LPCWSTR pwszProviderName) {
    if (pwszProviderName && std::u16string_view(pwszProviderName).find(kRsaAesProviderName) != std::u16string_view::npos)
        return PROV_RSA_AES;
    return PROV_RSA_FULL;
}

LPWSTR DuplicateWString(const std::u16string& wstr) {
    LPWSTR p = new (std::nothrow) WCHAR[wstr.size() + 1]();
    if (p) std::memcpy(p, wstr.data(), wstr.size() * sizeof(WCHAR));
    return p;
}

// The RSAPublicKey inside an exported CERT_PUBLIC_KEY_INFO; NTE_BAD_PUBLIC_KEY
// when there is none.
HRESULT GetRSAPublicKeyBits(const BYTE* pbInfo, DWORD cbInfo, const BYTE** ppbKey, DWORD* pcbKey) {
    if (!pbInfo || cbInfo < sizeof(CERT_PUBLIC_KEY_INFO)) return NTE_BAD_PUBLIC_KEY;
    const auto* pInfo = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(pbInfo);
    if (!pInfo->PublicKey.pbData || pInfo->PublicKey.cbData == 0) return NTE_BAD_PUBLIC_KEY;
    *ppbKey = pInfo->PublicKey.pbData;
    *pcbKey = pInfo->PublicKey.cbData;
    return KEVO_OK;
}

// The length sits in the high 16 bits of the generation flags: a length that
// does not fit, or flags reaching into it, would change the key size.
HRESULT CheckKeyLength(LPCWSTR pwszFunc, LONG nKeyLength, DWORD dwGenKeyFlags, int nLine = __builtin_LINE()) {
    if (nKeyLength >= 1 && nKeyLength <= 0xFFFF && (dwGenKeyFlags & 0xFFFF0000u) == 0) return KEVO_OK;
    KevoTraceFailW(TRACE_UNIT_W, nLine, pwszFunc, u"Check parameter",
                   u"nKeyLength out of 1..0xFFFF || dwGenKeyFlags > 0xFFFF", E_INVALIDARG);
    return E_INVALIDARG;
}

// CreatePublicKey reads and may replace the request's provider handle; the
// holder takes back whatever it leaves there, also when it throws.
template <typename Create>
HRESULT WithProvider(tessaro::UniqueCryptProv& prov, Create create) {
    HCRYPTPROV hProv = prov.release();
    try {
        HRESULT hr = create(&hProv);
        prov.reset(hProv);
        return hr;
    } catch (...) {
        prov.reset(hProv);
        throw;
    }
}

}  // namespace

HRESULT GetProviderInfo(HCRYPTPROV hProv, DWORD dwParam, BYTE** ppbData, DWORD* pcbData) {
    static const WCHAR kFunc[] = u"GetProviderInfo";
    if (!ppbData || !pcbData) return E_POINTER;
    DWORD cbData = 0;
    if (!CryptGetProvParam(hProv, dwParam, nullptr, &cbData, 0))
        return KEVO_FAILED_W(kFunc, u"CryptGetProvParam(1)", u"1", KevoLastErrorResult());
    if (cbData == 0) return KEVO_FAILED_W(kFunc, u"CryptGetProvParam(1)", u"0 == dwDataLen", E_FAIL);
    // One spare zero byte keeps a text parameter terminated whatever the provider writes.
    std::unique_ptr<BYTE[]> data(new (std::nothrow) BYTE[static_cast<size_t>(cbData) + 1]());
    if (!data) return KEVO_FAILED_W(kFunc, u"New buffer", u"New Memory", E_OUTOFMEMORY);
    DWORD cbRead = cbData;
    if (!CryptGetProvParam(hProv, dwParam, data.get(), &cbRead, 0))
        return KEVO_FAILED_W(kFunc, u"CryptGetProvParam(2)", u"1", KevoLastErrorResult());
    *ppbData = data.release();
    *pcbData = cbRead <= cbData ? cbRead : cbData;
    return KEVO_OK;
}

HRESULT CreatePublicKey(LPWSTR* ppwszContainerName, LONG nKeyLength, LPCWSTR pwszProviderName, BOOL bRSA,
                        DWORD dwKeySpec, BOOL bCreateNew, HCRYPTPROV* phProv, DWORD dwGenKeyFlags,
                        BYTE** ppbPublicKey, DWORD* pcbPublicKey) {
    static const WCHAR kFunc[] = u"CreatePublicKey";
    TraceHelper trace(kFunc);
    HRESULT hr = KEVO_OK;
    if (!ppwszContainerName || !phProv || !ppbPublicKey || !pcbPublicKey)
        return KEVO_FAILED_W(kFunc, u"Check parameter", u"NULL out pointer", E_POINTER);
    hr = CheckKeyLength(kFunc, nKeyLength, dwGenKeyFlags);
    if (FAILED(hr)) return hr;

    std::u16string wstrKeyContainerName;
    if (*ppwszContainerName) wstrKeyContainerName = *ppwszContainerName;
    if (wstrKeyContainerName.empty()) {
        HRESULT hrGuid = CreateGUIDStr(wstrKeyContainerName);
        if (FAILED(hrGuid)) wstrKeyContainerName.clear();
        if (wstrKeyContainerName.empty())
            return KEVO_FAILED_W(kFunc, u"CreateGUIDStr", u"wstrKeyContainerName==L\"\"",
                                 hrGuid != KEVO_OK ? hrGuid : KevoLastErrorResult());
    }
    KevoTraceValueW(u"Container", wstrKeyContainerName.c_str());

    const DWORD dwProvType = GetProviderType(pwszProviderName);
    bool bAcquiredHere = false;
    if (*phProv == 0) {
        HCRYPTPROV hProv = 0;
        if (!CryptAcquireContextW(&hProv, wstrKeyContainerName.c_str(), pwszProviderName, dwProvType,
                                  bCreateNew ? CRYPT_NEWKEYSET : 0))
            return KEVO_FAILED_W(kFunc, u"CryptAcquireContext", u"bRetCode == FALSE", KevoLastErrorResult());
        *phProv = hProv;
        bAcquiredHere = true;
    }

    // A failure after this call created the container removes it again, on
    // every way out (running out of memory included); a container this call
    // did not create is left as it is.
    struct NewContainer {
        bool bRemove;
        HCRYPTPROV* phProv;
        const std::u16string& wstrName;
        LPCWSTR pwszProvider;
        DWORD dwProvType;
        BOOL bRSA;
        ~NewContainer() {
            if (!bRemove) return;
            CryptReleaseContext(*phProv, 0);
            *phProv = 0;
            HCRYPTPROV hDelete = 0;
            CryptAcquireContextW(&hDelete, wstrName.c_str(), pwszProvider, dwProvType,
                                 bRSA ? CRYPT_DELETEKEYSET : CRYPT_SM2_DELETEKEYSET);
        }
    } created{bCreateNew && bAcquiredHere, phProv, wstrKeyContainerName, pwszProviderName, dwProvType, bRSA};
    tessaro::UniqueCryptKey key;  // destroyed before the container is removed

    ALG_ID algid = dwKeySpec;
    if (!bRSA) algid = dwKeySpec == AT_KEYEXCHANGE ? CALG_SM2_KEYX : CALG_SM2_SIGN;
    const DWORD dwFlags = (static_cast<DWORD>(nKeyLength) << 16) | dwGenKeyFlags;
    if (!CryptGenKey(*phProv, algid, dwFlags, key.put()))
        return KEVO_FAILED_W(kFunc, u"CryptGenKey", u"1", KevoLastErrorResult());

    std::unique_ptr<BYTE[]> publicKey;
    DWORD cbPublicKey = 0;
    if (bRSA) {
        if (!CryptExportPublicKeyInfo(*phProv, dwKeySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, nullptr,
                                      &cbPublicKey))
            return KEVO_FAILED_W(kFunc, u"CryptExportPublicKeyInfo(1)", u"1", KevoLastErrorResult());
        if (cbPublicKey < sizeof(CERT_PUBLIC_KEY_INFO))
            return KEVO_FAILED_W(kFunc, u"CryptExportPublicKeyInfo(1)", u"cbPublicKey < sizeof(CERT_PUBLIC_KEY_INFO)",
                                 NTE_BAD_PUBLIC_KEY);
        publicKey.reset(new (std::nothrow) BYTE[cbPublicKey]());
        if (!publicKey) return KEVO_FAILED_W(kFunc, u"New buffer", u"!*lppPublicKey", E_OUTOFMEMORY);
        if (!CryptExportPublicKeyInfo(*phProv, dwKeySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                      reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(publicKey.get()), &cbPublicKey))
            return KEVO_FAILED_W(kFunc, u"CryptExportPublicKeyInfo(2)", u"1", KevoLastErrorResult());
        const BYTE* pbBits = nullptr;
        DWORD cbBits = 0;
        hr = GetRSAPublicKeyBits(publicKey.get(), cbPublicKey, &pbBits, &cbBits);
        if (FAILED(hr)) return KEVO_FAILED_W(kFunc, u"CryptExportPublicKeyInfo(2)", u"empty PublicKey", hr);
    } else {
        if (!CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, nullptr, &cbPublicKey))
            return KEVO_FAILED_W(kFunc, u"CryptExportKey(1)", u"1", KevoLastErrorResult());
        if (cbPublicKey == 0)
            return KEVO_FAILED_W(kFunc, u"CryptExportKey(1)", u"0 == dwPublicKeyLen", NTE_BAD_PUBLIC_KEY);
        publicKey.reset(new (std::nothrow) BYTE[cbPublicKey]());
        if (!publicKey) return KEVO_FAILED_W(kFunc, u"New buffer", u"!*lppPublicKey", E_OUTOFMEMORY);
        if (!CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, publicKey.get(), &cbPublicKey))
            return KEVO_FAILED_W(kFunc, u"CryptExportKey(2)", u"1", KevoLastErrorResult());
        // The request reads the coordinates at fixed offsets of the blob.
        if (cbPublicKey < SM2_PUBLICKEYBLOB_MIN_SIZE)
            return KEVO_FAILED_W(kFunc, u"Check SM2 PUBLICKEYBLOB size", u"dwPublicKeyLen < 140", NTE_BAD_PUBLIC_KEY);
    }
    KevoTraceValueN("Public key length", static_cast<LONG>(cbPublicKey));

    if (bCreateNew) {
        LPWSTR pwszName = DuplicateWString(wstrKeyContainerName);
        if (!pwszName) return KEVO_FAILED_W(kFunc, u"New buffer", u"New Memory", E_OUTOFMEMORY);
        *ppwszContainerName = pwszName;
    }
    *ppbPublicKey = publicKey.release();
    *pcbPublicKey = cbPublicKey;
    created.bRemove = false;
    return KEVO_OK;
}

HRESULT PKCS10CertRequisition(LPWSTR* ppwszContainerName, LPCWSTR pwszProviderName, LPCWSTR pwszSubjectDN,
                              LONG lCertType, DWORD dwKeySpec, BOOL bRSA, LONG nKeyLength, DWORD dwGenKeyFlags,
                              ALG_ID algHash, char** ppszRequest, int* pnRequestLength) {
    static const WCHAR kFunc[] = u"PKCS10CertRequisition";
    TraceHelper trace(kFunc);
    HRESULT hr = KEVO_OK;
    if (!pwszSubjectDN) return KEVO_FAILED_W(kFunc, u"Check parameter", u"lpwSubjectDN == NULL", E_INVALIDARG);
    if (!ppwszContainerName || !ppszRequest || !pnRequestLength)
        return KEVO_FAILED_W(kFunc, u"Check parameter", u"NULL out pointer", E_POINTER);
    // Everything that can be checked is checked before a container exists.
    if (lCertType != 1 && lCertType != 2)
        return KEVO_FAILED_W(kFunc, u"Check parameter", u"(1 != lCertType && 2 != lCertType)", E_INVALIDARG);
    hr = CheckKeyLength(kFunc, nKeyLength, dwGenKeyFlags);
    if (FAILED(hr)) return hr;
    {
        // A subject that cannot be composed must not leave a container behind
        // whose name nobody would ever learn.
        BYTE* pbName = nullptr;
        int nName = 0;
        hr = ComposeSubject(pwszSubjectDN, &pbName, &nName);
        delete[] pbName;
        if (FAILED(hr)) return KEVO_FAILED_W(kFunc, u"ComposeSubject", u"FAILED(hResult)", hr);
    }

    const bool bDouble = lCertType == 2;
    tessaro::UniqueCryptProv prov;  // the request's provider, released when it is done
    std::unique_ptr<WCHAR[]> containerName;
    std::unique_ptr<BYTE[]> exchangeKey;
    DWORD cbExchangeKey = 0;
    if (bDouble) {
        LPWSTR pwszName = *ppwszContainerName;
        BYTE* pbKey = nullptr;
        hr = WithProvider(prov, [&](HCRYPTPROV* phProv) {
            return CreatePublicKey(&pwszName, bRSA ? EXCHANGE_KEY_LENGTH_RSA : EXCHANGE_KEY_LENGTH_SM2,
                                   pwszProviderName, bRSA, AT_KEYEXCHANGE, TRUE, phProv, 0, &pbKey, &cbExchangeKey);
        });
        exchangeKey.reset(pbKey);
        if (FAILED(hr)) return KEVO_FAILED_W(kFunc, u"CreatePublicKey-Exchange", u"FAILED(hResult)", hr);
        containerName.reset(pwszName);
    }

    std::unique_ptr<BYTE[]> signKey;
    DWORD cbSignKey = 0;
    {
        LPWSTR pwszName = bDouble ? containerName.get() : *ppwszContainerName;
        BYTE* pbKey = nullptr;
        hr = WithProvider(prov, [&](HCRYPTPROV* phProv) {
            return CreatePublicKey(&pwszName, nKeyLength, pwszProviderName, bRSA, dwKeySpec, bDouble ? FALSE : TRUE,
                                   phProv, dwGenKeyFlags, &pbKey, &cbSignKey);
        });
        signKey.reset(pbKey);
        if (FAILED(hr)) return KEVO_FAILED_W(kFunc, u"CreatePublicKey-Sign cert", u"FAILED(hResult)", hr);
        if (!bDouble) containerName.reset(pwszName);
    }

    // Checked after the keys exist, which then stay in the container.
    const char* pszSignAlgorithmOID = SZOID_SM3_WITH_SM2;
    ALG_ID algRequestHash = CALG_SM3;
    if (bRSA) {
        algRequestHash = algHash;
        if (algHash == CALG_SHA1) {
            pszSignAlgorithmOID = SZOID_SHA1_WITH_RSA;
        } else if (algHash == CALG_MD5) {
            pszSignAlgorithmOID = SZOID_MD5_WITH_RSA;
        } else {
            hr = KEVO_E_HASH_ALG;
            KEVO_FAIL_W(kFunc, u"Check hash algorithm", u"invalid hash algorithm", hr);
            return hr;
        }
    }

    PKCS10_REQUEST_INFO info = {};
    info.dwKeySpec = dwKeySpec;
    info.hProv = prov.get();
    info.pwszSubject = pwszSubjectDN;
    info.pszAlgorithmOID = bRSA ? SZOID_RSA_ENCRYPTION : SZOID_EC_PUBLIC_KEY;
    info.pszParameterOID = bRSA ? "" : SZOID_SM2_CURVE;
    info.algHash = algRequestHash;
    info.pszSignAlgorithmOID = pszSignAlgorithmOID;
    info.bSM2 = bRSA ? FALSE : TRUE;
    if (bRSA) {
        hr = GetRSAPublicKeyBits(signKey.get(), cbSignKey, &info.pbSignPublicKey, &info.cbSignPublicKey);
        if (SUCCEEDED(hr) && bDouble)
            hr = GetRSAPublicKeyBits(exchangeKey.get(), cbExchangeKey, &info.pbExchangePublicKey,
                                     &info.cbExchangePublicKey);
        if (FAILED(hr)) return KEVO_FAILED_W(kFunc, u"Read CERT_PUBLIC_KEY_INFO", u"empty PublicKey", hr);
    } else {
        info.pbSignPublicKey = signKey.get();
        info.cbSignPublicKey = cbSignKey;
        if (bDouble) {
            info.pbExchangePublicKey = exchangeKey.get();
            info.cbExchangePublicKey = cbExchangeKey;
        }
    }

    char* pszRequest = nullptr;
    int nRequest = 0;
    hr = PKCS10RequestBase64(info, &pszRequest, &nRequest);
    if (FAILED(hr)) {
        delete[] pszRequest;
        KEVO_FAIL_W(kFunc, u"PKCS10RequestBase64", u"FAILED(hResult)", hr);
        return hr;
    }
    LPCWSTR pwszLabel = bRSA ? (bDouble ? u"PKCS10RequestBase64-RSA-Double Certificate"
                                        : u"PKCS10RequestBase64-RSA-Single Certificate")
                             : (bDouble ? u"PKCS10RequestBase64-SM2-Double Certificate"
                                        : u"PKCS10RequestBase64-SM2-Single Certificate");
    KevoTraceStepW(kFunc, pwszLabel);

    *ppszRequest = pszRequest;
    *pnRequestLength = nRequest;
    *ppwszContainerName = containerName.release();
    return KEVO_OK;
}
