// The XML DOM document object, as far as the CA chain installer uses it:
// created with CoCreateInstance(CLSID_DOMDocument), loaded from text with
// loadXML, walked through lastChild, childNodes, item, nodeName and text.
//
// Parsing is confined to the text given: no network, no DTD (a document
// with a DOCTYPE does not load, so no entity can be declared or expanded),
// no external resource of any kind. Whitespace-only text between elements is
// not kept as nodes, as with the DOM's default (preserveWhiteSpace false).
//
// Objects are reference-counted; every interface pointer handed out carries
// one reference the receiver releases with Release(). Nodes keep their
// document's tree alive, also across a later loadXML of the document.
#pragma once

#include "win/wintypes.h"
#include "win/winerror.h"

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER)
#ifndef CLASS_E_NOAGGREGATION
#define CLASS_E_NOAGGREGATION _HR(0x80040110)
#endif

// {00000000-0000-0000-C000-000000000046}
extern const IID IID_IUnknown;
// {F6D90F11-9C73-11D3-B32E-00C04F990BB4}
extern const CLSID CLSID_DOMDocument;
// {2933BF80-7B36-11D2-B20E-00C04F983E60}
extern const IID IID_IXMLDOMNode;
// {2933BF82-7B36-11D2-B20E-00C04F983E60}
extern const IID IID_IXMLDOMNodeList;
// {2933BF81-7B36-11D2-B20E-00C04F983E60}
extern const IID IID_IXMLDOMDocument;

// Node types as the DOM numbers them.
typedef enum tagDOMNodeType {
    NODE_INVALID = 0,
    NODE_ELEMENT = 1,
    NODE_ATTRIBUTE = 2,
    NODE_TEXT = 3,
    NODE_CDATA_SECTION = 4,
    NODE_ENTITY_REFERENCE = 5,
    NODE_ENTITY = 6,
    NODE_PROCESSING_INSTRUCTION = 7,
    NODE_COMMENT = 8,
    NODE_DOCUMENT = 9,
    NODE_DOCUMENT_TYPE = 10,
    NODE_DOCUMENT_FRAGMENT = 11,
    NODE_NOTATION = 12
} DOMNodeType;

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

struct IXMLDOMNodeList;

struct IXMLDOMNode : IUnknown {
    // "#document", "#text", "#comment", "#cdata-section", or the element's
    // qualified name / the instruction's target.
    virtual HRESULT get_nodeName(BSTR* pbstrName) = 0;
    virtual HRESULT get_nodeType(DOMNodeType* pType) = 0;
    virtual HRESULT get_childNodes(IXMLDOMNodeList** ppChildList) = 0;
    // S_FALSE and a null node when there is no child.
    virtual HRESULT get_firstChild(IXMLDOMNode** ppFirstChild) = 0;
    virtual HRESULT get_lastChild(IXMLDOMNode** ppLastChild) = 0;
    // The text of the node and its descendants, leading and trailing
    // whitespace removed (comments and instructions of descendants do not count).
    virtual HRESULT get_text(BSTR* pbstrText) = 0;

protected:
    ~IXMLDOMNode() = default;
};

struct IXMLDOMNodeList : IUnknown {
    virtual HRESULT get_length(LONG* plListLength) = 0;
    // S_FALSE and a null node for an index outside the list.
    virtual HRESULT get_item(LONG lIndex, IXMLDOMNode** ppListItem) = 0;

protected:
    ~IXMLDOMNodeList() = default;
};

struct IXMLDOMDocument : IXMLDOMNode {
    // S_OK and VARIANT_TRUE when the text is a well-formed document; S_FALSE
    // and VARIANT_FALSE otherwise, and the document is then empty.
    virtual HRESULT loadXML(BSTR bstrXML, VARIANT_BOOL* pisSuccessful) = 0;
    // S_FALSE and a null node when the document has no element.
    virtual HRESULT get_documentElement(IXMLDOMNode** ppDOMElement) = 0;

protected:
    ~IXMLDOMDocument() = default;
};

// In-process classes of this platform: CLSID_DOMDocument only. Aggregation
// is not supported; an unknown class gives REGDB_E_CLASSNOTREG.
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
