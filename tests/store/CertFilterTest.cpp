// Filter splitters and engines, and the scan of SM2 key containers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/CertTestKit.h"
#include "store/CertificateFilter.h"
#include "diag/ResultCode.h"
#include "store/UnregisteredCertificate.h"

using namespace certkit;

namespace {

using L = std::vector<std::u16string>;

L Parse(const char16_t* v) {
    L out{u"stale"};
    EXPECT_EQ(ParseFilters(v, out), KEVO_OK);
    return out;
}

L Split(const char16_t* v) {
    L out{u"stale"};
    EXPECT_EQ(SplitStrings(v, out), KEVO_OK);
    return out;
}

// Owns the contexts of a list.
struct List {
    CERT_CONTEXT_LIST v;
    ~List() { RemoveAllCertificates(v); }
};

struct Records {
    UNREGISTERED_CERT_LIST v;
    ~Records() { RemoveAllUnregisteredCertificates(v); }
};

PCCERT_CONTEXT Make(const std::string& cn, int keyUsage = -1, Bytes serial = {0x01}) {
    CertSpec s;
    s.subject = {{"C", "CN"}, {"O", "Org"}, {"CN", cn}};
    s.keyUsage = keyUsage;
    s.serial = serial;
    return NewContext(MakeCert(s));
}

std::vector<std::string> Subjects(const CERT_CONTEXT_LIST& v) {
    std::vector<std::string> out;
    for (PCCERT_CONTEXT c : v) {
        CERT_NAME_BLOB n = c->pCertInfo->Subject;
        WCHAR buf[256] = {};
        CertNameToStrW(X509_ASN_ENCODING, &n, CERT_SIMPLE_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, buf, 256);
        out.push_back(Narrow(buf));
    }
    return out;
}

std::string Sha1Hex(const Bytes& der) {
    BYTE h[20];
    DWORD cb = 20;
    CryptHashCertificate(0, CALG_SHA1, 0, der.data(), static_cast<DWORD>(der.size()), h, &cb);
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (BYTE b : h) {
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

}  // namespace

TEST(ParseFilters, HashSeparatedPartsKeepEmptyOnesAndCutAt255) {
    EXPECT_EQ(Parse(u"A#B"), (L{u"A", u"B"}));
    EXPECT_EQ(Parse(u"A#"), (L{u"A", u""}));
    EXPECT_EQ(Parse(u"#A"), (L{u"", u"A"}));
    EXPECT_EQ(Parse(u"A##B"), (L{u"A", u"", u"B"}));
    EXPECT_EQ(Parse(u""), (L{u""}));
    EXPECT_EQ(Parse(nullptr), (L{}));
    std::u16string longPart(300, u'x');
    longPart[254] = u'y';
    longPart[255] = u'z';
    L parts = Parse((longPart + u"#B").c_str());
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0], longPart.substr(0, 255));
    EXPECT_EQ(parts[1], u"B");
}

TEST(SplitStrings, DoubleBarPartsStopAtTheFirstEmptyOne) {
    EXPECT_EQ(Split(u"A||B"), (L{u"A", u"B"}));
    EXPECT_EQ(Split(u"A||||B"), (L{u"A"}));
    EXPECT_EQ(Split(u"||A"), (L{}));
    EXPECT_EQ(Split(u"||"), (L{}));
    EXPECT_EQ(Split(u""), (L{}));
    EXPECT_EQ(Split(nullptr), (L{}));
    EXPECT_EQ(Split(u"A||"), (L{u"A"}));
    EXPECT_EQ(Split(u"A|B"), (L{u"A|B"}));
    EXPECT_EQ(Split(u"A|||B"), (L{u"A", u"|B"}));
    std::u16string longName(1000, u'n');
    EXPECT_EQ(Split((longName + u"||x").c_str()), (L{longName, u"x"}));
}

