// The enrollment agent's settings, argument checks, result codes and descriptions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "agent/CryptoAgent.h"
#include "diag/ResultCode.h"

namespace {

// A BSTR argument or result, released on scope exit.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const char16_t* s) : m_b(s ? SysAllocString(s) : nullptr) {}
    ~Bstr() { SysFreeString(m_b); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return m_b; }
    BSTR* out() {
        SysFreeString(m_b);
        m_b = nullptr;
        return &m_b;
    }
    bool isNull() const { return m_b == nullptr; }
    std::u16string str() const { return m_b ? std::u16string(m_b, SysStringLen(m_b)) : u"<null>"; }

private:
    BSTR m_b = nullptr;
};

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

HRESULT SetCSP(CCryptoAgent& a, LONG n, const char16_t* name, VARIANT_BOOL* flag = nullptr) {
    VARIANT_BOOL local = VARIANT_FALSE;
    Bstr b(name);
    return a.KEVO_SetCSPInfo(n, b.get(), flag ? flag : &local);
}

HRESULT SetAlg(CCryptoAgent& a, const char16_t* alg, VARIANT_BOOL* flag = nullptr) {
    VARIANT_BOOL local = VARIANT_FALSE;
    Bstr b(alg);
    return a.KEVO_SetKeyAlgorithm(b.get(), flag ? flag : &local);
}

std::u16string Container(CCryptoAgent& a) {
    Bstr out;
    EXPECT_EQ(KEVO_OK, a.KEVO_GetContainer(out.out()));
    return out.str();
}

std::u16string Describe(CCryptoAgent& a) {
    Bstr out;
    EXPECT_EQ(KEVO_OK, a.GetLastErrorDesc(out.out()));
    return out.str();
}

// Selects the language of the string tables for this process.
void UseLocale(const char* lang) {
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    setenv("LANG", lang, 1);
}

TEST(SetCSPInfo, KeyLengthRulesOfMicrosoftProviders) {
    const struct {
        LONG n;
        const char16_t* name;
        HRESULT hr;
    } cases[] = {
        {2048, u"Microsoft Base Cryptographic Provider v1.0", KEVO_E_KEY_LENGTH},
        {1024, u"Microsoft Base Cryptographic Provider v1.0", KEVO_OK},
        {512, u"Microsoft Base Cryptographic Provider v1.0", KEVO_OK},
        {2048, u"Microsoft Enhanced Cryptographic Provider v1.0", KEVO_OK},
        {4096, u"Microsoft Strong Cryptographic Provider", KEVO_OK},
        {3000, u"Microsoft Enhanced RSA and AES Cryptographic Provider", KEVO_E_KEY_LENGTH},
        {0, u"Microsoft Enhanced Cryptographic Provider v1.0", KEVO_E_KEY_LENGTH},
        {3000, u"Tessaro SM2 Token CSP", KEVO_OK},
        {-5, u"Tessaro SM2 Token CSP", KEVO_OK},
        // Case-sensitive: neither of these counts as a Microsoft provider.
        {2048, u"microsoft base cryptographic provider v1.0", KEVO_OK},
        {3000, u"MICROSOFT Enhanced", KEVO_OK},
    };
    for (const auto& c : cases) {
        CCryptoAgent a;
        ASSERT_EQ(KEVO_OK, SetCSP(a, 1024, u"Earlier CSP"));
        VARIANT_BOOL flag = VARIANT_FALSE;
        HRESULT hr = SetCSP(a, c.n, c.name, &flag);
        EXPECT_EQ(c.hr, hr) << Narrow(c.name) << " " << c.n;
        EXPECT_EQ(c.hr, a.GetLastResult());
        if (c.hr == KEVO_OK) {
            EXPECT_EQ(VARIANT_TRUE, flag);
            EXPECT_EQ(std::u16string(c.name), a.GetCSPName());
            EXPECT_EQ(c.n, a.GetKeyLength());
        } else {
            EXPECT_EQ(VARIANT_FALSE, flag);
            EXPECT_EQ(u"Earlier CSP", a.GetCSPName());
            EXPECT_EQ(1024, a.GetKeyLength());
        }
    }
}

