// PKCS#10 request composition. Every element is built bottom-up: children
// encoded first, concatenated into a fresh buffer, wrapped in one more element.
#include "request/PKCS10Request.h"

#include <climits>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

#include "encoding/ASN1Composer.h"
#include "request/CertificateRequisition.h"
#include "encoding/Codec.h"
#include "diag/Diagnostics.h"
#include "diag/ResultCode.h"
#include "request/SubjectDN.h"
#include "tessaro/Handles.h"

#define TRACE_UNIT_W u"PKCS10Request"

namespace {

// An array allocation handed out by a builder; released on every path.
class Encoded {
public:
    Encoded() = default;
    ~Encoded() { delete[] m_pb; }
    Encoded(const Encoded&) = delete;
    Encoded& operator=(const Encoded&) = delete;

    BYTE** Out() {
        Reset();
        return &m_pb;
    }
    int* Len() { return &m_n; }
    const BYTE* Get() const { return m_pb; }
    int Size() const { return m_n; }
    BYTE* Release() {
        BYTE* p = m_pb;
        m_pb = nullptr;
        m_n = 0;
        return p;
    }
    HRESULT Assign(const BYTE* pb, int n) {
        Reset();
        if (n <= 0) return E_FAIL;
        m_pb = new (std::nothrow) BYTE[n];
        if (!m_pb) return E_OUTOFMEMORY;
        std::memcpy(m_pb, pb, static_cast<size_t>(n));
        m_n = n;
        return KEVO_OK;
    }
    void Reset() {
        delete[] m_pb;
        m_pb = nullptr;
        m_n = 0;
    }

private:
    BYTE* m_pb = nullptr;
    int m_n = 0;
};

struct Part {
    const BYTE* pb;
    int n;
    Part(const BYTE* p, int len) : pb(p), n(len) {}
    Part(const Encoded& e) : pb(e.Get()), n(e.Size()) {}  // NOLINT: parts are built from encodings
};

// Concatenates the parts and wraps them in one element of dwTag.
HRESULT WrapParts(DWORD dwTag, std::initializer_list<Part> parts, BYTE** ppbEncoded, int* pnEncodedLength) {
    long long total = 0;
    for (const Part& p : parts) {
        if (p.n < 0 || (p.n > 0 && !p.pb)) return E_INVALIDARG;
        total += p.n;
    }
    if (total > INT_MAX - 16) return E_OUTOFMEMORY;
    std::unique_ptr<BYTE[]> content(new (std::nothrow) BYTE[total > 0 ? total : 1]());
    if (!content) return E_OUTOFMEMORY;
    size_t off = 0;
    for (const Part& p : parts) {
        if (p.n > 0) std::memcpy(content.get() + off, p.pb, static_cast<size_t>(p.n));
        off += static_cast<size_t>(p.n);
    }
    return ASN1Encode(dwTag, content.get(), static_cast<int>(total), ppbEncoded, pnEncodedLength);
}

const BYTE kVersion0[] = {0x02, 0x01, 0x00};
const BYTE kInteger1[] = {0x02, 0x01, 0x01};

// Copies a 64-byte coordinate field with its coordinate turned big-endian.
void CopyCoordinateField(const BYTE* pbField, BYTE* pbOut) {
    std::memcpy(pbOut, pbField, SM2_COORDINATE_FIELD_SIZE);
    SwapByteOrder(pbOut, SM2_COORDINATE_SIZE);
}

// Copies the coordinate alone, turned big-endian.
void CopyCoordinate(const BYTE* pbField, BYTE* pbOut) {
    std::memcpy(pbOut, pbField, SM2_COORDINATE_SIZE);
    SwapByteOrder(pbOut, SM2_COORDINATE_SIZE);
}

// The key area of an SM2 PUBLICKEYBLOB, which must be long enough for the
// coordinates read at their fixed offsets.
HRESULT SM2KeyArea(LPCWSTR FUNC, const BYTE* pbBlob, DWORD cbBlob, const BYTE** ppbKeyArea,
                   int nLine = __builtin_LINE()) {
    if (cbBlob < SM2_PUBLICKEYBLOB_MIN_SIZE)
        return KevoFailedW(TRACE_UNIT_W, nLine, FUNC, u"Check SM2 PUBLICKEYBLOB size",
                           u"cbBlob < SM2_PUBLICKEYBLOB_MIN_SIZE", NTE_BAD_PUBLIC_KEY);
    *ppbKeyArea = pbBlob + SM2_BLOBHEADER_SIZE;
    return KEVO_OK;
}

}  // namespace