TEST(ExtractCertificatesFromStore, EveryCertificateInStoreOrderOrNullStore) {
    HCERTSTORE mem = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(mem, nullptr);
    for (const char* cn : {"one", "two", "three"}) {
        PCCERT_CONTEXT c = Make(cn);
        ASSERT_TRUE(CertAddCertificateContextToStore(mem, c, CERT_STORE_ADD_ALWAYS, nullptr));
        CertFreeCertificateContext(c);
    }
    List all;
    ASSERT_EQ(ExtractCertificatesFromStore(mem, all.v), KEVO_OK);
    CertCloseStore(mem, 0);  // the list keeps its own references
    EXPECT_EQ(Subjects(all.v), (std::vector<std::string>{"one, Org, CN", "two, Org, CN", "three, Org, CN"}));
    List cleared;
    cleared.v.push_back(Make("stale"));
    EXPECT_EQ(ExtractCertificatesFromStore(nullptr, cleared.v), E_INVALIDARG);
    EXPECT_TRUE(cleared.v.empty());
}

TEST(FilterCertificates, CriteriaSelectAndInputIsLeftAlone) {
    List in;
    in.v = {Make("abc", 0x80, {0x0A}), Make("XYZ", 0x20, {0x0B}), Make("other", -1, {0x0C}), Make("Abc two", -1, {0x0D})};
    ASSERT_TRUE(SetKeyProvInfo(in.v[1], u"{k}", SM2_CSP, AT_SIGNATURE));
    ASSERT_TRUE(SetKeyProvInfo(in.v[3], u"{k}", RSA_CSP, AT_SIGNATURE));

    CERT_FILTER f{};
    f.pwszSubject = u"CN=abc#CN=xyz";
    {
        List out;
        ASSERT_EQ(FilterCertificates(&f, out.v, in.v), KEVO_OK);
        EXPECT_EQ(Subjects(out.v), (std::vector<std::string>{"abc, Org, CN", "XYZ, Org, CN", "Abc two, Org, CN"}));
    }
    f.dwKeyUsage = 0xA0;  // certificates without key usage drop out
    {
        List out;
        ASSERT_EQ(FilterCertificates(&f, out.v, in.v), KEVO_OK);
        EXPECT_EQ(Subjects(out.v), (std::vector<std::string>{"abc, Org, CN", "XYZ, Org, CN"}));
    }
    CERT_FILTER names{};
    names.pwszCSPNames = u"SM2 Token||Enhanced Cryptographic";
    {
        List out;
        ASSERT_EQ(FilterCertificates(&names, out.v, in.v), KEVO_OK);
        EXPECT_EQ(Subjects(out.v), (std::vector<std::string>{"XYZ, Org, CN", "Abc two, Org, CN"}));
    }
    CERT_FILTER serial{};
    const BYTE sn[] = {0x0C};
    serial.pbSerialNumber = sn;
    serial.cbSerialNumber = 1;
    serial.pwszSubject = u"#";  // empty parts: no subject restriction
    {
        List out;
        ASSERT_EQ(FilterCertificates(&serial, out.v, in.v), KEVO_OK);
        EXPECT_EQ(Subjects(out.v), (std::vector<std::string>{"other, Org, CN"}));
    }
    CERT_FILTER none{};
    none.pwszIssuer = u"Nobody";
    {
        List out;
        out.v.push_back(Make("kept"));
        ASSERT_EQ(FilterCertificates(&none, out.v, in.v), KEVO_OK);
        EXPECT_EQ(Subjects(out.v), (std::vector<std::string>{"kept, Org, CN"}));  // appended to, nothing matched
    }
    {
        List out;
        ASSERT_EQ(FilterCertificates(nullptr, out.v, in.v), KEVO_OK);
        EXPECT_EQ(out.v.size(), 4u);
        RemoveAllCertificates(in.v);  // the output holds references of its own
        EXPECT_EQ(Subjects(out.v).front(), "abc, Org, CN");
    }
}

