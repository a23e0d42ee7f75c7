// Removal of CA certificates that earlier versions installed and that are
// no longer wanted: intermediates from the "CA" stores of the machine and of
// the user, roots from the machine's trusted-root registry key.
#include "store/CertificateChainDelete.h"

#include <memory>
#include <string>

#include "store/CertificateChainInstall.h"
#include "store/CertificateFilter.h"
#include "diag/Diagnostics.h"
#include "misc/Misc.h"
#include "diag/ResultCode.h"
#include "tessaro/Handles.h"

#define TRACE_UNIT_W u"CertificateChainDelete"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kIntermediate = DISCARD_CERT_INTERMEDIATE;
constexpr DWORD kRoot = DISCARD_CERT_ROOT;

// Our former demonstration hierarchies (tools/cachain/make-chain-docs.sh
// writes this table). Intermediates: issuer DN, serial, subject DN.
// Roots: DN, serial, DN again, thumbprint. Each group removes what its root
// issued before the root itself.
const DISCARD_CERT_ENTRY g_rgRSADiscardCerts[] = {
    // RSA 1
    {kIntermediate, u"CN=Tessaro Former RSA Root A, O=Tessaro Demo Former, C=CN",
     u"4A000000000000A1", u"CN=Tessaro Former RSA Issuing CA A1, O=Tessaro Demo Former, C=CN",
     nullptr},
    // RSA 2
    {kRoot, u"CN=Tessaro Former RSA Root A, O=Tessaro Demo Former, C=CN",
     u"4A00000000000000", u"CN=Tessaro Former RSA Root A, O=Tessaro Demo Former, C=CN",
     u"E397A4F19AB9A4F2D9E4765A61C7F7F6280CF7CD"},
    // RSA 3
    {kIntermediate, u"CN=Tessaro Former RSA Root B, O=Tessaro Demo Former, C=CN",
     u"4B000000000000B1", u"CN=Tessaro Former RSA Issuing CA B1, O=Tessaro Demo Former, C=CN",
     nullptr},
    // RSA 4
    {kRoot, u"CN=Tessaro Former RSA Root B, O=Tessaro Demo Former, C=CN",
     u"4B00000000000000", u"CN=Tessaro Former RSA Root B, O=Tessaro Demo Former, C=CN",
     u"7978AFDD971FE591A8D8F44F704233E6AE94A327"},
    // RSA 5
    {kIntermediate, u"CN=Tessaro Former RSA Root C, O=Tessaro Demo Former, C=CN",
     u"4C000000000000C1", u"CN=Tessaro Former RSA Issuing CA C1, O=Tessaro Demo Former, C=CN",
     nullptr},
    // RSA 6
    {kRoot, u"CN=Tessaro Former RSA Root C, O=Tessaro Demo Former, C=CN",
     u"4C00000000000000", u"CN=Tessaro Former RSA Root C, O=Tessaro Demo Former, C=CN",
     u"82707EBFEB4792F4F39E5AF15D55B94A84D8950D"},
    // RSA 7
    {kIntermediate, u"CN=Tessaro Former RSA Root D, O=Tessaro Demo Former, C=CN",
     u"4D000000000000D1", u"CN=Tessaro Former RSA Issuing CA D1, O=Tessaro Demo Former, C=CN",
     nullptr},
    // RSA 8
    {kIntermediate, u"CN=Tessaro Former RSA Root D, O=Tessaro Demo Former, C=CN",
     u"4A000000000000A1", u"CN=Tessaro Former RSA Issuing CA A1, O=Tessaro Demo Former, C=CN",
     nullptr},
    // RSA 9
    {kRoot, u"CN=Tessaro Former RSA Root D, O=Tessaro Demo Former, C=CN",
     u"4D00000000000000", u"CN=Tessaro Former RSA Root D, O=Tessaro Demo Former, C=CN",
     u"E6586D5C9442F311F5E1D4356201586870E40A93"},
};

