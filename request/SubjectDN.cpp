// Subject text to DER Name.
#include "request/SubjectDN.h"

#include <cstring>
#include <memory>
#include <new>

#include "encoding/ASN1Composer.h"
#include "encoding/Codec.h"
#include "diag/Diagnostics.h"
#include "diag/ResultCode.h"

#define TRACE_UNIT_W u"SubjectDN"

namespace {

struct OBJECT_ID_ENTRY {
    const char16_t* pwszName;
    const char* pszObjId;
};

const OBJECT_ID_ENTRY g_objectIds[] = {
    {u"CN", "2.5.4.3"},
    {u"SERIALNUMBER", "2.5.4.5"},
    {u"C", "2.5.4.6"},
    {u"L", "2.5.4.7"},
    {u"S", "2.5.4.8"},
    {u"ST", "2.5.4.8"},
    {u"STREET", "2.5.4.9"},
    {u"O", "2.5.4.10"},
    {u"OU", "2.5.4.11"},
    {u"businessCategory", "2.5.4.15"},
    {u"PostalCode", "2.5.4.17"},
    {u"E", "1.2.840.113549.1.9.1"},
    {u"Email", "1.2.840.113549.1.9.1"},
    {u"jurisdictionOfIncorporationLocalityName", "1.3.6.1.4.1.311.60.2.1.1"},
    {u"jurisdictionOfIncorporationStateOrProvinceName", "1.3.6.1.4.1.311.60.2.1.2"},
    {u"jurisdictionOfIncorporationCountryName", "1.3.6.1.4.1.311.60.2.1.3"},
};

bool EqualsIgnoreCase(const std::u16string& a, const char16_t* b) {
    size_t n = 0;
    while (b[n]) ++n;
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
        if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
        if (x != y) return false;
    }
    return true;
}

// The string types other than UTF8String, chosen by the exact identifier text.
bool IsPrintableStringId(const std::string& id) {
    return id == "2.5.4.6" || id == "2.5.4.5" || id == "1.3.6.1.4.1.311.60.2.1.3";
}
bool IsIA5StringId(const std::string& id) { return id == "1.2.840.113549.1.9.1"; }

}  // namespace

std::vector<std::u16string> SplidWstr(const std::u16string& wstrText, WCHAR wchSeparator) {
    std::vector<std::u16string> vecPieces;
    size_t nStart = 0;
    for (size_t i = 0; i < wstrText.size(); ++i) {
        if (wstrText[i] == wchSeparator) {
            vecPieces.push_back(wstrText.substr(nStart, i - nStart));
            nStart = i + 1;
        }
        if (i + 1 == wstrText.size()) vecPieces.push_back(wstrText.substr(nStart));
    }
    return vecPieces;
}

std::u16string ReplaceWchar(const std::u16string& wstrText, WCHAR wch) {
    std::u16string wstrOut;
    wstrOut.reserve(wstrText.size());
    for (WCHAR c : wstrText)
        if (c != wch) wstrOut.push_back(c);
    return wstrOut;
}

std::string GetObjectID(const std::u16string& wstrName) {
    for (const OBJECT_ID_ENTRY& e : g_objectIds)
        if (EqualsIgnoreCase(wstrName, e.pwszName)) return e.pszObjId;
    KEVO_FAIL_W(u"GetObjectID", u"Unknown attribute name", wstrName.c_str(), NTE_BAD_DATA);
    return std::string();
}