TEST(SetCSPInfo, NameIsTrimmedAndFirstAmpersandUnescaped) {
    CCryptoAgent a;
    ASSERT_EQ(KEVO_OK, SetCSP(a, 4096, u"  Microsoft Strong Cryptographic Provider  "));
    EXPECT_EQ(u"Microsoft Strong Cryptographic Provider", a.GetCSPName());
    ASSERT_EQ(KEVO_OK, SetCSP(a, 1, u"A&amp;B&amp;C"));
    EXPECT_EQ(u"A&B&amp;C", a.GetCSPName());
    // Only the space character counts as a blank.
    ASSERT_EQ(KEVO_OK, SetCSP(a, 1, u"\tToken CSP "));
    EXPECT_EQ(u"\tToken CSP", a.GetCSPName());
    // The trimmed name decides the key-length rule.
    EXPECT_EQ(KEVO_E_KEY_LENGTH, SetCSP(a, 2048, u" Microsoft Base Cryptographic Provider v1.0 "));
}

TEST(SetCSPInfo, MissingNamesAreRefusedAndChangeNothing) {
    CCryptoAgent a;
    ASSERT_EQ(KEVO_OK, SetCSP(a, 2048, u"Microsoft Enhanced Cryptographic Provider v1.0"));
    for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u"", u"   "}) {
        VARIANT_BOOL flag = VARIANT_FALSE;
        EXPECT_EQ(E_INVALIDARG, SetCSP(a, 1024, name, &flag));
        EXPECT_EQ(VARIANT_FALSE, flag);
        EXPECT_EQ(u"Microsoft Enhanced Cryptographic Provider v1.0", a.GetCSPName());
        EXPECT_EQ(2048, a.GetKeyLength());
    }
    EXPECT_EQ(E_INVALIDARG, a.GetLastResult());
}

TEST(SetKeyAlgorithm, AcceptsRsaAndSm2AsSpelled) {
    CCryptoAgent a;
    VARIANT_BOOL flag = VARIANT_FALSE;
    EXPECT_EQ(KEVO_OK, SetAlg(a, u" sm2 ", &flag));
    EXPECT_EQ(VARIANT_TRUE, flag);
    EXPECT_EQ(u"sm2", a.GetKeyAlgorithm());
    flag = VARIANT_FALSE;
    EXPECT_EQ(KEVO_E_KEY_ALGORITHM, SetAlg(a, u"ECC", &flag));
    EXPECT_EQ(VARIANT_FALSE, flag);
    EXPECT_EQ(u"sm2", a.GetKeyAlgorithm());
    EXPECT_EQ(KEVO_E_KEY_ALGORITHM, a.GetLastResult());
    EXPECT_EQ(KEVO_E_KEY_ALGORITHM, SetAlg(a, u"RSA2"));
    EXPECT_EQ(KEVO_OK, SetAlg(a, u"rSa"));
    EXPECT_EQ(u"rSa", a.GetKeyAlgorithm());
    EXPECT_EQ(E_INVALIDARG, SetAlg(a, nullptr));
    EXPECT_EQ(E_INVALIDARG, SetAlg(a, u""));
    EXPECT_EQ(E_INVALIDARG, SetAlg(a, u"    "));
    EXPECT_EQ(u"rSa", a.GetKeyAlgorithm());
}

TEST(GetVersion, AnswersNothingAndKeepsTheLastResult) {
    CCryptoAgent a;
    ASSERT_EQ(KEVO_E_KEY_ALGORITHM, SetAlg(a, u"ECC"));
    Bstr v;
    EXPECT_EQ(KEVO_OK, a.KEVO_GetVersion(v.out()));
    EXPECT_TRUE(v.isNull());
    EXPECT_EQ(KEVO_E_KEY_ALGORITHM, a.GetLastResult());
}

TEST(GetContainer, EmptyUntilSetAndClearsTheLastResult) {
    CCryptoAgent a;
    ASSERT_EQ(KEVO_E_KEY_ALGORITHM, SetAlg(a, u"ECC"));
    Bstr c;
    EXPECT_EQ(KEVO_OK, a.KEVO_GetContainer(c.out()));
    ASSERT_FALSE(c.isNull());
    EXPECT_EQ(u"", c.str());
    EXPECT_EQ(KEVO_OK, a.GetLastResult());
}

