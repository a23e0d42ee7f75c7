// CA chain installation from the XML documents among the resources: the
// document walk, the serialized property blobs of its root entries, the
// registry writes and the PKCS#7 part.
#include "store/CertificateChainInstall.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "store/CertificateChainOperate.h"
#include "encoding/Codec.h"
#include "diag/Diagnostics.h"
#include "diag/ResultCode.h"
#include "tessaro/Handles.h"

#define TRACE_UNIT_W u"CertificateChainOperate"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr WCHAR kResourceType[] = u"CERTIFICATE";
constexpr WCHAR kBlobValueName[] = u"Blob";
// KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY
constexpr REGSAM kCertificateKeyAccess = 0x2001F;
// Record header of a serialized property: identifier, reserved, length.
constexpr DWORD kRecordHeaderSize = 12;
constexpr DWORD kLow24Bits = 0x00FFFFFF;

// Releases a COM interface on every way out.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    T** operator&() {
        Reset();
        return &m_p;
    }
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }
    T* Detach() {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    void Reset() {
        if (m_p) m_p->Release();
        m_p = nullptr;
    }

private:
    T* m_p = nullptr;
};

DWORD ReadLe32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
           (static_cast<DWORD>(p[3]) << 24);
}

LPWSTR CopyWide(const WCHAR* pwsz, size_t cch) {
    WCHAR* p = new (std::nothrow) WCHAR[cch + 1];
    if (!p) return nullptr;
    if (cch) std::memcpy(p, pwsz, cch * sizeof(WCHAR));
    p[cch] = 0;
    return p;
}

// The Content and P7bContent texts: UTF-16 to UTF-8, then Base64.
HRESULT DecodeBase64Text(LPCWSTR FUNC, LPCWSTR pwszText, std::unique_ptr<BYTE[]>& pbData, int& nData) {
    char* pszUtf8 = nullptr;
    int nUtf8 = 0;
    HRESULT hr = UTF16ToUTF8(pwszText, &pszUtf8, &nUtf8);
    std::unique_ptr<char[]> holdUtf8(pszUtf8);
    if (FAILED(hr)) return KEVO_FAILED_W(FUNC, u"UTF16ToUTF8", u"FAILED(hResult)", hr);
    BYTE* pb = nullptr;
    hr = Base64DecodeEx(pszUtf8, nUtf8, &pb, &nData);
    pbData.reset(pb);
    if (FAILED(hr)) return KEVO_FAILED_W(FUNC, u"Base64DecodeEx", u"FAILED(hResult)", hr);
    return KEVO_OK;
}

// The value of the first property-32 record of a serialized property blob.
// Every header and value must lie inside the blob.
HRESULT FindCertificateRecord(LPCWSTR FUNC, const BYTE* pbBlob, DWORD cbBlob, DWORD* pdwOffset, DWORD* pcbCert) {
    DWORD dwCurentPos = 0;
    DWORD nPropertyID = 0;
    for (;;) {
        if (cbBlob - dwCurentPos < kRecordHeaderSize)
            return KEVO_FAILED_W(FUNC, u"Check regInfosize", u"dwCurentPos + 12 > dwRegInfoSize", E_FAIL);
        nPropertyID = ReadLe32(pbBlob + dwCurentPos) & kLow24Bits;
        DWORD nLen = ReadLe32(pbBlob + dwCurentPos + 8) & kLow24Bits;
        dwCurentPos += kRecordHeaderSize;
        if (nLen > cbBlob - dwCurentPos)
            return KEVO_FAILED_W(FUNC, u"Check regInfosize", u"dwCurentPos + nLen > dwRegInfoSize", E_FAIL);
        if (nPropertyID == CERT_CERT_PROP_ID) {
            *pdwOffset = dwCurentPos;
            *pcbCert = nLen;
            return KEVO_OK;
        }
        dwCurentPos += nLen;
        if (dwCurentPos >= cbBlob) break;
    }
    KEVO_FAIL_W(FUNC, u"Check Certificate node", u"nPropertyID != 32", E_FAIL);
    return E_FAIL;
}