HRESULT ParseSubject(const std::u16string& wstrSubject, std::vector<SUBJECT_PAIR>& vecPairs) {
    TraceHelper trace(u"ParseSubject");
    try {
        std::vector<SUBJECT_PAIR> vecOut;
        std::vector<std::u16string> vecPieces = SplidWstr(wstrSubject, u',');
        KevoTraceStepW(u"ParseSubject", u"SplidWstr-Subject");
        for (const std::u16string& wstrPiece : vecPieces) {
            std::vector<std::u16string> vecParts = SplidWstr(wstrPiece, u'=');
            if (vecParts.size() != 2)
                return KEVO_FAILED_W(u"ParseSubject", u"SplidWstr-Pair", u"vecParts.size() != 2", NTE_BAD_DATA);
            SUBJECT_PAIR pair;
            pair.strObjId = GetObjectID(ReplaceWchar(vecParts[0], u' '));
            pair.wstrValue = vecParts[1];
            vecOut.push_back(std::move(pair));
        }
        KevoTraceStepW(u"ParseSubject", u"SplidWstr-Pair");
        vecPairs = std::move(vecOut);
        return KEVO_OK;
    } catch (const std::bad_alloc&) {
        KEVO_FAIL_W(u"ParseSubject", u"new", u"New Memory", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
}

HRESULT ComposeSubjectChild(const SUBJECT_PAIR& pair, BYTE** ppbRDN, int* pnRDNLength) {
    TraceHelper trace(u"ComposeSubjectChild");
    if (ppbRDN == nullptr || pnRDNLength == nullptr)
        return KEVO_FAILED_W(u"ComposeSubjectChild", u"Check parameters", u"ppbRDN == NULL", E_POINTER);
    if (pair.wstrValue.size() > 0x3FFFFFFFu)
        return KEVO_FAILED_W(u"ComposeSubjectChild", u"Check value", u"value too long", E_OUTOFMEMORY);
    HRESULT hr;
    BYTE* pbString = nullptr;
    int nString = 0;
    bool bPrintable = IsPrintableStringId(pair.strObjId);
    if (bPrintable || IsIA5StringId(pair.strObjId)) {
        char* pszUtf8 = nullptr;
        int nUtf8 = 0;
        hr = UTF16ToUTF8(pair.wstrValue.c_str(), &pszUtf8, &nUtf8);
        std::unique_ptr<char[]> utf8(pszUtf8);
        if (FAILED(hr))
            return KEVO_FAILED_W(u"ComposeSubjectChild",
                                 bPrintable ? u"UTF16ToUTF8(CountryName)" : u"UTF16ToUTF8(Email)", u"FAILED(hResult)",
                                 hr);
        hr = ComposeAnyString(nUtf8, bPrintable ? CERT_RDN_PRINTABLE_STRING : CERT_RDN_IA5_STRING,
                              reinterpret_cast<const BYTE*>(utf8.get()), &pbString, &nString);
        if (FAILED(hr))
            return KEVO_FAILED_W(u"ComposeSubjectChild",
                                 bPrintable ? u"ComposeAnyString(CountryName)" : u"ComposeAnyString(Email)",
                                 u"FAILED(hResult)", hr);
    } else {
        hr = ComposeAnyString(static_cast<int>(pair.wstrValue.size() * 2), CERT_RDN_UTF8_STRING,
                              reinterpret_cast<const BYTE*>(pair.wstrValue.data()), &pbString, &nString);
        if (FAILED(hr)) return KEVO_FAILED_W(u"ComposeSubjectChild", u"ComposeAnyString", u"FAILED(hResult)", hr);
    }
    std::unique_ptr<BYTE[]> stringElem(pbString);
    KevoTraceStepW(u"ComposeSubjectChild", bPrintable                       ? u"ComposeAnyString(CountryName)"
                                           : IsIA5StringId(pair.strObjId) ? u"ComposeAnyString(Email)"
                                                                          : u"ComposeAnyString");

    BYTE* pbAttr = nullptr;
    int nAttr = 0;
    hr = ComposeSpecialAttribute(pair.strObjId.c_str(), stringElem.get(), nString, &pbAttr, &nAttr);
    if (FAILED(hr)) return KEVO_FAILED_W(u"ComposeSubjectChild", u"ComposeSpecialAttribute", u"FAILED(hResult)", hr);
    std::unique_ptr<BYTE[]> attr(pbAttr);
    KevoTraceStepW(u"ComposeSubjectChild", u"ComposeSpecialAttribute");
    hr = ASN1Encode(0x31, attr.get(), nAttr, ppbRDN, pnRDNLength);
    if (FAILED(hr)) return KEVO_FAILED_W(u"ComposeSubjectChild", u"ASN1Encode-Set", u"FAILED(hResult)", hr);
    return KEVO_OK;
}

HRESULT ComposeSubject(LPCWSTR pwszSubject, BYTE** ppbName, int* pnNameLength) {
    TraceHelper trace(u"ComposeSubject");
    if (pwszSubject == nullptr || ppbName == nullptr || pnNameLength == nullptr)
        return KEVO_FAILED_W(u"ComposeSubject", u"Check parameters", u"pwszSubject == NULL", E_INVALIDARG);
    try {
        std::vector<SUBJECT_PAIR> vecPairs;
        HRESULT hr = ParseSubject(std::u16string(pwszSubject), vecPairs);
        if (FAILED(hr)) return KEVO_FAILED_W(u"ComposeSubject", u"ParseSubject", u"FAILED(hResult)", hr);
        KevoTraceStepW(u"ComposeSubject", u"ParseSubject");
        // The attribute written first becomes the last RDN.
        std::vector<BYTE> content;
        for (auto it = vecPairs.rbegin(); it != vecPairs.rend(); ++it) {
            BYTE* pbRDN = nullptr;
            int nRDN = 0;
            hr = ComposeSubjectChild(*it, &pbRDN, &nRDN);
            if (FAILED(hr)) return KEVO_FAILED_W(u"ComposeSubject", u"ComposeSubjectChild", u"FAILED(hResult)", hr);
            std::unique_ptr<BYTE[]> rdn(pbRDN);
            if (content.size() + static_cast<size_t>(nRDN) > 0x7FFFFFF0u)
                return KEVO_FAILED_W(u"ComposeSubject", u"Check length", u"Name too long", E_OUTOFMEMORY);
            content.insert(content.end(), rdn.get(), rdn.get() + nRDN);
        }
        hr = ASN1Encode(0x30, content.data(), static_cast<int>(content.size()), ppbName, pnNameLength);
        if (FAILED(hr)) return KEVO_FAILED_W(u"ComposeSubject", u"ASN1Encode-Sequence", u"FAILED(hResult)", hr);
        return KEVO_OK;
    } catch (const std::bad_alloc&) {
        KEVO_FAIL_W(u"ComposeSubject", u"new", u"New Memory", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
}
