// The enrollment agent's settings, argument checks and simple operations.
#include "agent/CryptoAgent.h"

#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "agent/CertificateListing.h"
#include "request/CertificateRequisition.h"
#include "diag/Diagnostics.h"
#include "import/CertificateInstall.h"
#include "import/ImportEncryptCert.h"
#include "diag/ResultCode.h"

#define TRACE_UNIT_W u"..\\..\\Tessaro\\CryptoAgent"

namespace {

// Consecutive provider indexes that may fail to size before the enumeration
// gives up: a broken registration must not make the listing spin forever.
const DWORD MAX_CONSECUTIVE_PROVIDER_FAILURES = 16;

const size_t ERROR_DESC_CCH = 512;

bool IsEmptyW(LPCWSTR pwsz) { return pwsz == nullptr || 0 == wcslen(pwsz); }

bool ContainsW(const std::u16string& wstr, const char16_t* pwszPart) {
    return wstr.find(pwszPart) != std::u16string::npos;
}

// A new BSTR holding the text, or null when it cannot be allocated.
BSTR NewBSTR(const std::u16string& wstr) {
    return SysAllocStringLen(wstr.data(), static_cast<UINT>(wstr.size()));
}

// An operation that ran out of memory part-way: the holders of what it had
// made released it on the way out, and the failure is the operation's result.
HRESULT OutOfMemory(LPCWSTR pwszFunction, LONG* pnLastError) {
    KEVO_FAIL_W(pwszFunction, u"std::bad_alloc", u"out of memory", E_OUTOFMEMORY);
    if (pnLastError) *pnLastError = E_OUTOFMEMORY;
    return E_OUTOFMEMORY;
}

}  // namespace

void StripBlanks(std::u16string& wstr) {
    size_t first = wstr.find_first_not_of(u' ');
    if (first == std::u16string::npos) {
        wstr.clear();
        return;
    }
    size_t last = wstr.find_last_not_of(u' ');
    wstr = wstr.substr(first, last - first + 1);
}

HRESULT GetAllCSPName(std::u16string& wstrCSPNames) {
    const LPCWSTR FUNC = u"GetAllCSPName";
    TraceHelper th(FUNC);
    wstrCSPNames.clear();
    std::u16string wstrList;
    DWORD dwConsecutiveFailures = 0;
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD dwProvType = 0;
        DWORD cbName = 0;
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, nullptr, &cbName)) {
            DWORD dwError = GetLastError();
            if (dwError == ERROR_NO_MORE_ITEMS) break;
            HRESULT hr = KevoLastErrorResult();
            KEVO_FAIL_W(FUNC, u"CryptEnumProvidersW(size)", u"!bResult", hr);
            // Exhausted memory is no broken registration: skipping the index
            // would answer a list with a provider missing.
            if (dwError == static_cast<DWORD>(NTE_NO_MEMORY) || dwError == ERROR_NOT_ENOUGH_MEMORY ||
                dwError == ERROR_OUTOFMEMORY)
                return hr;
            if (++dwConsecutiveFailures >= MAX_CONSECUTIVE_PROVIDER_FAILURES) return hr;
            continue;
        }
        dwConsecutiveFailures = 0;
        // cbName is a byte count that includes the terminator.
        std::vector<WCHAR> name(cbName / sizeof(WCHAR) + 1, 0);
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, name.data(), &cbName)) {
            HRESULT hr = KevoLastErrorResult();
            KEVO_FAIL_W(FUNC, u"CryptEnumProvidersW", u"!bResult", hr);
            return hr;
        }
        if (!wstrList.empty()) wstrList += u"||";
        wstrList += name.data();
    }
    wstrCSPNames.swap(wstrList);
    KevoTraceValueW(u"CSP names", wstrCSPNames.c_str());
    return KEVO_OK;
}

CCryptoAgent::CCryptoAgent(HMODULE hResourceModule)
    : m_nLastError(KEVO_OK), m_nKeyLength(0), m_hResourceModule(hResourceModule) {}

CCryptoAgent::~CCryptoAgent() = default;

