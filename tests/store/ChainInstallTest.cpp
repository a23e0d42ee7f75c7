// CA chain installation: the property-blob walk, the document walk with
// good and damaged documents, the PKCS#7 part and the shipped documents.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "tests/store/CaChainSupport.h"
#include "store/CertificateChainDelete.h"
#include "store/CertificateChainInstall.h"
#include "diag/ResultCode.h"

namespace {

using namespace cachain_test;

struct ComScope {
    ComScope() { CoInitialize(nullptr); }
    ~ComScope() { CoUninitialize(); }
};

// ---- the blob walk -------------------------------------------------------

HRESULT Extract(const Bytes& blob, Bytes& der) {
    std::u16string text = Wide(Base64(blob));
    BYTE* pb = reinterpret_cast<BYTE*>(1);
    DWORD cb = 77;
    HRESULT hr = GetCertFromCertificateBlobProperties(&pb, text.c_str(), &cb);
    if (SUCCEEDED(hr)) {
        der.assign(pb, pb + cb);
        delete[] pb;
    } else {
        EXPECT_EQ(reinterpret_cast<BYTE*>(1), pb);  // nothing handed out
        EXPECT_EQ(77u, cb);
    }
    return hr;
}

TEST(ChainBlob, CertificateRecordFoundBehindOtherProperties) {
    Cert c = MakeCert("Blob", 1, -1, 30, nullptr);
    Bytes blob, der;
    Record(blob, CERT_SHA1_HASH_PROP_ID, Sha1(c.der));
    Record(blob, CERT_MD5_HASH_PROP_ID, Bytes(16, 0xAA));
    Record(blob, 20, Bytes(20, 0x14));
    Record(blob, 92, {0, 1, 0, 0});
    Record(blob, CERT_CERT_PROP_ID, c.der);
    ASSERT_EQ(S_OK, Extract(blob, der));
    EXPECT_EQ(c.der, der);

    // Only the low 24 bits of identifier and length count.
    Bytes high, der2;
    Record(high, 0x7F000003, Bytes(20, 1), 0x55000014);
    Record(high, 0x01000020, c.der, 0xFF000000u | static_cast<uint32_t>(c.der.size()));
    ASSERT_EQ(S_OK, Extract(high, der2));
    EXPECT_EQ(c.der, der2);

    // The walk stops at the certificate record.
    Bytes trailing = PropertyBlob(c.der), der3;
    Record(trailing, 4, Bytes(16, 2));
    ASSERT_EQ(S_OK, Extract(trailing, der3));
    EXPECT_EQ(c.der, der3);
}

TEST(ChainBlob, DamagedBlobsAreRefused) {
    Bytes cert = {0x30, 0x03, 0x02, 0x01, 0x05};
    Bytes der;
    Bytes noCert;
    Record(noCert, 3, Bytes(20, 1));
    Record(noCert, 4, Bytes(16, 2));
    EXPECT_EQ(E_FAIL, Extract(noCert, der));

    Bytes pastEnd;
    Record(pastEnd, 3, Bytes(20, 1));
    Record(pastEnd, 32, cert, static_cast<uint32_t>(cert.size() + 1));
    EXPECT_EQ(E_FAIL, Extract(pastEnd, der));

    Bytes otherPastEnd;
    Record(otherPastEnd, 3, Bytes(20, 1), 0x00FFFFFF);
    EXPECT_EQ(E_FAIL, Extract(otherPastEnd, der));

    // A blob that ends inside the header of its next record.
    for (size_t cut = 1; cut < 12; ++cut) {
        Bytes inHeader;
        Record(inHeader, 3, Bytes(20, 1));
        Bytes next;
        Record(next, 32, cert);
        inHeader.insert(inHeader.end(), next.begin(), next.begin() + static_cast<long>(cut));
        EXPECT_EQ(E_FAIL, Extract(inHeader, der)) << cut;
    }
    EXPECT_EQ(E_FAIL, Extract({1, 2, 3}, der));

    BYTE* pb = nullptr;
    DWORD cb = 0;
    EXPECT_EQ(E_FAIL, GetCertFromCertificateBlobProperties(&pb, u"!!!!", &cb));  // decodes to nothing
    EXPECT_EQ(E_FAIL, GetCertFromCertificateBlobProperties(&pb, u"", &cb));
    EXPECT_EQ(E_INVALIDARG, GetCertFromCertificateBlobProperties(&pb, nullptr, &cb));
    EXPECT_EQ(nullptr, pb);
}

Bytes FromDer(std::initializer_list<uint8_t> b) { return Bytes(b); }

// ---- the document walk ---------------------------------------------------

HRESULT InstallText(const std::string& text) {
    ComScope com;
    return ImportCertificateChainfromBlobData(reinterpret_cast<const BYTE*>(text.data()),
                                              static_cast<DWORD>(text.size()));
}

class ChainDocument : public ::testing::Test {
protected:
    void SetUp() override {
        // Each test gets its own prefix: the machine hive starts empty.
        prefix = std::make_unique<tessaro_test::TempDir>("chain");
        saved = getenv("TESSARO_PREFIX") ? getenv("TESSARO_PREFIX") : "";
        setenv("TESSARO_PREFIX", prefix->path().c_str(), 1);
        root = MakeCert("Test Root", 0x11, -10, 3650, nullptr);
        expiredRoot = MakeCert("Test Root Old", 0x12, -3650, -1, nullptr);
        futureRoot = MakeCert("Test Root New", 0x13, 100, 3650, nullptr);
        intermediate = MakeCert("Test Issuing CA", 0x21, -10, 3650, &root, "Test Root");
        expiredIntermediate = MakeCert("Test Issuing CA Old", 0x22, -3650, -1, &root, "Test Root");
        // Issuer name shorter than the subject name.
        shortIssuer = MakeCert("Test Issuing CA With A Long Name", 0x23, -10, 3650, &root, "R");
        p7b = Base64(Pkcs7Of({&root, &intermediate, &expiredIntermediate, &shortIssuer}));
    }
    void TearDown() override { setenv("TESSARO_PREFIX", saved.c_str(), 1); }

