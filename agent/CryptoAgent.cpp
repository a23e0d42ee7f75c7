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
#include "tessaro/Handles.h"

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

// The frame every operation runs in (the body gets the operation's name for
// its trace lines): its entry and exit are traced, its
// result becomes the last error (when pnLastError is given), and memory
// running out part-way is its result E_OUTOFMEMORY; the holders of what it
// had made released it on the way out.
template <typename Body>
HRESULT RunOperation(LPCWSTR FUNC, LONG* pnLastError, Body&& body) {
    try {
        TraceHelper th(FUNC);
        const HRESULT hr = body(FUNC);
        if (pnLastError) *pnLastError = hr;
        return hr;
    } catch (const std::bad_alloc&) {
        KEVO_FAIL_W(FUNC, u"std::bad_alloc", u"out of memory", E_OUTOFMEMORY);
        if (pnLastError) *pnLastError = E_OUTOFMEMORY;
        return E_OUTOFMEMORY;
    }
}

// An argument check that failed, traced with the condition that failed.
HRESULT Refuse(LPCWSTR FUNC, LPCWSTR pwszCondition, HRESULT hr) {
    KEVO_FAIL_W(FUNC, u"Check parameter", pwszCondition, hr);
    return hr;
}

// A setting the page passes: its flag pointer and text checked, the text
// without the blanks around it.
HRESULT ReadSetting(LPCWSTR FUNC, BSTR bstrValue, LPCWSTR pwszEmptyCondition, VARIANT_BOOL* pbResult,
                    std::u16string& wstrValue) {
    if (pbResult == nullptr) return Refuse(FUNC, u"pbResult == NULL", E_POINTER);
    if (IsEmptyW(bstrValue)) return Refuse(FUNC, pwszEmptyCondition, E_INVALIDARG);
    wstrValue.assign(bstrValue);
    StripBlanks(wstrValue);
    return KEVO_OK;
}