HRESULT CCryptoAgent::KEVO_GetCSPInfo(BSTR* pbstrCSPInfo) try {
    const LPCWSTR FUNC = u"CCryptoAgent::KEVO_GetCSPInfo";
    TraceHelper th(FUNC);
    HRESULT hResult = KEVO_OK;
    std::u16string wstrNames;
    if (pbstrCSPInfo == nullptr) {
        hResult = E_POINTER;
        KEVO_FAIL_W(FUNC, u"Check parameter", u"pbstrCSPInfo == NULL", hResult);
    } else if (FAILED(hResult = GetAllCSPName(wstrNames))) {
        KEVO_FAIL_W(FUNC, u"GetAllCSPName", u"FAILED(hResult)", hResult);
    } else {
        BSTR bstr = NewBSTR(wstrNames);
        if (bstr == nullptr) {
            hResult = E_OUTOFMEMORY;
            KEVO_FAIL_W(FUNC, u"SysAllocString", u"!bstrCSPInfo", hResult);
        } else {
            *pbstrCSPInfo = bstr;
            KevoTraceStepW(FUNC, u"GetAllCSPName");
        }
    }
    m_nLastError = hResult;
    return hResult;
} catch (const std::bad_alloc&) {
    return OutOfMemory(u"CCryptoAgent::KEVO_GetCSPInfo", &m_nLastError);
}

HRESULT CCryptoAgent::KEVO_SetCSPInfo(LONG nKeyLength, BSTR bstrCSPName, VARIANT_BOOL* pbResult) try {
    const LPCWSTR FUNC = u"CCryptoAgent::KEVO_SetCSPInfo";
    TraceHelper th(FUNC);
    KevoTraceValueN("nKeyLength", nKeyLength);
    KevoTraceValueW(u"bstrCSPName", bstrCSPName);
    HRESULT hResult = KEVO_OK;
    do {
        if (pbResult == nullptr) {
            hResult = E_POINTER;
            KEVO_FAIL_W(FUNC, u"Check parameter", u"pbResult == NULL", hResult);
            break;
        }
        if (IsEmptyW(bstrCSPName)) {
            hResult = E_INVALIDARG;
            KEVO_FAIL_W(FUNC, u"Check parameter", u"bstrCSPName == NULL || wcslen(bstrCSPName) == 0", hResult);
            break;
        }
        std::u16string wstrCSPName(bstrCSPName);
        StripBlanks(wstrCSPName);
        if (wstrCSPName.size() == 0) {
            hResult = E_INVALIDARG;
            KEVO_FAIL_W(FUNC, u"CSP name cannot be NULL.", u"wstrCSPName.size() == 0", hResult);
            break;
        }
        if (ContainsW(wstrCSPName, u"Microsoft")) {
            if (ContainsW(wstrCSPName, u"Base")) {
                if (nKeyLength != 512 && nKeyLength != 1024) {
                    hResult = KEVO_E_KEY_LENGTH;
                    KEVO_FAIL_W(FUNC, u"Check key length", u"key length doesnot support(base).", hResult);
                    break;
                }
            } else if (nKeyLength != 512 && nKeyLength != 1024 && nKeyLength != 2048 && nKeyLength != 4096) {
                hResult = KEVO_E_KEY_LENGTH;
                KEVO_FAIL_W(FUNC, u"Check key length", u"key length doesnot support(non-base).", hResult);
                break;
            }
        }
        KevoTraceStepW(FUNC, u"Check parameters");
        // Pages escape '&' in provider names; only the first escape is undone.
        size_t pos = wstrCSPName.find(u"&amp;");
        if (pos != std::u16string::npos) wstrCSPName.replace(pos, 5, u"&");
        m_nKeyLength = nKeyLength;
        m_wstrCSPName.swap(wstrCSPName);
        *pbResult = VARIANT_TRUE;
        KevoTraceValueW(u"m_wstrCSPName", m_wstrCSPName.c_str());
    } while (false);
    m_nLastError = hResult;
    return hResult;
} catch (const std::bad_alloc&) {
    return OutOfMemory(u"CCryptoAgent::KEVO_SetCSPInfo", &m_nLastError);
}

