// DER composer: each builder encodes its children, concatenates them into a
// fresh buffer and wraps that in one more element.
#include "encoding/ASN1Composer.h"

#include <cstring>
#include <memory>
#include <new>

#include "encoding/ASN1Engine.h"
#include "diag/Diagnostics.h"
#include "diag/ResultCode.h"

#define TRACE_UNIT_W u"ASN1Composer"

namespace {

const DWORD ENCODING_TYPE = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

BYTE* NewZeroedBytes(size_t n) {
    BYTE* p = new (std::nothrow) BYTE[n];
    if (p) std::memset(p, 0, n);
    return p;
}

bool IsAcceptedTag(BYTE byTag) {
    switch (byTag) {
        case 0x02: case 0x04: case 0x06: case 0x0C: case 0x13: case 0x16:
        case 0x1E: case 0x30: case 0x31: case 0x80: case 0xA0:
            return true;
        default:
            return false;
    }
}

// Minimal INTEGER content of a big-endian unsigned value: leading zero octets
// dropped, one 00 kept before a first octet of 0x80 or more, 00 for zero.
void MinimalIntegerContent(const BYTE* pb, int cb, BYTE* pbOut, int* pcbOut, bool* pbPadded) {
    int i = 0;
    while (i < cb - 1 && pb[i] == 0) ++i;
    int n = 0;
    *pbPadded = (pb[i] & 0x80) != 0;
    if (*pbPadded) pbOut[n++] = 0x00;
    std::memcpy(pbOut + n, pb + i, static_cast<size_t>(cb - i));
    *pcbOut = n + cb - i;
}

}  // namespace

HRESULT CalculateASNValueLength(int nValueLength, BYTE* pbLengthOctets, int* pnLengthOctetCount) {
    if (nValueLength <= 0) {
        KEVO_FAIL_W(u"CalculateASNValueLength", u"Check length", u"nValueLength <= 0", E_FAIL);
        return E_FAIL;
    }
    if (pbLengthOctets == nullptr || pnLengthOctetCount == nullptr) {
        KEVO_FAIL_W(u"CalculateASNValueLength", u"Check parameters", u"pbLengthOctets == NULL", E_POINTER);
        return E_POINTER;
    }
    if (nValueLength < 0x80) {
        pbLengthOctets[0] = static_cast<BYTE>(nValueLength);
        *pnLengthOctetCount = 1;
        return KEVO_OK;
    }
    DWORD v = static_cast<DWORD>(nValueLength);
    int nOctets = 0;
    for (DWORD t = v; t != 0; t >>= 8) ++nOctets;
    pbLengthOctets[0] = static_cast<BYTE>(0x80 | nOctets);
    for (int i = 0; i < nOctets; ++i) pbLengthOctets[1 + i] = static_cast<BYTE>(v >> (8 * (nOctets - 1 - i)));
    *pnLengthOctetCount = 1 + nOctets;
    return KEVO_OK;
}

