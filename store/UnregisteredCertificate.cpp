// The scan of provider key containers for certificates the store does not know.
#include "store/UnregisteredCertificate.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "store/CertificateChainOperate.h"
#include "encoding/Codec.h"
#include "diag/Diagnostics.h"
#include "tessaro/Handles.h"

#define TRACE_UNIT_W u"CertificateChainOperate"

namespace {

// An RSA-type context of the provider, traced as a step of FUNC when it fails.
HRESULT AcquireProvider(LPCWSTR FUNC, tessaro::UniqueCryptProv& prov, LPCWSTR pwszContainer, LPCWSTR pwszCSPName,
                        DWORD dwFlags, int nLine = __builtin_LINE()) {
    if (CryptAcquireContextW(prov.put(), pwszContainer, pwszCSPName, PROV_RSA_FULL, dwFlags)) return KEVO_OK;
    HRESULT hr = LastErrorAsHResult();
    KevoTraceFailW(TRACE_UNIT_W, nLine, FUNC, u"CryptAcquireContext", u"1", hr);
    return hr;
}

bool FitsRecord(LPCWSTR pwsz) { return wcslen(pwsz) < UNREGISTERED_NAME_UNITS; }

// Names of every installed provider joined by "||", in registration order.
HRESULT GetInstalledCSPNames(std::u16string& wstrNames) {
    const LPCWSTR FUNC = u"GetAllCSPName";
    wstrNames.clear();
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD dwProvType = 0;
        DWORD cbName = 0;
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, nullptr, &cbName)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
            HRESULT hr = LastErrorAsHResult();
            KEVO_FAIL_W(FUNC, u"CryptEnumProvidersW(1)", u"1", hr);
            return hr;
        }
        std::u16string name(cbName / sizeof(WCHAR) + 1, u'\0');
        if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, name.data(), &cbName))
            return KEVO_FAILED_W(FUNC, u"CryptEnumProvidersW(2)", u"1", LastErrorAsHResult());
        name.resize(wcslen(name.c_str()));
        if (!wstrNames.empty()) wstrNames += u"||";
        wstrNames += name;
    }
    return KEVO_OK;
}

}  // namespace

HRESULT CertCreateUnregisteredCertContext(LPCWSTR pwszCSPName, LPCWSTR pwszContainerName,
                                          PCCERT_CONTEXT pCertContext, DWORD dwKeySpec,
                                          PUNREGISTERED_CERT_CONTEXT* ppstRecord) {
    const LPCWSTR FUNC = u"CertCreateUnregisteredCertContext";
    TraceHelper th(FUNC);
    if (ppstRecord == nullptr || pCertContext == nullptr || pwszCSPName == nullptr || pwszCSPName[0] == 0 ||
        pwszContainerName == nullptr || pwszContainerName[0] == 0)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pCertContext || empty name", E_INVALIDARG);
    if (!FitsRecord(pwszCSPName) || !FitsRecord(pwszContainerName))
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"wcslen(name) >= MAX_PATH", E_INVALIDARG);
    std::unique_ptr<UNREGISTERED_CERT_CONTEXT> record(new (std::nothrow) UNREGISTERED_CERT_CONTEXT());
    if (!record) return KEVO_FAILED_W(FUNC, u"new UNREGISTERED_CERT_CONTEXT", u"NULL == pstRecord", E_OUTOFMEMORY);
    memcpy(record->wszCSPName, pwszCSPName, wcslen(pwszCSPName) * sizeof(WCHAR));
    memcpy(record->wszContainerName, pwszContainerName, wcslen(pwszContainerName) * sizeof(WCHAR));
    record->dwKeySpec = dwKeySpec;
    record->pCertContext = CertDuplicateCertificateContext(pCertContext);
    if (record->pCertContext == nullptr)
        return KEVO_FAILED_W(FUNC, u"CertDuplicateCertificateContext", u"NULL == pCertContext", LastErrorAsHResult());
    *ppstRecord = record.release();
    return KEVO_OK;
}