HRESULT ConvertSM2PublicKeyBlobToPoint(const BYTE* pbBlob, DWORD cbBlob, BYTE* pbPoint) {
    if (!pbBlob || !pbPoint) return E_POINTER;
    const BYTE* pbKeyArea = nullptr;
    if (HRESULT hr = SM2KeyArea(u"ConvertSM2PublicKeyBlobToPoint", pbBlob, cbBlob, &pbKeyArea); FAILED(hr)) return hr;
    pbPoint[0] = 0x04;
    CopyCoordinate(pbKeyArea + 4, pbPoint + 1);
    CopyCoordinate(pbKeyArea + 4 + SM2_COORDINATE_FIELD_SIZE, pbPoint + 1 + SM2_COORDINATE_SIZE);
    return KEVO_OK;
}

HRESULT ComposeSM2ExchangeKeyRecord(const BYTE* pbBlob, DWORD cbBlob, BYTE* pbRecord) {
    if (!pbBlob || !pbRecord) return E_POINTER;
    const BYTE* pbKeyArea = nullptr;
    if (HRESULT hr = SM2KeyArea(u"ComposeSM2ExchangeKeyRecord", pbBlob, cbBlob, &pbKeyArea); FAILED(hr)) return hr;
    // Algorithm word 0x0000B400 and the key length 256, both little-endian.
    const BYTE header[8] = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    std::memcpy(pbRecord, header, sizeof(header));
    CopyCoordinateField(pbKeyArea + 4, pbRecord + 8);
    CopyCoordinateField(pbKeyArea + 4 + SM2_COORDINATE_FIELD_SIZE, pbRecord + 8 + SM2_COORDINATE_FIELD_SIZE);
    return KEVO_OK;
}

