// The XML DOM document object on libxml2. The parser is given the text of
// the document and nothing else: no network, no DTD, no entity declarations
// (a DOCTYPE stops the parse, so nothing can be declared, loaded or
// expanded), default size limits. Whitespace-only text is not shown as nodes.
// A method that runs out of memory answers E_OUTOFMEMORY; a parse that runs
// out inside libxml2 is a document that did not load.
#include <dlfcn.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "win/msxml.h"
#include "win/objbase.h"
#include "win/winbase.h"

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const CLSID CLSID_DOMDocument = {0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
const IID IID_IXMLDOMNode = {0x2933BF80, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID IID_IXMLDOMNodeList = {0x2933BF82, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID IID_IXMLDOMDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

namespace {

// libxml2 (and the ICU it pulls in) is loaded when a document is first
// parsed: only install mode reads XML, and a host serving a browser should
// not pay for loading it at every start.
struct LibXml {
    void (*InitParser)();
    xmlParserCtxtPtr (*NewParserCtxt)();
    void (*FreeParserCtxt)(xmlParserCtxtPtr);
    xmlDocPtr (*CtxtReadMemory)(xmlParserCtxtPtr, const char*, int, const char*, const char*, int);
    void (*FreeDoc)(xmlDocPtr);
    xmlNodePtr (*DocGetRootElement)(const xmlDoc*);
    void (*StopParser)(xmlParserCtxtPtr);
};

template <class Fn>
bool Bind(void* lib, const char* name, Fn* out) {
    *out = reinterpret_cast<Fn>(dlsym(lib, name));
    return *out != nullptr;
}

// Null when the library cannot be loaded: every parse then fails.
const LibXml* Xml() {
    static const LibXml* loaded = []() -> const LibXml* {
        void* lib = dlopen("libxml2.so.2", RTLD_NOW | RTLD_LOCAL);
        static LibXml x;
        if (!lib || !Bind(lib, "xmlInitParser", &x.InitParser) || !Bind(lib, "xmlNewParserCtxt", &x.NewParserCtxt) ||
            !Bind(lib, "xmlFreeParserCtxt", &x.FreeParserCtxt) ||
            !Bind(lib, "xmlCtxtReadMemory", &x.CtxtReadMemory) || !Bind(lib, "xmlFreeDoc", &x.FreeDoc) ||
            !Bind(lib, "xmlDocGetRootElement", &x.DocGetRootElement) || !Bind(lib, "xmlStopParser", &x.StopParser))
            return nullptr;
        x.InitParser();
        return &x;
    }();
    return loaded;
}

// One parsed tree, shared by the document and every node handed out of it.
struct DocTree {
    xmlDocPtr doc = nullptr;
    explicit DocTree(xmlDocPtr d) : doc(d) {}
    ~DocTree();
    DocTree(const DocTree&) = delete;
    DocTree& operator=(const DocTree&) = delete;
};
using TreePtr = std::shared_ptr<DocTree>;

bool IsXmlSpace(xmlChar c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool WhitespaceOnly(const xmlChar* s) {
    if (!s) return true;
    for (; *s; ++s)
        if (!IsXmlSpace(*s)) return false;
    return true;
}

// The nodes the DOM shows as children: elements, text that is not only
// whitespace, CDATA sections, comments and processing instructions.
bool VisibleNode(xmlNodePtr n) {
    switch (n->type) {
        case XML_ELEMENT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            return true;
        case XML_TEXT_NODE:
            return !WhitespaceOnly(n->content);
        default:
            return false;
    }
}

std::vector<xmlNodePtr> VisibleChildren(xmlNodePtr parent) {
    std::vector<xmlNodePtr> out;
    if (!parent) return out;
    for (xmlNodePtr c = parent->children; c; c = c->next)
        if (VisibleNode(c)) out.push_back(c);
    return out;
}

void CollectText(xmlNodePtr n, std::string& out) {
    for (xmlNodePtr c = n->children; c; c = c->next) {
        if (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) {
            if (c->content) out += reinterpret_cast<const char*>(c->content);
        } else if (c->type == XML_ELEMENT_NODE) {
            CollectText(c, out);
        }
    }
}

std::string Trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsXmlSpace(static_cast<xmlChar>(s[b]))) ++b;
    while (e > b && IsXmlSpace(static_cast<xmlChar>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

HRESULT NewBstrFromUtf8(const std::string& s, BSTR* pbstr) {
    if (!pbstr) return E_POINTER;
    *pbstr = nullptr;
    std::u16string w;
    if (!s.empty()) {
        int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
        if (n <= 0) return E_FAIL;
        w.resize(static_cast<size_t>(n));
        MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    }
    BSTR b = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
    if (!b) return E_OUTOFMEMORY;
    *pbstr = b;
    return S_OK;
}

std::string NodeName(xmlNodePtr n) {
    switch (n->type) {
        case XML_DOCUMENT_NODE:
            return "#document";
        case XML_TEXT_NODE:
            return "#text";
        case XML_CDATA_SECTION_NODE:
            return "#cdata-section";
        case XML_COMMENT_NODE:
            return "#comment";
        case XML_ELEMENT_NODE: {
            std::string name = n->name ? reinterpret_cast<const char*>(n->name) : "";
            if (n->ns && n->ns->prefix) name = std::string(reinterpret_cast<const char*>(n->ns->prefix)) + ":" + name;
            return name;
        }
        default:
            return n->name ? reinterpret_cast<const char*>(n->name) : "";
    }
}

DOMNodeType NodeType(xmlNodePtr n) {
    switch (n->type) {
        case XML_ELEMENT_NODE: return NODE_ELEMENT;
        case XML_TEXT_NODE: return NODE_TEXT;
        case XML_CDATA_SECTION_NODE: return NODE_CDATA_SECTION;
        case XML_PI_NODE: return NODE_PROCESSING_INSTRUCTION;
        case XML_COMMENT_NODE: return NODE_COMMENT;
        case XML_DOCUMENT_NODE: return NODE_DOCUMENT;
        default: return NODE_INVALID;
    }
}

std::string NodeText(xmlNodePtr n) {
    switch (n->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            return Trimmed(n->content ? reinterpret_cast<const char*>(n->content) : "");
        default: {
            std::string s;
            CollectText(n, s);
            return Trimmed(s);
        }
    }
}

class NodeImpl;
HRESULT NewNode(const TreePtr& tree, xmlNodePtr n, IXMLDOMNode** pp);

// Reference counting shared by the three classes.
template <class Interface>
class RefCounted : public Interface {
public:
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        ULONG r = --m_refs;
        if (r == 0) delete this;
        return r;
    }

protected:
    virtual ~RefCounted() = default;

private:
    std::atomic<ULONG> m_refs{1};
};

class NodeListImpl final : public RefCounted<IXMLDOMNodeList> {
public:
    NodeListImpl(TreePtr tree, std::vector<xmlNodePtr> items) : m_tree(std::move(tree)), m_items(std::move(items)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!(riid == IID_IUnknown) && !(riid == IID_IXMLDOMNodeList)) return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<IXMLDOMNodeList*>(this);
        return S_OK;
    }
    HRESULT get_length(LONG* pl) override {
        if (!pl) return E_INVALIDARG;
        *pl = static_cast<LONG>(m_items.size());
        return S_OK;
    }
    HRESULT get_item(LONG i, IXMLDOMNode** pp) override {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        if (i < 0 || static_cast<size_t>(i) >= m_items.size()) return S_FALSE;
        return NewNode(m_tree, m_items[static_cast<size_t>(i)], pp);
    }

private:
    TreePtr m_tree;
    std::vector<xmlNodePtr> m_items;
};

// The node methods over one libxml2 node (null: an empty document).
template <class Interface>
class NodeMethods : public RefCounted<Interface> {
public:
    HRESULT get_nodeName(BSTR* pbstr) override try {
        if (!pbstr) return E_INVALIDARG;
        return NewBstrFromUtf8(Node() ? NodeName(Node()) : "#document", pbstr);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    HRESULT get_nodeType(DOMNodeType* pType) override {
        if (!pType) return E_INVALIDARG;
        *pType = Node() ? NodeType(Node()) : NODE_DOCUMENT;
        return S_OK;
    }
    HRESULT get_childNodes(IXMLDOMNodeList** pp) override try {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        *pp = new (std::nothrow) NodeListImpl(Tree(), VisibleChildren(Node()));
        return *pp ? S_OK : E_OUTOFMEMORY;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    HRESULT get_firstChild(IXMLDOMNode** pp) override { return Child(pp, true); }
    HRESULT get_lastChild(IXMLDOMNode** pp) override { return Child(pp, false); }
    HRESULT get_text(BSTR* pbstr) override try {
        if (!pbstr) return E_INVALIDARG;
        return NewBstrFromUtf8(Node() ? NodeText(Node()) : std::string(), pbstr);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

protected:
    virtual xmlNodePtr Node() const = 0;
    virtual TreePtr Tree() const = 0;

private:
    HRESULT Child(IXMLDOMNode** pp, bool first) try {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        std::vector<xmlNodePtr> children = VisibleChildren(Node());
        if (children.empty()) return S_FALSE;
        return NewNode(Tree(), first ? children.front() : children.back(), pp);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
};

class NodeImpl final : public NodeMethods<IXMLDOMNode> {
public:
    NodeImpl(TreePtr tree, xmlNodePtr n) : m_tree(std::move(tree)), m_node(n) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!(riid == IID_IUnknown) && !(riid == IID_IXMLDOMNode)) return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<IXMLDOMNode*>(this);
        return S_OK;
    }

protected:
    xmlNodePtr Node() const override { return m_node; }
    TreePtr Tree() const override { return m_tree; }

private:
    TreePtr m_tree;
    xmlNodePtr m_node;
};

HRESULT NewNode(const TreePtr& tree, xmlNodePtr n, IXMLDOMNode** pp) {
    *pp = new (std::nothrow) NodeImpl(tree, n);
    return *pp ? S_OK : E_OUTOFMEMORY;
}

struct ParseState {
    bool refused = false;
};

// A DOCTYPE, or anything that only a DTD can hold, ends the parse.
void RefuseDoctype(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
    auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
    static_cast<ParseState*>(ctxt->_private)->refused = true;
    Xml()->StopParser(ctxt);
}
void RefuseEntityDecl(void* ctx, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*) {
    RefuseDoctype(ctx, nullptr, nullptr, nullptr);
}

// No network, no DTD loading or attribute defaults, no entity substitution,
// no XInclude; errors are answered by the result, never printed.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

DocTree::~DocTree() { Xml()->FreeDoc(doc); }  // a tree exists only once the library is loaded

TreePtr ParseDocument(const std::string& utf8) {
    const LibXml* xml = Xml();
    if (!xml) return nullptr;
    if (utf8.size() > static_cast<size_t>(INT_MAX)) return nullptr;
    std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> owned(xml->NewParserCtxt(), xml->FreeParserCtxt);
    xmlParserCtxtPtr ctxt = owned.get();
    if (!ctxt) return nullptr;
    ParseState state;
    ctxt->_private = &state;
    ctxt->sax->internalSubset = RefuseDoctype;
    ctxt->sax->externalSubset = RefuseDoctype;
    ctxt->sax->entityDecl = RefuseEntityDecl;
    // The text is already Unicode: the declared encoding is not consulted.
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(
        xml->CtxtReadMemory(ctxt, utf8.data(), static_cast<int>(utf8.size()), nullptr, "UTF-8", kParseOptions),
        xml->FreeDoc);
    bool ok = doc && !state.refused && ctxt->wellFormed && doc->intSubset == nullptr && doc->extSubset == nullptr &&
              xml->DocGetRootElement(doc.get()) != nullptr;
    if (!ok) return nullptr;
    TreePtr tree(new (std::nothrow) DocTree(doc.get()));
    if (tree) doc.release();  // the tree owns it now
    return tree;
}

class DocumentImpl final : public NodeMethods<IXMLDOMDocument> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!(riid == IID_IUnknown) && !(riid == IID_IXMLDOMNode) && !(riid == IID_IXMLDOMDocument))
            return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<IXMLDOMDocument*>(this);
        return S_OK;
    }
    HRESULT loadXML(BSTR bstrXML, VARIANT_BOOL* pisSuccessful) override try {
        if (pisSuccessful) *pisSuccessful = VARIANT_FALSE;
        m_tree.reset();
        std::string utf8;
        if (bstrXML) {
            UINT cch = SysStringLen(bstrXML);
            if (cch > 0) {
                int n = WideCharToMultiByte(CP_UTF8, 0, bstrXML, static_cast<int>(cch), nullptr, 0, nullptr, nullptr);
                if (n <= 0) return S_FALSE;
                utf8.resize(static_cast<size_t>(n));
                WideCharToMultiByte(CP_UTF8, 0, bstrXML, static_cast<int>(cch), utf8.data(), n, nullptr, nullptr);
            }
        }
        m_tree = ParseDocument(utf8);
        if (!m_tree) return S_FALSE;
        if (pisSuccessful) *pisSuccessful = VARIANT_TRUE;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    HRESULT get_documentElement(IXMLDOMNode** pp) override {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        xmlNodePtr root = m_tree ? Xml()->DocGetRootElement(m_tree->doc) : nullptr;
        if (!root) return S_FALSE;
        return NewNode(m_tree, root, pp);
    }

protected:
    xmlNodePtr Node() const override { return m_tree ? reinterpret_cast<xmlNodePtr>(m_tree->doc) : nullptr; }
    TreePtr Tree() const override { return m_tree; }

private:
    TreePtr m_tree;
};

}  // namespace

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    if (!(rclsid == CLSID_DOMDocument) || !(dwClsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    DocumentImpl* doc = new (std::nothrow) DocumentImpl();
    if (!doc) return E_OUTOFMEMORY;
    HRESULT hr = doc->QueryInterface(riid, ppv);
    doc->Release();
    return hr;
}
