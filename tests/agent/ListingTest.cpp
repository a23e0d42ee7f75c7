// "KEVO_GetAllCertInfo" through the host program: the user's "My"
// certificates bound to a key and not SM2-signed, then the unregistered SM2
// certificates in the containers of the named providers, with dates in the
// host's local time zone. Expected texts are computed with OpenSSL from the
// certificates themselves.
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/x509.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

#include "tests/support/CertTestKit.h"
#include "tests/support/EnrollTestSupport.h"
#include "tessaro/Handles.h"

using namespace enroll_test;
using certkit::Bytes;

namespace {

std::string Frame(const std::string& json) {
    std::string f(4, '\0');
    for (int i = 0; i < 4; ++i) f[i] = static_cast<char>((json.size() >> (8 * i)) & 0xFF);
    return f + json;
}

// One "KEVO_GetAllCertInfo" in a host process running in time zone tz.
Response Listing(const std::string& namesJson, const std::string& tz) {
    auto res = tessaro_test::RunProcess({tessaro_test::BuildPath("TessaroHost.QIRTAL.x86")},
                                        Frame(Call("KEVO_GetAllCertInfo", {namesJson})),
                                        {"TZ=" + tz, "LC_ALL=", "LANG=C"}, 120);
    Response bad;
    if (res.exitCode != 0 || res.out.size() < 4) {
        bad.raw = "<host failed: " + std::to_string(res.exitCode) + " " + res.err + ">";
        return bad;
    }
    return Decode(res.out.substr(4));
}

// The fields of an entry computed from the DER: subject last RDN first,
// serial as encoded (most significant byte first), dates shifted by the
// zone's fixed offset.
std::string Entry(const Bytes& der, long utcOffsetSeconds, const std::string& provider) {
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (!x) return "<bad certificate>";
    BIO* bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, X509_get_subject_name(x), 0, XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN);
    char* text = nullptr;
    long n = BIO_get_mem_data(bio, &text);
    std::string entry(text, static_cast<size_t>(n));
    BIO_free(bio);
    unsigned char* enc = nullptr;
    int len = i2d_ASN1_INTEGER(X509_get_serialNumber(x), &enc);
    static const char* d = "0123456789abcdef";
    entry += ";";
    for (int i = 2; i < len; ++i) {  // short length form: tag, length, content
        entry += d[enc[i] >> 4];
        entry += d[enc[i] & 15];
    }
    OPENSSL_free(enc);
    for (const ASN1_TIME* t : {X509_get0_notBefore(x), X509_get0_notAfter(x)}) {
        struct tm tm {};
        ASN1_TIME_to_tm(t, &tm);
        time_t v = timegm(&tm) + utcOffsetSeconds;
        gmtime_r(&v, &tm);
        char buf[32];
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
        entry += ";";
        entry += buf;
    }
    X509_free(x);
    return entry + ";" + provider;
}

std::vector<std::string> SplitEntries(const std::string& listing) {
    std::vector<std::string> out;
    if (listing.empty()) return out;
    size_t pos = 0;
    for (;;) {
        size_t sep = listing.find("||", pos);
        out.push_back(listing.substr(pos, sep == std::string::npos ? std::string::npos : sep - pos));
        if (sep == std::string::npos) break;
        pos = sep + 2;
    }
    return out;
}

const std::string SM2 = "Tessaro SM2 Token CSP v1.0";
const long SHANGHAI = 8 * 3600;

struct Tz {
    const char* name;
    long offset;
};
const Tz ZONES[] = {{"UTC", 0}, {"Asia/Shanghai", SHANGHAI}};

certkit::CertSpec RsaSpec(const std::string& cn, Bytes serial) {
    certkit::CertSpec s;
    s.subject = {{"C", "CN"}, {"O", "Tessaro"}, {"CN", cn}};
    s.serial = std::move(serial);
    return s;
}

}  // namespace

