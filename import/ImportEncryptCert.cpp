// Encryption-certificate import: the entry point, the envelope reader, the
// envelope path and its SM2 attempts. The RSA routines are in
// ImportEncryptCertRSA.cpp (same unit).
#include "import/ImportEncryptCert.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "encoding/ASN1Engine.h"
#include "import/CertificateInstall.h"
#include "diag/Diagnostics.h"
#include "diag/ResultCode.h"

#define TRACE_UNIT_W u"ImportEncryptCert"

namespace {

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

bool IsRSAAlgorithm(const std::u16string& wstrKeyAlgorithm) {
    return _wcsicmp(wstrKeyAlgorithm.c_str(), u"RSA") == 0;
}

// A 16-character decimal field: leading blanks, an optional sign, then
// digits up to the first other character. At most 15 digits fit after a
// sign, so 64 bits never overflow.
long long ReadEnvelopeNumber(const std::u16string& wstrData, size_t nPosition) {
    size_t i = nPosition;
    const size_t nEnd = nPosition + ENVELOPE_FIELD_LENGTH;
    while (i < nEnd && (wstrData[i] == u' ' || wstrData[i] == u'\t' || wstrData[i] == u'\r' || wstrData[i] == u'\n'))
        ++i;
    bool bNegative = false;
    if (i < nEnd && (wstrData[i] == u'+' || wstrData[i] == u'-')) {
        bNegative = wstrData[i] == u'-';
        ++i;
    }
    long long v = 0;
    while (i < nEnd && wstrData[i] >= u'0' && wstrData[i] <= u'9') {
        v = v * 10 + (wstrData[i] - u'0');
        ++i;
    }
    return bNegative ? -v : v;
}

// The envelope's fields and both parts, decoded but still wrapped.
HRESULT ReadEnvelope(LPCWSTR FUNC, bool bEx, const std::u16string& wstrData, BYTE** ppbSessionPart,
                     DWORD* pcbSessionPart, ALG_ID* pSessionAlg, BYTE** ppbPrivatePart, DWORD* pcbPrivatePart) {
    if (ppbSessionPart == nullptr || pcbSessionPart == nullptr || pSessionAlg == nullptr ||
        ppbPrivatePart == nullptr || pcbPrivatePart == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"out pointer == NULL", E_POINTER);
        return E_POINTER;
    }
    // The three leading fields must be there before any is read.
    if (wstrData.size() < 3 * ENVELOPE_FIELD_LENGTH) {
        KEVO_FAIL_W(FUNC, u"Check encrypted data size.", u"nDataLen < 48", KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    long long nDeviceType = ReadEnvelopeNumber(wstrData, 0);
    KevoTraceValueN("nDeviceType", static_cast<LONG>(nDeviceType));
    if (nDeviceType != 0 && nDeviceType != 1 && nDeviceType != 2) {
        KEVO_FAIL_W(FUNC, u"Check device type", u"TRUE", KEVO_E_DEVICE_TYPE);
        return KEVO_E_DEVICE_TYPE;
    }
    long long nEncryptType = ReadEnvelopeNumber(wstrData, ENVELOPE_FIELD_LENGTH);
    KevoTraceValueN("nEncryptType", static_cast<LONG>(nEncryptType));
    if (nEncryptType != 1 && nEncryptType != 2) {
        KEVO_FAIL_W(FUNC, u"Check encrypt type", u"TRUE", KEVO_E_ENCRYPT_TYPE);
        return KEVO_E_ENCRYPT_TYPE;
    }
    long long nSessionKeyType = ReadEnvelopeNumber(wstrData, 2 * ENVELOPE_FIELD_LENGTH);
    KevoTraceValueN("nSessionKeyType", static_cast<LONG>(nSessionKeyType));
    ALG_ID algSession = 0;
    if (nSessionKeyType == ENVELOPE_SESSION_KEY_3DES) {
        algSession = CALG_3DES;
    } else if (bEx && nSessionKeyType == 0) {
        algSession = 0;
    } else {
        KEVO_FAIL_W(FUNC, u"Check session key type", u"TRUE", KEVO_E_SESSION_KEY_TYPE);
        return KEVO_E_SESSION_KEY_TYPE;
    }
    KevoTraceStepW(FUNC, u"Check envelope fields");

    size_t nPosition = 3 * ENVELOPE_FIELD_LENGTH;
    std::u16string wstrSessionKey, wstrPrivateKey;
    HRESULT hr = GetBase64KeyFromEncryptedData(wstrData, nPosition, wstrSessionKey);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"get session key encoded with base64", u"FAILED(hResult)", hr);
        return hr;
    }
    hr = GetBase64KeyFromEncryptedData(wstrData, nPosition, wstrPrivateKey);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"get private key encoded with base64", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"GetBase64KeyFromEncryptedData");

    CKeyBuffer sessionPart, privatePart;
    if (algSession == CALG_3DES) {
        hr = DecodeBase64Key(wstrSessionKey.c_str(), sessionPart.Out(), sessionPart.OutLength());
        if (FAILED(hr)) {
            KEVO_FAIL_W(FUNC, u"base64 decode session key FAILED.", u"FAILED(hResult)", hr);
            return hr;
        }
    }
    hr = DecodeBase64Key(wstrPrivateKey.c_str(), privatePart.Out(), privatePart.OutLength());
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"base64 decode private key FAILED.", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"DecodeBase64Key");

    // Hand both out only now, so a failure hands out nothing.
    *pcbSessionPart = sessionPart.Size();
    *pcbPrivatePart = privatePart.Size();
    *ppbSessionPart = sessionPart.Release();
    *ppbPrivatePart = privatePart.Release();
    *pSessionAlg = algSession;
    return KEVO_OK;
}