// The text as a new BSTR for the caller; *pbstrOut is left alone when it
// cannot be allocated.
HRESULT HandOutBSTR(LPCWSTR FUNC, const std::u16string& wstr, LPCWSTR pwszCondition, BSTR* pbstrOut) {
    BSTR bstr = NewBSTR(wstr);
    if (bstr == nullptr) {
        KEVO_FAIL_W(FUNC, u"SysAllocString", pwszCondition, E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    *pbstrOut = bstr;
    return KEVO_OK;
}

// The outcome of an install the agent handed on: traced under the
// installer's name, and the page's flag set on success.
HRESULT InstallOutcome(LPCWSTR FUNC, LPCWSTR pwszInstaller, HRESULT hr, VARIANT_BOOL* pbResult) {
    if (FAILED(KEVO_STEP_W(FUNC, pwszInstaller, hr))) return hr;
    *pbResult = VARIANT_TRUE;
    return KEVO_OK;
}

// The records found in the containers, released with the listing.
struct UnregisteredCertificates {
    UNREGISTERED_CERT_LIST list;
    UnregisteredCertificates() = default;
    UnregisteredCertificates(const UnregisteredCertificates&) = delete;
    UnregisteredCertificates& operator=(const UnregisteredCertificates&) = delete;
    ~UnregisteredCertificates() { RemoveAllUnregisteredCertificates(list); }
};

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

HRESULT CCryptoAgent::KEVO_GetCSPInfo(BSTR* pbstrCSPInfo) {
    return RunOperation(u"CCryptoAgent::KEVO_GetCSPInfo", &m_nLastError, [&](LPCWSTR FUNC) -> HRESULT {
        if (pbstrCSPInfo == nullptr) return Refuse(FUNC, u"pbstrCSPInfo == NULL", E_POINTER);
        std::u16string wstrNames;
        HRESULT hResult = GetAllCSPName(wstrNames);
        if (FAILED(KEVO_CHECK_W(FUNC, u"GetAllCSPName", hResult))) return hResult;
        if (FAILED(hResult = HandOutBSTR(FUNC, wstrNames, u"!bstrCSPInfo", pbstrCSPInfo))) return hResult;
        KevoTraceStepW(FUNC, u"GetAllCSPName");
        return KEVO_OK;
    });
}

HRESULT CCryptoAgent::KEVO_SetCSPInfo(LONG nKeyLength, BSTR bstrCSPName, VARIANT_BOOL* pbResult) {
    return RunOperation(u"CCryptoAgent::KEVO_SetCSPInfo", &m_nLastError, [&](LPCWSTR FUNC) -> HRESULT {
        KevoTraceValueN("nKeyLength", nKeyLength);
        KevoTraceValueW(u"bstrCSPName", bstrCSPName);
        std::u16string wstrCSPName;
        HRESULT hr = ReadSetting(FUNC, bstrCSPName, u"bstrCSPName == NULL || wcslen(bstrCSPName) == 0", pbResult,
                                 wstrCSPName);
        if (FAILED(hr)) return hr;
        if (wstrCSPName.size() == 0) {
            KEVO_FAIL_W(FUNC, u"CSP name cannot be NULL.", u"wstrCSPName.size() == 0", E_INVALIDARG);
            return E_INVALIDARG;
        }
        if (ContainsW(wstrCSPName, u"Microsoft")) {
            if (ContainsW(wstrCSPName, u"Base")) {
                if (nKeyLength != 512 && nKeyLength != 1024) {
                    KEVO_FAIL_W(FUNC, u"Check key length", u"key length doesnot support(base).", KEVO_E_KEY_LENGTH);
                    return KEVO_E_KEY_LENGTH;
                }
            } else if (nKeyLength != 512 && nKeyLength != 1024 && nKeyLength != 2048 && nKeyLength != 4096) {
                KEVO_FAIL_W(FUNC, u"Check key length", u"key length doesnot support(non-base).", KEVO_E_KEY_LENGTH);
                return KEVO_E_KEY_LENGTH;
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
        return KEVO_OK;
    });
}

HRESULT CCryptoAgent::KEVO_SetKeyAlgorithm(BSTR bstrKeyAlgorithm, VARIANT_BOOL* pbResult) {
    return RunOperation(u"CCryptoAgent::KEVO_SetKeyAlgorithm", &m_nLastError, [&](LPCWSTR FUNC) -> HRESULT {
        KevoTraceValueW(u"bstrKeyAlgorithm", bstrKeyAlgorithm);
        std::u16string wstrKeyAlgorithm;
        HRESULT hr = ReadSetting(FUNC, bstrKeyAlgorithm, u"bstrKeyAlgorithm == NULL || wcslen(bstrKeyAlgorithm) == 0",
                                 pbResult, wstrKeyAlgorithm);
        if (FAILED(hr)) return hr;
        if (wstrKeyAlgorithm.size() == 0) return Refuse(FUNC, u"wstrKeyAlgorithm.size() == 0", E_INVALIDARG);
        if (_wcsicmp(wstrKeyAlgorithm.c_str(), u"RSA") != 0 && _wcsicmp(wstrKeyAlgorithm.c_str(), u"SM2") != 0) {
            KEVO_FAIL_W(FUNC, u"Check key algorithm", u"key algorithm does not support.", KEVO_E_KEY_ALGORITHM);
            return KEVO_E_KEY_ALGORITHM;
        }
        KevoTraceStepW(FUNC, u"Check parameters");
        m_wstrKeyAlgorithm.swap(wstrKeyAlgorithm);
        *pbResult = VARIANT_TRUE;
        return KEVO_OK;
    });
}

HRESULT CCryptoAgent::KEVO_ImportEncryptCert(BSTR bstrEncryptedPrivateKey, BSTR bstrP7Cert, BSTR bstrContainerName,
                                             LONG nEncryptCertPrivateKeyFlags, VARIANT_BOOL* pbResult) {
    return RunOperation(u"CCryptoAgent::KEVO_ImportEncryptCert", &m_nLastError, [&](LPCWSTR FUNC) -> HRESULT {
        KevoTraceValueW(u"bstrEncryptedPrivateKey", bstrEncryptedPrivateKey);
        KevoTraceValueW(u"bstrP7Cert", bstrP7Cert);
        KevoTraceValueW(u"bstrContainerName", bstrContainerName);
        KevoTraceValueN("nEncryptCertPrivateKeyFlags", nEncryptCertPrivateKeyFlags);
        if (pbResult == nullptr) return Refuse(FUNC, u"pbResult == NULL", E_POINTER);
        if (IsEmptyW(bstrEncryptedPrivateKey) || IsEmptyW(bstrP7Cert) || IsEmptyW(bstrContainerName))
            return Refuse(FUNC,
                          u"bstrEncryptedPrivateKey == NULL || bstrP7Cert == NULL || bstrContainerName == NULL || "
                          u"0 == wcslen(bstrEncryptedPrivateKey) || 0 == wcslen(bstrP7Cert) || "
                          u"0 == wcslen(bstrContainerName)",
                          E_INVALIDARG);
        std::u16string wstrEncryptedPrivateKey(bstrEncryptedPrivateKey);
        std::u16string wstrP7Cert(bstrP7Cert);
        std::u16string wstrContainerName(bstrContainerName);
        StripBlanks(wstrEncryptedPrivateKey);
        StripBlanks(wstrP7Cert);
        StripBlanks(wstrContainerName);
        // Only blanks would otherwise reach the provider as "no container",
        // which selects its default container.
        if (wstrEncryptedPrivateKey.empty() || wstrP7Cert.empty() || wstrContainerName.empty())
            return Refuse(FUNC, u"wstrEncryptedPrivateKey.empty() || wstrP7Cert.empty() || wstrContainerName.empty()",
                          E_INVALIDARG);
        KevoTraceStepW(FUNC, u"Check parameters");
        // Kept even when the import fails, so the page can ask for it.
        m_wstrContainerName = wstrContainerName;
        return InstallOutcome(FUNC, u"ImportEncryptCertEx",
                              ImportEncryptCertEx(m_wstrCSPName, wstrContainerName, m_wstrKeyAlgorithm,
                                                  wstrEncryptedPrivateKey, wstrP7Cert, m_nKeyLength,
                                                  static_cast<DWORD>(nEncryptCertPrivateKeyFlags)),
                              pbResult);
    });
}

HRESULT CCryptoAgent::KEVO_GetContainer(BSTR* pbstrContainerName) {
    return RunOperation(u"CCryptoAgent::KEVO_GetContainer", &m_nLastError, [&](LPCWSTR FUNC) -> HRESULT {
        if (pbstrContainerName == nullptr) return Refuse(FUNC, u"pbstrContainerName == NULL", E_POINTER);
        HRESULT hResult = HandOutBSTR(FUNC, m_wstrContainerName, u"!bstrContainerName", pbstrContainerName);
        if (FAILED(hResult)) return hResult;
        KevoTraceValueW(u"m_wstrContainerName", m_wstrContainerName.c_str());
        return KEVO_OK;
    });
}

HRESULT CCryptoAgent::KEVO_ImportSignCert(LONG lCertType, BSTR bstrSignCert, BSTR bstrContainerName,
                                          VARIANT_BOOL* pbResult) {
    return RunOperation(u"CCryptoAgent::KEVO_ImportSignCert", &m_nLastError, [&](LPCWSTR FUNC) -> HRESULT {
        KevoTraceValueN("lCertType", lCertType);
        KevoTraceValueW(u"bstrSignCert", bstrSignCert);
        KevoTraceValueW(u"bstrContainerName", bstrContainerName);
        if (pbResult == nullptr) return Refuse(FUNC, u"pbResult == NULL", E_POINTER);
        if (IsEmptyW(bstrSignCert))
            return Refuse(FUNC, u"bstrSignCert == NULL || 0 == wcslen(bstrSignCert)", E_INVALIDARG);
        if (IsEmptyW(bstrContainerName))
            return Refuse(FUNC, u"bstrContainerName == NULL || 0 == wcslen(bstrContainerName)", E_INVALIDARG);
        std::u16string wstrSignCert(bstrSignCert);
        std::u16string wstrContainerName(bstrContainerName);
        StripBlanks(wstrSignCert);
        StripBlanks(wstrContainerName);
        if (wstrSignCert.empty() || wstrContainerName.empty())
            return Refuse(FUNC, u"wstrSignCert.empty() || wstrContainerName.empty()", E_INVALIDARG);
        KevoTraceStepW(FUNC, u"Check parameters");
        DWORD dwKeySpec = (lCertType == 1) ? AT_KEYEXCHANGE : AT_SIGNATURE;
        return InstallOutcome(
            FUNC, u"ImportSignCert",
            ImportSignCert(m_wstrKeyAlgorithm, wstrSignCert, dwKeySpec, m_wstrCSPName, wstrContainerName), pbResult);
    });
}

HRESULT CCryptoAgent::KEVO_PKCS10CertRequisition(BSTR bstrSubjectDN, LONG lCertType,
                                                 LONG nSignPrivateKeyGenerateFlags, BSTR* pbstrPKCS10) {
    return PKCS10Requisition(u"CCryptoAgent::KEVO_PKCS10CertRequisition", false, bstrSubjectDN, lCertType,
                             nSignPrivateKeyGenerateFlags, pbstrPKCS10);
}

HRESULT CCryptoAgent::KEVO_GetAllCertInfo(BSTR bstrCSPName, BSTR* pbstrCertInfo) {
    return RunOperation(u"CCryptoAgent::KEVO_GetAllCertInfo", &m_nLastError, [&](LPCWSTR FUNC) -> HRESULT {
        KevoTraceValueW(u"bstrCSPName", bstrCSPName);
        if (pbstrCertInfo == nullptr) return Refuse(FUNC, u"pbstrCertInfo == NULL", E_POINTER);
        tessaro::UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                     0, CERT_SYSTEM_STORE_CURRENT_USER, u"My"));
        if (!store) {
            HRESULT hr = KevoLastErrorResult();
            KEVO_FAIL_W(FUNC, u"CertOpenStore", u"hCertStore == NULL", hr);
            return hr;
        }
        std::u16string wstrListing;
        HRESULT hResult = GetAllRSACertificatesInfoinStore(store.get(), wstrListing);
        if (FAILED(KEVO_CHECK_W(FUNC, u"GetAllRSACertificatesInfoinStore", hResult))) return hResult;
        UnregisteredCertificates found;
        if (!IsEmptyW(bstrCSPName)) {
            // Only SM2-signed certificates are looked for in the containers.
            CERT_FILTER stFilter{};
            stFilter.pszSignatureAlgOID = "1.2.156.10197";
            hResult = FilterUnregisteredCertificatesfromCSP(bstrCSPName, &stFilter, found.list);
            if (FAILED(KEVO_CHECK_W(FUNC, u"FilterUnregisteredCertificatesfromCSP", hResult))) return hResult;
        }
        if (!found.list.empty()) {
            std::u16string wstrContainerPart;
            hResult = GetAllCertificatesInfoUnregisteredCertSet(found.list, wstrContainerPart);
            if (FAILED(KEVO_CHECK_W(FUNC, u"GetAllCertificatesInfoinStore.", hResult))) return hResult;
            if (!wstrListing.empty() && !wstrContainerPart.empty()) wstrListing += u"||";
            wstrListing += wstrContainerPart;
        }
        if (FAILED(hResult = HandOutBSTR(FUNC, wstrListing, u"!bstrCertInfo", pbstrCertInfo))) return hResult;
        KevoTraceValueW(u"CertInfo", wstrListing.c_str());
        return KEVO_OK;
    });
}

HRESULT CCryptoAgent::KEVO_PKCS10CertRequisitionwithMD5(BSTR bstrSubjectDN, LONG lCertType,
                                                        LONG nSignPrivateKeyGenerateFlags, BSTR* pbstrPKCS10) {
    return PKCS10Requisition(u"CCryptoAgent::KEVO_PKCS10CertRequisitionwithMD5", true, bstrSubjectDN, lCertType,
                             nSignPrivateKeyGenerateFlags, pbstrPKCS10);
}

HRESULT CCryptoAgent::KEVO_GetVersion(BSTR* pbstrVersion) {
    // Each front end answers the version itself.
    if (pbstrVersion != nullptr) *pbstrVersion = nullptr;
    return KEVO_OK;
}

HRESULT CCryptoAgent::GetLastErrorDesc(BSTR* pbstrErrorDesc) {
    // The description of the last operation stays what it was: no last error.
    return RunOperation(u"CCryptoAgent::GetLastErrorDesc", nullptr,
                        [&](LPCWSTR FUNC) { return DescribeLastError(FUNC, pbstrErrorDesc); });
}

HRESULT CCryptoAgent::DescribeLastError(LPCWSTR FUNC, BSTR* pbstrErrorDesc) const {
    if (pbstrErrorDesc == nullptr) return Refuse(FUNC, u"pbstrErrorDesc == NULL", E_POINTER);
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
    HRESULT hr = HandOutBSTR(FUNC, wstrDesc, u"!bstrErrorDesc", pbstrErrorDesc);
    if (FAILED(hr)) return hr;
    KevoTraceValueW(u"ErrorDesc", wstrDesc.c_str());
    return KEVO_OK;
}

// ---- The request operations' shared part ---------------------------------------

HRESULT CCryptoAgent::PKCS10Requisition(LPCWSTR FUNC, bool bMD5, BSTR bstrSubjectDN, LONG lCertType,
                                        LONG nSignPrivateKeyGenerateFlags, BSTR* pbstrPKCS10) {
    return RunOperation(FUNC, &m_nLastError, [&](LPCWSTR) {
        return AnswerRequest(FUNC, bMD5, bstrSubjectDN, lCertType, nSignPrivateKeyGenerateFlags, pbstrPKCS10);
    });
}

HRESULT CCryptoAgent::AnswerRequest(LPCWSTR FUNC, bool bMD5, BSTR bstrSubjectDN, LONG lCertType,
                                    LONG nSignPrivateKeyGenerateFlags, BSTR* pbstrPKCS10) {
    KevoTraceValueW(u"bstrSubjectDN", bstrSubjectDN);
    KevoTraceValueN("lCertType", lCertType);
    KevoTraceValueN("nSignPrivateKeyGenerateFlags", nSignPrivateKeyGenerateFlags);
    if (pbstrPKCS10 == nullptr) return Refuse(FUNC, u"pbstrPKCS10 == NULL", E_POINTER);
    *pbstrPKCS10 = nullptr;
    std::unique_ptr<char[]> pszPKCS10;
    HRESULT hResult = BuildRequest(FUNC, bMD5, bstrSubjectDN, lCertType, nSignPrivateKeyGenerateFlags, pszPKCS10);

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
    // Answered even on failure: the page always gets a string.
    HRESULT hrOut = HandOutBSTR(FUNC, wstrPKCS10, u"!bstrPKCS10", pbstrPKCS10);
    return FAILED(hrOut) ? hrOut : hResult;
}

HRESULT CCryptoAgent::BuildRequest(LPCWSTR FUNC, bool bMD5, BSTR bstrSubjectDN, LONG lCertType,
                                   LONG nSignPrivateKeyGenerateFlags, std::unique_ptr<char[]>& pszPKCS10) {
    const bool bIsRSA = _wcsicmp(m_wstrKeyAlgorithm.c_str(), u"RSA") == 0;
    const bool bIsSM2 = _wcsicmp(m_wstrKeyAlgorithm.c_str(), u"SM2") == 0;
    // The MD5 variant exists for RSA only and says so before anything else.
    if (bMD5 && !bIsRSA) {
        KEVO_FAIL_W(FUNC, u"Invalid key algorithm.", u"0 != _wcsicmp(m_wstrKeyAlgorithm.c_str(), L\"RSA\")",
                    KEVO_E_KEY_ALGORITHM);
        return KEVO_E_KEY_ALGORITHM;
    }
    if (IsEmptyW(bstrSubjectDN)) {
        KEVO_FAIL_W(FUNC, u"Check Parameters(SubjectDN)", u"bstrSubjectDN == NULL || 0 == wcslen(bstrSubjectDN)",
                    E_INVALIDARG);
        return E_INVALIDARG;
    }
    if (lCertType != 1 && lCertType != 2) {
        KEVO_FAIL_W(FUNC, bMD5 ? u"lCertType Invalid parameter." : u"Check Parameters(lCertType)",
                    u"(1 != lCertType && 2 != lCertType)", E_INVALIDARG);
        return E_INVALIDARG;
    }
    if (!bIsRSA && !bIsSM2) {
        KEVO_FAIL_W(FUNC, u"Invalid key algorithm.", u"m_wstrKeyAlgorithm is neither RSA nor SM2",
                    KEVO_E_KEY_ALGORITHM);
        return KEVO_E_KEY_ALGORITHM;
    }
    KevoTraceStepW(FUNC, u"Check parameters");
    LPWSTR pwszContainerName = nullptr;  // null: the builder names a new container
    char* pszOut = nullptr;
    int nOutLen = 0;
    DWORD dwKeySpec = (lCertType == 1) ? AT_KEYEXCHANGE : AT_SIGNATURE;
    HRESULT hResult = PKCS10CertRequisition(&pwszContainerName, m_wstrCSPName.c_str(), bstrSubjectDN, lCertType,
                                            dwKeySpec, bIsRSA ? KEY_ALGORITHM_RSA : KEY_ALGORITHM_SM2, m_nKeyLength,
                                            static_cast<DWORD>(nSignPrivateKeyGenerateFlags),
                                            bMD5 ? CALG_MD5 : CALG_SHA1, &pszOut, &nOutLen);
    std::unique_ptr<WCHAR[]> holdContainerName(pwszContainerName);
    pszPKCS10.reset(pszOut);
    if (FAILED(KEVO_CHECK_W(FUNC, u"PKCS10CertRequisition FAILED", hResult))) return hResult;
    m_wstrContainerName.assign(pwszContainerName ? pwszContainerName : u"");
    KevoTraceStepW(FUNC, u"PKCS10CertRequisition");
    KevoTraceValueW(u"m_wstrContainerName", m_wstrContainerName.c_str());
    return KEVO_OK;
}