HRESULT ASN1Encode(DWORD dwTag, const BYTE* pbValue, int nValueLength, BYTE** ppbEncoded, int* pnEncodedLength) {
    TraceHelper trace(u"ASN1Encode");
    BYTE byTag = static_cast<BYTE>(dwTag & 0xFF);
    if (!IsAcceptedTag(byTag)) {
        if (KevoTraceEnabled(TRACE_FLAG_NEGATIVE_W)) {
            static const char16_t kHex[] = u"0123456789ABCDEF";
            char16_t wszReason[] = u"unsupported tag 0x00";
            wszReason[18] = kHex[byTag >> 4];
            wszReason[19] = kHex[byTag & 0xF];
            KEVO_FAIL_W(u"ASN1Encode", u"Check tag", wszReason, E_FAIL);
        }
        return E_FAIL;
    }
    if (ppbEncoded == nullptr || pnEncodedLength == nullptr || (pbValue == nullptr && nValueLength > 0)) {
        KEVO_FAIL_W(u"ASN1Encode", u"Check parameters", u"pbValue == NULL", E_POINTER);
        return E_POINTER;
    }
    BYTE abyLength[ASN1_MAX_LENGTH_OCTETS];
    int nLengthOctets = 0;
    HRESULT hr = CalculateASNValueLength(nValueLength, abyLength, &nLengthOctets);
    if (FAILED(hr)) {
        KEVO_FAIL_W(u"ASN1Encode", u"CalculateASNValueLength", u"FAILED(hResult)", hr);
        return hr;
    }
    long long llTotal = 1LL + nLengthOctets + nValueLength;
    if (llTotal > 0x7FFFFFFFLL) {
        KEVO_FAIL_W(u"ASN1Encode", u"Check total length", u"total length > 0x7FFFFFFF", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    BYTE* pbOut = NewZeroedBytes(static_cast<size_t>(llTotal));
    if (pbOut == nullptr) {
        KEVO_FAIL_W(u"ASN1Encode", u"new", u"New Memory", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    pbOut[0] = byTag;
    std::memcpy(pbOut + 1, abyLength, static_cast<size_t>(nLengthOctets));
    std::memcpy(pbOut + 1 + nLengthOctets, pbValue, static_cast<size_t>(nValueLength));
    *ppbEncoded = pbOut;
    *pnEncodedLength = static_cast<int>(llTotal);
    return KEVO_OK;
}

HRESULT EncodeObject(const void* pvStructInfo, LPCSTR lpszStructType, BYTE** ppbEncoded, int* pnEncodedLength) {
    TraceHelper trace(u"EncodeObject");
    if (ppbEncoded == nullptr || pnEncodedLength == nullptr) {
        KEVO_FAIL_W(u"EncodeObject", u"Check parameters", u"ppbEncoded == NULL", E_POINTER);
        return E_POINTER;
    }
    DWORD cbEncoded = 0;
    if (!CryptEncodeObject(ENCODING_TYPE, lpszStructType, pvStructInfo, nullptr, &cbEncoded)) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(u"EncodeObject", u"CryptEncodeObject - get length", u"1", hr);
        return hr;
    }
    if (cbEncoded > 0x7FFFFFFFu) {
        KEVO_FAIL_W(u"EncodeObject", u"Check length", u"cbEncoded > 0x7FFFFFFF", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::unique_ptr<BYTE[]> pbOut(NewZeroedBytes(cbEncoded ? cbEncoded : 1));
    if (!pbOut) {
        KEVO_FAIL_W(u"EncodeObject", u"new", u"New Memory", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    if (!CryptEncodeObject(ENCODING_TYPE, lpszStructType, pvStructInfo, pbOut.get(), &cbEncoded)) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(u"EncodeObject", u"CryptEncodeObject - get value", u"1", hr);
        return hr;
    }
    *ppbEncoded = pbOut.release();
    *pnEncodedLength = static_cast<int>(cbEncoded);
    return KEVO_OK;
}

HRESULT ComposeAnyString(int nValueLength, DWORD dwValueType, const BYTE* pbValue, BYTE** ppbEncoded,
                         int* pnEncodedLength) {
    TraceHelper trace(u"ComposeAnyString");
    if (nValueLength < 0 || (pbValue == nullptr && nValueLength > 0)) {
        KEVO_FAIL_W(u"ComposeAnyString", u"Check parameters", u"pbValue == NULL || nValueLength < 0", E_INVALIDARG);
        return E_INVALIDARG;
    }
    CERT_NAME_VALUE value = {};
    value.dwValueType = dwValueType;
    value.Value.cbData = static_cast<DWORD>(nValueLength);
    value.Value.pbData = const_cast<BYTE*>(pbValue);
    HRESULT hr = EncodeObject(&value, X509_ANY_STRING, ppbEncoded, pnEncodedLength);
    if (FAILED(hr)) KEVO_FAIL_W(u"ComposeAnyString", u"EncodeObject-X509_ANY_STRING", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT ComposeBITString(int nDataLength, const BYTE* pbData, BYTE** ppbEncoded, int* pnEncodedLength) {
    TraceHelper trace(u"ComposeBITString");
    if (nDataLength < 0 || (pbData == nullptr && nDataLength > 0)) {
        KEVO_FAIL_W(u"ComposeBITString", u"Check parameters", u"pbData == NULL || nDataLength < 0", E_INVALIDARG);
        return E_INVALIDARG;
    }
    CRYPT_BIT_STRING bits = {};
    bits.cbData = static_cast<DWORD>(nDataLength);
    bits.pbData = const_cast<BYTE*>(pbData);
    bits.cUnusedBits = 0;
    HRESULT hr = EncodeObject(&bits, X509_BITS, ppbEncoded, pnEncodedLength);
    if (FAILED(hr)) KEVO_FAIL_W(u"ComposeBITString", u"EncodeObject-X509_BITS", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT ComposeSpecialAttribute(const char* pszObjId, const BYTE* pbElement, int nElementLength, BYTE** ppbEncoded,
                                int* pnEncodedLength) {
    TraceHelper trace(u"ComposeSpecialAttribute");
    if (ppbEncoded == nullptr || pnEncodedLength == nullptr || (pbElement != nullptr && nElementLength <= 0)) {
        KEVO_FAIL_W(u"ComposeSpecialAttribute", u"Check parameters", u"ppbEncoded == NULL || nElementLength <= 0",
                    E_INVALIDARG);
        return E_INVALIDARG;
    }
    CRYPT_ATTR_BLOB value = {};
    CRYPT_ATTRIBUTE attr = {};
    attr.pszObjId = const_cast<LPSTR>(pszObjId);
    if (pbElement != nullptr) {
        value.cbData = static_cast<DWORD>(nElementLength);
        value.pbData = const_cast<BYTE*>(pbElement);
        attr.cValue = 1;
        attr.rgValue = &value;
    }
    BYTE* pbRaw = nullptr;
    int nRaw = 0;
    HRESULT hr = EncodeObject(&attr, PKCS_ATTRIBUTE, &pbRaw, &nRaw);
    if (FAILED(hr)) {
        KEVO_FAIL_W(u"ComposeSpecialAttribute", u"EncodeObject-PKCS_ATTRIBUTE", u"FAILED(hResult)", hr);
        return hr;
    }
    std::unique_ptr<BYTE[]> raw(pbRaw);
    KevoTraceStepW(u"ComposeSpecialAttribute", u"EncodeObject-PKCS_ATTRIBUTE");

    if (pbElement == nullptr) {
        // The attribute ends with the empty SET 31 00; NULL takes its place.
        if (nRaw < 2 || raw[nRaw - 2] != 0x31 || raw[nRaw - 1] != 0x00) {
            KEVO_FAIL_W(u"ComposeSpecialAttribute", u"Check empty SET", u"last octets != 31 00", E_FAIL);
            return E_FAIL;
        }
        raw[nRaw - 2] = 0x05;
        raw[nRaw - 1] = 0x00;
        *ppbEncoded = raw.release();
        *pnEncodedLength = nRaw;
        return KEVO_OK;
    }

    CASN1Node* pRoot = nullptr;
    LONG r = DecodeASN1Memory(&pRoot, raw.get(), static_cast<DWORD>(nRaw));
    std::unique_ptr<CASN1Node> root(pRoot);
    if (r != 0) {
        hr = KevoNormalizeResult(r);
        KEVO_FAIL_W(u"ComposeSpecialAttribute", u"DecodeASN1Memory", u"0 != r", hr);
        return hr;
    }
    KevoTraceStepW(u"ComposeSpecialAttribute", u"DecodeASN1Memory");
    CASN1Node* pOid = root->GetChild(0);
    CASN1Node* pSet = root->GetChild(1);
    CASN1Node* pValue = pSet ? pSet->GetChild(0) : nullptr;
    // The element must be exactly one element, read back whole.
    if (pOid == nullptr || pValue == nullptr || pSet->GetChildCount() != 1 ||
        pValue->GetTotalLength() != static_cast<DWORD>(nElementLength)) {
        KEVO_FAIL_W(u"ComposeSpecialAttribute", u"DecodeASN1Memory", u"element is not one DER element", E_FAIL);
        return E_FAIL;
    }
    BYTE* pbOidElem = nullptr;
    int nOidElem = 0;
    hr = ASN1Encode(pOid->GetTag(), pOid->GetValue(), static_cast<int>(pOid->GetValueLength()), &pbOidElem,
                    &nOidElem);
    if (FAILED(hr)) {
        KEVO_FAIL_W(u"ComposeSpecialAttribute", u"ASN1Encode-ObjectID", u"FAILED(hResult)", hr);
        return hr;
    }
    std::unique_ptr<BYTE[]> oidElem(pbOidElem);
    KevoTraceStepW(u"ComposeSpecialAttribute", u"ASN1Encode-ObjectID");
    BYTE* pbValueElem = nullptr;
    int nValueElem = 0;
    hr = ASN1Encode(pValue->GetTag(), pValue->GetValue(), static_cast<int>(pValue->GetValueLength()), &pbValueElem,
                    &nValueElem);
    if (FAILED(hr)) {
        KEVO_FAIL_W(u"ComposeSpecialAttribute", u"ASN1Encode-AnyString", u"FAILED(hResult)", hr);
        return hr;
    }
    std::unique_ptr<BYTE[]> valueElem(pbValueElem);
    KevoTraceStepW(u"ComposeSpecialAttribute", u"ASN1Encode-AnyString");
    size_t cbContent = static_cast<size_t>(nOidElem) + static_cast<size_t>(nValueElem);
    std::unique_ptr<BYTE[]> content(NewZeroedBytes(cbContent));
    if (!content) {
        KEVO_FAIL_W(u"ComposeSpecialAttribute", u"new", u"New Memory", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memcpy(content.get(), oidElem.get(), static_cast<size_t>(nOidElem));
    std::memcpy(content.get() + nOidElem, valueElem.get(), static_cast<size_t>(nValueElem));
    hr = ASN1Encode(0x30, content.get(), static_cast<int>(cbContent), ppbEncoded, pnEncodedLength);
    if (FAILED(hr)) {
        KEVO_FAIL_W(u"ComposeSpecialAttribute", u"ASN1Encode-Sequence", u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(u"ComposeSpecialAttribute", u"ASN1Encode-Sequence");
    return KEVO_OK;
}

HRESULT SM2EncodeRawSignature(const BYTE* pbRawSignature, int nRawSignatureLength, BYTE** ppbEncoded,
                              int* pnEncodedLength) {
    TraceHelper trace(u"SM2EncodeRawSignature");
    const HRESULT hrBadSize = static_cast<HRESULT>(0x8007000Du);
    if (pbRawSignature == nullptr || nRawSignatureLength != 64) {
        KEVO_FAIL_W(u"SM2EncodeRawSignature", u"Check SM2 raw signature size", u"nRawSignatureLength != 64",
                    hrBadSize);
        return hrBadSize;
    }
    if (ppbEncoded == nullptr || pnEncodedLength == nullptr) {
        KEVO_FAIL_W(u"SM2EncodeRawSignature", u"Check parameters", u"ppbEncoded == NULL", E_POINTER);
        return E_POINTER;
    }
    std::unique_ptr<BYTE[]> integers[2];
    int nIntegers[2] = {0, 0};
    static const char16_t* const kLabels[2][2] = {{u"ASN1Encode(1)", u"ASN1Encode(2)"},
                                                  {u"ASN1Encode(3)", u"ASN1Encode(4)"}};
    for (int k = 0; k < 2; ++k) {
        BYTE abyContent[33];
        int nContent = 0;
        bool bPadded = false;
        MinimalIntegerContent(pbRawSignature + 32 * k, 32, abyContent, &nContent, &bPadded);
        BYTE* pb = nullptr;
        HRESULT hr = ASN1Encode(0x02, abyContent, nContent, &pb, &nIntegers[k]);
        if (FAILED(hr)) {
            KEVO_FAIL_W(u"SM2EncodeRawSignature", kLabels[k][bPadded ? 0 : 1], u"FAILED(hResult)", hr);
            return hr;
        }
        integers[k].reset(pb);
    }
    BYTE abySeq[2 * (2 + 33)];
    std::memcpy(abySeq, integers[0].get(), static_cast<size_t>(nIntegers[0]));
    std::memcpy(abySeq + nIntegers[0], integers[1].get(), static_cast<size_t>(nIntegers[1]));
    HRESULT hr = ASN1Encode(0x30, abySeq, nIntegers[0] + nIntegers[1], ppbEncoded, pnEncodedLength);
    if (FAILED(hr)) {
        KEVO_FAIL_W(u"SM2EncodeRawSignature", u"ASN1Encode(5)", u"FAILED(hResult)", hr);
        return hr;
    }
    return KEVO_OK;
}