    std::set<std::string> MachineCA() { return StoreThumbprints(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA"); }
    std::set<std::string> MachineRoot() { return StoreThumbprints(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT"); }

    std::unique_ptr<tessaro_test::TempDir> prefix;
    std::string saved;
    Cert root, expiredRoot, futureRoot, intermediate, expiredIntermediate, shortIssuer;
    std::string p7b;
};

TEST_F(ChainDocument, RootsToTheRegistryIntermediatesToTheMachineCAStoreTwice) {
    std::string doc = Document(EntryOf(root.der) + EntryOf(expiredRoot.der) + EntryOf(futureRoot.der), p7b);
    ASSERT_EQ(S_OK, InstallText(doc));
    EXPECT_EQ(PropertyBlob(root.der), RootBlob(Thumbprint(root.der)));  // the decoded blob, exactly
    EXPECT_EQ(PropertyBlob(futureRoot.der), RootBlob(Thumbprint(futureRoot.der)));
    EXPECT_FALSE(RootKeyExists(Thumbprint(expiredRoot.der)));
    const std::set<std::string> roots = {Thumbprint(root.der), Thumbprint(futureRoot.der)};
    const std::set<std::string> cas = {Thumbprint(intermediate.der), Thumbprint(shortIssuer.der)};
    EXPECT_EQ(roots, MachineRoot());
    EXPECT_EQ(cas, MachineCA());
    EXPECT_TRUE(StoreThumbprints(CERT_SYSTEM_STORE_CURRENT_USER, u"CA").empty());

    // Again: existing keys are overwritten, existing intermediates are no error.
    ASSERT_EQ(S_OK, InstallText(doc));
    EXPECT_EQ(roots, MachineRoot());
    EXPECT_EQ(cas, MachineCA());
    EXPECT_EQ(PropertyBlob(root.der), RootBlob(Thumbprint(root.der)));
}

TEST_F(ChainDocument, BadEntriesFailAloneAndThePkcs7PartStillRuns) {
    Bytes no32;
    Record(no32, 3, Sha1(expiredRoot.der));
    const std::string field = "      <ImportPath>SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates</ImportPath>\r\n";
    std::string entries =
        Entry(field + "      <EntryPoint>" + Thumbprint(expiredRoot.der) + "</EntryPoint>\r\n") +  // two children
        Entry(field + "      <EntryPoint>X</EntryPoint>\r\n      <Content>" + Base64(no32) + "</Content>\r\n") +
        Entry(field + "      <EntryPoint>X</EntryPoint>\r\n      <Content>****</Content>\r\n") +
        Entry(field + "      <EntryPoint>X</EntryPoint>\r\n      <Content>" +
              Base64(PropertyBlob(Bytes{0x30, 0x01, 0x00})) + "</Content>\r\n") +  // not a certificate
        EntryOf(root.der, "SOFTWARE\\No\\Such\\Key") +                             // path that does not exist
        Entry(field + "      <EntryPoint>" + Thumbprint(root.der) + "</EntryPoint>\r\n      <Content>" +
              Base64(PropertyBlob(futureRoot.der)) + "</Content>\r\n") +  // another certificate's name
        EntryOf(root.der);
    ASSERT_EQ(S_OK, InstallText(Document(entries, p7b)));
    EXPECT_EQ(std::set<std::string>{Thumbprint(root.der)}, MachineRoot());
    EXPECT_EQ(PropertyBlob(root.der), RootBlob(Thumbprint(root.der)));
    EXPECT_EQ((std::set<std::string>{Thumbprint(intermediate.der), Thumbprint(shortIssuer.der)}), MachineCA());
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\No", 0, KEY_READ, &k));
}

TEST_F(ChainDocument, EntryResultsByStep) {
    ComScope com;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    // The machine's trusted-root key exists on an installed system.
    CertCloseStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEnc, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT"), 0);
    auto parse = [&](const std::string& entry) {
        std::string text = "<r>" + entry + "</r>";
        IXMLDOMDocument* doc = nullptr;
        EXPECT_EQ(S_OK, LoadXMLDom(reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()), &doc));
        IXMLDOMNode* r = nullptr;
        IXMLDOMNode* cert = nullptr;
        doc->get_lastChild(&r);
        r->get_firstChild(&cert);
        HRESULT hr = ParseCertificateNode(&now, cert);
        cert->Release();
        r->Release();
        doc->Release();
        return hr;
    };
    const std::string path = "<ImportPath>SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates</ImportPath>";
    EXPECT_EQ(KEVO_E_XML_PARSE, parse("<Certificate>" + path + "<EntryPoint>A</EntryPoint></Certificate>"));
    EXPECT_EQ(E_FAIL, parse("<Certificate>" + path + "<EntryPoint>A</EntryPoint><Content>!!</Content></Certificate>"));
    EXPECT_EQ(CRYPT_E_ASN1_EOD,
              parse("<Certificate>" + path + "<EntryPoint>A</EntryPoint><Content>" +
                    Base64(PropertyBlob(Bytes{0x30, 0x05, 0x02})) + "</Content></Certificate>"));
    EXPECT_EQ(KEVO_E_XML_PARSE, parse("<Certificate>" + path + "<EntryPoint>" + Thumbprint(root.der) +
                                      "</EntryPoint><Content>" + Base64(PropertyBlob(futureRoot.der)) +
                                      "</Content></Certificate>"));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              parse("<Certificate><ImportPath>SOFTWARE\\Nothing</ImportPath><EntryPoint>" + Thumbprint(root.der) +
                    "</EntryPoint><Content>" + Base64(PropertyBlob(root.der)) + "</Content></Certificate>"));
    // Expired: skipped with success, nothing written. Extra children are ignored.
    EXPECT_EQ(S_OK, parse("<Certificate>" + path + "<EntryPoint>" + Thumbprint(expiredRoot.der) +
                          "</EntryPoint><Content>" + Base64(PropertyBlob(expiredRoot.der)) +
                          "</Content><Extra/></Certificate>"));
    EXPECT_FALSE(RootKeyExists(Thumbprint(expiredRoot.der)));
    // Lower-case thumbprint names the same key.
    std::string lower = Thumbprint(root.der);
    for (auto& ch : lower) ch = static_cast<char>(tolower(ch));
    EXPECT_EQ(S_OK, parse("<Certificate>" + path + "<EntryPoint>" + lower + "</EntryPoint><Content>" +
                          Base64(PropertyBlob(root.der)) + "</Content></Certificate>"));
    EXPECT_TRUE(RootKeyExists(Thumbprint(root.der)));
}

TEST_F(ChainDocument, DocumentLevelFailures) {
    std::string entries = EntryOf(root.der);
    // Does not parse, or carries a DOCTYPE.
    EXPECT_EQ(KEVO_E_XML_PARSE, InstallText("<root><RootCACertificate></root>"));
    EXPECT_EQ(KEVO_E_XML_PARSE, InstallText("<!DOCTYPE root [<!ENTITY e \"x\">]>" + Document(entries, p7b)));
    EXPECT_TRUE(MachineRoot().empty());
    // No RootCACertificate: nothing is installed.
    EXPECT_EQ(E_INVALIDARG, InstallText("<root><P7bContent>" + p7b + "</P7bContent></root>"));
    EXPECT_TRUE(MachineRoot().empty());
    EXPECT_TRUE(MachineCA().empty());
    // No P7bContent: the roots are in, the walk fails.
    EXPECT_EQ(E_INVALIDARG,
              InstallText("<root><rootcacertificate>" + entries + "</rootcacertificate></root>"));
    EXPECT_EQ(std::set<std::string>{Thumbprint(root.der)}, MachineRoot());
    // PKCS#7 part that is not PKCS#7, or decodes to nothing.
    EXPECT_EQ(CRYPT_E_ASN1_BADTAG, InstallText(Document(entries, Base64(root.der))));
    EXPECT_EQ(CRYPT_E_INVALID_MSG_TYPE,
              InstallText(Document(entries, Base64(FromDer({0x30, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                                           0x0D, 0x01, 0x07, 0x01})))));
    EXPECT_EQ(E_INVALIDARG, InstallText(Document(entries, "@@@@")));
    EXPECT_EQ(E_FAIL, InstallText(Document(entries, "")));
    EXPECT_TRUE(MachineCA().empty());
    // The root element is the document's last child: a trailing comment hides it.
    EXPECT_EQ(E_INVALIDARG, InstallText(Document(entries, p7b) + "<!-- trailing -->"));
    EXPECT_EQ(E_INVALIDARG, ImportCertificateChainfromBlobData(nullptr, 0));
}

TEST_F(ChainDocument, ChildLookupAndDirectCalls) {
    ComScope com;
    std::string text = "<r><!-- c --><P7bContentX>1</P7bContentX><rootcacertificate/></r>";
    IXMLDOMDocument* doc = nullptr;
    ASSERT_EQ(S_OK, LoadXMLDom(reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()), &doc));
    IXMLDOMNode* r = nullptr;
    ASSERT_EQ(S_OK, GetXMLRootNode(doc, &r));
    IXMLDOMNode* found = nullptr;
    EXPECT_EQ(S_OK, FindChildNode(&found, r, u"RootCACertificate"));
    ASSERT_NE(nullptr, found);
    found->Release();
    found = nullptr;
    EXPECT_EQ(S_OK, FindChildNode(&found, r, u"p7bcontent"));  // contained, case ignored
    LPWSTR value = nullptr;
    ASSERT_EQ(S_OK, GetNodeValue(found, &value));
    EXPECT_EQ(std::u16string(u"1"), value);
    delete[] value;
    found->Release();
    found = reinterpret_cast<IXMLDOMNode*>(1);
    EXPECT_EQ(static_cast<HRESULT>(0x20001402), FindChildNode(&found, r, u"Missing"));
    EXPECT_EQ(nullptr, found);
    r->Release();
    doc->Release();

    EXPECT_EQ(E_INVALIDARG, LoadXMLDom(nullptr, 0, &doc));
    EXPECT_EQ(E_INVALIDARG, AddCACertficatetoStore(nullptr));
    HCERTSTORE s = nullptr;
    BYTE b = 0;
    EXPECT_EQ(E_INVALIDARG, ImportP7bCertificatestoStore(nullptr, &s, 5));
    EXPECT_EQ(E_INVALIDARG, ImportP7bCertificatestoStore(&b, &s, 0));
    EXPECT_EQ(E_INVALIDARG, ImportP7bCertificatestoStore(&b, &s, -1));
    EXPECT_EQ(E_INVALIDARG, RegWriteBinaryValue(kRootPath, u"AB", &b, 0));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), DeleteRegistryKey(u"0000000000000000000000000000000000000000"));
}