TEST(GetLastErrorDesc, OwnCodesComeFromTheStringTables) {
    CCryptoAgent a;
    ASSERT_EQ(KEVO_E_KEY_ALGORITHM, SetAlg(a, u"ECC"));
    UseLocale("C");
    EXPECT_EQ(u"Invalid key algorithm.\n(0xa0072401)", Describe(a));
    // Describing does not consume the code.
    EXPECT_EQ(u"Invalid key algorithm.\n(0xa0072401)", Describe(a));
    EXPECT_EQ(KEVO_E_KEY_ALGORITHM, a.GetLastResult());
    UseLocale("zh_CN.UTF-8");
    EXPECT_EQ(u"无效的密钥算法\n(0xa0072401)", Describe(a));
    ASSERT_EQ(KEVO_E_KEY_LENGTH, SetCSP(a, 2048, u"Microsoft Base Cryptographic Provider v1.0"));
    EXPECT_EQ(u"密钥长度不支持\n(0xa0072400)", Describe(a));
    UseLocale("en_US.UTF-8");
    EXPECT_EQ(u"Key length is not supported.\n(0xa0072400)", Describe(a));
    UseLocale("C");
}

TEST(GetLastErrorDesc, SystemCodesComeFromTheSystemTexts) {
    CCryptoAgent a;
    UseLocale("C");
    std::u16string ok = Describe(a);
    ASSERT_GT(ok.size(), 13u);
    EXPECT_EQ(u"\n(0x00000000)", ok.substr(ok.size() - 13));
    ASSERT_EQ(E_INVALIDARG, SetAlg(a, u""));
    std::u16string inval = Describe(a);
    ASSERT_GT(inval.size(), 13u);
    EXPECT_EQ(u"\n(0x80070057)", inval.substr(inval.size() - 13));
    EXPECT_NE(ok.substr(0, ok.size() - 13), inval.substr(0, inval.size() - 13));
}

TEST(PKCS10CertRequisition, ArgumentAndAlgorithmChecks) {
    const LONG t = 1;
    {
        // Algorithm never set: refused, and the out-string is empty text, not null.
        CCryptoAgent a;
        Bstr req, subject(u"CN=Test");
        EXPECT_EQ(KEVO_E_KEY_ALGORITHM, a.KEVO_PKCS10CertRequisition(subject.get(), t, 0, req.out()));
        ASSERT_FALSE(req.isNull());
        EXPECT_EQ(u"", req.str());
        EXPECT_EQ(KEVO_E_KEY_ALGORITHM, a.GetLastResult());
    }
    {
        // The MD5 variant checks the algorithm first; the SHA-1 one the arguments first.
        CCryptoAgent a;
        ASSERT_EQ(KEVO_OK, SetAlg(a, u"SM2"));
        Bstr req, empty(u"");
        EXPECT_EQ(KEVO_E_KEY_ALGORITHM, a.KEVO_PKCS10CertRequisitionwithMD5(empty.get(), t, 0, req.out()));
        EXPECT_EQ(u"", req.str());
        EXPECT_EQ(E_INVALIDARG, a.KEVO_PKCS10CertRequisition(empty.get(), t, 0, req.out()));
        EXPECT_EQ(u"", req.str());
        EXPECT_EQ(E_INVALIDARG, a.KEVO_PKCS10CertRequisition(nullptr, t, 0, req.out()));
    }
    {
        CCryptoAgent a;
        ASSERT_EQ(KEVO_OK, SetAlg(a, u"rsa"));
        Bstr req, subject(u"CN=Test");
        for (LONG type : {0, 3, -1}) {
            EXPECT_EQ(E_INVALIDARG, a.KEVO_PKCS10CertRequisition(subject.get(), type, 0, req.out())) << type;
            EXPECT_EQ(E_INVALIDARG, a.KEVO_PKCS10CertRequisitionwithMD5(subject.get(), type, 0, req.out())) << type;
            EXPECT_EQ(u"", req.str());
        }
        EXPECT_EQ(u"", Container(a));
    }
}

TEST(PKCS10CertRequisition, SuccessNamesTheNewContainer) {
    CCryptoAgent a;
    ASSERT_EQ(KEVO_OK, SetCSP(a, 1024, u"Microsoft Enhanced Cryptographic Provider v1.0"));
    ASSERT_EQ(KEVO_OK, SetAlg(a, u"RSA"));
    Bstr req, subject(u"CN=Agent Test,O=Tessaro,C=CN");
    ASSERT_EQ(KEVO_OK, a.KEVO_PKCS10CertRequisition(subject.get(), 1, 0, req.out()));
    EXPECT_EQ(u"MII", req.str().substr(0, 3));
    std::u16string first = Container(a);
    ASSERT_EQ(38u, first.size());
    EXPECT_EQ(u'{', first.front());
    EXPECT_EQ(u'}', first.back());

    // A double request for SM2 in the vendor token creates another container.
    ASSERT_EQ(KEVO_OK, SetCSP(a, 256, u"Tessaro SM2 Token CSP v1.0"));
    ASSERT_EQ(KEVO_OK, SetAlg(a, u"SM2"));
    ASSERT_EQ(KEVO_OK, a.KEVO_PKCS10CertRequisition(subject.get(), 2, 0, req.out()));
    std::u16string second = Container(a);
    EXPECT_EQ(38u, second.size());
    EXPECT_NE(first, second);

    // A request the provider cannot serve reports its code and keeps the name.
    ASSERT_EQ(KEVO_OK, SetCSP(a, 1024, u"No Such Provider"));
    HRESULT hr = a.KEVO_PKCS10CertRequisition(subject.get(), 1, 0, req.out());
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(u"", req.str());
    EXPECT_EQ(hr, a.GetLastResult());
    EXPECT_EQ(second, Container(a));
}

