// Encryption-certificate import: the entry point, its dispatch to the plain
// and the envelope path, and the reading of what both paths start from.
#include "import/ImportEncryptCert.h"

#include <iterator>

#include "import/CertificateInstall.h"
#include "diag/Diagnostics.h"
#include "diag/ResultCode.h"

#define TRACE_UNIT_W u"ImportEncryptCert"

namespace {

bool AnyInputEmpty(const std::u16string& a, const std::u16string& b, const std::u16string& c,
                   const std::u16string& d, const std::u16string& e) {
    return a.empty() || b.empty() || c.empty() || d.empty() || e.empty();
}

// The certificate and both encrypted keys, as every path starts from them.
struct ImportInputs {
    tessaro::SecureBytes cert, encSessionKey, encPrivateKey;
    ALG_ID algSession = 0;
    const BYTE* Cert() const { return cert.data(); }
    DWORD CertSize() const { return static_cast<DWORD>(cert.size()); }
    DWORD PrivateKeySize() const { return static_cast<DWORD>(encPrivateKey.size()); }
};

// The certificate text and then the envelope (in its Ex form for the
// envelope path), traced under the path's name.
HRESULT ReadImportInputs(LPCWSTR FUNC, bool bEx, const std::u16string& wstrEncryptedPrivateKeyData,
                         const std::u16string& wstrEncryptPublicCert, ImportInputs& in) {
    HRESULT hr = ParseEncryptCertPublicKeyCert(wstrEncryptPublicCert, in.cert);
    if (FAILED(KEVO_STEP_W(FUNC, u"ParseEncryptCertPublicKeyCert", hr))) return hr;

    const LPCWSTR pwszStep = bEx ? u"ParseEncryptCertPrivateKeyDataEx" : u"ParseEncryptCertPrivateKeyData";
    hr = bEx ? ParseEncryptCertPrivateKeyDataEx(wstrEncryptedPrivateKeyData, in.encSessionKey, in.algSession,
                                                in.encPrivateKey)
             : ParseEncryptCertPrivateKeyData(wstrEncryptedPrivateKeyData, in.encSessionKey, in.algSession,
                                              in.encPrivateKey);
    return KEVO_STEP_W(FUNC, pwszStep, hr);
}

// SM2 ciphertexts arrive in either order of C2 and C3: as received, then
// reordered one way, then the other.
struct SM2Attempt {
    LPCWSTR pwszConvertStep;  // null: the ciphertext as received
    HRESULT (*pfnConvert)(const BYTE*, DWORD, tessaro::SecureBytes&);
    LPCWSTR pwszRefusedStep;  // traced when the provider refuses this order
    LPCWSTR pwszDoneStep;
};
const SM2Attempt SM2_ATTEMPTS[] = {
    {nullptr, nullptr, u"ImportEncryptCertEx_SM2 (as received)", u"ImportEncryptCertEx_SM2"},
    {u"ConvertC1C3C2ToC1C2C3", ConvertC1C3C2ToC1C2C3, u"ImportEncryptCertEx_SM2 (C1C2C3)",
     u"ImportEncryptCertEx_SM2 (C1C2C3)"},
    {u"ConvertC1C2C3ToC1C3C2", ConvertC1C2C3ToC1C3C2, u"ImportEncryptCertEx_SM2", u"ImportEncryptCertEx_SM2 (C1C3C2)"},
};

// The SM2 envelope path. Once a key went in, its binding decides: the
// container's exchange key has already been replaced.
HRESULT ImportSM2InAnyOrder(LPCWSTR FUNC, const ImportInputs& in, HCRYPTPROV hProv, DWORD dwFlags) {
    KevoTraceStepW(FUNC, u"Check dwNeedRetry");
    HRESULT hr = E_FAIL;
    for (const SM2Attempt& attempt : SM2_ATTEMPTS) {
        const bool bLast = &attempt == &SM2_ATTEMPTS[std::size(SM2_ATTEMPTS) - 1];
        tessaro::SecureBytes converted;
        const BYTE* pbCiphertext = in.encPrivateKey.data();
        if (attempt.pfnConvert != nullptr) {
            hr = attempt.pfnConvert(in.encPrivateKey.data(), in.PrivateKeySize(), converted);
            if (FAILED(KEVO_CHECK_W(FUNC, attempt.pwszConvertStep, hr))) return hr;
            pbCiphertext = converted.data();
        }
        bool bImported = false, bRefused = false;
        hr = ImportEncryptCertEx_SM2(in.Cert(), pbCiphertext, in.PrivateKeySize(), hProv, in.CertSize(), dwFlags,
                                     &bImported, &bRefused);
        if (SUCCEEDED(hr)) {
            KevoTraceStepW(FUNC, attempt.pwszDoneStep);
            return KEVO_OK;
        }
        if (!bLast) {
            if (bImported) {
                KEVO_FAIL_W(FUNC, u"ImportEncryptCertEx_SM2", u"key imported, certificate not bound", hr);
                return hr;
            }
            KEVO_FAIL_W(FUNC, attempt.pwszRefusedStep, u"FAILED(hResult)", hr);
            continue;
        }
        // Earlier orders that got a key in have returned above; here all
        // three were refused by the provider.
        if (!bImported && bRefused)
            hr = BindCertificateToImportedExchangeKey(false, hProv, in.Cert(), in.CertSize(), hr);
        if (FAILED(KEVO_CHECK_W(FUNC, attempt.pwszRefusedStep, hr))) return hr;
        KevoTraceStepW(FUNC, attempt.pwszDoneStep);
    }
    return hr;
}

}  // namespace

