// The XML DOM document: the node model the chain installer walks, and
// documents it must refuse without reading anything beyond their text.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/TestSupport.h"
#include "win/msxml.h"
#include "win/windows.h"

namespace {

template <class T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
};

std::u16string W(const std::string& s) {
    std::u16string w;
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    w.resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::u16string Take(BSTR b) {
    std::u16string s = b ? std::u16string(b, SysStringLen(b)) : std::u16string();
    SysFreeString(b);
    return s;
}

IXMLDOMDocument* NewDocument() {
    IXMLDOMDocument* doc = nullptr;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                     reinterpret_cast<void**>(&doc)));
    return doc;
}

// S_OK/true or S_FALSE/false, as loadXML answered.
bool Load(IXMLDOMDocument* doc, const std::string& text) {
    std::u16string w = W(text);
    BSTR b = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
    VARIANT_BOOL ok = VARIANT_TRUE;
    HRESULT hr = doc->loadXML(b, &ok);
    SysFreeString(b);
    EXPECT_EQ(ok == VARIANT_TRUE ? S_OK : S_FALSE, hr);
    return ok == VARIANT_TRUE;
}

TEST(XmlDom, CreationOnlyOfTheDocumentClassWithoutAggregation) {
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(IID_IXMLDOMNode, nullptr, CLSCTX_INPROC_SERVER,
                                                    IID_IXMLDOMDocument, &pv));
    EXPECT_EQ(nullptr, pv);
    Ref<IXMLDOMDocument> outer{NewDocument()};
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstance(CLSID_DOMDocument, outer.p, CLSCTX_INPROC_SERVER,
                                                      IID_IXMLDOMDocument, &pv));
    EXPECT_EQ(E_NOINTERFACE,
              CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMNodeList, &pv));
}

TEST(XmlDom, NodeModelOfAChainDocument) {
    Ref<IXMLDOMDocument> doc{NewDocument()};
    ASSERT_TRUE(Load(doc.p,
                     "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<!-- first -->\r\n<root>\r\n"
                     "  <RootCACertificate>\r\n    <Certificate a=\"1\">\r\n      <ImportPath> P\\Q </ImportPath>\r\n"
                     "      <EntryPoint>AB</EntryPoint>\r\n      <Content>\r\nQUJD\r\nREVG\r\n      </Content>\r\n"
                     "    </Certificate>\r\n  </RootCACertificate>\r\n  <!-- note -->\r\n"
                     "  <P7bContent><![CDATA[x<y]]>\xE4\xB8\xAD</P7bContent>\r\n</root>"));
    // The declared encoding is not consulted: the text is already Unicode.
    Ref<IXMLDOMNode> root;
    ASSERT_EQ(S_OK, doc->get_lastChild(&root.p));
    BSTR b = nullptr;
    ASSERT_EQ(S_OK, root->get_nodeName(&b));
    EXPECT_EQ(u"root", Take(b));

    Ref<IXMLDOMNodeList> top;
    ASSERT_EQ(S_OK, doc->get_childNodes(&top.p));
    LONG n = 0;
    ASSERT_EQ(S_OK, top->get_length(&n));
    EXPECT_EQ(2, n);  // the comment and the root; no whitespace nodes
    Ref<IXMLDOMNode> first;
    ASSERT_EQ(S_OK, top->get_item(0, &first.p));
    first->get_nodeName(&b);
    EXPECT_EQ(u"#comment", Take(b));
    Ref<IXMLDOMNode> none;
    EXPECT_EQ(S_FALSE, top->get_item(2, &none.p));
    EXPECT_EQ(nullptr, none.p);
    EXPECT_EQ(S_FALSE, top->get_item(-1, &none.p));

    Ref<IXMLDOMNodeList> parts;
    ASSERT_EQ(S_OK, root->get_childNodes(&parts.p));
    parts->get_length(&n);
    EXPECT_EQ(3, n);  // RootCACertificate, comment, P7bContent
    Ref<IXMLDOMNode> p7b;
    ASSERT_EQ(S_OK, parts->get_item(2, &p7b.p));
    p7b->get_text(&b);
    EXPECT_EQ(u"x<y\u4E2D", Take(b));

    Ref<IXMLDOMNode> rootCA, cert;
    ASSERT_EQ(S_OK, parts->get_item(0, &rootCA.p));
    ASSERT_EQ(S_OK, rootCA->get_firstChild(&cert.p));
    Ref<IXMLDOMNodeList> fields;
    ASSERT_EQ(S_OK, cert->get_childNodes(&fields.p));
    fields->get_length(&n);
    EXPECT_EQ(3, n);  // attributes are not children
    Ref<IXMLDOMNode> path, content;
    fields->get_item(0, &path.p);
    fields->get_item(2, &content.p);
    path->get_text(&b);
    EXPECT_EQ(u"P\\Q", Take(b));
    content->get_text(&b);
    EXPECT_EQ(u"QUJD\nREVG", Take(b));  // inner line breaks stay (normalised to LF), ends trimmed
    DOMNodeType t = NODE_INVALID;
    content->get_nodeType(&t);
    EXPECT_EQ(NODE_ELEMENT, t);

    Ref<IXMLDOMNode> textNode;
    ASSERT_EQ(S_OK, content->get_firstChild(&textNode.p));
    textNode->get_nodeName(&b);
    EXPECT_EQ(u"#text", Take(b));
    Ref<IXMLDOMNode> leaf;
    EXPECT_EQ(S_FALSE, textNode->get_lastChild(&leaf.p));
    EXPECT_EQ(nullptr, leaf.p);
}

