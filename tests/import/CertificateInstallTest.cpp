// The installation routines in this process: text helpers, the copy of the
// certificate kept for a trace session (only then, only a certificate, only
// a bounded one, private), the trace lines of each step, the vendor word
// tested case-sensitively, and the key check of the store binding.
#include <openssl/evp.h>
#include <openssl/x509.h>
#include "tests/support/TestPki.h"
// OpenSSL before the platform headers, whose structure-type macros clash.

#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "import/CertificateInstall.h"
#include "agent/CryptoAgent.h"
#include "diag/Diagnostics.h"
#include "tests/support/EnrollTestSupport.h"
#include "diag/ResultCode.h"
#include "win/evntrace.h"

using namespace enroll_test;

namespace {

const char16_t kVendorSm2[] = u"Tessaro SM2 Token CSP v1.0";

void SetSession(DWORD start, DWORD flags) { ASSERT_TRUE(tessaro_test::SetTraceSession(start, flags)); }

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

using tessaro_test::ReadFile;

// A container with a fresh key pair made in this process and the CA's
// certificate for it.
struct Issued {
    std::string container;
    std::string certificate;
    std::vector<uint8_t> der;
};

Issued RequestAndIssue(TestCA& ca, const std::u16string& provider, LONG keyLength, const std::u16string& algorithm,
                       LONG certType) {
    Issued r;
    CCryptoAgent agent;
    VARIANT_BOOL ok = VARIANT_FALSE;
    BSTR bstrProvider = SysAllocString(provider.c_str());
    BSTR bstrAlgorithm = SysAllocString(algorithm.c_str());
    BSTR bstrSubject = SysAllocString(u"CN=Install Test,C=CN");
    BSTR bstrRequest = nullptr, bstrContainer = nullptr;
    if (SUCCEEDED(agent.KEVO_SetCSPInfo(keyLength, bstrProvider, &ok)) &&
        SUCCEEDED(agent.KEVO_SetKeyAlgorithm(bstrAlgorithm, &ok)) &&
        SUCCEEDED(agent.KEVO_PKCS10CertRequisition(bstrSubject, certType, 0, &bstrRequest)) &&
        SUCCEEDED(agent.KEVO_GetContainer(&bstrContainer))) {
        std::u16string w(bstrContainer);
        r.container.assign(w.begin(), w.end());
        std::u16string req(bstrRequest);
        r.certificate = ca.Issue(std::string(req.begin(), req.end()));
        r.der = Base64Decode(r.certificate);
    }
    for (BSTR b : {bstrProvider, bstrAlgorithm, bstrSubject, bstrRequest, bstrContainer}) SysFreeString(b);
    return r;
}

// A self-signed certificate of a P-256 key carrying an extension of
// extraBytes octets: parseable, and as large as the test needs.
std::vector<uint8_t> LargeCertificate(size_t extraBytes) {
    tessaro_test::pki::Key key = tessaro_test::pki::NewP256Key();
    tessaro_test::pki::CertSpec spec;
    spec.subject = {{"CN", "Large"}};
    spec.serial = {7};
    spec.notBefore = time(nullptr);
    spec.notAfter = spec.notBefore + 3600;
    spec.signer = key.get();
    spec.extensions = {{"1.3.6.1.4.1.99999.1", false, std::vector<uint8_t>(extraBytes, 0x41)}};
    return tessaro_test::pki::MakeCert(spec);
}

using tessaro_test::Base64Encode;

HRESULT Install(const std::u16string& algorithm, const std::string& certificate, DWORD keySpec,
                const std::u16string& provider, const std::string& container) {
    std::u16string cert = Wide(certificate);
    return ImportSignCert(algorithm, cert, keySpec, provider, Wide(container));
}

// Tracing on or off for this process, a private temporary directory, the
// trace file read back.
class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TMPDIR");
        m_oldTmp = old ? old : "";
        m_hadTmp = old != nullptr;
        setenv("TMPDIR", m_tmp.path().c_str(), 1);
        KevoTraceRegister();
    }
    void TearDown() override {
        Trace(false);
        KevoTraceUnregister();
        if (m_hadTmp)
            setenv("TMPDIR", m_oldTmp.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    void Trace(bool on) {
        SetSession(on ? 1 : 0, 0xF);
        TraceRefreshProviders();
    }
    std::string TraceText() const { return ReadFile(std::string(std::getenv("TESSARO_PREFIX")) + "/trace/kevo.log"); }

    TestCA m_ca;
    tessaro_test::TempDir m_tmp{"installtmp"};
    std::string m_oldTmp;
    bool m_hadTmp = false;
};

TEST(InstallText, CommasAreRemovedWhereverTheyStand) {
    std::u16string s = u",MII,,Bk,";
    EraseCommaInWstr(s);
    EXPECT_EQ(u"MIIBk", s);
    std::u16string none = u"abc";
    EraseCommaInWstr(none);
    EXPECT_EQ(u"abc", none);
    std::u16string only = u",,,";
    EraseCommaInWstr(only);
    EXPECT_EQ(u"", only);
}

TEST(InstallText, Base64KeyDecodesLenientlyAndHandsOutNothingOnFailure) {
    BYTE* pb = nullptr;
    DWORD cb = 99;
    ASSERT_EQ(KEVO_OK, DecodeBase64Key(u"YW J j\r\n", &pb, &cb));
    ASSERT_EQ(3u, cb);
    EXPECT_EQ("616263", tessaro_test::ToHex(pb, cb));
    delete[] pb;

    pb = nullptr;
    cb = 99;
    EXPECT_EQ(E_FAIL, DecodeBase64Key(u"", &pb, &cb));
    EXPECT_EQ(nullptr, pb);
    EXPECT_EQ(99u, cb);
    EXPECT_EQ(E_POINTER, DecodeBase64Key(u"YWJj", nullptr, &cb));
    EXPECT_EQ(E_POINTER, DecodeBase64Key(u"YWJj", &pb, nullptr));
    EXPECT_EQ(E_POINTER, DecodeBase64Key(nullptr, &pb, &cb));
    EXPECT_EQ(nullptr, pb);
}

TEST_F(InstallTest, CertificateCopyOnlyWhileTracingAndPrivate) {
    ASSERT_TRUE(m_ca.ok()) << m_ca.error();
    Issued a = RequestAndIssue(m_ca, u"Microsoft Enhanced Cryptographic Provider v1.0", 1024, u"RSA", 1);
    ASSERT_FALSE(a.der.empty()) << m_ca.error();

    ASSERT_EQ(KEVO_OK, Install(u"RSA", a.certificate, AT_KEYEXCHANGE, MS_ENHANCED_PROV_W, a.container));
    EXPECT_TRUE(FilesIn(m_tmp.path()).empty()) << "no copy without a trace session";

    Trace(true);
    ASSERT_TRUE(KevoTraceEnabled(TRACE_FLAG_INFO));
    ASSERT_EQ(KEVO_OK, Install(u"RSA", a.certificate, AT_KEYEXCHANGE, MS_ENHANCED_PROV_W, a.container));
    auto files = FilesIn(m_tmp.path());
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(43u, files[0].size()) << files[0];  // {GUID}.KEVO
    EXPECT_EQ(".KEVO", files[0].substr(38));
    std::string path = m_tmp.path() + "/" + files[0];
    EXPECT_EQ(std::string(a.der.begin(), a.der.end()), ReadFile(path));
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777u);
    EXPECT_NE(std::string::npos, TraceText().find(path)) << "the copy's path is traced";
    unlink(path.c_str());

    // Page bytes that are no certificate, or a certificate beyond 64 KiB,
    // never reach the disk, even while tracing.
    EXPECT_EQ(CRYPT_E_ASN1_BADTAG,
              Install(u"RSA", "aGVsbG8sIHRoaXMgaXMgbm90IGEgY2VydGlmaWNhdGU=", AT_KEYEXCHANGE, MS_ENHANCED_PROV_W,
                      a.container));
    std::vector<uint8_t> large = LargeCertificate(70 * 1024);
    ASSERT_GT(large.size(), 64u * 1024u);
    EXPECT_EQ(NTE_BAD_PUBLIC_KEY,
              Install(u"RSA", Base64Encode(large), AT_KEYEXCHANGE, MS_ENHANCED_PROV_W, a.container));
    EXPECT_TRUE(FilesIn(m_tmp.path()).empty());
    // One just under the bound is copied.
    std::vector<uint8_t> bounded = LargeCertificate(60 * 1024);
    ASSERT_LE(bounded.size(), 64u * 1024u);
    EXPECT_EQ(NTE_BAD_PUBLIC_KEY,
              Install(u"RSA", Base64Encode(bounded), AT_KEYEXCHANGE, MS_ENHANCED_PROV_W, a.container));
    EXPECT_EQ(1u, FilesIn(m_tmp.path()).size());
}