TEST(FilterCertificates, OnlyPrivateKeyValueOneRequiresAKey) {
    certkit::FreshPrefix prefix;
    ASSERT_TRUE(CreateRsaContainer(RSA_CSP, u"filter-key", AT_SIGNATURE));
    List in;
    in.v = {Make("with key"), Make("dangling"), Make("no property")};
    ASSERT_TRUE(SetKeyProvInfo(in.v[0], u"filter-key", RSA_CSP, AT_SIGNATURE));
    ASSERT_TRUE(SetKeyProvInfo(in.v[1], u"gone", RSA_CSP, AT_SIGNATURE));
    CERT_FILTER f{};
    f.dwPrivateKey = 2;
    List any;
    ASSERT_EQ(FilterCertificates(&f, any.v, in.v), KEVO_OK);
    EXPECT_EQ(any.v.size(), 3u);
    f.dwPrivateKey = 1;
    List keyed;
    ASSERT_EQ(FilterCertificates(&f, keyed.v, in.v), KEVO_OK);
    EXPECT_EQ(Subjects(keyed.v), (std::vector<std::string>{"with key, Org, CN"}));
}

TEST(CheckUnregisteredCertficate, IgnoresProviderAndPrivateKeyCriteria) {
    PCCERT_CONTEXT c = Make("single", 0x08);
    CERT_FILTER f{};
    f.pwszCSPNames = u"No Such Provider";
    f.dwPrivateKey = 1;
    f.pszSignatureAlgOID = "1.2.840.113549";
    EXPECT_EQ(CheckUnregisteredCertficate(c, &f), KEVO_OK);
    f.pszSignatureAlgOID = "1.2.156.10197";
    EXPECT_EQ(CheckUnregisteredCertficate(c, &f), E_FAIL);
    f.pszSignatureAlgOID = nullptr;
    f.dwKeyUsage = 0x80;
    EXPECT_EQ(CheckUnregisteredCertficate(c, &f), E_FAIL);  // the usage code is not passed on
    EXPECT_EQ(CheckUnregisteredCertficate(c, nullptr), KEVO_OK);
    CertFreeCertificateContext(c);
}

TEST(UnregisteredCertContext, RecordsOwnTheirContextAndRefuseNamesThatDoNotFit) {
    PCCERT_CONTEXT c = Make("record");
    PUNREGISTERED_CERT_CONTEXT r = nullptr;
    EXPECT_EQ(CertCreateUnregisteredCertContext(u"", u"c", c, AT_SIGNATURE, &r), E_INVALIDARG);
    EXPECT_EQ(CertCreateUnregisteredCertContext(u"p", u"", c, AT_SIGNATURE, &r), E_INVALIDARG);
    EXPECT_EQ(CertCreateUnregisteredCertContext(u"p", u"c", nullptr, AT_SIGNATURE, &r), E_INVALIDARG);
    std::u16string fits(259, u'c'), tooLong(260, u'c');
    EXPECT_EQ(CertCreateUnregisteredCertContext(u"p", tooLong.c_str(), c, AT_SIGNATURE, &r), E_INVALIDARG);
    EXPECT_EQ(CertCreateUnregisteredCertContext(tooLong.c_str(), u"c", c, AT_SIGNATURE, &r), E_INVALIDARG);
    EXPECT_EQ(r, nullptr);
    ASSERT_EQ(CertCreateUnregisteredCertContext(u"prov", fits.c_str(), c, AT_KEYEXCHANGE, &r), KEVO_OK);
    CertFreeCertificateContext(c);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::u16string(r->wszCSPName), u"prov");
    EXPECT_EQ(std::u16string(r->wszContainerName), fits);
    EXPECT_EQ(r->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
    EXPECT_EQ(Subjects({r->pCertContext}), (std::vector<std::string>{"record, Org, CN"}));
    CertFreeUnregisteredCertContext(r);
    CertFreeUnregisteredCertContext(nullptr);
}