// The machine's trusted-root store exists on every installation; opening it
// once makes sure a fresh prefix has its registry key too. Only traced: a
// failure shows again, with its code, when an entry is written.
void EnsureTrustedRootStore(LPCWSTR FUNC) {
    tessaro::UniqueCertStore store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT"));
    if (!store) KEVO_FAIL_W(FUNC, u"CertOpenStore(ROOT)", u"hCertStore == NULL", KevoLastErrorResult());
}

// Thumbprint text of the certificate, upper case.
std::u16string ThumbprintText(PCCERT_CONTEXT pCert) {
    BYTE sha1[20];
    DWORD cb = sizeof(sha1);
    if (!CertGetCertificateContextProperty(pCert, CERT_SHA1_HASH_PROP_ID, sha1, &cb) || cb != sizeof(sha1)) return {};
    static const char kHex[] = "0123456789ABCDEF";
    std::u16string s;
    for (BYTE b : sha1) {
        s.push_back(static_cast<char16_t>(kHex[b >> 4]));
        s.push_back(static_cast<char16_t>(kHex[b & 15]));
    }
    return s;
}

// Name of a failed DOM call as a step of the routine FUNC: "<FUNC>-<call>".
// Made without allocating: the call may have failed for want of memory.
class DomStep {
public:
    DomStep(LPCWSTR FUNC, LPCWSTR pwszCall) {
        size_t n = 0;
        for (LPCWSTR part : {FUNC, u"-", pwszCall})
            for (; *part && n + 1 < kMaxChars; ++part) m_wsz[n++] = *part;
        m_wsz[n] = 0;
    }
    LPCWSTR c_str() const { return m_wsz; }

private:
    static constexpr size_t kMaxChars = 96;
    WCHAR m_wsz[kMaxChars];
};

// The children of a node and their count; failures traced as DOM steps of FUNC.
HRESULT GetChildList(LPCWSTR FUNC, IXMLDOMNode* pNode, ComPtr<IXMLDOMNodeList>& children, LONG* pnLength) {
    HRESULT hr = pNode->get_childNodes(&children);
    if (FAILED(hr) || !children.get()) {
        if (!FAILED(hr)) hr = E_FAIL;
        KEVO_FAIL_W(FUNC, DomStep(FUNC, u"get_childNodes").c_str(), u"FAILED(hResult)", hr);
        return hr;
    }
    *pnLength = 0;
    hr = children->get_length(pnLength);
    if (FAILED(hr)) return KEVO_FAILED_W(FUNC, DomStep(FUNC, u"get_length").c_str(), u"FAILED(hResult)", hr);
    return KEVO_OK;
}

// Child i of the list; a missing one is a failure, traced as a DOM step of FUNC.
HRESULT GetChildItem(LPCWSTR FUNC, IXMLDOMNodeList* pChildren, LONG i, ComPtr<IXMLDOMNode>& child) {
    HRESULT hr = pChildren->get_item(i, &child);
    if (FAILED(hr) || !child.get()) {
        if (!FAILED(hr)) hr = E_FAIL;
        KEVO_FAIL_W(FUNC, DomStep(FUNC, u"get_item").c_str(), u"FAILED(hResult)", hr);
        return hr;
    }
    return KEVO_OK;
}

}  // namespace

HRESULT LoadModuleResource(HMODULE hInstance, UINT nResourceId, BYTE** ppbData, DWORD* pcbData) {
    const LPCWSTR FUNC = u"LoadModuleResource";
    TraceHelper th(FUNC);
    if (!ppbData || !pcbData)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == ppbData || NULL == pcbData", E_INVALIDARG);
    HRSRC hResInfo = FindResourceW(hInstance, MAKEINTRESOURCEW(nResourceId), kResourceType);
    if (!hResInfo) return KEVO_FAILED_W(FUNC, u"FindResourceW", u"FindResource FAILED.", KevoLastErrorResult());
    DWORD cbRes = SizeofResource(hInstance, hResInfo);
    if (cbRes == 0) return KEVO_FAILED_W(FUNC, u"SizeofResource", u"SizeofResource FAILED.", KevoLastErrorResult());
    HGLOBAL hRes = LoadResource(hInstance, hResInfo);
    const void* pvRes = hRes ? LockResource(hRes) : nullptr;
    if (!pvRes) return KEVO_FAILED_W(FUNC, u"LoadResource", u"LoadResource FAILED.", KevoLastErrorResult());
    BYTE* pb = new (std::nothrow) BYTE[cbRes];
    if (!pb) return KEVO_FAILED_W(FUNC, u"new", u"New memory failed.", E_OUTOFMEMORY);
    std::memcpy(pb, pvRes, cbRes);
    *ppbData = pb;
    *pcbData = cbRes;
    KevoTraceValueN("Resource size", static_cast<LONG>(cbRes));
    return KEVO_OK;
}