const DISCARD_CERT_ENTRY g_rgSM2DiscardCerts[] = {
    // SM2 1
    {kIntermediate, u"CN=Tessaro Former SM2 Root E, O=Tessaro Demo Former, C=CN",
     u"5E000000000000E1", u"CN=Tessaro Former SM2 Issuing CA E1, O=Tessaro Demo Former, C=CN",
     nullptr},
    // SM2 2
    {kIntermediate, u"CN=Tessaro Former SM2 Root E, O=Tessaro Demo Former, C=CN",
     u"5E000000000000E2", u"CN=Tessaro Former SM2 Issuing CA E2, O=Tessaro Demo Former, C=CN",
     nullptr},
    // SM2 3
    {kRoot, u"CN=Tessaro Former SM2 Root E, O=Tessaro Demo Former, C=CN",
     u"5E00000000000000", u"CN=Tessaro Former SM2 Root E, O=Tessaro Demo Former, C=CN",
     u"CB311F344A1B8F2E1BBD563B2A01E28725D4748F"},
    // SM2 4
    {kIntermediate, u"CN=Tessaro Former SM2 Root F, O=Tessaro Demo Former, C=CN",
     u"5F000000000000F1", u"CN=Tessaro Former SM2 Issuing CA F1, O=Tessaro Demo Former, C=CN",
     nullptr},
    // SM2 5
    {kRoot, u"CN=Tessaro Former SM2 Root F, O=Tessaro Demo Former, C=CN",
     u"5F00000000000000", u"CN=Tessaro Former SM2 Root F, O=Tessaro Demo Former, C=CN",
     u"7D5AC77F60F22D7497576833DA82F54BFC8B89DD"},
    // SM2 6
    {kIntermediate, u"CN=Tessaro Former SM2 Root G, O=Tessaro Demo Former, C=CN",
     u"5C000000000000C1", u"CN=Tessaro Former SM2 Issuing CA G1, O=Tessaro Demo Former, C=CN",
     nullptr},
    // SM2 7
    {kIntermediate, u"CN=Tessaro Former SM2 Root G, O=Tessaro Demo Former, C=CN",
     u"5C000000000000C2", u"CN=Tessaro Former SM2 Issuing CA G2, O=Tessaro Demo Former, C=CN",
     nullptr},
    // SM2 8
    {kRoot, u"CN=Tessaro Former SM2 Root G, O=Tessaro Demo Former, C=CN",
     u"5C00000000000000", u"CN=Tessaro Former SM2 Root G, O=Tessaro Demo Former, C=CN",
     u"01E6171EE9EF6EA920DBEC2A2C95D323D5770E91"},
};

// The filter of one removal step: subject, issuer and the serial number
// decoded from its text, nothing else.
class StepFilter {
public:
    HRESULT Init(LPCWSTR FUNC, LPCWSTR pwszIssuerDN, LPCWSTR pwszSerialNumber, LPCWSTR pwszSubjectDN) {
        BYTE* pbSerial = nullptr;
        DWORD cbSerial = 0;
        HRESULT hr = ConvertStringToBinaryData(&cbSerial, pwszSerialNumber, &pbSerial);
        m_serial.reset(pbSerial);
        if (FAILED(hr)) return KEVO_FAILED_W(FUNC, u"ConvertStringToBinaryData", u"FAILED(hResult)", hr);
        m_filter.pwszSubject = pwszSubjectDN;
        m_filter.pwszIssuer = pwszIssuerDN;
        m_filter.pbSerialNumber = pbSerial;
        m_filter.cbSerialNumber = cbSerial;
        return KEVO_OK;
    }
    const CERT_FILTER* get() const { return &m_filter; }

    // Init, then the matching certificates removed from the machine's "CA"
    // store: the first part of every step.
    HRESULT DeleteFromMachine(LPCWSTR FUNC, LPCWSTR pwszIssuerDN, LPCWSTR pwszSerialNumber, LPCWSTR pwszSubjectDN) {
        HRESULT hr = Init(FUNC, pwszIssuerDN, pwszSerialNumber, pwszSubjectDN);
        if (FAILED(hr)) return hr;
        return KEVO_CHECK_W(FUNC, u"DeleteCertificateFromStore(CERT_SYSTEM_STORE_LOCAL_MACHINE)",
                            DeleteCertificateFromStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, get()));
    }