TEST(GetUnregisteredCertfromContainer, CertificateOnTheKeyUnlessRegistered) {
    certkit::FreshPrefix prefix;
    Sm2Container both = CreateSm2Container(u"{scan-both}", true, true, true, "Both");
    ASSERT_TRUE(both.ok);
    PUNREGISTERED_CERT_CONTEXT r = nullptr;
    ASSERT_EQ(GetUnregisteredCertfromContainer(SM2_CSP, u"{scan-both}", AT_SIGNATURE, &r), KEVO_OK);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(Bytes(r->pCertContext->pbCertEncoded, r->pCertContext->pbCertEncoded + r->pCertContext->cbCertEncoded),
              both.signatureCert);
    EXPECT_EQ(std::u16string(r->wszCSPName), SM2_CSP);
    EXPECT_EQ(std::u16string(r->wszContainerName), u"{scan-both}");
    EXPECT_EQ(r->dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));
    CertFreeUnregisteredCertContext(r);
    r = nullptr;

    // Registered in "My" with its key: the platform reaches the key.
    ASSERT_TRUE(AddToMyStore(both.exchangeCert, u"{scan-both}", SM2_CSP, AT_KEYEXCHANGE));
    EXPECT_EQ(GetUnregisteredCertfromContainer(SM2_CSP, u"{scan-both}", AT_KEYEXCHANGE, &r),
              static_cast<HRESULT>(0xA0071009u));
    EXPECT_EQ(r, nullptr);

    Sm2Container bare = CreateSm2Container(u"{scan-bare}", true, false, false, "Bare");
    ASSERT_TRUE(bare.ok);
    EXPECT_EQ(GetUnregisteredCertfromContainer(SM2_CSP, u"{scan-bare}", AT_KEYEXCHANGE, &r),
              static_cast<HRESULT>(NTE_NOT_FOUND));  // key without certificate
    EXPECT_EQ(GetUnregisteredCertfromContainer(SM2_CSP, u"{scan-bare}", AT_SIGNATURE, &r),
              static_cast<HRESULT>(NTE_NO_KEY));
    EXPECT_EQ(GetUnregisteredCertfromContainer(SM2_CSP, u"{no-such}", AT_SIGNATURE, &r),
              static_cast<HRESULT>(NTE_BAD_KEYSET));
    EXPECT_EQ(GetUnregisteredCertfromContainer(SM2_CSP, u"", AT_SIGNATURE, &r), E_INVALIDARG);
    EXPECT_EQ(GetUnregisteredCertfromContainer(u"", u"{scan-bare}", AT_SIGNATURE, &r), E_INVALIDARG);

    ASSERT_TRUE(OverwriteStoredCertificate(u"{scan-both}", AT_SIGNATURE, Bytes{0x30, 0x03, 0x02, 0x01, 0x05}));
    EXPECT_EQ(GetUnregisteredCertfromContainer(SM2_CSP, u"{scan-both}", AT_SIGNATURE, &r),
              static_cast<HRESULT>(CRYPT_E_ASN1_BADTAG));
    EXPECT_EQ(r, nullptr);
}