HRESULT CCryptoAgent::KEVO_SetKeyAlgorithm(BSTR bstrKeyAlgorithm, VARIANT_BOOL* pbResult) try {
    const LPCWSTR FUNC = u"CCryptoAgent::KEVO_SetKeyAlgorithm";
    TraceHelper th(FUNC);
    KevoTraceValueW(u"bstrKeyAlgorithm", bstrKeyAlgorithm);
    HRESULT hResult = KEVO_OK;
    do {
        if (pbResult == nullptr) {
            hResult = E_POINTER;
            KEVO_FAIL_W(FUNC, u"Check parameter", u"pbResult == NULL", hResult);
            break;
        }
        if (IsEmptyW(bstrKeyAlgorithm)) {
            hResult = E_INVALIDARG;
            KEVO_FAIL_W(FUNC, u"Check parameter", u"bstrKeyAlgorithm == NULL || wcslen(bstrKeyAlgorithm) == 0",
                        hResult);
            break;
        }
        std::u16string wstrKeyAlgorithm(bstrKeyAlgorithm);
        StripBlanks(wstrKeyAlgorithm);
        if (wstrKeyAlgorithm.size() == 0) {
            hResult = E_INVALIDARG;
            KEVO_FAIL_W(FUNC, u"Check parameter", u"wstrKeyAlgorithm.size() == 0", hResult);
            break;
        }
        if (_wcsicmp(wstrKeyAlgorithm.c_str(), u"RSA") != 0 && _wcsicmp(wstrKeyAlgorithm.c_str(), u"SM2") != 0) {
            hResult = KEVO_E_KEY_ALGORITHM;
            KEVO_FAIL_W(FUNC, u"Check key algorithm", u"key algorithm does not support.", hResult);
            break;
        }
        KevoTraceStepW(FUNC, u"Check parameters");
        m_wstrKeyAlgorithm.swap(wstrKeyAlgorithm);
        *pbResult = VARIANT_TRUE;
    } while (false);
    m_nLastError = hResult;
    return hResult;
} catch (const std::bad_alloc&) {
    return OutOfMemory(u"CCryptoAgent::KEVO_SetKeyAlgorithm", &m_nLastError);
}

HRESULT CCryptoAgent::KEVO_ImportEncryptCert(BSTR bstrEncryptedPrivateKey, BSTR bstrP7Cert, BSTR bstrContainerName,
                                             LONG nEncryptCertPrivateKeyFlags, VARIANT_BOOL* pbResult) try {
    const LPCWSTR FUNC = u"CCryptoAgent::KEVO_ImportEncryptCert";
    TraceHelper th(FUNC);
    KevoTraceValueW(u"bstrEncryptedPrivateKey", bstrEncryptedPrivateKey);
    KevoTraceValueW(u"bstrP7Cert", bstrP7Cert);
    KevoTraceValueW(u"bstrContainerName", bstrContainerName);
    KevoTraceValueN("nEncryptCertPrivateKeyFlags", nEncryptCertPrivateKeyFlags);
    HRESULT hResult = KEVO_OK;
    do {
        if (pbResult == nullptr) {
            hResult = E_POINTER;
            KEVO_FAIL_W(FUNC, u"Check parameter", u"pbResult == NULL", hResult);
            break;
        }
        if (IsEmptyW(bstrEncryptedPrivateKey) || IsEmptyW(bstrP7Cert) || IsEmptyW(bstrContainerName)) {
            hResult = E_INVALIDARG;
            KEVO_FAIL_W(FUNC, u"Check parameter",
                        u"bstrEncryptedPrivateKey == NULL || bstrP7Cert == NULL || bstrContainerName == NULL || "
                        u"0 == wcslen(bstrEncryptedPrivateKey) || 0 == wcslen(bstrP7Cert) || "
                        u"0 == wcslen(bstrContainerName)",
                        hResult);
            break;
        }
        std::u16string wstrEncryptedPrivateKey(bstrEncryptedPrivateKey);
        std::u16string wstrP7Cert(bstrP7Cert);
        std::u16string wstrContainerName(bstrContainerName);
        StripBlanks(wstrEncryptedPrivateKey);
        StripBlanks(wstrP7Cert);
        StripBlanks(wstrContainerName);
        // Only blanks would otherwise reach the provider as "no container",
        // which selects its default container.
        if (wstrEncryptedPrivateKey.empty() || wstrP7Cert.empty() || wstrContainerName.empty()) {
            hResult = E_INVALIDARG;
            KEVO_FAIL_W(FUNC, u"Check parameter",
                        u"wstrEncryptedPrivateKey.empty() || wstrP7Cert.empty() || wstrContainerName.empty()",
                        hResult);
            break;
        }
        KevoTraceStepW(FUNC, u"Check parameters");
        // Kept even when the import fails, so the page can ask for it.
        m_wstrContainerName = wstrContainerName;
        hResult = ImportEncryptCertEx(m_wstrCSPName, wstrContainerName, m_wstrKeyAlgorithm, wstrEncryptedPrivateKey,
                                      wstrP7Cert, m_nKeyLength, static_cast<DWORD>(nEncryptCertPrivateKeyFlags));
        if (FAILED(hResult)) {
            KEVO_FAIL_W(FUNC, u"ImportEncryptCertEx", u"FAILED(hResult)", hResult);
            break;
        }
        hResult = KEVO_OK;
        KevoTraceStepW(FUNC, u"ImportEncryptCertEx");
        *pbResult = VARIANT_TRUE;
    } while (false);
    m_nLastError = hResult;
    return hResult;
} catch (const std::bad_alloc&) {
    return OutOfMemory(u"CCryptoAgent::KEVO_ImportEncryptCert", &m_nLastError);
}