private:
    std::unique_ptr<BYTE[]> m_serial;
    CERT_FILTER m_filter{};
};

template <size_t N>
const DISCARD_CERT_ENTRY* ListOf(const DISCARD_CERT_ENTRY (&entries)[N], size_t* pnCount) {
    if (pnCount) *pnCount = N;
    return entries;
}

// Runs the list FUNC removes, step by step. Always 0.
HRESULT RunDiscardList(LPCWSTR FUNC, const DISCARD_CERT_ENTRY* (*list)(size_t*)) {
    TraceHelper th(FUNC);
    size_t nCount = 0;
    const DISCARD_CERT_ENTRY* pEntries = list(&nCount);
    for (size_t i = 0; i < nCount; ++i) {
        const DISCARD_CERT_ENTRY& e = pEntries[i];
        HRESULT hr;
        std::u16string wstrStep = u"Step ";
        for (char c : std::to_string(i + 1)) wstrStep.push_back(static_cast<char16_t>(c));
        if (e.dwKind == DISCARD_CERT_ROOT) {
            wstrStep += u": DeleteTrustedRootCert";
            hr = DeleteTrustedRootCert(e.pwszIssuerDN, e.pwszThumbprint, e.pwszSerialNumber, e.pwszSubjectDN);
        } else {
            wstrStep += u": DeleteIntermediateCert";
            hr = DeleteIntermediateCert(e.pwszIssuerDN, e.pwszSerialNumber, e.pwszSubjectDN);
        }
        // A step's failure is only reported: the steps after it still run.
        if (FAILED(hr)) KEVO_FAIL_W(FUNC, wstrStep.c_str(), u"FAILED(hResult)", hr);
        else KevoTraceStepW(FUNC, wstrStep.c_str(), hr);
    }
    return KEVO_OK;
}

}  // namespace

HRESULT DeleteCertificateFromStore(DWORD dwFlag, const CERT_FILTER* pstFilter) {
    const LPCWSTR FUNC = u"DeleteCertificateFromStore";
    TraceHelper th(FUNC);
    if (CERT_SYSTEM_STORE_LOCAL_MACHINE != dwFlag && CERT_SYSTEM_STORE_CURRENT_USER != dwFlag)
        return KEVO_FAILED_W(FUNC, u"Check parameter",
                             u"(CERT_SYSTEM_STORE_LOCAL_MACHINE != dwFlag && CERT_SYSTEM_STORE_CURRENT_USER != dwFlag)",
                             E_INVALIDARG);
    tessaro::UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, dwFlag, u"CA"));
    if (!store) return KEVO_FAILED_W(FUNC, u"CertOpenStore", u"hCertStore == NULL", KevoLastErrorResult());
    CERT_CONTEXT_LIST vtrAll, vtrMatched;
    CertContextListReleaser releaseAll{vtrAll}, releaseMatched{vtrMatched};
    HRESULT hr = KEVO_CHECK_W(FUNC, u"ExtractCertificatesFromStore", ExtractCertificatesFromStore(store.get(), vtrAll));
    if (FAILED(hr)) return hr;
    hr = KEVO_CHECK_W(FUNC, u"FilterCertificates", FilterCertificates(pstFilter, vtrMatched, vtrAll));
    if (FAILED(hr)) return hr;
    KevoTraceValueN("Matching certificates", static_cast<LONG>(vtrMatched.size()));
    for (PCCERT_CONTEXT pCert : vtrMatched) {
        PCCERT_CONTEXT pDup = CertDuplicateCertificateContext(pCert);
        if (!pDup) {
            KEVO_FAIL_W(FUNC, u"CertDuplicateCertificateContext", u"NULL == pCertContext", KevoLastErrorResult());
            continue;
        }
        // The deletion consumes the duplicate, also when it fails.
        if (!CertDeleteCertificateFromStore(pDup)) {
            KEVO_FAIL_W(FUNC, u"CertDeleteCertificateFromStore", u"1", KevoLastErrorResult());
            continue;
        }
        KevoTraceStepW(FUNC, u"CertDeleteCertificateFromStore");
    }
    return KEVO_OK;
}