HRESULT ParsePrivateKeyData(LPCWSTR FUNC, bool bEx, const std::u16string& wstrData, BYTE** ppbSessionKey,
                            DWORD* pcbSessionKey, ALG_ID* pSessionAlg, BYTE** ppbPrivateKey, DWORD* pcbPrivateKey) {
    if (ppbSessionKey == nullptr || pcbSessionKey == nullptr || pSessionAlg == nullptr || ppbPrivateKey == nullptr ||
        pcbPrivateKey == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"out pointer == NULL", E_POINTER);
        return E_POINTER;
    }
    CKeyBuffer sessionPart, privatePart;
    ALG_ID algSession = 0;
    HRESULT hr = bEx ? GetSessionKeyandPrivateKeyASN1ObjEx(wstrData, sessionPart.Out(), sessionPart.OutLength(),
                                                           &algSession, privatePart.Out(), privatePart.OutLength())
                     : GetSessionKeyandPrivateKeyASN1Obj(wstrData, sessionPart.Out(), sessionPart.OutLength(),
                                                         &algSession, privatePart.Out(), privatePart.OutLength());
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, bEx ? u"GetSessionKeyandPrivateKeyASN1ObjEx" : u"GetSessionKeyandPrivateKeyASN1Obj",
                    u"FAILED(hResult)", hr);
        return hr;
    }
    CKeyBuffer sessionKey, privateKey;
    if (algSession == CALG_3DES) {
        hr = GetSessionKeyorPrivateKeyFromASN1Obj(sessionPart.Get(), sessionPart.Size(), sessionKey.Out(),
                                                  sessionKey.OutLength());
        if (FAILED(hr)) {
            KEVO_FAIL_W(FUNC, u"get session key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)",
                        u"FAILED(hResult)", hr);
            return hr;
        }
    }
    hr = GetSessionKeyorPrivateKeyFromASN1Obj(privatePart.Get(), privatePart.Size(), privateKey.Out(),
                                              privateKey.OutLength());
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"get private key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)", u"FAILED(hResult)",
                    hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"GetSessionKeyorPrivateKeyFromASN1Obj");
    // Ownership moves to the caller; the holders keep nothing.
    *pcbSessionKey = sessionKey.Size();
    *pcbPrivateKey = privateKey.Size();
    *pSessionAlg = algSession;
    *ppbSessionKey = sessionKey.Release();
    *ppbPrivateKey = privateKey.Release();
    return KEVO_OK;
}