HRESULT CCryptoAgent::KEVO_GetContainer(BSTR* pbstrContainerName) try {
    const LPCWSTR FUNC = u"CCryptoAgent::KEVO_GetContainer";
    TraceHelper th(FUNC);
    HRESULT hResult = KEVO_OK;
    if (pbstrContainerName == nullptr) {
        hResult = E_POINTER;
        KEVO_FAIL_W(FUNC, u"Check parameter", u"pbstrContainerName == NULL", hResult);
    } else {
        BSTR bstr = NewBSTR(m_wstrContainerName);
        if (bstr == nullptr) {
            hResult = E_OUTOFMEMORY;
            KEVO_FAIL_W(FUNC, u"SysAllocString", u"!bstrContainerName", hResult);
        } else {
            *pbstrContainerName = bstr;
            KevoTraceValueW(u"m_wstrContainerName", m_wstrContainerName.c_str());
        }
    }
    m_nLastError = hResult;
    return hResult;
} catch (const std::bad_alloc&) {
    return OutOfMemory(u"CCryptoAgent::KEVO_GetContainer", &m_nLastError);
}

HRESULT CCryptoAgent::KEVO_ImportSignCert(LONG lCertType, BSTR bstrSignCert, BSTR bstrContainerName,
                                          VARIANT_BOOL* pbResult) try {
    const LPCWSTR FUNC = u"CCryptoAgent::KEVO_ImportSignCert";
    TraceHelper th(FUNC);
    KevoTraceValueN("lCertType", lCertType);
    KevoTraceValueW(u"bstrSignCert", bstrSignCert);
    KevoTraceValueW(u"bstrContainerName", bstrContainerName);
    HRESULT hResult = KEVO_OK;
    do {
        if (pbResult == nullptr) {
            hResult = E_POINTER;
            KEVO_FAIL_W(FUNC, u"Check parameter", u"pbResult == NULL", hResult);
            break;
        }
        if (IsEmptyW(bstrSignCert)) {
            hResult = E_INVALIDARG;
            KEVO_FAIL_W(FUNC, u"Check parameter", u"bstrSignCert == NULL || 0 == wcslen(bstrSignCert)", hResult);
            break;
        }
        if (IsEmptyW(bstrContainerName)) {
            hResult = E_INVALIDARG;
            KEVO_FAIL_W(FUNC, u"Check parameter", u"bstrContainerName == NULL || 0 == wcslen(bstrContainerName)",
                        hResult);
            break;
        }
        std::u16string wstrSignCert(bstrSignCert);
        std::u16string wstrContainerName(bstrContainerName);
        StripBlanks(wstrSignCert);
        StripBlanks(wstrContainerName);
        if (wstrSignCert.empty() || wstrContainerName.empty()) {
            hResult = E_INVALIDARG;
            KEVO_FAIL_W(FUNC, u"Check parameter", u"wstrSignCert.empty() || wstrContainerName.empty()", hResult);
            break;
        }
        KevoTraceStepW(FUNC, u"Check parameters");
        DWORD dwKeySpec = (lCertType == 1) ? AT_KEYEXCHANGE : AT_SIGNATURE;
        hResult = ImportSignCert(m_wstrKeyAlgorithm, wstrSignCert, dwKeySpec, m_wstrCSPName, wstrContainerName);
        if (FAILED(hResult)) {
            KEVO_FAIL_W(FUNC, u"ImportSignCert", u"FAILED(hResult)", hResult);
            break;
        }
        hResult = KEVO_OK;
        KevoTraceStepW(FUNC, u"ImportSignCert");
        *pbResult = VARIANT_TRUE;
    } while (false);
    m_nLastError = hResult;
    return hResult;
} catch (const std::bad_alloc&) {
    return OutOfMemory(u"CCryptoAgent::KEVO_ImportSignCert", &m_nLastError);
}