TEST(GetAllCertInfo, StorePartThenContainerPartInLocalTime) {
    certkit::FreshPrefix prefix;
    // Store: one RSA certificate with a key, one without, one SM2-signed with a key.
    ASSERT_TRUE(certkit::CreateRsaContainer(certkit::RSA_CSP, u"listing-rsa", AT_SIGNATURE));
    Bytes keyed = certkit::MakeCert(RsaSpec("Listed RSA", {0x01, 0x02, 0xA3, 0xF4}));
    Bytes loose = certkit::MakeCert(RsaSpec("Loose RSA", {0x05}));
    certkit::CertSpec sm2Store = RsaSpec("Stored SM2", {0x06});
    sm2Store.sm2 = true;
    Bytes sm2Keyed = certkit::MakeCert(sm2Store);
    ASSERT_TRUE(certkit::AddToMyStore(keyed, u"listing-rsa", certkit::RSA_CSP, AT_SIGNATURE));
    ASSERT_TRUE(certkit::AddToMyStore(loose, u"", u"", 0));
    ASSERT_TRUE(certkit::AddToMyStore(sm2Keyed, u"listing-rsa", certkit::RSA_CSP, AT_SIGNATURE));

    // Containers: one with both keys certified; one whose exchange certificate
    // is registered in "My"; one without certificates; one damaged.
    auto both = certkit::CreateSm2Container(u"{LIST-BOTH}", true, true, true, "Both", {0x00, 0x9A});
    auto registered = certkit::CreateSm2Container(u"{LIST-REG}", true, false, true, "Registered");
    auto bare = certkit::CreateSm2Container(u"{LIST-BARE}", true, true, false, "Bare");
    auto broken = certkit::CreateSm2Container(u"{LIST-BROKEN}", false, true, true, "Broken");
    ASSERT_TRUE(both.ok && registered.ok && bare.ok && broken.ok);
    ASSERT_TRUE(certkit::AddToMyStore(registered.exchangeCert, u"{LIST-REG}", certkit::SM2_CSP, AT_KEYEXCHANGE));
    ASSERT_TRUE(certkit::OverwriteStoredCertificate(u"{LIST-BROKEN}", AT_SIGNATURE, Bytes{0x30, 0x01, 0x00}));

    const std::string names = std::string(certkit::Narrow(certkit::RSA_CSP)) + "||No Such CSP||" +
                              std::string(300, 'P') + "||" + SM2;
    for (const Tz& tz : ZONES) {
        SCOPED_TRACE(tz.name);
        std::string store = Entry(keyed, tz.offset, certkit::Narrow(certkit::RSA_CSP));
        std::string exchange = Entry(both.exchangeCert, tz.offset, SM2);
        std::string signature = Entry(both.signatureCert, tz.offset, SM2);
        Response r = Listing(Str(names), tz.name);
        EXPECT_EQ(r.errorcode, 0) << r.raw;
        EXPECT_EQ(r.text, store + "||" + exchange + "||" + signature);
        // Store part alone: no names, "||" or only Microsoft providers.
        for (const std::string& only : {std::string(""), std::string("||"), certkit::Narrow(certkit::RSA_CSP)}) {
            r = Listing(Str(only), tz.name);
            EXPECT_EQ(r.errorcode, 0) << r.raw;
            EXPECT_EQ(r.text, store) << only;
        }
    }
    // Pinned texts, so that the expectation code itself is checked once.
    Response r = Listing(Str(""), "Asia/Shanghai");
    EXPECT_EQ(r.text, "CN=Listed RSA, O=Tessaro, C=CN;0102a3f4;2020-09-13 20:26:40;2030-03-18 01:46:40;"
                      "Microsoft Enhanced Cryptographic Provider v1.0");
    r = Listing(Str(SM2), "UTC");
    EXPECT_EQ(r.text, "CN=Listed RSA, O=Tessaro, C=CN;0102a3f4;2020-09-13 12:26:40;2030-03-17 17:46:40;"
                      "Microsoft Enhanced Cryptographic Provider v1.0||"
                      "CN=Both exchange, O=Tessaro, C=CN;009a01;2020-09-13 12:26:40;2030-03-17 17:46:40;" +
                          SM2 + "||CN=Both signature, O=Tessaro, C=CN;009a02;2020-09-13 12:26:40;2030-03-17 17:46:40;" +
                          SM2);
}

TEST(GetAllCertInfo, EmptyStoreAndContainersOnly) {
    certkit::FreshPrefix prefix;
    Response r = Listing(Str(SM2), "UTC");
    EXPECT_EQ(r.errorcode, 0) << r.raw;
    EXPECT_TRUE(r.hasText);
    EXPECT_EQ(r.text, "");
    auto a = certkit::CreateSm2Container(u"{ONLY-A}", false, true, true, "Only A");
    auto b = certkit::CreateSm2Container(u"{ONLY-B}", false, true, true, "Only B");
    ASSERT_TRUE(a.ok && b.ok);
    r = Listing(Str("||" + SM2), "UTC");  // a list that begins with the separator names nothing
    EXPECT_EQ(r.text, "");
    r = Listing(Str(SM2 + "||"), "UTC");
    std::vector<std::string> entries = SplitEntries(r.text);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{Entry(a.signatureCert, 0, SM2), Entry(b.signatureCert, 0, SM2)}));
    EXPECT_EQ(r.text.substr(0, 2), "CN");  // no leading separator
    // Only SM2-signed certificates are looked for in containers.
    ASSERT_TRUE(certkit::CreateRsaContainer(certkit::RSA_CSP, u"only-rsa", AT_SIGNATURE));
    certkit::CertSpec sm2Only = RsaSpec("SM2 in store", {0x07});
    sm2Only.sm2 = true;
    ASSERT_TRUE(certkit::AddToMyStore(certkit::MakeCert(sm2Only), u"only-rsa", certkit::RSA_CSP, AT_SIGNATURE));
    r = Listing(Str(""), "UTC");
    EXPECT_EQ(r.errorcode, 0) << r.raw;
    EXPECT_EQ(r.text, "");
}