HRESULT ImportCertificateChainfromResoure(UINT nResourceId) {
    const LPCWSTR FUNC = u"ImportCertificateChainfromResoure";
    TraceHelper th(FUNC);
    KevoTraceValueN("Resource id", static_cast<LONG>(nResourceId));
    HMODULE hInstance = GetModuleHandleW(nullptr);
    if (!hInstance) return KEVO_FAILED_W(FUNC, u"GetModuleHandleW", u"NULL == hInstance", KevoLastErrorResult());
    BYTE* pbData = nullptr;
    DWORD cbData = 0;
    HRESULT hr = LoadModuleResource(hInstance, nResourceId, &pbData, &cbData);
    std::unique_ptr<BYTE[]> holdData(pbData);
    if (FAILED(hr)) return KEVO_FAILED_W(FUNC, u"LoadModuleResource", u"FAILED(hResult)", hr);
    hr = KEVO_CHECK_W(FUNC, u"ImportCertificateChainfromBlobData", ImportCertificateChainfromBlobData(pbData, cbData));
    if (FAILED(hr)) return hr;
    KevoTraceStepW(FUNC, u"ImportCertificateChainfromBlobData", hr);
    return hr;
}

HRESULT ImportCertificateChainfromBlobData(const BYTE* pbData, DWORD cbData) {
    const LPCWSTR FUNC = u"ImportCertificateChainfromBlobData";
    TraceHelper th(FUNC);
    ComPtr<IXMLDOMDocument> doc;
    HRESULT hr = KEVO_CHECK_W(FUNC, u"LoadXMLDom", LoadXMLDom(pbData, cbData, &doc));
    if (FAILED(hr)) return hr;
    hr = KEVO_CHECK_W(FUNC, u"ImportCertChainfromXMLDOMDoc", ImportCertChainfromXMLDOMDoc(doc.get()));
    if (FAILED(hr)) return hr;
    return hr;
}

HRESULT LoadXMLDom(const BYTE* pbData, DWORD cbData, IXMLDOMDocument** ppXMLDoc) {
    const LPCWSTR FUNC = u"LoadXMLDom";
    TraceHelper th(FUNC);
    if (!pbData || cbData == 0 || !ppXMLDoc)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pbData || 0 == cbData || NULL == ppXMLDoc",
                             E_INVALIDARG);
    *ppXMLDoc = nullptr;
    ComPtr<IXMLDOMDocument> doc;
    HRESULT hr = KEVO_CHECK_W(FUNC, u"LoadXMLDom-CoCreateInstance",
                              CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                               reinterpret_cast<void**>(&doc)));
    if (FAILED(hr)) return hr;
    // The document is UTF-8 text without a terminator of its own.
    std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<size_t>(cbData) + 1]);
    if (!text) return KEVO_FAILED_W(FUNC, u"new", u"New memory failed.", E_OUTOFMEMORY);
    std::memcpy(text.get(), pbData, cbData);
    text[cbData] = 0;
    WCHAR* pwszText = nullptr;
    int nText = 0;
    hr = UTF8ToUTF16(text.get(), &pwszText, &nText);
    std::unique_ptr<WCHAR[]> holdText(pwszText);
    if (FAILED(hr)) return KEVO_FAILED_W(FUNC, u"LoadXMLDom-UTF8ToUTF16", u"FAILED(hResult)", hr);
    tessaro::UniqueBstr bstrXML(SysAllocStringLen(pwszText, static_cast<UINT>(nText)));
    if (!bstrXML) return KEVO_FAILED_W(FUNC, u"LoadXMLDom-SysAllocString", u"NULL == bstrXML", E_OUTOFMEMORY);
    VARIANT_BOOL vbSuccessful = VARIANT_FALSE;
    hr = KEVO_CHECK_W(FUNC, u"LoadXMLDom-loadXML", doc->loadXML(bstrXML.get(), &vbSuccessful));
    if (FAILED(hr)) return hr;
    if (vbSuccessful != VARIANT_TRUE)
        return KEVO_FAILED_W(FUNC, u"LoadXMLDom-loadXML", u"VARIANT_TRUE != vbSuccessful", KEVO_E_XML_PARSE);
    *ppXMLDoc = doc.Detach();
    return KEVO_OK;
}