HRESULT ComposeSignPublicKeyData(const char* pszAlgorithmOID, const char* pszParameterOID, const BYTE* pbPublicKey,
                                 int nPublicKeyLength, BYTE** ppbEncoded, int* pnEncodedLength) {
    static const WCHAR kFunc[] = u"ComposeSignPublicKeyData";
    if (!ppbEncoded || !pnEncodedLength) return E_POINTER;
    if (!pszAlgorithmOID || !pbPublicKey || nPublicKeyLength <= 0)
        return KEVO_FAILED_W(kFunc, u"Check parameter", u"!pszAlgorithmOID || !pbPublicKey || nPublicKeyLength <= 0",
                             E_INVALIDARG);
    HRESULT hr = KEVO_OK;

    // The parameter is the bare OBJECT IDENTIFIER: SEQUENCE { OID, NULL }
    // without its tag, its one length octet and the trailing 05 00.
    Encoded param;
    if (pszParameterOID && *pszParameterOID) {
        Encoded seq;
        hr = KEVO_CHECK_W(kFunc, u"ComposeSpecialAttribute(Parameter)",
                          ComposeSpecialAttribute(pszParameterOID, nullptr, 0, seq.Out(), seq.Len()));
        if (FAILED(hr)) return hr;
        if (seq.Size() < 6 || seq.Get()[1] >= 0x80)
            return KEVO_FAILED_W(kFunc, u"Extract parameter", u"unexpected SEQUENCE form", E_FAIL);
        hr = KEVO_CHECK_W(kFunc, u"Extract parameter", param.Assign(seq.Get() + 2, seq.Size() - 4));
        if (FAILED(hr)) return hr;
    }

    Encoded alg;
    hr = KEVO_CHECK_W(kFunc, u"ComposeSpecialAttribute(Algorithm)",
                      ComposeSpecialAttribute(pszAlgorithmOID, param.Get(), param.Size(), alg.Out(), alg.Len()));
    if (FAILED(hr)) return hr;
    Encoded bits;
    hr = KEVO_CHECK_W(kFunc, u"ComposeBITString",
                      ComposeBITString(nPublicKeyLength, pbPublicKey, bits.Out(), bits.Len()));
    if (FAILED(hr)) return hr;
    hr = WrapParts(0x30, {alg, bits}, ppbEncoded, pnEncodedLength);
    if (FAILED(hr)) KEVO_FAIL_W(kFunc, u"ASN1Encode-Sequence", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT ComposeAttributes(const BYTE* pbExchangeKey, int nExchangeKeyLength, BYTE** ppbEncoded,
                          int* pnEncodedLength) {
    static const WCHAR kFunc[] = u"ComposeAttributes";
    if (!ppbEncoded || !pnEncodedLength) return E_POINTER;
    if (!pbExchangeKey || nExchangeKeyLength <= 0)
        return KEVO_FAILED_W(kFunc, u"Check parameter", u"!pbExchangeKey || nExchangeKeyLength <= 0", E_INVALIDARG);
    HRESULT hr = KEVO_OK;

    Encoded password;
    hr = KEVO_CHECK_W(
        kFunc, u"ComposeAnyString(ChallengePassword)",
        ComposeAnyString(static_cast<int>(std::strlen(PKCS10_CHALLENGE_PASSWORD)), CERT_RDN_PRINTABLE_STRING,
                         reinterpret_cast<const BYTE*>(PKCS10_CHALLENGE_PASSWORD), password.Out(), password.Len()));
    if (FAILED(hr)) return hr;
    Encoded challenge;
    hr = KEVO_CHECK_W(kFunc, u"ComposeSpecialAttribute(ChallengePassword)",
                      ComposeSpecialAttribute(SZOID_CHALLENGE_PASSWORD, password.Get(), password.Size(),
                                              challenge.Out(), challenge.Len()));
    if (FAILED(hr)) return hr;

    Encoded key;
    hr = KEVO_CHECK_W(kFunc, u"ComposeAnyString(ExchangeKey)",
                      ComposeAnyString(nExchangeKeyLength, CERT_RDN_OCTET_STRING, pbExchangeKey, key.Out(), key.Len()));
    if (FAILED(hr)) return hr;
    Encoded keySeq;
    hr = KEVO_CHECK_W(kFunc, u"ASN1Encode-Sequence(ExchangeKey)",
                      WrapParts(0x30, {Part(kInteger1, sizeof(kInteger1)), key}, keySeq.Out(), keySeq.Len()));
    if (FAILED(hr)) return hr;
    Encoded keyOctets;
    hr = KEVO_CHECK_W(
        kFunc, u"ComposeAnyString(ExchangeKeySequence)",
        ComposeAnyString(keySeq.Size(), CERT_RDN_OCTET_STRING, keySeq.Get(), keyOctets.Out(), keyOctets.Len()));
    if (FAILED(hr)) return hr;
    Encoded exchange;
    hr = KEVO_CHECK_W(kFunc, u"ComposeSpecialAttribute(ExchangeKey)",
                      ComposeSpecialAttribute(SZOID_EXCHANGE_KEY_ATTRIBUTE, keyOctets.Get(), keyOctets.Size(),
                                              exchange.Out(), exchange.Len()));
    if (FAILED(hr)) return hr;

    hr = WrapParts(0xA0, {challenge, exchange}, ppbEncoded, pnEncodedLength);
    if (FAILED(hr)) KEVO_FAIL_W(kFunc, u"ASN1Encode-ContextSpecific", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT ComposeCertRequestInfo(const PKCS10_REQUEST_INFO& info, BYTE** ppbEncoded, int* pnEncodedLength) {
    static const WCHAR kFunc[] = u"ComposeCertRequestInfo";
    if (!ppbEncoded || !pnEncodedLength) return E_POINTER;
    if (!info.pwszSubject || info.cbSignPublicKey > INT_MAX || info.cbExchangePublicKey > INT_MAX)
        return KEVO_FAILED_W(kFunc, u"Check parameter", u"invalid request description", E_INVALIDARG);
    HRESULT hr = KEVO_OK;

    Encoded subject;
    hr = KEVO_CHECK_W(kFunc, u"ComposeSubject", ComposeSubject(info.pwszSubject, subject.Out(), subject.Len()));
    if (FAILED(hr)) return hr;
    Encoded publicKey;
    hr = KEVO_CHECK_W(
        kFunc, u"ComposeSignPublicKeyData",
        ComposeSignPublicKeyData(info.pszAlgorithmOID, info.pszParameterOID, info.pbSignPublicKey,
                                 static_cast<int>(info.cbSignPublicKey), publicKey.Out(), publicKey.Len()));
    if (FAILED(hr)) return hr;
    Encoded attributes;
    if (info.pbExchangePublicKey) {
        hr = KEVO_CHECK_W(kFunc, u"ComposeAttributes",
                          ComposeAttributes(info.pbExchangePublicKey, static_cast<int>(info.cbExchangePublicKey),
                                            attributes.Out(), attributes.Len()));
        if (FAILED(hr)) return hr;
    }
    hr = WrapParts(0x30, {Part(kVersion0, sizeof(kVersion0)), subject, publicKey, attributes}, ppbEncoded,
                   pnEncodedLength);
    if (FAILED(hr)) KEVO_FAIL_W(kFunc, u"ASN1Encode-Sequence", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT ComposeSignAlgorithm(const char* pszSignAlgorithmOID, BYTE** ppbEncoded, int* pnEncodedLength) {
    if (!ppbEncoded || !pnEncodedLength) return E_POINTER;
    if (!pszSignAlgorithmOID) return E_INVALIDARG;
    HRESULT hr = ComposeSpecialAttribute(pszSignAlgorithmOID, nullptr, 0, ppbEncoded, pnEncodedLength);
    if (FAILED(hr)) KEVO_FAIL_W(u"ComposeSignAlgorithm", u"ComposeSpecialAttribute", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT PKCS10CalculateHashandSign(HCRYPTPROV hProv, DWORD dwKeySpec, const char* pszAlgorithmOID,
                                   const BYTE* pbData, DWORD cbData, ALG_ID algHash, BYTE** ppbSignature,
                                   DWORD* pcbSignature) {
    static const WCHAR kFunc[] = u"PKCS10CalculateHashandSign";
    TraceHelper trace(kFunc);
    if (!ppbSignature || !pcbSignature) return E_POINTER;
    if (!pszAlgorithmOID || (!pbData && cbData))
        return KEVO_FAILED_W(kFunc, u"Check parameter", u"!pszAlgorithmOID || !pbData", E_INVALIDARG);
    const bool bRSA = std::strcmp(pszAlgorithmOID, SZOID_RSA_ENCRYPTION) == 0;

    // The signing key must be there; its handle is only checked.
    tessaro::UniqueCryptKey key;
    if (!CryptGetUserKey(hProv, dwKeySpec, key.put()))
        return KEVO_FAILED_W(kFunc, u"CryptGetUserKey", u"1", KevoLastErrorResult());

    if (KevoTraceEnabled(TRACE_FLAG_INFO)) {
        BYTE* pbName = nullptr;
        DWORD cbName = 0;
        if (SUCCEEDED(GetProviderInfo(hProv, PP_NAME, &pbName, &cbName)))
            KevoTraceValueA("Provider name", reinterpret_cast<const char*>(pbName));
        delete[] pbName;
    }

    tessaro::UniqueCryptHash hash;
    if (!CryptCreateHash(hProv, algHash, 0, 0, hash.put()))
        return KEVO_FAILED_W(kFunc, u"CryptCreateHash", u"1", KevoLastErrorResult());
    for (DWORD off = 0; off < cbData;) {
        DWORD piece = cbData - off < PKCS10_HASH_PIECE_SIZE ? cbData - off : PKCS10_HASH_PIECE_SIZE;
        if (!CryptHashData(hash.get(), pbData + off, piece, 0))
            return KEVO_FAILED_W(kFunc, u"CryptHashData", u"1", KevoLastErrorResult());
        off += piece;
    }

    DWORD cbReported = 0;
    if (!CryptSignHashW(hash.get(), dwKeySpec, nullptr, 0, nullptr, &cbReported))
        return KEVO_FAILED_W(kFunc, u"CryptSignHash", u"1", KevoLastErrorResult());
    // The SM2 provider may report less than it writes; give it room.
    DWORD cbBuffer = bRSA ? cbReported : SM2_SIGNATURE_BUFFER_SIZE;
    if (cbBuffer == 0) return KEVO_FAILED_W(kFunc, u"CryptSignHash", u"signature size 0", E_FAIL);
    std::unique_ptr<BYTE[]> signature(new (std::nothrow) BYTE[cbBuffer]());
    if (!signature) return KEVO_FAILED_W(kFunc, u"New buffer", u"New Memory", E_OUTOFMEMORY);
    DWORD cbSignature = cbBuffer;
    if (!CryptSignHashW(hash.get(), dwKeySpec, nullptr, 0, signature.get(), &cbSignature))
        return KEVO_FAILED_W(kFunc, u"CryptSignHash(2)", u"1", KevoLastErrorResult());
    if (cbSignature > cbBuffer) return KEVO_FAILED_W(kFunc, u"CryptSignHash(2)", u"cbSignature > cbBuffer", E_FAIL);

    // The provider writes integers least significant byte first.
    if (bRSA) {
        SwapByteOrder(signature.get(), static_cast<int>(cbSignature));
    } else if (cbSignature >= SM2_RAW_SIGNATURE_SIZE) {
        SwapByteOrder(signature.get(), SM2_COORDINATE_SIZE);
        SwapByteOrder(signature.get() + SM2_COORDINATE_SIZE, SM2_COORDINATE_SIZE);
    }
    KevoTraceValueN("Signature length", static_cast<LONG>(cbSignature));
    *ppbSignature = signature.release();
    *pcbSignature = cbSignature;
    return KEVO_OK;
}

HRESULT ComposeSignature(BOOL bSM2, const BYTE* pbSignature, int nSignatureLength, BYTE** ppbEncoded,
                         int* pnEncodedLength) {
    static const WCHAR kFunc[] = u"ComposeSignature";
    if (!ppbEncoded || !pnEncodedLength) return E_POINTER;
    if (!pbSignature) return E_INVALIDARG;
    HRESULT hr = KEVO_OK;
    if (!bSM2) {
        hr = ComposeBITString(nSignatureLength, pbSignature, ppbEncoded, pnEncodedLength);
        if (FAILED(hr)) KEVO_FAIL_W(kFunc, u"ComposeBITString(RSA)", u"FAILED(hResult)", hr);
        return hr;
    }
    Encoded der;
    hr = KEVO_CHECK_W(kFunc, u"SM2EncodeRawSignature",
                      SM2EncodeRawSignature(pbSignature, nSignatureLength, der.Out(), der.Len()));
    if (FAILED(hr)) return hr;
    hr = ComposeBITString(der.Size(), der.Get(), ppbEncoded, pnEncodedLength);
    if (FAILED(hr)) KEVO_FAIL_W(kFunc, u"ComposeBITString(SM2)", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT PKCS10RequestBase64(const PKCS10_REQUEST_INFO& info, char** ppszBase64, int* pnBase64Length) {
    static const WCHAR kFunc[] = u"PKCS10RequestBase64";
    TraceHelper trace(kFunc);
    if (!ppszBase64 || !pnBase64Length) return E_POINTER;
    if (!info.pbSignPublicKey || info.cbSignPublicKey == 0 || !info.pszSignAlgorithmOID)
        return KEVO_FAILED_W(kFunc, u"Check parameter", u"!pbSignPublicKey || !pszSignAlgorithmOID", E_INVALIDARG);
    HRESULT hr = KEVO_OK;

    // The SM2 keys travel as the uncompressed point and the exchange key record.
    PKCS10_REQUEST_INFO request = info;
    BYTE point[SM2_POINT_SIZE] = {};
    BYTE record[SM2_EXCHANGE_KEY_RECORD_SIZE] = {};
    if (info.bSM2) {
        hr = KEVO_CHECK_W(kFunc, u"ConvertSM2PublicKeyBlobToPoint",
                          ConvertSM2PublicKeyBlobToPoint(info.pbSignPublicKey, info.cbSignPublicKey, point));
        if (FAILED(hr)) return hr;
        request.pbSignPublicKey = point;
        request.cbSignPublicKey = sizeof(point);
        if (info.pbExchangePublicKey) {
            hr = KEVO_CHECK_W(kFunc, u"ComposeSM2ExchangeKeyRecord",
                              ComposeSM2ExchangeKeyRecord(info.pbExchangePublicKey, info.cbExchangePublicKey, record));
            if (FAILED(hr)) return hr;
            request.pbExchangePublicKey = record;
            request.cbExchangePublicKey = sizeof(record);
        }
    }

    Encoded requestInfo;
    hr = KEVO_CHECK_W(kFunc, u"ComposeCertRequestInfo",
                      ComposeCertRequestInfo(request, requestInfo.Out(), requestInfo.Len()));
    if (FAILED(hr)) return hr;
    Encoded signAlgorithm;
    hr = KEVO_CHECK_W(kFunc, u"ComposeSignAlgorithm",
                      ComposeSignAlgorithm(request.pszSignAlgorithmOID, signAlgorithm.Out(), signAlgorithm.Len()));
    if (FAILED(hr)) return hr;
    BYTE* pbSignature = nullptr;
    DWORD cbSignature = 0;
    hr = PKCS10CalculateHashandSign(request.hProv, request.dwKeySpec, request.pszAlgorithmOID, requestInfo.Get(),
                                    static_cast<DWORD>(requestInfo.Size()), request.algHash, &pbSignature,
                                    &cbSignature);
    std::unique_ptr<BYTE[]> signature(pbSignature);
    if (FAILED(hr)) return KEVO_FAILED_W(kFunc, u"PKCS10CalculateHashandSign", u"FAILED(hResult)", hr);
    Encoded signatureBits;
    hr = KEVO_CHECK_W(kFunc, u"ComposeSignature",
                      ComposeSignature(request.bSM2, signature.get(), static_cast<int>(cbSignature),
                                       signatureBits.Out(), signatureBits.Len()));
    if (FAILED(hr)) return hr;
    Encoded der;
    hr = KEVO_CHECK_W(kFunc, u"ASN1Encode-Sequence",
                      WrapParts(0x30, {requestInfo, signAlgorithm, signatureBits}, der.Out(), der.Len()));
    if (FAILED(hr)) return hr;

    char* pszBase64 = nullptr;
    int nBase64 = 0;
    hr = Base64EncodeEx(der.Get(), der.Size(), &pszBase64, &nBase64);
    std::unique_ptr<char[]> base64(pszBase64);
    if (FAILED(hr)) return KEVO_FAILED_W(kFunc, u"Base64EncodeEx", u"FAILED(hResult)", hr);
    char* pszLines = nullptr;
    int nLines = 0;
    hr = TransformBase64EncodedDatatoHoldCRLFPer64Chars(base64.get(), nBase64, &pszLines, &nLines);
    if (FAILED(hr)) {
        delete[] pszLines;
        KEVO_FAIL_W(kFunc, u"TransformBase64EncodedDatatoHoldCRLFPer64Chars", u"FAILED(hResult)", hr);
        return hr;
    }
    *ppszBase64 = pszLines;
    *pnBase64Length = nLines;
    return KEVO_OK;
}