bool AnyInputEmpty(const std::u16string& a, const std::u16string& b, const std::u16string& c,
                   const std::u16string& d, const std::u16string& e) {
    return a.empty() || b.empty() || c.empty() || d.empty() || e.empty();
}

}  // namespace

void CKeyBuffer::Reset() {
    if (m_pb != nullptr) {
        WipeKeyMaterial(m_pb, m_cb);
        delete[] m_pb;
    }
    m_pb = nullptr;
    m_cb = 0;
}

HRESULT GetBase64KeyFromEncryptedData(const std::u16string& wstrEncryptedPrivateKeyData, size_t& nPosition,
                                      std::u16string& wstrKeyBase64) {
    const LPCWSTR FUNC = u"GetBase64KeyFromEncryptedData";
    TraceHelper th(FUNC);
    const size_t nTotal = wstrEncryptedPrivateKeyData.size();
    const long long nRemainLen = nPosition <= nTotal ? static_cast<long long>(nTotal - nPosition) : 0;
    if (0 == nRemainLen || nRemainLen < ENVELOPE_FIELD_LENGTH) {
        KEVO_FAIL_W(FUNC, u"Check encrypted data size.", u"0 == nRemainLen || nRemainLen < 16",
                    KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    const long long nKeyLength = ReadEnvelopeNumber(wstrEncryptedPrivateKeyData, nPosition);
    KevoTraceValueN("nKeyLength", static_cast<LONG>(nKeyLength));
    if (nKeyLength < 0 || nKeyLength > nRemainLen - ENVELOPE_FIELD_LENGTH) {
        KEVO_FAIL_W(FUNC, u"GetBase64KeyFromEncryptedData-key's length is wrong", u"TRUE", KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    const size_t nStart = nPosition + ENVELOPE_FIELD_LENGTH;
    if (nKeyLength == 0) {
        wstrKeyBase64.clear();
        nPosition = nStart;
        return KEVO_OK;
    }
    std::u16string keyBase64Encoded = wstrEncryptedPrivateKeyData.substr(nStart, static_cast<size_t>(nKeyLength));
    if (u',' != keyBase64Encoded[static_cast<size_t>(nKeyLength) - 1]) {
        KEVO_FAIL_W(FUNC, u"Check endl character", u"L',' != keyBase64Encoded[nKeyLength - 1]",
                    KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    EraseCommaInWstr(keyBase64Encoded);
    wstrKeyBase64.swap(keyBase64Encoded);
    nPosition = nStart + static_cast<size_t>(nKeyLength);
    return KEVO_OK;
}

HRESULT GetSessionKeyorPrivateKeyFromASN1Obj(const BYTE* pbPart, DWORD cbPart, BYTE** ppbKey, DWORD* pcbKey) {
    const LPCWSTR FUNC = u"GetSessionKeyorPrivateKeyFromASN1Obj";
    TraceHelper th(FUNC);
    if (ppbKey == nullptr || pcbKey == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameters", u"ppbKey == NULL || pcbKey == NULL", E_POINTER);
        return E_POINTER;
    }
    if (pbPart == nullptr || cbPart == 0) {
        KEVO_FAIL_W(FUNC, u"DecodeASN1Memory", u"pbPart == NULL || 0 == cbPart", KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    CASN1Node* pRoot = nullptr;
    LONG r = DecodeASN1Memory(&pRoot, pbPart, cbPart);
    std::unique_ptr<CASN1Node> root(pRoot);
    if (r != 0 || !root) {
        KEVO_FAIL_W(FUNC, u"DecodeASN1Memory", u"0 != r", KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    if (root->GetChildCount() != 2) {
        KEVO_FAIL_W(FUNC, u"Level 1: 2 nodes(INTEGER and OCTET STRING can not be found", u"TRUE",
                    KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    const CASN1Node* pKey = root->GetChild(1);
    const DWORD cbKey = pKey->GetValueLength();
    BYTE* pbKey = new (std::nothrow) BYTE[static_cast<size_t>(cbKey) + 1]();
    if (pbKey == nullptr) {
        KEVO_FAIL_W(FUNC, u"new memory", u"pbKey == NULL", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    if (cbKey) memcpy(pbKey, pKey->GetValue(), cbKey);
    *ppbKey = pbKey;
    *pcbKey = cbKey;
    KevoTraceValueN("key length", static_cast<LONG>(cbKey));
    return KEVO_OK;
}

HRESULT GetSessionKeyandPrivateKeyASN1Obj(const std::u16string& wstrEncryptedPrivateKeyData, BYTE** ppbSessionPart,
                                          DWORD* pcbSessionPart, ALG_ID* pSessionAlg, BYTE** ppbPrivatePart,
                                          DWORD* pcbPrivatePart) {
    const LPCWSTR FUNC = u"GetSessionKeyandPrivateKeyASN1Obj";
    TraceHelper th(FUNC);
    return ReadEnvelope(FUNC, false, wstrEncryptedPrivateKeyData, ppbSessionPart, pcbSessionPart, pSessionAlg,
                        ppbPrivatePart, pcbPrivatePart);
}

HRESULT GetSessionKeyandPrivateKeyASN1ObjEx(const std::u16string& wstrEncryptedPrivateKeyData,
                                            BYTE** ppbSessionPart, DWORD* pcbSessionPart, ALG_ID* pSessionAlg,
                                            BYTE** ppbPrivatePart, DWORD* pcbPrivatePart) {
    const LPCWSTR FUNC = u"GetSessionKeyandPrivateKeyASN1ObjEx";
    TraceHelper th(FUNC);
    return ReadEnvelope(FUNC, true, wstrEncryptedPrivateKeyData, ppbSessionPart, pcbSessionPart, pSessionAlg,
                        ppbPrivatePart, pcbPrivatePart);
}

HRESULT ParseEncryptCertPrivateKeyData(const std::u16string& wstrEncryptedPrivateKeyData, BYTE** ppbSessionKey,
                                       DWORD* pcbSessionKey, ALG_ID* pSessionAlg, BYTE** ppbPrivateKey,
                                       DWORD* pcbPrivateKey) {
    const LPCWSTR FUNC = u"ParseEncryptCertPrivateKeyData";
    TraceHelper th(FUNC);
    return ParsePrivateKeyData(FUNC, false, wstrEncryptedPrivateKeyData, ppbSessionKey, pcbSessionKey, pSessionAlg,
                               ppbPrivateKey, pcbPrivateKey);
}

HRESULT ParseEncryptCertPrivateKeyDataEx(const std::u16string& wstrEncryptedPrivateKeyData, BYTE** ppbSessionKey,
                                         DWORD* pcbSessionKey, ALG_ID* pSessionAlg, BYTE** ppbPrivateKey,
                                         DWORD* pcbPrivateKey) {
    const LPCWSTR FUNC = u"ParseEncryptCertPrivateKeyDataEx";
    TraceHelper th(FUNC);
    return ParsePrivateKeyData(FUNC, true, wstrEncryptedPrivateKeyData, ppbSessionKey, pcbSessionKey, pSessionAlg,
                               ppbPrivateKey, pcbPrivateKey);
}

HRESULT ParseEncryptCertPublicKeyCert(const std::u16string& wstrEncryptPublicCert, BYTE** ppbCert, DWORD* pcbCert) {
    const LPCWSTR FUNC = u"ParseEncryptCertPublicKeyCert";
    TraceHelper th(FUNC);
    std::u16string wstrCert(wstrEncryptPublicCert);
    EraseCommaInWstr(wstrCert);
    HRESULT hr = DecodeBase64Key(wstrCert.c_str(), ppbCert, pcbCert);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"base64 decode public key FAILED.", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"DecodeBase64Key");
    return KEVO_OK;
}

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
    if (IsRSAAlgorithm(wstrKeyAlgorithm) &&
        (wstrCSPName.find(u"Microsoft") != std::u16string::npos || nKeyLength == 1024)) {
        hr = ImportEncryptCert(wstrCSPName, wstrContainerName, wstrKeyAlgorithm, wstrEncryptedPrivateKeyData,
                               wstrEncryptePublicCert, nKeyLength, dwFlags);
        if (FAILED(hr)) {
            KEVO_FAIL_W(FUNC, u"ImportEncryptCertEx-ImportEncryptCert", u"FAILED(hResult)", hr);
            return hr;
        }
        KevoTraceStepW(FUNC, u"ImportEncryptCert");
        return hr;
    }
    hr = ImportEncryptCertByEncryptedFormat(wstrCSPName, wstrContainerName, wstrKeyAlgorithm,
                                            wstrEncryptedPrivateKeyData, wstrEncryptePublicCert, nKeyLength, dwFlags);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ImportEncryptCertByEncryptedFormat", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"ImportEncryptCertByEncryptedFormat");
    return hr;
}

HRESULT ImportEncryptCert(const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                          const std::u16string& wstrKeyAlgorithm, const std::u16string& wstrEncryptedPrivateKeyData,
                          const std::u16string& wstrEncryptePublicCert, LONG nKeyLength, DWORD dwFlags) {
    const LPCWSTR FUNC = u"ImportEncryptCert";
    TraceHelper th(FUNC);

    CKeyBuffer cert;
    HRESULT hr = ParseEncryptCertPublicKeyCert(wstrEncryptePublicCert, cert.Out(), cert.OutLength());
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ParseEncryptCertPublicKeyCert", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"ParseEncryptCertPublicKeyCert");

    CKeyBuffer encSessionKey, encPrivateKey;
    ALG_ID algSession = 0;
    hr = ParseEncryptCertPrivateKeyData(wstrEncryptedPrivateKeyData, encSessionKey.Out(), encSessionKey.OutLength(),
                                        &algSession, encPrivateKey.Out(), encPrivateKey.OutLength());
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ParseEncryptCertPrivateKeyData", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"ParseEncryptCertPrivateKeyData");

    ProvReleaser prov;
    CKeyBuffer sessionKey;
    hr = DecryptSessionKeywithTempKey(wstrCSPName, wstrContainerName, wstrKeyAlgorithm, &prov.h, encSessionKey.Get(),
                                      encSessionKey.Size(), sessionKey.Out(), sessionKey.OutLength());
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"DecryptSessionKeywithTempKey", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"DecryptSessionKeywithTempKey");

    CKeyBuffer privateKey;
    hr = DecryptPrivateKeywithSessionKey(privateKey.Out(), privateKey.OutLength(), algSession, sessionKey.Get(),
                                         sessionKey.Size(), encPrivateKey.Get(), encPrivateKey.Size());
    sessionKey.Reset();  // done with it
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"DecryptPrivateKeywithSessionKey", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"DecryptPrivateKeywithSessionKey");

    hr = ImportEncryptCert_RSA(wstrContainerName, cert.Get(), cert.Size(), wstrCSPName, prov.h, nKeyLength,
                               privateKey.Get(), privateKey.Size(), dwFlags);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ImportEncryptCert_RSA", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"ImportEncryptCert_RSA");
    return KEVO_OK;
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

    CKeyBuffer cert;
    HRESULT hr = ParseEncryptCertPublicKeyCert(wstrEncryptPublicCert, cert.Out(), cert.OutLength());
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ParseEncryptCertPublicKeyCert", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"ParseEncryptCertPublicKeyCert");

    CKeyBuffer encSessionKey, encPrivateKey;
    ALG_ID algSession = 0;
    hr = ParseEncryptCertPrivateKeyDataEx(wstrEncryptedPrivateKeyData, encSessionKey.Out(), encSessionKey.OutLength(),
                                          &algSession, encPrivateKey.Out(), encPrivateKey.OutLength());
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ParseEncryptCertPrivateKeyDataEx", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"ParseEncryptCertPrivateKeyDataEx");

    ProvReleaser prov;
    hr = GetCSPHandleofTempPublickey(wstrCSPName, wstrContainerName, wstrKeyAlgorithm, &prov.h);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"GetCSPHandleofTempPublickey", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"GetCSPHandleofTempPublickey");

    if (IsRSAAlgorithm(wstrKeyAlgorithm)) {
        bool bImported = false, bRefused = false;
        hr = ImportEncryptCertEx_RSA(cert.Get(), cert.Size(), encPrivateKey.Get(), encSessionKey.Get(), wstrCSPName,
                                     prov.h, nKeyLength, encSessionKey.Size(), encPrivateKey.Size(), dwFlags,
                                     &bImported, &bRefused);
        if (FAILED(hr) && !bImported && bRefused)
            hr = BindCertificateToImportedExchangeKey(true, prov.h, cert.Get(), cert.Size(), hr);
        if (FAILED(hr)) {
            KEVO_FAIL_W(FUNC, u"ImportEncryptCertEx_RSA", u"FAILED(hResult)", hr);
            return hr;
        }
        KevoTraceStepW(FUNC, u"ImportEncryptCertEx_RSA");
        return KEVO_OK;
    }

    // SM2: the ciphertext as received, then in the other order, then in the
    // order back from the other. Once a key went in, its binding decides: the
    // container's exchange key has already been replaced.
    KevoTraceStepW(FUNC, u"Check dwNeedRetry");
    bool bImported = false;
    hr = ImportEncryptCertEx_SM2(cert.Get(), encPrivateKey.Get(), encPrivateKey.Size(), prov.h, cert.Size(), dwFlags,
                                 &bImported);
    if (SUCCEEDED(hr)) {
        KevoTraceStepW(FUNC, u"ImportEncryptCertEx_SM2");
        return KEVO_OK;
    }
    if (bImported) {
        KEVO_FAIL_W(FUNC, u"ImportEncryptCertEx_SM2", u"key imported, certificate not bound", hr);
        return hr;
    }
    KEVO_FAIL_W(FUNC, u"ImportEncryptCertEx_SM2 (as received)", u"FAILED(hResult)", hr);

    {
        BYTE* pbConverted = nullptr;
        hr = ConvertC1C3C2ToC1C2C3(encPrivateKey.Get(), encPrivateKey.Size(), &pbConverted);
        std::unique_ptr<BYTE[]> converted(pbConverted);
        if (FAILED(hr)) {
            KEVO_FAIL_W(FUNC, u"ConvertC1C3C2ToC1C2C3", u"FAILED(hResult)", hr);
            return hr;
        }
        hr = ImportEncryptCertEx_SM2(cert.Get(), converted.get(), encPrivateKey.Size(), prov.h, cert.Size(), dwFlags,
                                     &bImported);
        WipeKeyMaterial(converted.get(), encPrivateKey.Size());
        if (SUCCEEDED(hr)) {
            KevoTraceStepW(FUNC, u"ImportEncryptCertEx_SM2 (C1C2C3)");
            return KEVO_OK;
        }
        if (bImported) {
            KEVO_FAIL_W(FUNC, u"ImportEncryptCertEx_SM2", u"key imported, certificate not bound", hr);
            return hr;
        }
        KEVO_FAIL_W(FUNC, u"ImportEncryptCertEx_SM2 (C1C2C3)", u"FAILED(hResult)", hr);
    }

    BYTE* pbConverted = nullptr;
    hr = ConvertC1C2C3ToC1C3C2(encPrivateKey.Get(), encPrivateKey.Size(), &pbConverted);
    std::unique_ptr<BYTE[]> converted(pbConverted);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ConvertC1C2C3ToC1C3C2", u"FAILED(hResult)", hr);
        return hr;
    }
    bool bRefused = false;
    hr = ImportEncryptCertEx_SM2(cert.Get(), converted.get(), encPrivateKey.Size(), prov.h, cert.Size(), dwFlags,
                                 &bImported, &bRefused);
    WipeKeyMaterial(converted.get(), encPrivateKey.Size());
    // Earlier orders that got a key in have returned above; here all three
    // were refused by the provider.
    if (FAILED(hr) && !bImported && bRefused)
        hr = BindCertificateToImportedExchangeKey(false, prov.h, cert.Get(), cert.Size(), hr);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"ImportEncryptCertEx_SM2", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"ImportEncryptCertEx_SM2 (C1C3C2)");
    return KEVO_OK;
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
    std::unique_ptr<const CERT_CONTEXT, decltype(&CertFreeCertificateContext)> pCert(
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbCert, cbCert),
        &CertFreeCertificateContext);
    if (!pCert) {
        KEVO_FAIL_W(FUNC, u"CertCreateCertificateContext", u"1", KevoLastErrorResult());
        return hrImport;
    }
    KeyDestroyer key;
    if (!CryptGetUserKey(hProv, AT_KEYEXCHANGE, &key.h)) {
        key.h = 0;
        KEVO_FAIL_W(FUNC, u"CryptGetUserKey", u"1", KevoLastErrorResult());
        return hrImport;
    }
    HRESULT hr = CheckCertificateMatchesKey(bRSA, hProv, key.h, AT_KEYEXCHANGE, pCert.get());
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"CheckCertificateMatchesKey", u"FAILED(hResult)", hr);
        return hrImport;
    }
    KevoTraceStepW(FUNC, u"CheckCertificateMatchesKey");
    if (!CryptSetKeyParam(key.h, KP_CERTIFICATE, pbCert, 0)) {
        hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptSetKeyParam", u"!bResult", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CryptSetKeyParam");
    return KEVO_OK;
}

// ---- SM2 -----------------------------------------------------------------------

HRESULT FillSM2VendorImportBlob(const BYTE* pbCiphertext, DWORD cbCiphertext, BYTE* pbBlob, DWORD cbBlob) {
    if (pbBlob == nullptr || cbBlob != SM2_VENDOR_IMPORT_BLOB_SIZE || cbCiphertext > 0x1FFFFFFFu)
        return E_INVALIDARG;
    memset(pbBlob, 0, cbBlob);
    pbBlob[0] = PRIVATEKEYBLOB;
    pbBlob[1] = CUR_BLOB_VERSION;
    pbBlob[2] = 1;  // reserved word 1: the vendor form
    const DWORD words[3] = {CALG_SM2_KEYX, CALG_SM2_KEYX, cbCiphertext * 8};
    for (int w = 0; w < 3; ++w)
        for (int i = 0; i < 4; ++i) pbBlob[4 + 4 * w + i] = static_cast<BYTE>(words[w] >> (8 * i));
    const uintptr_t address = reinterpret_cast<uintptr_t>(pbCiphertext);
    memcpy(pbBlob + 16, &address, sizeof(void*));
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
    std::unique_ptr<BYTE[]> pbyEncryptedPrivateKeyBlob(new (std::nothrow) BYTE[SM2_VENDOR_IMPORT_BLOB_SIZE]());
    if (!pbyEncryptedPrivateKeyBlob) {
        KEVO_FAIL_W(FUNC, u"new memory", u"!pbyEncryptedPrivateKeyBlob", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    HRESULT hr = FillSM2VendorImportBlob(pbCiphertext, cbCiphertext, pbyEncryptedPrivateKeyBlob.get(),
                                         SM2_VENDOR_IMPORT_BLOB_SIZE);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"FillSM2VendorImportBlob", u"FAILED(hResult)", hr);
        return hr;
    }
    KeyDestroyer key;
    if (!CryptImportKey(hProv, pbyEncryptedPrivateKeyBlob.get(), SM2_VENDOR_IMPORT_BLOB_SIZE, 0, dwFlags, &key.h)) {
        key.h = 0;
        hr = KevoLastErrorResult();
        if (pbImportRefused) *pbImportRefused = true;
        KEVO_FAIL_W(FUNC, u"CryptImportKey", u"!bResult", hr);
        return hr;
    }
    if (pbKeyImported) *pbKeyImported = true;
    KevoTraceStepW(FUNC, u"CryptImportKey");
    if (!CryptSetKeyParam(key.h, KP_CERTIFICATE, pbCert, 0)) {
        hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"CryptSetKeyParam", u"!bResult", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"CryptSetKeyParam");
    return KEVO_OK;
}

// Both reorderings keep C1 in front and swap C2 (variable length) with C3
// (32 bytes). The trace names the calling routine and its own argument names.
static HRESULT ReorderSM2Ciphertext(LPCWSTR FUNC, const BYTE* pbIn, DWORD cbCiphertext, BYTE** ppbOut,
                                    bool bInIsC1C3C2, LPCWSTR pwszArgsReason, LPCWSTR pwszBufferReason) {
    if (pbIn == nullptr || ppbOut == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameters", pwszArgsReason, E_INVALIDARG);
        return E_INVALIDARG;
    }
    if (cbCiphertext < SM2_MIN_CIPHERTEXT_LENGTH) {
        KEVO_FAIL_W(FUNC, u"Check ciphertext length", u"cbCiphertext < 96", KEVO_E_IMPORT_ENCRYPT_CERT);
        return KEVO_E_IMPORT_ENCRYPT_CERT;
    }
    BYTE* pbOut = new (std::nothrow) BYTE[static_cast<size_t>(cbCiphertext) + 1]();
    if (pbOut == nullptr) {
        KEVO_FAIL_W(FUNC, u"New buffer", pwszBufferReason, E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    const DWORD cbC2 = cbCiphertext - SM2_MIN_CIPHERTEXT_LENGTH;
    memcpy(pbOut, pbIn, SM2_C1_LENGTH);
    if (bInIsC1C3C2) {
        memcpy(pbOut + SM2_C1_LENGTH, pbIn + SM2_MIN_CIPHERTEXT_LENGTH, cbC2);
        memcpy(pbOut + SM2_C1_LENGTH + cbC2, pbIn + SM2_C1_LENGTH, SM2_C3_LENGTH);
    } else {
        memcpy(pbOut + SM2_C1_LENGTH, pbIn + cbCiphertext - SM2_C3_LENGTH, SM2_C3_LENGTH);
        memcpy(pbOut + SM2_MIN_CIPHERTEXT_LENGTH, pbIn + SM2_C1_LENGTH, cbC2);
    }
    *ppbOut = pbOut;
    return KEVO_OK;
}

HRESULT ConvertC1C3C2ToC1C2C3(const BYTE* pbC1C3C2, DWORD cbCiphertext, BYTE** ppbC1C2C3) {
    const LPCWSTR FUNC = u"ConvertC1C3C2ToC1C2C3";
    TraceHelper th(FUNC);
    return ReorderSM2Ciphertext(FUNC, pbC1C3C2, cbCiphertext, ppbC1C2C3, true,
                                u"pbC1C3C2 == NULL || ppbC1C2C3 == NULL", u"!pbyC1C2C3");
}

HRESULT ConvertC1C2C3ToC1C3C2(const BYTE* pbC1C2C3, DWORD cbCiphertext, BYTE** ppbC1C3C2) {
    const LPCWSTR FUNC = u"ConvertC1C2C3ToC1C3C2";
    TraceHelper th(FUNC);
    return ReorderSM2Ciphertext(FUNC, pbC1C2C3, cbCiphertext, ppbC1C3C2, false,
                                u"pbC1C2C3 == NULL || ppbC1C3C2 == NULL", u"!pbyC1C3C2");
}