HRESULT GetXMLRootNode(IXMLDOMDocument* pXMLDoc, IXMLDOMNode** ppRootNode) {
    const LPCWSTR FUNC = u"GetXMLRootNode";
    TraceHelper th(FUNC);
    if (!pXMLDoc || !ppRootNode)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pXMLDoc || NULL == ppRootNode", E_INVALIDARG);
    *ppRootNode = nullptr;
    HRESULT hr = pXMLDoc->get_lastChild(ppRootNode);
    if (FAILED(hr) || !*ppRootNode) {
        if (!FAILED(hr)) hr = KEVO_E_XML_PARSE;  // a document without any node
        KEVO_FAIL_W(FUNC, u"GetXMLRootNode-get_lastChild", u"FAILED(hResult)", hr);
        return hr;
    }
    return KEVO_OK;
}

HRESULT FindChildNode(IXMLDOMNode** ppChildNode, IXMLDOMNode* pParentNode, LPCWSTR pwszName) {
    const LPCWSTR FUNC = u"FindChildNode";
    TraceHelper th(FUNC);
    if (!ppChildNode || !pParentNode || !pwszName)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == ppChildNode || NULL == pParentNode", E_INVALIDARG);
    *ppChildNode = nullptr;
    KevoTraceValueW(u"Child node name", pwszName);
    ComPtr<IXMLDOMNodeList> children;
    LONG nLength = 0;
    HRESULT hr = GetChildList(FUNC, pParentNode, children, &nLength);
    if (FAILED(hr)) return hr;
    for (LONG i = 0; i < nLength; ++i) {
        ComPtr<IXMLDOMNode> child;
        hr = GetChildItem(FUNC, children.get(), i, child);
        if (FAILED(hr)) return hr;
        tessaro::UniqueBstr name;
        hr = KEVO_CHECK_W(FUNC, u"FindChildNode-get_nodeName", child->get_nodeName(name.put()));
        if (FAILED(hr)) return hr;
        if (name && StrStrIW(name.get(), pwszName)) {
            *ppChildNode = child.Detach();
            return KEVO_OK;
        }
    }
    KEVO_FAIL_W(FUNC, u"Find child node", u"no child of this name", KEVO_S_CHILD_NOT_FOUND);
    return KEVO_S_CHILD_NOT_FOUND;
}

HRESULT GetNodeValue(IXMLDOMNode* pNode, LPWSTR* ppwszValue) {
    const LPCWSTR FUNC = u"GetNodeValue";
    TraceHelper th(FUNC);
    if (!pNode || !ppwszValue)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pNode || NULL == ppwszValue", E_INVALIDARG);
    tessaro::UniqueBstr text;
    HRESULT hr = KEVO_CHECK_W(FUNC, u"GetNodeValue-get_text", pNode->get_text(text.put()));
    if (FAILED(hr)) return hr;
    LPWSTR pwsz = CopyWide(text ? text.get() : u"", text ? SysStringLen(text.get()) : 0);
    if (!pwsz) return KEVO_FAILED_W(FUNC, u"new", u"New memory failed.", E_OUTOFMEMORY);
    *ppwszValue = pwsz;
    return KEVO_OK;
}

