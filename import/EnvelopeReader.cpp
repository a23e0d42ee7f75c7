// The envelope reader: fields, Base64 parts and their ASN.1 wrapping.
#include "import/EnvelopeReader.h"

#include <memory>

#include "encoding/ASN1Engine.h"
#include "import/CertificateInstall.h"
#include "diag/Diagnostics.h"
#include "diag/ResultCode.h"

#define TRACE_UNIT_W u"ImportEncryptCert"

namespace {

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
HRESULT ReadEnvelope(LPCWSTR FUNC, bool bEx, const std::u16string& wstrData, tessaro::SecureBytes& sessionPartOut,
                     ALG_ID& algSessionOut, tessaro::SecureBytes& privatePartOut) {
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

    tessaro::SecureBytes sessionPart, privatePart;
    if (algSession == CALG_3DES) {
        hr = DecodeBase64Key(wstrSessionKey.c_str(), sessionPart);
        if (FAILED(hr)) {
            KEVO_FAIL_W(FUNC, u"base64 decode session key FAILED.", u"FAILED(hResult)", hr);
            return hr;
        }
    }
    hr = DecodeBase64Key(wstrPrivateKey.c_str(), privatePart);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"base64 decode private key FAILED.", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"DecodeBase64Key");

    // Hand both out only now, so a failure hands out nothing.
    sessionPartOut.swap(sessionPart);
    privatePartOut.swap(privatePart);
    algSessionOut = algSession;
    return KEVO_OK;
}

HRESULT ParsePrivateKeyData(LPCWSTR FUNC, bool bEx, const std::u16string& wstrData, tessaro::SecureBytes& sessionKeyOut,
                            ALG_ID& algSessionOut, tessaro::SecureBytes& privateKeyOut) {
    tessaro::SecureBytes sessionPart, privatePart;
    ALG_ID algSession = 0;
    HRESULT hr = bEx ? GetSessionKeyandPrivateKeyASN1ObjEx(wstrData, sessionPart, algSession, privatePart)
                     : GetSessionKeyandPrivateKeyASN1Obj(wstrData, sessionPart, algSession, privatePart);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, bEx ? u"GetSessionKeyandPrivateKeyASN1ObjEx" : u"GetSessionKeyandPrivateKeyASN1Obj",
                    u"FAILED(hResult)", hr);
        return hr;
    }
    tessaro::SecureBytes sessionKey, privateKey;
    if (algSession == CALG_3DES) {
        hr = GetSessionKeyorPrivateKeyFromASN1Obj(sessionPart.data(), static_cast<DWORD>(sessionPart.size()),
                                                  sessionKey);
        if (FAILED(hr)) {
            KEVO_FAIL_W(FUNC, u"get session key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)",
                        u"FAILED(hResult)", hr);
            return hr;
        }
    }
    hr = GetSessionKeyorPrivateKeyFromASN1Obj(privatePart.data(), static_cast<DWORD>(privatePart.size()), privateKey);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"get private key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)", u"FAILED(hResult)",
                    hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"GetSessionKeyorPrivateKeyFromASN1Obj");
    sessionKeyOut.swap(sessionKey);
    privateKeyOut.swap(privateKey);
    algSessionOut = algSession;
    return KEVO_OK;
}

}  // namespace

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

HRESULT GetSessionKeyorPrivateKeyFromASN1Obj(const BYTE* pbPart, DWORD cbPart, tessaro::SecureBytes& key) {
    const LPCWSTR FUNC = u"GetSessionKeyorPrivateKeyFromASN1Obj";
    TraceHelper th(FUNC);
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
    tessaro::SecureBytes value(pKey->GetValue(), pKey->GetValue() + cbKey);
    key.swap(value);
    KevoTraceValueN("key length", static_cast<LONG>(cbKey));
    return KEVO_OK;
}

HRESULT GetSessionKeyandPrivateKeyASN1Obj(const std::u16string& wstrEncryptedPrivateKeyData,
                                          tessaro::SecureBytes& sessionPart, ALG_ID& algSession,
                                          tessaro::SecureBytes& privatePart) {
    const LPCWSTR FUNC = u"GetSessionKeyandPrivateKeyASN1Obj";
    TraceHelper th(FUNC);
    return ReadEnvelope(FUNC, false, wstrEncryptedPrivateKeyData, sessionPart, algSession, privatePart);
}

HRESULT GetSessionKeyandPrivateKeyASN1ObjEx(const std::u16string& wstrEncryptedPrivateKeyData,
                                            tessaro::SecureBytes& sessionPart, ALG_ID& algSession,
                                            tessaro::SecureBytes& privatePart) {
    const LPCWSTR FUNC = u"GetSessionKeyandPrivateKeyASN1ObjEx";
    TraceHelper th(FUNC);
    return ReadEnvelope(FUNC, true, wstrEncryptedPrivateKeyData, sessionPart, algSession, privatePart);
}

HRESULT ParseEncryptCertPrivateKeyData(const std::u16string& wstrEncryptedPrivateKeyData,
                                       tessaro::SecureBytes& sessionKey, ALG_ID& algSession,
                                       tessaro::SecureBytes& privateKey) {
    const LPCWSTR FUNC = u"ParseEncryptCertPrivateKeyData";
    TraceHelper th(FUNC);
    return ParsePrivateKeyData(FUNC, false, wstrEncryptedPrivateKeyData, sessionKey, algSession, privateKey);
}

HRESULT ParseEncryptCertPrivateKeyDataEx(const std::u16string& wstrEncryptedPrivateKeyData,
                                         tessaro::SecureBytes& sessionKey, ALG_ID& algSession,
                                         tessaro::SecureBytes& privateKey) {
    const LPCWSTR FUNC = u"ParseEncryptCertPrivateKeyDataEx";
    TraceHelper th(FUNC);
    return ParsePrivateKeyData(FUNC, true, wstrEncryptedPrivateKeyData, sessionKey, algSession, privateKey);
}

HRESULT ParseEncryptCertPublicKeyCert(const std::u16string& wstrEncryptPublicCert, tessaro::SecureBytes& cert) {
    const LPCWSTR FUNC = u"ParseEncryptCertPublicKeyCert";
    TraceHelper th(FUNC);
    std::u16string wstrCert(wstrEncryptPublicCert);
    EraseCommaInWstr(wstrCert);
    HRESULT hr = DecodeBase64Key(wstrCert.c_str(), cert);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"base64 decode public key FAILED.", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(FUNC, u"DecodeBase64Key");
    return KEVO_OK;
}
