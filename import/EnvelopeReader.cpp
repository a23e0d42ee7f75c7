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

// One conversion of both parts (of the session part only when the envelope
// names a session key), traced under the reader's name; both are handed out
// only when both converted, so a failure hands out nothing.
template <typename Part, typename Convert>
HRESULT ConvertBothParts(LPCWSTR FUNC, ALG_ID algSession, const Part& session, const Part& priv, Convert convert,
                         LPCWSTR pwszSessionStep, LPCWSTR pwszPrivateStep, LPCWSTR pwszDoneStep,
                         tessaro::SecureBytes& sessionOut, ALG_ID& algSessionOut, tessaro::SecureBytes& privateOut) {
    tessaro::SecureBytes sessionDone, privateDone;
    HRESULT hr = KEVO_OK;
    if (algSession == CALG_3DES && FAILED(hr = KEVO_CHECK_W(FUNC, pwszSessionStep, convert(session, sessionDone))))
        return hr;
    if (FAILED(hr = KEVO_CHECK_W(FUNC, pwszPrivateStep, convert(priv, privateDone)))) return hr;
    KevoTraceStepW(FUNC, pwszDoneStep);
    sessionOut.swap(sessionDone);
    privateOut.swap(privateDone);
    algSessionOut = algSession;
    return KEVO_OK;
}

// The envelope's fields and both parts, decoded but still wrapped.
HRESULT ReadEnvelope(LPCWSTR FUNC, bool bEx, const std::u16string& wstrData, tessaro::SecureBytes& sessionPartOut,
                     ALG_ID& algSessionOut, tessaro::SecureBytes& privatePartOut) {
    TraceHelper th(FUNC);
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
    if (FAILED(KEVO_CHECK_W(FUNC, u"get session key encoded with base64", hr))) return hr;
    hr = GetBase64KeyFromEncryptedData(wstrData, nPosition, wstrPrivateKey);
    if (FAILED(KEVO_CHECK_W(FUNC, u"get private key encoded with base64", hr))) return hr;
    KevoTraceStepW(FUNC, u"GetBase64KeyFromEncryptedData");

    return ConvertBothParts(
        FUNC, algSession, wstrSessionKey, wstrPrivateKey,
        [](const std::u16string& wstrPart, tessaro::SecureBytes& out) {
            return DecodeBase64Key(wstrPart.c_str(), out);
        },
        u"base64 decode session key FAILED.", u"base64 decode private key FAILED.", u"DecodeBase64Key", sessionPartOut,
        algSessionOut, privatePartOut);
}

// The envelope's two keys, out of their wrapping.
HRESULT ParsePrivateKeyData(LPCWSTR FUNC, bool bEx, const std::u16string& wstrData, tessaro::SecureBytes& sessionKeyOut,
                            ALG_ID& algSessionOut, tessaro::SecureBytes& privateKeyOut) {
    TraceHelper th(FUNC);
    tessaro::SecureBytes sessionPart, privatePart;
    ALG_ID algSession = 0;
    HRESULT hr = bEx ? GetSessionKeyandPrivateKeyASN1ObjEx(wstrData, sessionPart, algSession, privatePart)
                     : GetSessionKeyandPrivateKeyASN1Obj(wstrData, sessionPart, algSession, privatePart);
    const LPCWSTR pwszRead = bEx ? u"GetSessionKeyandPrivateKeyASN1ObjEx" : u"GetSessionKeyandPrivateKeyASN1Obj";
    if (FAILED(KEVO_CHECK_W(FUNC, pwszRead, hr))) return hr;
    return ConvertBothParts(
        FUNC, algSession, sessionPart, privatePart,
        [](const tessaro::SecureBytes& part, tessaro::SecureBytes& out) {
            return GetSessionKeyorPrivateKeyFromASN1Obj(part.data(), static_cast<DWORD>(part.size()), out);
        },
        u"get session key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)",
        u"get private key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)", u"GetSessionKeyorPrivateKeyFromASN1Obj",
        sessionKeyOut, algSessionOut, privateKeyOut);
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

HRESULT GetSessionKeyandPrivateKeyASN1Obj(const std::u16string& wstrData, tessaro::SecureBytes& sessionPart,
                                          ALG_ID& algSession, tessaro::SecureBytes& privatePart) {
    return ReadEnvelope(u"GetSessionKeyandPrivateKeyASN1Obj", false, wstrData, sessionPart, algSession, privatePart);
}

HRESULT GetSessionKeyandPrivateKeyASN1ObjEx(const std::u16string& wstrData, tessaro::SecureBytes& sessionPart,
                                            ALG_ID& algSession, tessaro::SecureBytes& privatePart) {
    return ReadEnvelope(u"GetSessionKeyandPrivateKeyASN1ObjEx", true, wstrData, sessionPart, algSession, privatePart);
}

HRESULT ParseEncryptCertPrivateKeyData(const std::u16string& wstrData, tessaro::SecureBytes& sessionKey,
                                       ALG_ID& algSession, tessaro::SecureBytes& privateKey) {
    return ParsePrivateKeyData(u"ParseEncryptCertPrivateKeyData", false, wstrData, sessionKey, algSession, privateKey);
}

HRESULT ParseEncryptCertPrivateKeyDataEx(const std::u16string& wstrData, tessaro::SecureBytes& sessionKey,
                                         ALG_ID& algSession, tessaro::SecureBytes& privateKey) {
    return ParsePrivateKeyData(u"ParseEncryptCertPrivateKeyDataEx", true, wstrData, sessionKey, algSession,
                               privateKey);
}

HRESULT ParseEncryptCertPublicKeyCert(const std::u16string& wstrEncryptPublicCert, tessaro::SecureBytes& cert) {
    const LPCWSTR FUNC = u"ParseEncryptCertPublicKeyCert";
    TraceHelper th(FUNC);
    std::u16string wstrCert(wstrEncryptPublicCert);
    EraseCommaInWstr(wstrCert);
    HRESULT hr = DecodeBase64Key(wstrCert.c_str(), cert);
    if (FAILED(KEVO_CHECK_W(FUNC, u"base64 decode public key FAILED.", hr))) return hr;
    KevoTraceStepW(FUNC, u"DecodeBase64Key");
    return KEVO_OK;
}