TEST(GetAllCertInfo, ContainersAnotherProcessChangesDuringTheListings) {
    certkit::FreshPrefix prefix;
    auto moving = certkit::CreateSm2Container(u"{MOVING}", false, true, true, "Moving");
    auto steady = certkit::CreateSm2Container(u"{STEADY}", false, true, true, "Steady");
    ASSERT_TRUE(moving.ok && steady.ok);
    // A second certificate of the moving container's key.
    certkit::CertSpec cs;
    cs.subject = {{"C", "CN"}, {"O", "Tessaro"}, {"CN", "Moving again"}};
    cs.issuer = {{"C", "CN"}, {"CN", "SM2 Test CA"}};
    cs.serial = {0x33, 0x02};
    cs.sm2 = true;
    tessaro_test::pki::Key key = tessaro_test::pki::Sm2PublicKey(certkit::Sm2PublicPoint(u"{MOVING}", AT_SIGNATURE));
    ASSERT_TRUE(key);
    cs.subjectKey = key.get();
    const Bytes again = certkit::MakeCert(cs);
    const Bytes certs[] = {moving.signatureCert, again};

    // The other process swaps the moving certificate and makes and deletes
    // a container until told to stop.
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(stop[1]);
        fcntl(stop[0], F_SETFL, O_NONBLOCK);
        char c;
        for (unsigned i = 0; read(stop[0], &c, 1) < 0; ++i) {
            tessaro::UniqueCryptProv h;
            tessaro::UniqueCryptKey k;
            if (!CryptAcquireContextW(h.put(), u"{MOVING}", certkit::SM2_CSP, PROV_RSA_FULL, 0) ||
                !CryptGetUserKey(h.get(), AT_SIGNATURE, k.put()) ||
                !CryptSetKeyParam(k.get(), KP_CERTIFICATE, certs[i % 2].data(), 0))
                _exit(1);
            if (!certkit::CreateSm2Container(u"{PASSING}", false, true, true, "Passing").ok) _exit(2);
            HCRYPTPROV d = 0;
            if (!CryptAcquireContextW(&d, u"{PASSING}", certkit::SM2_CSP, PROV_RSA_FULL, CRYPT_DELETEKEYSET)) _exit(3);
        }
        _exit(0);
    }
    close(stop[0]);
    ASSERT_GT(pid, 0);
    const std::string a = Entry(certs[0], 0, SM2), b = Entry(certs[1], 0, SM2), s = Entry(steady.signatureCert, 0, SM2);
    for (int n = 0; n < 8; ++n) {
        Response r = Listing(Str(SM2), "UTC");
        ASSERT_EQ(r.errorcode, 0) << r.raw;
        std::vector<std::string> entries = SplitEntries(r.text);
        EXPECT_EQ(std::count(entries.begin(), entries.end(), s), 1) << r.text;
        EXPECT_EQ(std::count(entries.begin(), entries.end(), a) + std::count(entries.begin(), entries.end(), b), 1)
            << r.text;
        for (const std::string& e : entries)  // the passing container's, whole, or nothing
            if (e != a && e != b && e != s) EXPECT_EQ(e.rfind("CN=Passing signature, O=Tessaro, C=CN;", 0), 0u) << e;
        EXPECT_LE(entries.size(), 3u);
    }
    close(stop[1]);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(GetAllCertInfo, AfterRealEnrollmentsRsaFromStoreSm2FromContainers) {
    certkit::FreshPrefix prefix;
    TestCA ca;
    ASSERT_TRUE(ca.ok()) << ca.error();
    const std::string enhanced = "Microsoft Enhanced Cryptographic Provider v1.0";
    Double rsa, sm2;
    ASSERT_TRUE(EnrollDouble(ca, enhanced, 1024, "RSA", "CN=Listing RSA,O=Tessaro,C=CN", rsa));
    ASSERT_TRUE(EnrollDouble(ca, SM2, 256, "SM2", "CN=Listing SM2,O=Tessaro,C=CN", sm2));
    auto csps = Converse({Call("KEVO_GetCSPInfo", {})});
    ASSERT_EQ(csps.size(), 1u);
    ASSERT_NE(csps[0].text.find(SM2), std::string::npos);
    for (const Tz& tz : ZONES) {
        SCOPED_TRACE(tz.name);
        Response r = Listing(Str(csps[0].text), tz.name);  // every installed provider, as a page asks
        ASSERT_EQ(r.errorcode, 0) << r.raw;
        std::vector<std::string> entries = SplitEntries(r.text);
        ASSERT_EQ(entries.size(), 4u) << r.text;
        std::vector<std::string> storePart(entries.begin(), entries.begin() + 2);
        std::sort(storePart.begin(), storePart.end());
        std::vector<std::string> wantStore{Entry(rsa.sign, tz.offset, enhanced), Entry(rsa.encrypt, tz.offset, enhanced)};
        std::sort(wantStore.begin(), wantStore.end());
        EXPECT_EQ(storePart, wantStore);
        EXPECT_EQ(entries[2], Entry(sm2.encrypt, tz.offset, SM2));  // exchange key first
        EXPECT_EQ(entries[3], Entry(sm2.sign, tz.offset, SM2));
    }
}