HRESULT DeleteIntermediateCert(LPCWSTR pwszIssuerDN, LPCWSTR pwszSerialNumber, LPCWSTR pwszSubjectDN) {
    const LPCWSTR FUNC = u"DeleteIntermediateCert";
    TraceHelper th(FUNC);
    KevoTraceValueW(u"Issuer", pwszIssuerDN);
    KevoTraceValueW(u"SerialNumber", pwszSerialNumber);
    KevoTraceValueW(u"Subject", pwszSubjectDN);
    StepFilter filter;
    HRESULT hr = filter.DeleteFromMachine(FUNC, pwszIssuerDN, pwszSerialNumber, pwszSubjectDN);
    if (SUCCEEDED(hr))
        hr = KEVO_CHECK_W(FUNC, u"DeleteCertificateFromStore(CERT_SYSTEM_STORE_CURRENT_USER)",
                          DeleteCertificateFromStore(CERT_SYSTEM_STORE_CURRENT_USER, filter.get()));
    return FAILED(hr) ? hr : KEVO_OK;
}

HRESULT DeleteTrustedRootCert(LPCWSTR pwszIssuerDN, LPCWSTR pwszThumbprint, LPCWSTR pwszSerialNumber,
                              LPCWSTR pwszSubjectDN) {
    const LPCWSTR FUNC = u"DeleteTrustedRootCert";
    TraceHelper th(FUNC);
    KevoTraceValueW(u"Issuer", pwszIssuerDN);
    KevoTraceValueW(u"SerialNumber", pwszSerialNumber);
    StepFilter filter;
    HRESULT hr = filter.DeleteFromMachine(FUNC, pwszIssuerDN, pwszSerialNumber, pwszSubjectDN);
    if (SUCCEEDED(hr)) hr = KEVO_CHECK_W(FUNC, u"DeleteRegistryKey", DeleteRegistryKey(pwszThumbprint));
    return FAILED(hr) ? hr : KEVO_OK;
}

HRESULT DeleteRegistryKey(LPCWSTR pwszThumbprint) {
    const LPCWSTR FUNC = u"DeleteRegistryKey";
    TraceHelper th(FUNC);
    if (!pwszThumbprint || !*pwszThumbprint)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pwszThumbprint", E_INVALIDARG);
    KevoTraceValueW(u"Thumbprint", pwszThumbprint);
    tessaro::UniqueHkey key;
    HRESULT hr =
        KEVO_CHECK_STATUS_W(FUNC, u"RegOpenKeyExW",
                            RegOpenKeyExW(HKEY_LOCAL_MACHINE, ROOT_CERTIFICATES_REGPATH, 0, KEY_ALL_ACCESS, key.put()));
    if (SUCCEEDED(hr)) hr = KEVO_CHECK_STATUS_W(FUNC, u"RegDeleteKeyW", RegDeleteKeyW(key.get(), pwszThumbprint));
    if (FAILED(hr)) return hr;
    KevoTraceStepW(FUNC, u"RegDeleteKeyW");
    return KEVO_OK;
}

const DISCARD_CERT_ENTRY* GetRSADiscardCertList(size_t* pnCount) { return ListOf(g_rgRSADiscardCerts, pnCount); }

const DISCARD_CERT_ENTRY* GetSM2DiscardCertList(size_t* pnCount) { return ListOf(g_rgSM2DiscardCerts, pnCount); }

HRESULT DeleteRSADiscardCert() { return RunDiscardList(u"DeleteRSADiscardCert", GetRSADiscardCertList); }

HRESULT DeleteSM2DiscardCert() { return RunDiscardList(u"DeleteSM2DiscardCert", GetSM2DiscardCertList); }