TEST(XmlDom, NodesOutliveTheDocumentAndItsReload) {
    Ref<IXMLDOMNode> element;
    {
        Ref<IXMLDOMDocument> doc{NewDocument()};
        ASSERT_TRUE(Load(doc.p, "<a><b>kept</b></a>"));
        Ref<IXMLDOMNode> a;
        ASSERT_EQ(S_OK, doc->get_documentElement(&a.p));
        ASSERT_EQ(S_OK, a->get_firstChild(&element.p));
        ASSERT_TRUE(Load(doc.p, "<other/>"));
    }
    BSTR b = nullptr;
    ASSERT_EQ(S_OK, element->get_text(&b));
    EXPECT_EQ(u"kept", Take(b));
}

TEST(XmlDom, RefusedDocumentsLeaveAnEmptyDocument) {
    Ref<IXMLDOMDocument> doc{NewDocument()};
    const char* refused[] = {
        "",
        "   ",
        "<root><a></root>",
        "<root>&undeclared;</root>",
        "<!-- no element -->",
        "<a/><b/>",
        // A DOCTYPE in any form: no entity may be declared, loaded or expanded.
        "<!DOCTYPE root><root/>",
        "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]><r>&c;&c;&c;</r>",
        "<!DOCTYPE r SYSTEM \"http://127.0.0.1:1/x.dtd\"><r/>",
    };
    for (const char* text : refused) {
        ASSERT_TRUE(Load(doc.p, "<ok/>"));
        EXPECT_FALSE(Load(doc.p, text)) << text;
        Ref<IXMLDOMNode> last;
        EXPECT_EQ(S_FALSE, doc->get_lastChild(&last.p)) << text;
        EXPECT_EQ(nullptr, last.p);
        Ref<IXMLDOMNodeList> list;
        ASSERT_EQ(S_OK, doc->get_childNodes(&list.p));
        LONG n = -1;
        list->get_length(&n);
        EXPECT_EQ(0, n);
    }
}

TEST(XmlDom, NestingIsBounded) {
    Ref<IXMLDOMDocument> doc{NewDocument()};
    auto nested = [](int depth) {
        std::string s;
        for (int i = 0; i < depth; ++i) s += "<a>";
        s += "x";
        for (int i = 0; i < depth; ++i) s += "</a>";
        return s;
    };
    ASSERT_TRUE(Load(doc.p, nested(200)));
    BSTR b = nullptr;
    ASSERT_EQ(S_OK, doc->get_text(&b));
    EXPECT_EQ(u"x", Take(b));
    EXPECT_FALSE(Load(doc.p, nested(100000)));
}

TEST(XmlDom, ExternalEntityIsNeverRead) {
    tessaro_test::TempDir dir("xxe");
    std::string secret = dir.path() + "/secret.txt";
    std::ofstream(secret) << "SECRET-CONTENT";
    Ref<IXMLDOMDocument> doc{NewDocument()};
    std::string text = "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret + "\">]><r>&x;</r>";
    EXPECT_FALSE(Load(doc.p, text));
    BSTR b = nullptr;
    ASSERT_EQ(S_OK, doc->get_text(&b));
    EXPECT_EQ(u"", Take(b));
    // XInclude is not processed either: the element stays as it is.
    ASSERT_TRUE(Load(doc.p, "<r xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"file://" + secret +
                                "\" parse=\"text\"/></r>"));
    Ref<IXMLDOMNode> r, inc;
    ASSERT_EQ(S_OK, doc->get_lastChild(&r.p));
    ASSERT_EQ(S_OK, r->get_firstChild(&inc.p));
    inc->get_nodeName(&b);
    EXPECT_EQ(u"xi:include", Take(b));
    r->get_text(&b);
    EXPECT_EQ(u"", Take(b));
}

}  // namespace