// ---- Entry -----------------------------------------------------------------------

HRESULT ImportEncryptCertEx(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                            const std::u16string& wstrKeyAlgorithm, const std::u16string& wstrEncryptedPrivateKeyData,
                            const std::u16string& wstrEncryptePublicCert, LONG nKeyLength, DWORD dwFlags) {
    const LPCWSTR FUNC = u"ImportEncryptCertEx";
    TraceHelper th(FUNC);
    KevoTraceValueW(u"wstrCSPName", wstrCSPName.c_str());
    KevoTraceValueW(u"wstrContainerName", wstrContainerName.c_str());
    KevoTraceValueW(u"wstrKeyAlgorithm", wstrKeyAlgorithm.c_str());
    KevoTraceValueN("nKeyLength", nKeyLength);
    KevoTraceValueN("dwFlags", static_cast<LONG>(dwFlags));
    if (AnyInputEmpty(wstrEncryptedPrivateKeyData, wstrEncryptePublicCert, wstrCSPName, wstrContainerName,
                      wstrKeyAlgorithm)) {
        KEVO_FAIL_W(FUNC, u"Invalid parameter.",
                    u"wstrEncryptedPrivateKeyData == L\"\" || wstrEncryptePublicCert == L\"\" || wstrCSPName == L\"\" "
                    u"|| wstrContainerName == L\"\" || wstrKeyAlgorithm == L\"\"",
                    E_INVALIDARG);
        return E_INVALIDARG;
    }
    HRESULT hr;
    if (IsRSAAlgorithm(wstrKeyAlgorithm) && (IsMicrosoftCSP(wstrCSPName) || nKeyLength == 1024)) {
        hr = ImportEncryptCert(wstrCSPName, wstrContainerName, wstrKeyAlgorithm, wstrEncryptedPrivateKeyData,
                               wstrEncryptePublicCert, nKeyLength, dwFlags);
        if (FAILED(KEVO_CHECK_W(FUNC, u"ImportEncryptCertEx-ImportEncryptCert", hr))) return hr;
        KevoTraceStepW(FUNC, u"ImportEncryptCert");
        return hr;
    }
    hr = ImportEncryptCertByEncryptedFormat(wstrCSPName, wstrContainerName, wstrKeyAlgorithm,
                                            wstrEncryptedPrivateKeyData, wstrEncryptePublicCert, nKeyLength, dwFlags);
    return KEVO_STEP_W(FUNC, u"ImportEncryptCertByEncryptedFormat", hr);
}