void CertFreeUnregisteredCertContext(PUNREGISTERED_CERT_CONTEXT pstRecord) {
    if (pstRecord == nullptr) return;
    if (pstRecord->pCertContext) CertFreeCertificateContext(pstRecord->pCertContext);
    delete pstRecord;
}

void RemoveAllUnregisteredCertificates(UNREGISTERED_CERT_LIST& vtrRecords) {
    for (PUNREGISTERED_CERT_CONTEXT p : vtrRecords) CertFreeUnregisteredCertContext(p);
    vtrRecords.clear();
}

HRESULT GetUnregisteredCertfromContainer(LPCWSTR pwszCSPName, LPCWSTR pwszContainerName, DWORD dwKeySpec,
                                         PUNREGISTERED_CERT_CONTEXT* ppstRecord) {
    const LPCWSTR FUNC = u"GetUnregisteredCertfromContainer";
    TraceHelper th(FUNC);
    if (ppstRecord == nullptr || pwszCSPName == nullptr || pwszCSPName[0] == 0 || pwszContainerName == nullptr ||
        pwszContainerName[0] == 0)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"empty name", E_INVALIDARG);
    tessaro::UniqueCryptProv prov;
    if (HRESULT hr = AcquireProvider(FUNC, prov, pwszContainerName, pwszCSPName, 0); FAILED(hr)) return hr;
    tessaro::UniqueCryptKey key;
    if (!CryptGetUserKey(prov.get(), dwKeySpec, key.put()) || !key)
        return KEVO_FAILED_W(FUNC, u"CryptGetUserKey", u"1", LastErrorAsHResult());
    DWORD cbCert = 0;
    if (!CryptGetKeyParam(key.get(), KP_CERTIFICATE, nullptr, &cbCert, 0) || cbCert == 0)
        return KEVO_FAILED_W(FUNC, u"CryptGetKeyParam(KP_CERTIFICATE)1", u"1",
                             cbCert == 0 && GetLastError() == 0 ? E_FAIL : LastErrorAsHResult());
    std::unique_ptr<BYTE[]> cert(new (std::nothrow) BYTE[static_cast<size_t>(cbCert) + 1]());
    if (!cert) return KEVO_FAILED_W(FUNC, u"new", u"Dispatch memory failed.", E_OUTOFMEMORY);
    if (!CryptGetKeyParam(key.get(), KP_CERTIFICATE, cert.get(), &cbCert, 0) || cbCert == 0)
        return KEVO_FAILED_W(FUNC, u"CryptGetKeyParam(KP_CERTIFICATE)2", u"1",
                             cbCert == 0 && GetLastError() == 0 ? E_FAIL : LastErrorAsHResult());
    tessaro::UniqueCertContext context(
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, cert.get(), cbCert));
    if (!context)
        return KEVO_FAILED_W(FUNC, u"CertCreateCertificateContext", u"NULL == pCertContext", LastErrorAsHResult());
    // A fresh context carries no key-provider property: the platform reaches
    // the key only through a registration of the same certificate.
    tessaro::UniqueCryptProv registered;
    DWORD dwRegisteredSpec = 0;
    if (CryptAcquireCertificatePrivateKey(context.get(), 0, nullptr, registered.put(), &dwRegisteredSpec, nullptr)) {
        KevoTraceStepW(FUNC, u"Certificate is registered", KEVO_E_CERT_REGISTERED);
        return KEVO_E_CERT_REGISTERED;
    }
    return CertCreateUnregisteredCertContext(pwszCSPName, pwszContainerName, context.get(), dwKeySpec, ppstRecord);
}