HRESULT GetRegisteredCertificateInfoNode(IXMLDOMNode* pCertNode, LPWSTR* ppwszImportPath, LPWSTR* ppwszEntryPoint,
                                         LPWSTR* ppwszContent) {
    const LPCWSTR FUNC = u"GetRegisteredCertificateInfoNode";
    TraceHelper th(FUNC);
    if (!pCertNode || !ppwszImportPath || !ppwszEntryPoint || !ppwszContent)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pCertNode", E_INVALIDARG);
    ComPtr<IXMLDOMNodeList> children;
    LONG nLength = 0;
    HRESULT hr = GetChildList(FUNC, pCertNode, children, &nLength);
    if (FAILED(hr)) return hr;
    if (nLength < 3)
        return KEVO_FAILED_W(FUNC, u"Check child node count", u"the number of RegeditInfo Child Node is error!",
                             KEVO_E_XML_PARSE);
    std::unique_ptr<WCHAR[]> values[3];
    for (LONG i = 0; i < 3; ++i) {
        ComPtr<IXMLDOMNode> child;
        hr = GetChildItem(FUNC, children.get(), i, child);
        if (FAILED(hr)) return hr;
        LPWSTR pwsz = nullptr;
        hr = GetNodeValue(child.get(), &pwsz);
        values[i].reset(pwsz);
        if (FAILED(hr)) return KEVO_FAILED_W(FUNC, u"GetNodeValue", u"FAILED(hResult)", hr);
    }
    KevoTraceValueW(u"ImportPath", values[0].get());
    KevoTraceValueW(u"EntryPoint", values[1].get());
    *ppwszImportPath = values[0].release();
    *ppwszEntryPoint = values[1].release();
    *ppwszContent = values[2].release();
    return KEVO_OK;
}

HRESULT ImportCertChainfromXMLDOMDoc(IXMLDOMDocument* pXMLDoc) {
    const LPCWSTR FUNC = u"ImportCertChainfromXMLDOMDoc";
    TraceHelper th(FUNC);
    // Each step runs only when the ones before it did not fail; the last
    // step's result is the document's.
    ComPtr<IXMLDOMNode> root, rootCA, p7b;
    HRESULT hr = KEVO_CHECK_W(FUNC, u"GetXMLRootNode", GetXMLRootNode(pXMLDoc, &root));
    if (SUCCEEDED(hr))
        hr = KEVO_CHECK_W(FUNC, u"FindChildNode(RootCACertificate)",
                          FindChildNode(&rootCA, root.get(), u"RootCACertificate"));
    if (SUCCEEDED(hr)) hr = KEVO_CHECK_W(FUNC, u"ParseRootCACertificateNode", ParseRootCACertificateNode(rootCA.get()));
    if (SUCCEEDED(hr))
        hr = KEVO_CHECK_W(FUNC, u"FindChildNode(P7bContent)", FindChildNode(&p7b, root.get(), u"P7bContent"));
    if (SUCCEEDED(hr)) hr = KEVO_CHECK_W(FUNC, u"ParseP7bContentNode", ParseP7bContentNode(p7b.get()));
    return hr;
}

HRESULT ParseRootCACertificateNode(IXMLDOMNode* pNode) {
    const LPCWSTR FUNC = u"ParseRootCACertificateNode";
    TraceHelper th(FUNC);
    if (!pNode) return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pNode", E_INVALIDARG);
    ComPtr<IXMLDOMNodeList> children;
    LONG nLength = 0;
    HRESULT hr = GetChildList(FUNC, pNode, children, &nLength);
    if (FAILED(hr)) return hr;
    KevoTraceValueN("Certificate count", nLength);
    FILETIME ftMachineTime{};
    hr = KEVO_CHECK_W(FUNC, u"GetMachineTime", GetMachineTime(&ftMachineTime));
    if (FAILED(hr)) return hr;
    if (nLength > 0) EnsureTrustedRootStore(FUNC);
    for (LONG i = 0; i < nLength; ++i) {
        ComPtr<IXMLDOMNode> child;
        hr = GetChildItem(FUNC, children.get(), i, child);
        if (FAILED(hr)) return hr;
        LPWSTR pwszText = nullptr;
        hr = GetNodeValue(child.get(), &pwszText);
        std::unique_ptr<WCHAR[]> holdText(pwszText);
        if (FAILED(hr)) return KEVO_FAILED_W(FUNC, u"GetNodeValue", u"FAILED(hResult)", hr);
        KevoTraceValueW(u"Certificate node", pwszText);
        KevoTraceValueN("Certificate node index", i);
        // One bad entry must not keep the others out.
        HRESULT hrEntry = ParseCertificateNode(&ftMachineTime, child.get());
        if (FAILED(hrEntry)) KEVO_FAIL_W(FUNC, u"ParseCertificateNode", u"FAILED(hResult)", hrEntry);
        else KevoTraceStepW(FUNC, u"ParseCertificateNode", hrEntry);
    }
    return KEVO_OK;
}