TEST_F(InstallTest, StepsAndFailuresAreTracedUnderTheUnitName) {
    ASSERT_TRUE(m_ca.ok()) << m_ca.error();
    Issued a = RequestAndIssue(m_ca, kVendorSm2, 256, u"SM2", 2);
    ASSERT_FALSE(a.der.empty()) << m_ca.error();
    Trace(true);
    ASSERT_EQ(KEVO_OK, Install(u"SM2", a.certificate, AT_SIGNATURE, kVendorSm2, a.container));
    EXPECT_EQ(NTE_BAD_KEYSET,
              Install(u"RSA", a.certificate, AT_SIGNATURE, MS_STRONG_PROV_W, "{00000000-0000-0000-0000-000000000000}"));
    EXPECT_EQ(E_FAIL, Install(u"RSA", ",", AT_SIGNATURE, MS_STRONG_PROV_W, a.container));
    std::string text = TraceText();
    for (const char* step : {"ImportSignCert - EraseCommaInWstr", "ImportSignCert - DecodeBase64Key",
                             "ImportSignCert - SM2 CryptAcquireContext", "ImportSignCert - CryptGetUserKey",
                             "ImportSignCert - CheckCertificateMatchesKey",
                             "ImportSignCert - non-microsoft's CSP: CryptSetKeyParam"})
        EXPECT_NE(std::string::npos, text.find("\t" + std::string(step) + " 0x00000000\n")) << step;
    for (const char* failure : {"] ImportSignCert - RSA CryptAcquireContext [Reason:1]",
                                "] ImportSignCert - base64 decode public key FAILED. [Reason:FAILED(hResult)]",
                                "] DecodeBase64Key - Base64DecodeEx (Kernel) FAILED. [Reason:FAILED(hResult)]"})
        EXPECT_NE(std::string::npos, text.find(failure)) << failure;
    EXPECT_NE(std::string::npos, text.find("[ImportEncryptCert(")) << text.substr(0, 2000);
}