TEST(FilterUnregisteredCertificatesfromCSP, ExchangeFirstFilteredAndFailuresSkipped) {
    certkit::FreshPrefix prefix;
    Sm2Container a = CreateSm2Container(u"{scan-a}", true, true, true, "A");
    Sm2Container b = CreateSm2Container(u"{scan-b}", false, true, true, "B");
    Sm2Container none = CreateSm2Container(u"{scan-none}", true, true, false, "None");
    Sm2Container broken = CreateSm2Container(u"{scan-broken}", true, false, true, "Broken");
    ASSERT_TRUE(a.ok && b.ok && none.ok && broken.ok);
    ASSERT_TRUE(OverwriteStoredCertificate(u"{scan-broken}", AT_KEYEXCHANGE, Bytes{0x30, 0x00}));
    CERT_FILTER sm2{};
    sm2.pszSignatureAlgOID = "1.2.156.10197";

    Records all;
    ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(SM2_CSP, &sm2, all.v), KEVO_OK);
    std::vector<std::string> got;
    for (auto* r : all.v)
        got.push_back(Narrow(r->wszContainerName) + "/" + std::to_string(r->dwKeySpec) + "/" +
                      Sha1Hex(Bytes(r->pCertContext->pbCertEncoded,
                                    r->pCertContext->pbCertEncoded + r->pCertContext->cbCertEncoded)));
    std::sort(got.begin(), got.end());  // containers come in the provider's order
    EXPECT_EQ(got, (std::vector<std::string>{"{scan-a}/1/" + Sha1Hex(a.exchangeCert),
                                             "{scan-a}/2/" + Sha1Hex(a.signatureCert),
                                             "{scan-b}/2/" + Sha1Hex(b.signatureCert)}));
    for (size_t i = 0; i + 1 < all.v.size(); ++i) {
        if (std::u16string(all.v[i]->wszContainerName) == all.v[i + 1]->wszContainerName) {
            EXPECT_LT(all.v[i]->dwKeySpec, all.v[i + 1]->dwKeySpec);  // exchange key first
        }
    }

    CERT_FILTER rsaOnly{};
    rsaOnly.pszSignatureAlgOID = "1.2.840.113549";
    Records filtered;
    ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(SM2_CSP, &rsaOnly, filtered.v), KEVO_OK);
    EXPECT_TRUE(filtered.v.empty());
    CERT_FILTER subject{};
    subject.pwszSubject = u"cn=b signature";
    ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(SM2_CSP, &subject, filtered.v), KEVO_OK);
    ASSERT_EQ(filtered.v.size(), 1u);
    EXPECT_EQ(std::u16string(filtered.v[0]->wszContainerName), u"{scan-b}");

    // Microsoft providers are never opened; unknown ones are skipped.
    std::u16string names = std::u16string(u"Microsoft Strong Cryptographic Provider||No Such CSP||") +
                           std::u16string(300, u'P') + u"||" + SM2_CSP;
    Records viaList;
    ASSERT_EQ(FilterUnregisteredCertificatesfromCSP(names.c_str(), &sm2, viaList.v), KEVO_OK);
    EXPECT_EQ(viaList.v.size(), 3u);
    Records viaAll;
    ASSERT_EQ(FilterUnregisteredCertificatesfromCSP(nullptr, &sm2, viaAll.v), KEVO_OK);
    EXPECT_EQ(viaAll.v.size(), 3u);
    for (const char16_t* empty : {u"", u"||", u"||Tessaro SM2 Token CSP v1.0"}) {
        Records nothing;
        EXPECT_EQ(FilterUnregisteredCertificatesfromCSP(empty, &sm2, nothing.v), KEVO_OK);
        EXPECT_TRUE(nothing.v.empty());
    }
    // A provider whose name says Microsoft is skipped even when it would
    // answer: here the SM2 provider registered once more under such a name.
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                              u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Microsoft SM2 Alias", 0,
                              nullptr, 0, KEY_WRITE, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    DWORD type = PROV_RSA_FULL;
    std::u16string image = u"tessaro:sm2token";
    RegSetValueExW(k, u"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type);
    RegSetValueExW(k, u"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(image.c_str()),
                   static_cast<DWORD>((image.size() + 1) * sizeof(char16_t)));
    RegCloseKey(k);
    Records alias;
    ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(u"Microsoft SM2 Alias", &sm2, alias.v), KEVO_OK);
    EXPECT_EQ(alias.v.size(), 3u);
    Records ms;
    EXPECT_EQ(FilterUnregisteredCertificatesfromCSP(u"Microsoft SM2 Alias", &sm2, ms.v), KEVO_OK);
    EXPECT_TRUE(ms.v.empty());
    EXPECT_EQ(FilterUnregisteredCertificatesfromCSP(nullptr, &sm2, ms.v), KEVO_OK);
    EXPECT_EQ(ms.v.size(), 3u);  // all installed providers: the alias is not scanned
    EXPECT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(std::u16string(260, u'P').c_str(), &sm2, ms.v),
              E_INVALIDARG);
    EXPECT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(u"No Such CSP", &sm2, ms.v),
              static_cast<HRESULT>(NTE_KEYSET_NOT_DEF));
}