TEST(ImportSignCert, ChecksCertificateAndContainer) {
    CCryptoAgent a;
    Bstr cert(u"MIIB"), blank(u"   "), empty(u""), name(u"{container}");
    const struct {
        BSTR cert;
        BSTR container;
    } bad[] = {{nullptr, name.get()}, {empty.get(), name.get()}, {cert.get(), nullptr},
               {cert.get(), empty.get()}, {cert.get(), blank.get()}, {blank.get(), name.get()}};
    for (const auto& c : bad) {
        VARIANT_BOOL flag = VARIANT_FALSE;
        EXPECT_EQ(E_INVALIDARG, a.KEVO_ImportSignCert(2, c.cert, c.container, &flag));
        EXPECT_EQ(VARIANT_FALSE, flag);
    }
    // Type 3 is not checked here: it is treated like type 2 and reaches the
    // installation, which fails for a container that does not exist.
    ASSERT_EQ(KEVO_OK, SetCSP(a, 1024, u"Microsoft Enhanced Cryptographic Provider v1.0"));
    ASSERT_EQ(KEVO_OK, SetAlg(a, u"RSA"));
    VARIANT_BOOL flag = VARIANT_FALSE;
    HRESULT hr = a.KEVO_ImportSignCert(3, cert.get(), name.get(), &flag);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(E_INVALIDARG, hr);
    EXPECT_EQ(VARIANT_FALSE, flag);
    EXPECT_EQ(hr, a.GetLastResult());
    EXPECT_EQ(u"", Container(a));
}

TEST(ImportEncryptCert, ContainerIsStoredBeforeTheImport) {
    CCryptoAgent a;
    Bstr key(u"0000000000000001"), cert(u"MIIB"), blank(u"   "), empty(u""), spaced(u"  abc  ");
    ASSERT_EQ(KEVO_OK, SetCSP(a, 1024, u"Microsoft Enhanced Cryptographic Provider v1.0"));
    ASSERT_EQ(KEVO_OK, SetAlg(a, u"RSA"));
    VARIANT_BOOL flag = VARIANT_FALSE;
    HRESULT hr = a.KEVO_ImportEncryptCert(key.get(), cert.get(), spaced.get(), 1, &flag);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(E_INVALIDARG, hr);
    EXPECT_EQ(VARIANT_FALSE, flag);
    EXPECT_EQ(u"abc", Container(a));
    const struct {
        BSTR key, cert, container;
    } bad[] = {{nullptr, cert.get(), spaced.get()}, {key.get(), empty.get(), spaced.get()},
               {key.get(), cert.get(), nullptr},     {key.get(), cert.get(), blank.get()},
               {blank.get(), cert.get(), spaced.get()}};
    for (const auto& c : bad) {
        EXPECT_EQ(E_INVALIDARG, a.KEVO_ImportEncryptCert(c.key, c.cert, c.container, 1, &flag));
        EXPECT_EQ(VARIANT_FALSE, flag);
        EXPECT_EQ(u"abc", Container(a));
    }
}

TEST(Operations, NullOutPointersAreRefused) {
    CCryptoAgent a;
    Bstr s(u"RSA");
    EXPECT_EQ(E_POINTER, a.KEVO_SetKeyAlgorithm(s.get(), nullptr));
    EXPECT_EQ(u"", a.GetKeyAlgorithm());
    EXPECT_EQ(E_POINTER, a.KEVO_GetContainer(nullptr));
    EXPECT_EQ(E_POINTER, a.KEVO_PKCS10CertRequisition(s.get(), 1, 0, nullptr));
    EXPECT_EQ(E_POINTER, a.GetLastErrorDesc(nullptr));
    EXPECT_EQ(KEVO_OK, a.KEVO_GetVersion(nullptr));
}

}  // namespace