TEST_F(InstallTest, VendorWordIsCaseSensitive) {
    ASSERT_TRUE(m_ca.ok()) << m_ca.error();
    // A token provider whose name has the vendor word in lower case only.
    const std::u16string name = u"Acme microsoft-compatible RSA Token";
    HKEY h = nullptr;
    std::u16string path = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\" + name;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &h, nullptr));
    DWORD type = PROV_RSA_FULL;
    std::u16string image = u"tessaro:rsatoken";
    RegSetValueExW(h, u"Type", 0, REG_DWORD, reinterpret_cast<BYTE*>(&type), 4);
    RegSetValueExW(h, u"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(image.c_str()),
                   static_cast<DWORD>((image.size() + 1) * 2));
    RegCloseKey(h);

    Issued a = RequestAndIssue(m_ca, name, 1024, u"RSA", 1);
    ASSERT_FALSE(a.der.empty()) << m_ca.error();
    ASSERT_EQ(KEVO_OK, Install(u"RSA", a.certificate, AT_KEYEXCHANGE, name, a.container));
    EXPECT_EQ(0, CountInMyStore(a.der));
    std::string narrowName(name.begin(), name.end());
    EXPECT_EQ(a.der, CertificateOnKey(narrowName, a.container, AT_KEYEXCHANGE, false));
}

TEST_F(InstallTest, StoreBindingChecksTheKeyItIsGiven) {
    ASSERT_TRUE(m_ca.ok()) << m_ca.error();
    Issued a = RequestAndIssue(m_ca, MS_ENH_RSA_AES_PROV_W, 1024, u"RSA", 1);
    Issued b = RequestAndIssue(m_ca, MS_ENH_RSA_AES_PROV_W, 1024, u"RSA", 1);
    ASSERT_FALSE(a.der.empty() || b.der.empty()) << m_ca.error();
    HCRYPTPROV hProv = 0;
    std::u16string wa = Wide(a.container);
    ASSERT_TRUE(CryptAcquireContextW(&hProv, wa.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, 0));
    const std::string before = Snapshot();
    EXPECT_EQ(NTE_BAD_PUBLIC_KEY, AddCertificateToSystemStore(MS_ENH_RSA_AES_PROV_W, hProv, b.der.data(),
                                                              static_cast<DWORD>(b.der.size()), AT_KEYEXCHANGE,
                                                              wa.c_str()));
    EXPECT_EQ(NTE_NO_KEY, AddCertificateToSystemStore(MS_ENH_RSA_AES_PROV_W, hProv, a.der.data(),
                                                      static_cast<DWORD>(a.der.size()), AT_SIGNATURE, wa.c_str()));
    EXPECT_EQ(E_INVALIDARG,
              AddCertificateToSystemStore(MS_ENH_RSA_AES_PROV_W, hProv, nullptr, 0, AT_KEYEXCHANGE, wa.c_str()));
    EXPECT_EQ(before, Snapshot());

    ASSERT_EQ(KEVO_OK, AddCertificateToSystemStore(MS_ENH_RSA_AES_PROV_W, hProv, a.der.data(),
                                                   static_cast<DWORD>(a.der.size()), AT_KEYEXCHANGE, wa.c_str()));
    KeyProvInfo info = KeyProvInfoInMyStore(a.der);
    EXPECT_EQ(wa, info.container);
    EXPECT_EQ(24u, info.provType);
    EXPECT_EQ(1u, info.keySpec);
    // The provider handle is only borrowed.
    EXPECT_TRUE(CryptReleaseContext(hProv, 0));
}

}  // namespace