HRESULT CCryptoAgent::PKCS10Requisition(LPCWSTR FUNC, bool bMD5, BSTR bstrSubjectDN, LONG lCertType,
                                        LONG nSignPrivateKeyGenerateFlags, BSTR* pbstrPKCS10) try {
    KevoTraceValueW(u"bstrSubjectDN", bstrSubjectDN);
    KevoTraceValueN("lCertType", lCertType);
    KevoTraceValueN("nSignPrivateKeyGenerateFlags", nSignPrivateKeyGenerateFlags);
    if (pbstrPKCS10 == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameter", u"pbstrPKCS10 == NULL", E_POINTER);
        m_nLastError = E_POINTER;
        return E_POINTER;
    }
    *pbstrPKCS10 = nullptr;
    HRESULT hResult = KEVO_OK;
    std::unique_ptr<char[]> pszPKCS10;
    do {
        BOOL bRSA = KEY_ALGORITHM_SM2;
        const bool bIsRSA = _wcsicmp(m_wstrKeyAlgorithm.c_str(), u"RSA") == 0;
        const bool bIsSM2 = _wcsicmp(m_wstrKeyAlgorithm.c_str(), u"SM2") == 0;
        // The MD5 variant exists for RSA only and says so before anything else.
        if (bMD5 && !bIsRSA) {
            hResult = KEVO_E_KEY_ALGORITHM;
            KEVO_FAIL_W(FUNC, u"Invalid key algorithm.", u"0 != _wcsicmp(m_wstrKeyAlgorithm.c_str(), L\"RSA\")",
                        hResult);
            break;
        }
        if (IsEmptyW(bstrSubjectDN)) {
            hResult = E_INVALIDARG;
            KEVO_FAIL_W(FUNC, u"Check Parameters(SubjectDN)", u"bstrSubjectDN == NULL || 0 == wcslen(bstrSubjectDN)",
                        hResult);
            break;
        }
        if (lCertType != 1 && lCertType != 2) {
            hResult = E_INVALIDARG;
            KEVO_FAIL_W(FUNC, bMD5 ? u"lCertType Invalid parameter." : u"Check Parameters(lCertType)",
                        u"(1 != lCertType && 2 != lCertType)", hResult);
            break;
        }
        if (bIsRSA) {
            bRSA = KEY_ALGORITHM_RSA;
        } else if (bIsSM2) {
            bRSA = KEY_ALGORITHM_SM2;
        } else {
            hResult = KEVO_E_KEY_ALGORITHM;
            KEVO_FAIL_W(FUNC, u"Invalid key algorithm.", u"m_wstrKeyAlgorithm is neither RSA nor SM2", hResult);
            break;
        }
        KevoTraceStepW(FUNC, u"Check parameters");
        LPWSTR pwszContainerName = nullptr;  // null: the builder names a new container
        char* pszOut = nullptr;
        int nOutLen = 0;
        DWORD dwKeySpec = (lCertType == 1) ? AT_KEYEXCHANGE : AT_SIGNATURE;
        hResult = PKCS10CertRequisition(&pwszContainerName, m_wstrCSPName.c_str(), bstrSubjectDN, lCertType,
                                        dwKeySpec, bRSA, m_nKeyLength, static_cast<DWORD>(nSignPrivateKeyGenerateFlags),
                                        bMD5 ? CALG_MD5 : CALG_SHA1, &pszOut, &nOutLen);
        std::unique_ptr<WCHAR[]> holdContainerName(pwszContainerName);
        pszPKCS10.reset(pszOut);
        if (FAILED(hResult)) {
            KEVO_FAIL_W(FUNC, u"PKCS10CertRequisition FAILED", u"FAILED(hResult)", hResult);
            break;
        }
        hResult = KEVO_OK;
        m_wstrContainerName.assign(pwszContainerName ? pwszContainerName : u"");
        KevoTraceStepW(FUNC, u"PKCS10CertRequisition");
        KevoTraceValueW(u"m_wstrContainerName", m_wstrContainerName.c_str());
    } while (false);

    // The request text is Base64 with line breaks: plain ASCII in any code page.
    std::u16string wstrPKCS10;
    if (SUCCEEDED(hResult) && pszPKCS10 && pszPKCS10[0] != '\0') {
        int cch = MultiByteToWideChar(CP_ACP, 0, pszPKCS10.get(), -1, nullptr, 0);
        if (cch <= 0) {
            hResult = KevoLastErrorResult();
            KEVO_FAIL_W(FUNC, u"MultiByteToWideChar", u"0 == nLen", hResult);
        } else {
            std::vector<WCHAR> wide(static_cast<size_t>(cch), 0);
            MultiByteToWideChar(CP_ACP, 0, pszPKCS10.get(), -1, wide.data(), cch);
            wstrPKCS10.assign(wide.data());
        }
    }
    if (FAILED(hResult)) wstrPKCS10.clear();
    *pbstrPKCS10 = NewBSTR(wstrPKCS10);
    if (*pbstrPKCS10 == nullptr) {
        hResult = E_OUTOFMEMORY;
        KEVO_FAIL_W(FUNC, u"SysAllocString", u"!bstrPKCS10", hResult);
    }
    m_nLastError = hResult;
    return hResult;
} catch (const std::bad_alloc&) {
    return OutOfMemory(FUNC, &m_nLastError);
}