HRESULT ParseCertificateNode(const FILETIME* pftMachineTime, IXMLDOMNode* pNode) {
    const LPCWSTR FUNC = u"ParseCertificateNode";
    TraceHelper th(FUNC);
    if (!pftMachineTime || !pNode)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pftMachineTime || NULL == pNode", E_INVALIDARG);
    LPWSTR pwszImportPath = nullptr, pwszEntryPoint = nullptr, pwszContent = nullptr;
    HRESULT hr = GetRegisteredCertificateInfoNode(pNode, &pwszImportPath, &pwszEntryPoint, &pwszContent);
    std::unique_ptr<WCHAR[]> holdPath(pwszImportPath), holdEntry(pwszEntryPoint), holdContent(pwszContent);
    if (FAILED(hr)) return KEVO_FAILED_W(FUNC, u"GetRegisteredCertificateInfoNode", u"FAILED(hResult)", hr);
    BYTE* pbCert = nullptr;
    DWORD cbCert = 0;
    hr = GetCertFromCertificateBlobProperties(&pbCert, pwszContent, &cbCert);
    std::unique_ptr<BYTE[]> holdCert(pbCert);
    if (FAILED(hr)) return KEVO_FAILED_W(FUNC, u"GetCertFromCertificateBlobProperties", u"FAILED(hResult)", hr);
    tessaro::UniqueCertContext cert(CertCreateCertificateContext(kEncoding, pbCert, cbCert));
    if (!cert)
        return KEVO_FAILED_W(FUNC, u"CertCreateCertificateContext", u"NULL == pCertContext", KevoLastErrorResult());
    DWORD dwExpired = 0;
    hr = KEVO_CHECK_W(FUNC, u"CheckCertValidTime", CheckCertValidTime(pftMachineTime, &dwExpired, cert.get()));
    if (FAILED(hr)) return hr;
    if (dwExpired) {
        KevoTraceStepW(FUNC, u"Certificate expired, not installed");
        return KEVO_OK;
    }
    // The subkey name is what the trusted-root store knows the certificate
    // by; a name that is not this certificate's thumbprint would register it
    // under another certificate's identity.
    std::u16string wstrThumbprint = ThumbprintText(cert.get());
    if (wstrThumbprint.empty() || _wcsicmp(wstrThumbprint.c_str(), pwszEntryPoint) != 0)
        return KEVO_FAILED_W(FUNC, u"Check EntryPoint", u"EntryPoint != SHA-1 thumbprint", KEVO_E_XML_PARSE);
    hr = KEVO_CHECK_W(FUNC, u"WriteCertificatetoRegistry",
                      WriteCertificatetoRegistry(pwszImportPath, pwszEntryPoint, pwszContent));
    if (FAILED(hr)) return hr;
    KevoTraceStepW(FUNC, u"WriteCertificatetoRegistry", hr);
    return KEVO_OK;
}