HRESULT FilterUnregisteredCertificatesfromSpecifiedCSP(LPCWSTR pwszCSPName, const CERT_FILTER* pstFilter,
                                                       UNREGISTERED_CERT_LIST& vtrRecords) {
    const LPCWSTR FUNC = u"FilterUnregisteredCertificatesfromSpecifiedCSP";
    TraceHelper th(FUNC);
    if (pwszCSPName == nullptr || pwszCSPName[0] == 0)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"empty CSP name", E_INVALIDARG);
    if (!FitsRecord(pwszCSPName))
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"wcslen(pwszCSPName) >= MAX_PATH", E_INVALIDARG);
    tessaro::UniqueCryptProv prov;
    if (HRESULT hr = AcquireProvider(FUNC, prov, nullptr, pwszCSPName, CRYPT_VERIFYCONTEXT); FAILED(hr)) return hr;
    DWORD cbMaxName = 0;
    if (!CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, nullptr, &cbMaxName, CRYPT_FIRST)) {
        // No container at all is the end of the enumeration, not a failure.
        if (GetLastError() == ERROR_NO_MORE_ITEMS) return KEVO_OK;
        HRESULT hr = LastErrorAsHResult();
        KEVO_FAIL_W(FUNC, u"CryptGetProvParam", u"1", hr);
        return hr;
    }
    std::unique_ptr<BYTE[]> name(new (std::nothrow) BYTE[static_cast<size_t>(cbMaxName) + 1]());
    if (!name) return KEVO_FAILED_W(FUNC, u"new ContainerName", u"NULL == pbContainerName", E_OUTOFMEMORY);
    for (DWORD dwFlags = CRYPT_FIRST;; dwFlags = CRYPT_NEXT) {
        memset(name.get(), 0, static_cast<size_t>(cbMaxName) + 1);
        DWORD cbName = cbMaxName;
        if (!CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, name.get(), &cbName, dwFlags)) break;
        WCHAR* pwszContainer = nullptr;
        int cchContainer = 0;
        HRESULT hr = UTF8ToUTF16(reinterpret_cast<const char*>(name.get()), &pwszContainer, &cchContainer);
        std::unique_ptr<WCHAR[]> holdContainer(pwszContainer);
        if (FAILED(hr)) return KEVO_FAILED_W(FUNC, u"UTF8ToUTF16", u"FAILED(hResult)", hr);
        if (!FitsRecord(pwszContainer)) {
            KEVO_FAIL_W(FUNC, u"Skip container", u"wcslen(pwszContainerName) >= MAX_PATH", E_INVALIDARG);
            continue;
        }
        for (DWORD dwKeySpec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
            PUNREGISTERED_CERT_CONTEXT pstRecord = nullptr;
            if (FAILED(GetUnregisteredCertfromContainer(pwszCSPName, pwszContainer, dwKeySpec, &pstRecord))) continue;
            if (SUCCEEDED(CheckUnregisteredCertficate(pstRecord->pCertContext, pstFilter)))
                vtrRecords.push_back(pstRecord);
            else
                CertFreeUnregisteredCertContext(pstRecord);
        }
    }
    return KEVO_OK;
}

HRESULT FilterUnregisteredCertificatesfromCSP(LPCWSTR pwszCSPNames, const CERT_FILTER* pstFilter,
                                              UNREGISTERED_CERT_LIST& vtrRecords) {
    const LPCWSTR FUNC = u"FilterUnregisteredCertificatesfromCSP";
    TraceHelper th(FUNC);
    std::u16string wstrNames;
    if (pwszCSPNames == nullptr) {
        HRESULT hr = GetInstalledCSPNames(wstrNames);
        if (FAILED(hr)) {
            RemoveAllUnregisteredCertificates(vtrRecords);
            KEVO_FAIL_W(FUNC, u"GetAllCSPName", u"FAILED(hResult)", hr);
            return hr;
        }
        pwszCSPNames = wstrNames.c_str();
    }
    std::vector<std::u16string> vtrNames;
    SplitStrings(pwszCSPNames, vtrNames);
    for (const std::u16string& name : vtrNames) {
        if (name.find(u"Microsoft") != std::u16string::npos) continue;
        HRESULT hr = FilterUnregisteredCertificatesfromSpecifiedCSP(name.c_str(), pstFilter, vtrRecords);
        KevoTraceStepW(FUNC, name.c_str(), hr);
    }
    return KEVO_OK;
}