HRESULT CCryptoAgent::KEVO_PKCS10CertRequisition(BSTR bstrSubjectDN, LONG lCertType,
                                                 LONG nSignPrivateKeyGenerateFlags, BSTR* pbstrPKCS10) {
    const LPCWSTR FUNC = u"CCryptoAgent::KEVO_PKCS10CertRequisition";
    TraceHelper th(FUNC);
    return PKCS10Requisition(FUNC, false, bstrSubjectDN, lCertType, nSignPrivateKeyGenerateFlags, pbstrPKCS10);
}

HRESULT CCryptoAgent::KEVO_GetAllCertInfo(BSTR bstrCSPName, BSTR* pbstrCertInfo) {
    const LPCWSTR FUNC = u"CCryptoAgent::KEVO_GetAllCertInfo";
    TraceHelper th(FUNC);
    KevoTraceValueW(u"bstrCSPName", bstrCSPName);
    HRESULT hResult = KEVO_OK;
    HCERTSTORE hCertStore = nullptr;
    UNREGISTERED_CERT_LIST vtrUnregisteredCertSet;
    try {
        do {
            if (pbstrCertInfo == nullptr) {
                hResult = E_POINTER;
                KEVO_FAIL_W(FUNC, u"Check parameter", u"pbstrCertInfo == NULL", hResult);
                break;
            }
            hCertStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                       CERT_SYSTEM_STORE_CURRENT_USER, u"My");
            if (hCertStore == nullptr) {
                hResult = KevoLastErrorResult();
                KEVO_FAIL_W(FUNC, u"CertOpenStore", u"hCertStore == NULL", hResult);
                break;
            }
            std::u16string wstrListing;
            hResult = GetAllRSACertificatesInfoinStore(hCertStore, wstrListing);
            if (FAILED(hResult)) {
                KEVO_FAIL_W(FUNC, u"GetAllRSACertificatesInfoinStore", u"FAILED(hResult)", hResult);
                break;
            }
            if (!IsEmptyW(bstrCSPName)) {
                // Only SM2-signed certificates are looked for in the containers.
                CERT_FILTER stFilter{};
                stFilter.pszSignatureAlgOID = "1.2.156.10197";
                hResult = FilterUnregisteredCertificatesfromCSP(bstrCSPName, &stFilter, vtrUnregisteredCertSet);
                if (FAILED(hResult)) {
                    KEVO_FAIL_W(FUNC, u"FilterUnregisteredCertificatesfromCSP", u"FAILED(hResult)", hResult);
                    break;
                }
            }
            if (!vtrUnregisteredCertSet.empty()) {
                std::u16string wstrContainerPart;
                hResult = GetAllCertificatesInfoUnregisteredCertSet(vtrUnregisteredCertSet, wstrContainerPart);
                if (FAILED(hResult)) {
                    KEVO_FAIL_W(FUNC, u"GetAllCertificatesInfoinStore.", u"FAILED(hResult)", hResult);
                    break;
                }
                if (!wstrListing.empty() && !wstrContainerPart.empty()) wstrListing += u"||";
                wstrListing += wstrContainerPart;
            }
            BSTR bstr = NewBSTR(wstrListing);
            if (bstr == nullptr) {
                hResult = E_OUTOFMEMORY;
                KEVO_FAIL_W(FUNC, u"SysAllocString", u"!bstrCertInfo", hResult);
                break;
            }
            hResult = KEVO_OK;
            *pbstrCertInfo = bstr;
            KevoTraceValueW(u"CertInfo", wstrListing.c_str());
        } while (false);
    } catch (const std::bad_alloc&) {
        hResult = OutOfMemory(FUNC, nullptr);
    }
    if (hCertStore != nullptr) CertCloseStore(hCertStore, 0);
    RemoveAllUnregisteredCertificates(vtrUnregisteredCertSet);
    m_nLastError = hResult;
    return hResult;
}