HRESULT GetCertFromCertificateBlobProperties(BYTE** ppbCert, LPCWSTR pwszContent, DWORD* pcbCert) {
    const LPCWSTR FUNC = u"GetCertFromCertificateBlobProperties";
    TraceHelper th(FUNC);
    if (!ppbCert || !pwszContent || !pcbCert)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == ppbCert || NULL == pwszContent", E_INVALIDARG);
    std::unique_ptr<BYTE[]> blob;
    int nBlob = 0;
    HRESULT hr = DecodeBase64Text(FUNC, pwszContent, blob, nBlob);
    if (FAILED(hr)) return hr;
    KevoTraceValueN("dwRegInfoSize", nBlob);
    DWORD dwOffset = 0, cbCert = 0;
    hr = FindCertificateRecord(FUNC, blob.get(), static_cast<DWORD>(nBlob), &dwOffset, &cbCert);
    if (FAILED(hr)) return hr;
    BYTE* pb = new (std::nothrow) BYTE[cbCert ? cbCert : 1];
    if (!pb) return KEVO_FAILED_W(FUNC, u"new", u"New memory failed.", E_OUTOFMEMORY);
    if (cbCert) std::memcpy(pb, blob.get() + dwOffset, cbCert);
    *ppbCert = pb;
    *pcbCert = cbCert;
    return KEVO_OK;
}

HRESULT WriteCertificatetoRegistry(LPCWSTR pwszImportPath, LPCWSTR pwszEntryPoint, LPCWSTR pwszContent) {
    const LPCWSTR FUNC = u"WriteCertificatetoRegistry";
    TraceHelper th(FUNC);
    if (!pwszImportPath || !pwszEntryPoint || !pwszContent)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pwszImportPath || NULL == pwszEntryPoint",
                             E_INVALIDARG);
    std::unique_ptr<BYTE[]> blob;
    int nBlob = 0;
    HRESULT hr = DecodeBase64Text(FUNC, pwszContent, blob, nBlob);
    if (FAILED(hr)) return hr;
    hr = KEVO_CHECK_W(FUNC, u"RegWriteBinaryValue",
                      RegWriteBinaryValue(pwszImportPath, pwszEntryPoint, blob.get(), static_cast<DWORD>(nBlob)));
    if (FAILED(hr)) return hr;
    return KEVO_OK;
}

HRESULT RegWriteBinaryValue(LPCWSTR pwszPath, LPCWSTR pwszSubKey, const BYTE* pbData, DWORD cbData) {
    const LPCWSTR FUNC = u"RegWriteBinaryValue";
    TraceHelper th(FUNC);
    if (!pwszPath || !pwszSubKey || !*pwszSubKey || !pbData || cbData == 0)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pwszPath || NULL == pwszSubKey || 0 == cbData",
                             E_INVALIDARG);
    tessaro::UniqueHkey key, subKey;
    HRESULT hr = KEVO_CHECK_STATUS_W(FUNC, u"RegOpenKeyExW",
                                     RegOpenKeyExW(HKEY_LOCAL_MACHINE, pwszPath, 0, KEY_ALL_ACCESS, key.put()));
    if (FAILED(hr)) return hr;
    WCHAR wszClass[1] = {0};
    DWORD dwDisposition = 0;
    hr = KEVO_CHECK_STATUS_W(FUNC, u"RegCreateKeyExW",
                             RegCreateKeyExW(key.get(), pwszSubKey, 0, wszClass, REG_OPTION_NON_VOLATILE,
                                             kCertificateKeyAccess, nullptr, subKey.put(), &dwDisposition));
    if (FAILED(hr)) return hr;
    hr = KEVO_CHECK_STATUS_W(FUNC, u"RegSetValueExW",
                             RegSetValueExW(subKey.get(), kBlobValueName, 0, REG_BINARY, pbData, cbData));
    if (FAILED(hr)) return hr;
    KevoTraceStepW(FUNC, u"RegSetValueExW(Blob)");
    return KEVO_OK;
}

HRESULT ParseP7bContentNode(IXMLDOMNode* pNode) {
    const LPCWSTR FUNC = u"ParseP7bContentNode";
    TraceHelper th(FUNC);
    if (!pNode) return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pNode", E_INVALIDARG);
    LPWSTR pwszText = nullptr;
    HRESULT hr = GetNodeValue(pNode, &pwszText);
    std::unique_ptr<WCHAR[]> holdText(pwszText);
    if (FAILED(hr)) return KEVO_FAILED_W(FUNC, u"GetNodeValue", u"FAILED(hResult)", hr);
    std::unique_ptr<BYTE[]> p7b;
    int nP7b = 0;
    hr = DecodeBase64Text(FUNC, pwszText, p7b, nP7b);
    if (FAILED(hr)) return hr;
    tessaro::UniqueCertStore store;
    hr =
        KEVO_CHECK_W(FUNC, u"ImportP7bCertificatestoStore", ImportP7bCertificatestoStore(p7b.get(), store.put(), nP7b));
    if (SUCCEEDED(hr)) hr = KEVO_CHECK_W(FUNC, u"AddCACertficatetoStore", AddCACertficatetoStore(store.get()));
    return FAILED(hr) ? hr : KEVO_OK;
}