// ---- the shipped documents -------------------------------------------------

TEST_F(ChainDocument, ShippedDocumentsInstallAsTheirManifestSays) {
    const auto manifest = Manifest();
    ASSERT_EQ(34u, manifest.size());
    for (int id : {IDR_CERTIFICATE_RSA_OPERATION, IDR_CERTIFICATE_SM2_OPERATION, IDR_CERTIFICATE_RSA_TEST,
                   IDR_CERTIFICATE_SM2_TEST}) {
        ComScope com;
        ASSERT_EQ(S_OK, ImportCertificateChainfromResoure(static_cast<UINT>(id))) << id;
    }
    std::set<std::string> roots, cas;
    int expired = 0, future = 0, selfSigned = 0;
    for (const auto& m : manifest) {
        if (m.kind == "root" && m.status != "EXPIRED") roots.insert(m.thumb);
        if (m.kind == "p7b" && m.status == "ADD") cas.insert(m.thumb);
        expired += m.status == "EXPIRED";
        future += m.status == "NOTYETVALID";
        selfSigned += m.status == "SELFSIGNED";
    }
    EXPECT_EQ(8, expired);  // each document has an expired root and an expired intermediate
    EXPECT_EQ(4, future);
    EXPECT_EQ(6, selfSigned);
    EXPECT_EQ(roots, MachineRoot());
    EXPECT_EQ(cas, MachineCA());
}

TEST(ChainResource, LoadedFromTheModuleAsShipped) {
    BYTE* pb = nullptr;
    DWORD cb = 0;
    ASSERT_EQ(S_OK, LoadModuleResource(GetModuleHandleW(nullptr), IDR_CERTIFICATE_SM2_TEST, &pb, &cb));
    std::ifstream f(tessaro_test::SourcePath("resources/chains/ca-chain-sm2-test.xml"), std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(file, std::string(reinterpret_cast<char*>(pb), cb));
    delete[] pb;
    pb = nullptr;
    HRESULT hr = LoadModuleResource(GetModuleHandleW(nullptr), 212, &pb, &cb);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(nullptr, pb);
    EXPECT_TRUE(FAILED(ImportCertificateChainfromResoure(207)));
}

}  // namespace