HRESULT CCryptoAgent::KEVO_PKCS10CertRequisitionwithMD5(BSTR bstrSubjectDN, LONG lCertType,
                                                        LONG nSignPrivateKeyGenerateFlags, BSTR* pbstrPKCS10) {
    const LPCWSTR FUNC = u"CCryptoAgent::KEVO_PKCS10CertRequisitionwithMD5";
    TraceHelper th(FUNC);
    return PKCS10Requisition(FUNC, true, bstrSubjectDN, lCertType, nSignPrivateKeyGenerateFlags, pbstrPKCS10);
}

HRESULT CCryptoAgent::KEVO_GetVersion(BSTR* pbstrVersion) {
    // Each front end answers the version itself.
    if (pbstrVersion != nullptr) *pbstrVersion = nullptr;
    return KEVO_OK;
}

HRESULT CCryptoAgent::GetLastErrorDesc(BSTR* pbstrErrorDesc) try {
    const LPCWSTR FUNC = u"CCryptoAgent::GetLastErrorDesc";
    TraceHelper th(FUNC);
    if (pbstrErrorDesc == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameter", u"pbstrErrorDesc == NULL", E_POINTER);
        return E_POINTER;
    }
    *pbstrErrorDesc = nullptr;
    WCHAR wszDesc[ERROR_DESC_CCH] = {};
    const DWORD dwCode = static_cast<DWORD>(m_nLastError);
    if (dwCode & 0x20000000u) {
        HMODULE hModule = m_hResourceModule ? m_hResourceModule : GetModuleHandleW(nullptr);
        if (0 == LoadStringW(hModule, LOWORD(dwCode), wszDesc, static_cast<int>(ERROR_DESC_CCH)))
            KEVO_FAIL_W(FUNC, u"LoadStringW", u"0 == nLen", KevoLastErrorResult());
    } else {
        // Inserts are never expanded: a system text with %1 would read
        // arguments that were not passed.
        if (0 == FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwCode, 0,
                                wszDesc, static_cast<DWORD>(ERROR_DESC_CCH), nullptr))
            KEVO_FAIL_W(FUNC, u"FormatMessageW", u"0 == nLen", KevoLastErrorResult());
    }
    wszDesc[ERROR_DESC_CCH - 1] = 0;
    std::u16string wstrDesc(wszDesc);
    char szCode[32];
    snprintf(szCode, sizeof szCode, "\n(0x%08x)", dwCode);
    for (const char* p = szCode; *p && wstrDesc.size() < ERROR_DESC_CCH - 1; ++p) wstrDesc.push_back(WCHAR(*p));
    *pbstrErrorDesc = NewBSTR(wstrDesc);
    if (*pbstrErrorDesc == nullptr) {
        KEVO_FAIL_W(FUNC, u"SysAllocString", u"!bstrErrorDesc", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    KevoTraceValueW(u"ErrorDesc", wstrDesc.c_str());
    return KEVO_OK;
} catch (const std::bad_alloc&) {
    // The description of the last operation stays what it was.
    return OutOfMemory(u"CCryptoAgent::GetLastErrorDesc", nullptr);
}