HRESULT ImportP7bCertificatestoStore(const BYTE* pbData, HCERTSTORE* phStore, LONG nSize) {
    const LPCWSTR FUNC = u"ImportP7bCertificatestoStore";
    TraceHelper th(FUNC);
    if (!pbData || nSize <= 0 || !phStore)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pbData || nSize <= 0", E_INVALIDARG);
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(nSize), const_cast<BYTE*>(pbData)};
    HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_PKCS7, kEncoding, 0, CERT_STORE_READONLY_FLAG, &blob);
    if (!hStore) return KEVO_FAILED_W(FUNC, u"CertOpenStore", u"NULL == hCertStore", KevoLastErrorResult());
    *phStore = hStore;
    return KEVO_OK;
}

HRESULT AddCACertficatetoStore(HCERTSTORE hSourceStore) {
    const LPCWSTR FUNC = u"AddCACertficatetoStore";
    TraceHelper th(FUNC);
    if (!hSourceStore) return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == hSourceStore", E_INVALIDARG);
    tessaro::UniqueCertStore target(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA"));
    if (!target) return KEVO_FAILED_W(FUNC, u"CertOpenStore(CA)", u"NULL == hCertStore", KevoLastErrorResult());
    FILETIME ftMachineTime{};
    HRESULT hr = KEVO_CHECK_W(FUNC, u"GetMachineTime", GetMachineTime(&ftMachineTime));
    if (FAILED(hr)) return hr;
    // The enumeration frees the context it is handed; the holder frees the
    // last one on a way out of the loop.
    for (tessaro::UniqueCertContext cert(CertEnumCertificatesInStore(hSourceStore, nullptr)); cert;
         cert.reset(CertEnumCertificatesInStore(hSourceStore, cert.release()))) {
        PCCERT_CONTEXT pCert = cert.get();
        LPWSTR pwszSubject = nullptr;
        DWORD cchSubject = 0;
        if (SUCCEEDED(QueryCertContextInfo(pCert, QUERYID_SUBJECT_FULL, &pwszSubject, &cchSubject))) {
            KevoTraceValueW(u"Subject", pwszSubject);
            delete[] pwszSubject;
        }
        DWORD dwExpired = 0;
        hr = KEVO_CHECK_W(FUNC, u"CheckCertValidTime", CheckCertValidTime(&ftMachineTime, &dwExpired, pCert));
        if (FAILED(hr)) return hr;
        if (dwExpired) {
            KevoTraceStepW(FUNC, u"Certificate expired, not added");
            continue;
        }
        // Self-signed roots belong to the trusted-root store, not here. The
        // names are compared only when they are of one length.
        const CERT_NAME_BLOB& issuer = pCert->pCertInfo->Issuer;
        const CERT_NAME_BLOB& subject = pCert->pCertInfo->Subject;
        if (issuer.cbData == subject.cbData &&
            (subject.cbData == 0 || std::memcmp(issuer.pbData, subject.pbData, subject.cbData) == 0)) {
            KevoTraceStepW(FUNC, u"Self-signed certificate, not added");
            continue;
        }
        if (!CertAddCertificateContextToStore(target.get(), pCert, CERT_STORE_ADD_NEW, nullptr)) {
            DWORD dwError = GetLastError();
            if (static_cast<HRESULT>(dwError) == CRYPT_E_EXISTS) {
                KevoTraceStepW(FUNC, u"Certificate already in the store");
                continue;
            }
            hr = KevoLastErrorResult();
            KEVO_FAIL_W(FUNC, u"CertAddCertificateContextToStore", u"1", hr);
            return hr;
        }
        KevoTraceStepW(FUNC, u"CertAddCertificateContextToStore");
    }
    return KEVO_OK;
}
