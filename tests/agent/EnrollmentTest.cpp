// Single-certificate enrollment through the host program, as a page drives
// it: request in one host process, the test CA issues, the certificate is
// installed by a second host process (the page reloads in between). Checked
// in this process through the certificate store and provider calls.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/support/EnrollTestSupport.h"
#include "diag/ResultCode.h"

using namespace enroll_test;

namespace {

using tessaro_test::IsContainerName;

struct Case {
    const char* provider;
    int keyLength;
    const char* algorithm;
    int certType;
    bool md5;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.provider << ", " << c.keyLength << " bits, " << c.algorithm << ", type " << c.certType
        << (c.md5 ? ", MD5" : ", SHA-1");
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    const Case& c = info.param;
    std::string p = c.provider;
    std::string n = p == BASE ? "Base" : p == ENHANCED ? "Enhanced" : p == STRONG ? "Strong" : p == AES ? "Aes"
                    : p == VENDOR_RSA ? "VendorRsa" : "VendorSm2";
    n += std::to_string(c.keyLength) + "Type" + std::to_string(c.certType) + (c.md5 ? "Md5" : "Sha1");
    return n;
}

bool IsMicrosoft(const std::string& provider) { return provider.find("Microsoft") != std::string::npos; }

class EnrollEveryProvider : public ::testing::TestWithParam<Case> {
protected:
    TestCA m_ca;
};

TEST_P(EnrollEveryProvider, RequestIssueAndInstallInASecondProcess) {
    ASSERT_TRUE(m_ca.ok()) << m_ca.error();
    const Case& c = GetParam();
    const bool sm2 = std::string(c.algorithm) == "SM2";
    Enrollment e = Enroll(m_ca, c.provider, c.keyLength, c.algorithm, c.certType, c.md5);
    ASSERT_EQ(0, e.request.errorcode) << e.request.raw;
    ASSERT_TRUE(IsContainerName(e.container.text)) << e.container.raw;
    ASSERT_FALSE(e.certificate.empty()) << e.import.raw;
    ASSERT_FALSE(e.der.empty());
    EXPECT_EQ("{\"function\":\"KEVO_ImportSignCert\",\"errorcode\":0,\"result\":true,\"randomId\":\"t\"}",
              e.import.raw);
    EXPECT_EQ(0, e.desc.errorcode);

    const DWORD spec = c.certType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
    if (IsMicrosoft(c.provider)) {
        EXPECT_EQ(1, CountInMyStore(e.der));
        KeyProvInfo info = KeyProvInfoInMyStore(e.der);
        ASSERT_TRUE(info.found);
        EXPECT_EQ(Wide(e.container.text), info.container);
        EXPECT_EQ(Wide(c.provider), info.provider);
        EXPECT_EQ(std::string(c.provider) == AES ? 24u : 1u, info.provType);
        EXPECT_EQ(0u, info.flags);
        EXPECT_EQ(0u, info.params);
        EXPECT_EQ(spec, info.keySpec);
    } else {
        EXPECT_EQ(0, CountInMyStore(e.der));
        EXPECT_EQ(e.der, CertificateOnKey(c.provider, e.container.text, spec, sm2));
        if (c.certType == 2) {
            // The temporary exchange key of a double request stays without one.
            EXPECT_TRUE(CertificateOnKey(c.provider, e.container.text, AT_KEYEXCHANGE, sm2).empty());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Providers, EnrollEveryProvider,
    ::testing::Values(Case{BASE, 1024, "RSA", 1, false}, Case{BASE, 512, "rsa", 2, false},
                      Case{BASE, 1024, "RSA", 1, true}, Case{ENHANCED, 1024, "RSA", 1, false},
                      Case{ENHANCED, 2048, "RSA", 2, false}, Case{ENHANCED, 1024, "RSA", 2, true},
                      Case{STRONG, 1024, "RSA", 1, false}, Case{STRONG, 1024, "RSA", 2, false},
                      Case{STRONG, 1024, "RSA", 1, true}, Case{AES, 1024, "RSA", 1, false},
                      Case{AES, 1024, "RSA", 2, false}, Case{AES, 1024, "Rsa", 1, true},
                      Case{VENDOR_RSA, 1024, "RSA", 1, false}, Case{VENDOR_RSA, 1024, "RSA", 2, false},
                      Case{VENDOR_RSA, 1024, "RSA", 2, true}, Case{VENDOR_SM2, 256, "SM2", 1, false},
                      Case{VENDOR_SM2, 256, "sm2", 2, false}),
    CaseName);

class EnrollTest : public ::testing::Test {
protected:
    TestCA m_ca;
};

TEST_F(EnrollTest, InstallingTwiceKeepsOneCopyWithItsProviderRecord) {
    ASSERT_TRUE(m_ca.ok()) << m_ca.error();
    Enrollment e = Enroll(m_ca, ENHANCED, 1024, "RSA", 1, false);
    ASSERT_EQ(0, e.import.errorcode) << e.import.raw;
    // Commas anywhere in the text are dropped before decoding.
    std::string withCommas = e.certificate;
    for (size_t i = 0; i < withCommas.size(); i += 9) withCommas.insert(i, ",");
    withCommas += ",";
    auto again = Install(ENHANCED, 1024, "RSA", 1, withCommas, "  " + e.container.text + " ");
    EXPECT_EQ(0, again.first.errorcode) << again.first.raw;
    EXPECT_EQ(1, CountInMyStore(e.der));
    KeyProvInfo info = KeyProvInfoInMyStore(e.der);
    EXPECT_EQ(Wide(e.container.text), info.container);
    EXPECT_EQ(1u, info.keySpec);
}

TEST_F(EnrollTest, InstallLeavesTheRequestsContainerNamed) {
    ASSERT_TRUE(m_ca.ok()) << m_ca.error();
    Enrollment other = Enroll(m_ca, VENDOR_SM2, 256, "SM2", 1, false);
    ASSERT_EQ(0, other.import.errorcode) << other.import.raw;
    auto rsp = Converse({
        Call("KEVO_SetCSPInfo", {Num(256), Str(VENDOR_SM2)}),
        Call("KEVO_SetKeyAlgorithm", {Str("SM2")}),
        Call("KEVO_PKCS10CertRequisition", {Str("CN=Pending"), Num(2), Num(0)}),
        Call("KEVO_GetContainer", {}),
        Call("KEVO_ImportSignCert", {Num(1), Str(other.certificate), Str(" " + other.container.text + " ")}),
        Call("KEVO_GetContainer", {}),
    });
    ASSERT_EQ(6u, rsp.size()) << rsp[0].raw;
    ASSERT_EQ(0, rsp[2].errorcode) << rsp[2].raw;
    EXPECT_EQ(0, rsp[4].errorcode) << rsp[4].raw;
    EXPECT_TRUE(IsContainerName(rsp[3].text));
    EXPECT_NE(other.container.text, rsp[3].text);
    EXPECT_EQ(rsp[3].text, rsp[5].text);
    EXPECT_EQ(other.der, CertificateOnKey(VENDOR_SM2, other.container.text, AT_KEYEXCHANGE, true));
}

TEST_F(EnrollTest, CertificateTypeOtherThanOneBindsTheSignatureKey) {
    ASSERT_TRUE(m_ca.ok()) << m_ca.error();
    Enrollment e = Enroll(m_ca, VENDOR_RSA, 1024, "RSA", 2, false);
    ASSERT_EQ(0, e.import.errorcode) << e.import.raw;
    for (int type : {0, 3, -7}) {
        auto r = Install(VENDOR_RSA, 1024, "RSA", type, e.certificate, e.container.text);
        EXPECT_EQ(0, r.first.errorcode) << type << r.first.raw;
    }
    EXPECT_EQ(e.der, CertificateOnKey(VENDOR_RSA, e.container.text, AT_SIGNATURE, false));
    EXPECT_TRUE(CertificateOnKey(VENDOR_RSA, e.container.text, AT_KEYEXCHANGE, false).empty());
}

// Each refused call answers its code, the description names it, and nothing
// that existed is touched.
struct Refusal {
    std::string what;
    std::vector<std::string> setup;  // requests sent before the refused one
    std::string request;
    HRESULT code;
    std::string description;  // text before "\n(0x........)"
};

std::string Describe(uint32_t code, const std::string& text) {
    char hex[16];
    snprintf(hex, sizeof hex, "%08x", code);
    return text + "\n(0x" + hex + ")";
}

void ExpectRefusals(const std::vector<Refusal>& refusals) {
    const std::string before = Snapshot();
    for (const Refusal& r : refusals) {
        std::vector<std::string> reqs = r.setup;
        reqs.push_back(r.request);
        reqs.push_back(Call("GetLastErrorDesc", {}));
        reqs.push_back(Call("KEVO_GetContainer", {}));
        auto rsp = Converse(reqs);
        ASSERT_EQ(reqs.size(), rsp.size()) << r.what << ": " << rsp[0].raw;
        const Response& refused = rsp[rsp.size() - 3];
        EXPECT_EQ(Code(r.code), refused.errorcode) << r.what << ": " << refused.raw;
        if (refused.hasText) {
            EXPECT_EQ("", refused.text) << r.what;
        }
        if (refused.hasFlag) {
            EXPECT_FALSE(refused.flag) << r.what;
        }
        EXPECT_EQ(Describe(r.code, r.description), rsp[rsp.size() - 2].text) << r.what;
        EXPECT_EQ("", rsp.back().text) << r.what << ": no container is named";
        EXPECT_EQ(before, Snapshot()) << r.what;
    }
}

TEST_F(EnrollTest, RefusedRequestsCreateNothing) {
    const std::string ms = Call("KEVO_SetCSPInfo", {Num(1024), Str(ENHANCED)});
    const std::string rsa = Call("KEVO_SetKeyAlgorithm", {Str("RSA")});
    const std::string sm2Csp = Call("KEVO_SetCSPInfo", {Num(256), Str(VENDOR_SM2)});
    const std::string sm2 = Call("KEVO_SetKeyAlgorithm", {Str("SM2")});
    auto req = [](const std::string& subject, int type) {
        return Call("KEVO_PKCS10CertRequisition", {Str(subject), Num(type), Num(0)});
    };
    auto md5 = [](const std::string& subject, int type) {
        return Call("KEVO_PKCS10CertRequisitionwithMD5", {Str(subject), Num(type), Num(0)});
    };
    const std::string badParam = "The parameter is incorrect.\r\n";
    const std::string badData = "Bad Data.\r\n";
    const std::string badAlg = "Invalid key algorithm.";
    const std::string badOid = "The object identifier is poorly formatted.\r\n";
    ExpectRefusals({
        {"empty subject", {ms, rsa}, req("", 1), E_INVALIDARG, badParam},
        {"blank subject", {ms, rsa}, req("   ", 1), NTE_BAD_DATA, badData},
        {"piece without equals sign", {ms, rsa}, req("CN=a,O", 1), NTE_BAD_DATA, badData},
        {"doubled comma", {ms, rsa}, req("CN=a,,O=b", 2), NTE_BAD_DATA, badData},
        {"two equals signs", {ms, rsa}, req("CN=a=b", 1), NTE_BAD_DATA, badData},
        {"empty value", {ms, rsa}, req("CN=", 1), E_FAIL, "Unspecified error\r\n"},
        // The empty identifier of an unknown name is refused by the encoder.
        {"unknown attribute name", {ms, rsa}, req("CN=a,XYZ=b", 1), CRYPT_E_OID_FORMAT, badOid},
        {"unknown attribute name, SM2", {sm2Csp, sm2}, req("Q=b", 1), CRYPT_E_OID_FORMAT, badOid},
        {"type 0", {ms, rsa}, req("CN=a", 0), E_INVALIDARG, badParam},
        {"type 3", {sm2Csp, sm2}, req("CN=a", 3), E_INVALIDARG, badParam},
        {"type 3 with MD5", {ms, rsa}, md5("CN=a", 3), E_INVALIDARG, badParam},
        {"algorithm never set", {ms}, req("CN=a", 1), KEVO_E_KEY_ALGORITHM, badAlg},
        {"algorithm refused", {ms, Call("KEVO_SetKeyAlgorithm", {Str("DSA")})}, req("CN=a", 1), KEVO_E_KEY_ALGORITHM, badAlg},
        {"MD5 with SM2", {sm2Csp, sm2}, md5("", 1), KEVO_E_KEY_ALGORITHM, badAlg},
        {"provider not installed", {Call("KEVO_SetCSPInfo", {Num(1024), Str("Nobody's Token CSP")}), rsa},
         req("CN=a", 1), NTE_KEYSET_NOT_DEF, "The keyset is not defined.\r\n"},
        {"Microsoft provider not installed",
         {Call("KEVO_SetCSPInfo", {Num(1024), Str("Microsoft Imaginary Cryptographic Provider")}), rsa},
         req("CN=a", 1), NTE_KEYSET_NOT_DEF, "The keyset is not defined.\r\n"},
    });
}

TEST_F(EnrollTest, RefusedKeyLengthsAndAlgorithms) {
    const std::string keyLength = "Key length is not supported.";
    ExpectRefusals({
        {"Base provider with 2048 bits", {}, Call("KEVO_SetCSPInfo", {Num(2048), Str(BASE)}), KEVO_E_KEY_LENGTH, keyLength},
        {"Enhanced provider with 768 bits", {}, Call("KEVO_SetCSPInfo", {Num(768), Str(ENHANCED)}), KEVO_E_KEY_LENGTH,
         keyLength},
        {"AES provider with 3072 bits", {}, Call("KEVO_SetCSPInfo", {Num(3072), Str(AES)}), KEVO_E_KEY_LENGTH, keyLength},
        {"unknown algorithm", {}, Call("KEVO_SetKeyAlgorithm", {Str("ECDSA")}), KEVO_E_KEY_ALGORITHM, "Invalid key algorithm."},
    });
}

TEST_F(EnrollTest, RefusedInstallsChangeNothing) {
    ASSERT_TRUE(m_ca.ok()) << m_ca.error();
    // Installed certificates and keys that the refused calls must leave alone.
    Enrollment ms1 = Enroll(m_ca, ENHANCED, 1024, "RSA", 1, false, "CN=First");
    Enrollment ms2 = Enroll(m_ca, STRONG, 1024, "RSA", 2, false, "CN=Second");
    Enrollment sm1 = Enroll(m_ca, VENDOR_SM2, 256, "SM2", 1, false, "CN=Third");
    Enrollment sm2 = Enroll(m_ca, VENDOR_SM2, 256, "SM2", 2, false, "CN=Fourth");
    Enrollment vr = Enroll(m_ca, VENDOR_RSA, 1024, "RSA", 1, false, "CN=Fifth");
    for (const Enrollment* e : {&ms1, &ms2, &sm1, &sm2, &vr}) ASSERT_EQ(0, e->import.errorcode) << e->import.raw;

    const std::string ms = Call("KEVO_SetCSPInfo", {Num(1024), Str(ENHANCED)});
    const std::string rsa = Call("KEVO_SetKeyAlgorithm", {Str("RSA")});
    const std::string sm2Csp = Call("KEVO_SetCSPInfo", {Num(256), Str(VENDOR_SM2)});
    const std::string sm2Alg = Call("KEVO_SetKeyAlgorithm", {Str("SM2")});
    const std::string vrCsp = Call("KEVO_SetCSPInfo", {Num(1024), Str(VENDOR_RSA)});
    auto imp = [](int type, const std::string& cert, const std::string& container) {
        return Call("KEVO_ImportSignCert", {Num(type), Str(cert), Str(container)});
    };
    const std::string badParam = "The parameter is incorrect.\r\n";
    const std::string badKey = "Provider's public key is invalid.\r\n";
    const std::string noKeyset = "Keyset does not exist\r\n";
    const std::string& c1 = ms1.container.text;
    const std::string noSuchContainer = "{00000000-0000-0000-0000-000000000000}";
    ExpectRefusals({
        {"empty certificate", {ms, rsa}, imp(1, "", c1), E_INVALIDARG, badParam},
        {"blank certificate", {ms, rsa}, imp(1, "    ", c1), E_INVALIDARG, badParam},
        {"empty container", {ms, rsa}, imp(1, ms1.certificate, ""), E_INVALIDARG, badParam},
        {"blank container", {ms, rsa}, imp(1, ms1.certificate, "   "), E_INVALIDARG, badParam},
        {"only commas", {ms, rsa}, imp(1, ",,,,", c1), E_FAIL, "Unspecified error\r\n"},
        {"no Base64 characters", {ms, rsa}, imp(1, "@@@@!!!!", c1), CRYPT_E_ASN1_EOD, "ASN1 unexpected end of data.\r\n"},
        {"Base64 of text", {ms, rsa}, imp(1, "aGVsbG8sIHRoaXMgaXMgbm90IGEgY2VydGlmaWNhdGU=", c1), CRYPT_E_ASN1_BADTAG,
         "ASN1 bad tag value met.\r\n"},
        {"truncated certificate", {ms, rsa}, imp(1, ms1.certificate.substr(0, 200), c1), CRYPT_E_ASN1_EOD,
         "ASN1 unexpected end of data.\r\n"},
        {"certificate of another container", {ms, rsa}, imp(1, vr.certificate, c1), NTE_BAD_PUBLIC_KEY, badKey},
        {"signing certificate onto the exchange key", {ms, rsa}, imp(1, ms2.certificate, ms2.container.text),
         NTE_BAD_PUBLIC_KEY, badKey},
        {"SM2 certificate into an RSA container", {ms, rsa}, imp(1, sm1.certificate, c1), NTE_BAD_PUBLIC_KEY, badKey},
        {"RSA certificate into an SM2 container", {sm2Csp, sm2Alg}, imp(1, ms1.certificate, sm1.container.text),
         NTE_BAD_PUBLIC_KEY, badKey},
        {"SM2 certificate of another container", {sm2Csp, sm2Alg}, imp(1, sm2.certificate, sm1.container.text),
         NTE_BAD_PUBLIC_KEY, badKey},
        {"vendor RSA certificate of another key", {vrCsp, rsa}, imp(1, ms1.certificate, vr.container.text),
         NTE_BAD_PUBLIC_KEY, badKey},
        {"type 2 onto a container without a signature key", {ms, rsa}, imp(2, ms1.certificate, c1), NTE_NO_KEY,
         "Key does not exist.\r\n"},
        {"container that does not exist", {ms, rsa}, imp(1, ms1.certificate, noSuchContainer), NTE_BAD_KEYSET,
         noKeyset},
        {"SM2 container that does not exist", {sm2Csp, sm2Alg}, imp(1, sm1.certificate, noSuchContainer),
         NTE_BAD_KEYSET, noKeyset},
    });
}

}  // namespace