HRESULT ImportEncryptCert(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                          const std::u16string& wstrKeyAlgorithm, const std::u16string& wstrEncryptedPrivateKeyData,
                          const std::u16string& wstrEncryptePublicCert, LONG nKeyLength, DWORD dwFlags) {
    const LPCWSTR FUNC = u"ImportEncryptCert";
    TraceHelper th(FUNC);
    ImportInputs in;
    HRESULT hr = ReadImportInputs(FUNC, false, wstrEncryptedPrivateKeyData, wstrEncryptePublicCert, in);
    if (FAILED(hr)) return hr;

    tessaro::UniqueCryptProv prov;
    tessaro::SecureBytes privateKey;
    {
        tessaro::SecureBytes sessionKey;
        hr = KEVO_STEP_W(FUNC, u"DecryptSessionKeywithTempKey",
                  DecryptSessionKeywithTempKey(wstrCSPName, wstrContainerName, wstrKeyAlgorithm, prov,
                                               in.encSessionKey.data(), static_cast<DWORD>(in.encSessionKey.size()),
                                               sessionKey));
        if (FAILED(hr)) return hr;
        // The session key goes as soon as the private key is open.
        hr = KEVO_STEP_W(FUNC, u"DecryptPrivateKeywithSessionKey",
                  DecryptPrivateKeywithSessionKey(privateKey, in.algSession, sessionKey.data(),
                                                  static_cast<DWORD>(sessionKey.size()), in.encPrivateKey.data(),
                                                  in.PrivateKeySize()));
        if (FAILED(hr)) return hr;
    }
    hr = KEVO_STEP_W(FUNC, u"ImportEncryptCert_RSA",
              ImportEncryptCert_RSA(wstrContainerName, in.Cert(), in.CertSize(), wstrCSPName, prov.get(), nKeyLength,
                                    privateKey.data(), static_cast<DWORD>(privateKey.size()), dwFlags));
    return FAILED(hr) ? hr : KEVO_OK;
}

HRESULT ImportEncryptCertByEncryptedFormat(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                                           const std::u16string& wstrKeyAlgorithm,
                                           const std::u16string& wstrEncryptedPrivateKeyData,
                                           const std::u16string& wstrEncryptPublicCert, LONG nKeyLength,
                                           DWORD dwFlags) {
    const LPCWSTR FUNC = u"ImportEncryptCertByEncryptedFormat";
    TraceHelper th(FUNC);
    if (AnyInputEmpty(wstrEncryptedPrivateKeyData, wstrEncryptPublicCert, wstrCSPName, wstrContainerName,
                      wstrKeyAlgorithm)) {
        KEVO_FAIL_W(FUNC, u"Invalid parameter.",
                    u"wstrEncryptedPrivateKeyData == L\"\" || wstrEncryptPublicCert == L\"\" || wstrCSPName == L\"\" "
                    u"|| wstrContainerName == L\"\" || wstrKeyAlgorithm == L\"\"",
                    E_INVALIDARG);
        return E_INVALIDARG;
    }
    ImportInputs in;
    HRESULT hr = ReadImportInputs(FUNC, true, wstrEncryptedPrivateKeyData, wstrEncryptPublicCert, in);
    if (FAILED(hr)) return hr;

    tessaro::UniqueCryptProv prov;
    hr = KEVO_STEP_W(FUNC, u"GetCSPHandleofTempPublickey",
              GetCSPHandleofTempPublickey(wstrCSPName, wstrContainerName, wstrKeyAlgorithm, prov));
    if (FAILED(hr)) return hr;

    if (!IsRSAAlgorithm(wstrKeyAlgorithm)) return ImportSM2InAnyOrder(FUNC, in, prov.get(), dwFlags);

    bool bImported = false, bRefused = false;
    hr = ImportEncryptCertEx_RSA(in.Cert(), in.CertSize(), in.encPrivateKey.data(), in.encSessionKey.data(),
                                 wstrCSPName, prov.get(), nKeyLength, static_cast<DWORD>(in.encSessionKey.size()),
                                 in.PrivateKeySize(), dwFlags, &bImported, &bRefused);
    if (FAILED(hr) && !bImported && bRefused)
        hr = BindCertificateToImportedExchangeKey(true, prov.get(), in.Cert(), in.CertSize(), hr);
    hr = KEVO_STEP_W(FUNC, u"ImportEncryptCertEx_RSA", hr);
    return FAILED(hr) ? hr : KEVO_OK;
}
