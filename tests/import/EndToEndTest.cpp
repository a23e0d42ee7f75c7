// The double-certificate enrollment through the host program: a type-2
// request in one host process, the signing certificate and the encryption
// envelope from the test CA, both imports in later host processes. Checked
// in the prefix afterwards: which key the container holds, what each
// certificate is bound to, and that refused envelopes changed nothing.
#include <cjson/cJSON.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/EnrollTestSupport.h"
#include "tests/import/ImportTestUtil.h"
#include "tests/import/OpenSslSide.h"
#include "tessaro/Handles.h"
#include "diag/ResultCode.h"

using namespace enroll_test;
using importenc_test::Bytes;

namespace {

// The test CA, with the envelope command.
struct Issued {
    bool ok = false;
    std::string error, certificate, envelope, privateKeyPem;
    Bytes der;
};

class EnvelopeCA {
public:
    EnvelopeCA() {
        auto r = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "init", Dir()}, "");
        m_ok = r.exitCode == 0;
        m_error = r.err;
    }
    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }

    std::string Issue(const std::string& request) {
        auto r = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "issue", Dir()}, request);
        if (r.exitCode != 0) return "";
        std::string s = r.out;
        s.erase(std::remove_if(s.begin(), s.end(), [](char c) { return c == '\r' || c == '\n' || c == ' '; }),
                s.end());
        return s;
    }

    Issued Envelope(const std::string& request, const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv{tessaro_test::BuildPath("tessaro-testca"), "envelope", Dir()};
        argv.insert(argv.end(), options.begin(), options.end());
        auto r = tessaro_test::RunProcess(argv, request);
        Issued out;
        if (r.exitCode != 0) {
            out.error = "testca envelope: exit " + std::to_string(r.exitCode) + ": " + r.err;
            return out;
        }
        cJSON* root = cJSON_Parse(r.out.c_str());
        auto text = [&](const char* name) {
            cJSON* v = cJSON_GetObjectItem(root, name);
            return cJSON_IsString(v) ? std::string(v->valuestring) : std::string();
        };
        if (root) {
            out.certificate = text("certificate");
            out.envelope = text("envelope");
            out.privateKeyPem = text("privateKeyPem");
            cJSON_Delete(root);
        }
        out.der = Base64Decode(out.certificate);
        out.ok = !out.certificate.empty() && !out.envelope.empty() && !out.der.empty();
        if (!out.ok) out.error = "testca envelope answered " + r.out;
        return out;
    }

private:
    std::string Dir() const { return m_dir.path() + "/ca"; }
    tessaro_test::TempDir m_dir{"importenc-ca"};
    bool m_ok = false;
    std::string m_error;
};

// A container with its temporary exchange key and its installed signing
// certificate, as a page has it before the encryption import.
struct Enrolled {
    std::string provider, algorithm, container, request, signCert;
    int keyLength = 0;
    bool sm2 = false;
    Bytes signDer;
};

::testing::AssertionResult Prepare(EnvelopeCA& ca, const std::string& provider, int keyLength,
                                   const std::string& algorithm, Enrolled& e) {
    e.provider = provider;
    e.keyLength = keyLength;
    e.algorithm = algorithm;
    e.sm2 = algorithm != "RSA";
    auto first = Converse({Call("KEVO_SetCSPInfo", {Num(keyLength), Str(provider)}),
                           Call("KEVO_SetKeyAlgorithm", {Str(algorithm)}),
                           Call("KEVO_PKCS10CertRequisition", {Str("CN=Import Test,O=Tessaro,C=CN"), Num(2), Num(0)}),
                           Call("KEVO_GetContainer", {})});
    if (first.size() != 4 || first[2].errorcode != 0)
        return ::testing::AssertionFailure() << "request: " << first[first.size() > 2 ? 2 : 0].raw;
    e.request = first[2].text;
    e.container = first[3].text;
    e.signCert = ca.Issue(e.request);
    if (e.signCert.empty()) return ::testing::AssertionFailure() << "issue failed";
    e.signDer = Base64Decode(e.signCert);
    auto installed = Install(provider, keyLength, algorithm, 2, e.signCert, e.container);
    if (installed.first.errorcode != 0) return ::testing::AssertionFailure() << "sign import: " << installed.first.raw;
    return ::testing::AssertionSuccess();
}

// "KEVO_ImportEncryptCert" in a host process of its own; the response.
Response ImportEncrypt(const Enrolled& e, const std::string& envelope, const std::string& certificate,
                       int flags = 0) {
    auto r = Converse({Call("KEVO_SetCSPInfo", {Num(e.keyLength), Str(e.provider)}),
                       Call("KEVO_SetKeyAlgorithm", {Str(e.algorithm)}),
                       Call("KEVO_ImportEncryptCert", {Str(envelope), Str(certificate), Str(e.container), Num(flags)}),
                       Call("KEVO_GetContainer", {})});
    if (r.size() != 4) return r[0];
    EXPECT_EQ(r[3].text, e.container);
    return r[2];
}

using Prov = tessaro::UniqueCryptProv;

bool Open(const Enrolled& e, Prov& p) {
    DWORD type = e.provider == AES ? PROV_RSA_AES : PROV_RSA_FULL;
    return CryptAcquireContextW(p.put(), Wide(e.container).c_str(), Wide(e.provider).c_str(), type,
                                e.sm2 ? CRYPT_VERIFYCONTEXT : 0) != FALSE;
}

// A signature by the container's key of that spec over msg.
Bytes Sign(const Enrolled& e, DWORD spec, const Bytes& msg) {
    Prov p;
    if (!Open(e, p)) return {};
    HCRYPTHASH h = 0;
    if (!CryptCreateHash(p.get(), e.sm2 ? CALG_SM3 : CALG_SHA1, 0, 0, &h)) return {};
    Bytes sig(512);
    DWORD n = static_cast<DWORD>(sig.size());
    bool ok = CryptHashData(h, msg.data(), static_cast<DWORD>(msg.size()), 0) &&
              CryptSignHashW(h, spec, nullptr, 0, sig.data(), &n);
    CryptDestroyHash(h);
    if (!ok) return {};
    sig.resize(n);
    return sig;
}

bool SignatureChecks(const Enrolled& e, DWORD spec, const Bytes& certDer) {
    const Bytes msg = importenc_test::Sequential(77, 0x30);
    Bytes sig = Sign(e, spec, msg);
    if (sig.empty()) return false;
    return e.sm2 ? importenc_test::VerifySm2WithCertificate(certDer, msg, sig)
                 : importenc_test::VerifyRsaSha1WithCertificate(certDer, msg, sig);
}

// Names of the containers of the Microsoft RSA family.
std::vector<std::string> MicrosoftContainers() { return enroll_test::ContainerNames(ENHANCED); }

// The pieces of an envelope text, to damage one of them.
struct EnvelopeParts {
    std::string head, sessionPart, keyPart;
};
EnvelopeParts Split(const std::string& text) {
    EnvelopeParts p;
    p.head = text.substr(0, 48);
    size_t l1 = std::stoul(text.substr(48, 16));
    p.sessionPart = text.substr(64, l1);
    size_t l2 = std::stoul(text.substr(64 + l1, 16));
    p.keyPart = text.substr(80 + l1, l2);
    return p;
}
std::string Join(const EnvelopeParts& p) {
    return p.head + importenc_test::LengthAndPart(p.sessionPart) + importenc_test::LengthAndPart(p.keyPart);
}
std::string PartOf(const Bytes& data) { return importenc_test::Base64(importenc_test::Wrapped(data)) + ","; }

long long Hr(uint32_t v) { return Code(v); }

void ExpectRefusedAndUnchanged(const Enrolled& e, const std::string& label, const std::string& envelope,
                               const std::string& certificate, std::initializer_list<HRESULT> codes) {
    const std::string before = Snapshot();
    Response r = ImportEncrypt(e, envelope, certificate);
    bool known = false;
    for (HRESULT c : codes) known = known || r.errorcode == Hr(c);
    EXPECT_TRUE(known) << label << ": " << r.raw;
    EXPECT_TRUE(r.hasFlag && !r.flag) << label << ": " << r.raw;
    EXPECT_EQ(Snapshot(), before) << label;
}

void ExpectBoundAfterImport(const Enrolled& e, const Issued& enc) {
    // The container's exchange key is the authority's key, the signing key
    // is still the request's.
    EXPECT_TRUE(importenc_test::CertificateMatchesPrivatePem(enc.der, enc.privateKeyPem));
    EXPECT_TRUE(SignatureChecks(e, AT_KEYEXCHANGE, enc.der));
    EXPECT_TRUE(SignatureChecks(e, AT_SIGNATURE, e.signDer));
    EXPECT_FALSE(SignatureChecks(e, AT_SIGNATURE, enc.der));
    const bool microsoft = e.provider.find("Microsoft") != std::string::npos;
    if (microsoft) {
        KeyProvInfo encInfo = KeyProvInfoInMyStore(enc.der), signInfo = KeyProvInfoInMyStore(e.signDer);
        ASSERT_TRUE(encInfo.found);
        EXPECT_EQ(encInfo.container, Wide(e.container));
        EXPECT_EQ(encInfo.provider, Wide(e.provider));
        EXPECT_EQ(encInfo.keySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
        EXPECT_EQ(encInfo.provType, static_cast<DWORD>(e.provider == AES ? PROV_RSA_AES : PROV_RSA_FULL));
        ASSERT_TRUE(signInfo.found);
        EXPECT_EQ(signInfo.keySpec, static_cast<DWORD>(AT_SIGNATURE));
    } else {
        EXPECT_EQ(CertificateOnKey(e.provider, e.container, AT_KEYEXCHANGE, e.sm2), enc.der);
        EXPECT_EQ(CertificateOnKey(e.provider, e.container, AT_SIGNATURE, e.sm2), e.signDer);
        EXPECT_EQ(CountInMyStore(enc.der), 0);
    }
}

// Whether the imported exchange key's private part can be exported: the
// import flags decide it.
void ExpectExchangeKeyExportable(const Enrolled& e, bool exportable) {
    Prov p;
    ASSERT_TRUE(Open(e, p));
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptGetUserKey(p.get(), AT_KEYEXCHANGE, &k));
    DWORD cb = 0;
    EXPECT_EQ(exportable, CryptExportKey(k, 0, PRIVATEKEYBLOB, 0, nullptr, &cb) != FALSE);
    CryptDestroyKey(k);
}

class ImportEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ca.ok()) << ca.error(); }
    EnvelopeCA ca;
};

}  // namespace

TEST_F(ImportEndToEnd, MicrosoftProviderPlainPathRefusesBadEnvelopesThenImports) {
    Enrolled e;
    ASSERT_TRUE(Prepare(ca, ENHANCED, 1024, "RSA", e));
    const auto containers = MicrosoftContainers();

    const std::string& req = e.request;
    for (const char* defect : {"session-no-comma", "key-no-comma", "session-one-element", "key-one-element",
                               "session-three-elements", "key-three-elements", "session-length-plus-one",
                               "key-length-plus-one", "truncated"}) {
        Issued bad = ca.Envelope(req, {"--defect", defect});
        ASSERT_TRUE(bad.ok) << bad.error;
        ExpectRefusedAndUnchanged(e, defect, bad.envelope, bad.certificate, {KEVO_E_IMPORT_ENCRYPT_CERT});
    }
    Issued device = ca.Envelope(req, {"--device", "3"});
    ExpectRefusedAndUnchanged(e, "device 3", device.envelope, device.certificate, {KEVO_E_DEVICE_TYPE});
    Issued encrypt = ca.Envelope(req, {"--encrypt", "0"});
    ExpectRefusedAndUnchanged(e, "encrypt 0", encrypt.envelope, encrypt.certificate, {KEVO_E_ENCRYPT_TYPE});
    Issued noSession = ca.Envelope(req, {"--session-type", "0"});
    ExpectRefusedAndUnchanged(e, "session type 0", noSession.envelope, noSession.certificate, {KEVO_E_SESSION_KEY_TYPE});

    // A 2048-bit key for a container whose agent says 1024.
    Issued longKey = ca.Envelope(req, {"--bits", "2048"});
    ASSERT_TRUE(longKey.ok) << longKey.error;
    ExpectRefusedAndUnchanged(e, "2048-bit key", longKey.envelope, longKey.certificate, {KEVO_E_IMPORT_ENCRYPT_CERT});

    Issued good = ca.Envelope(req);
    ASSERT_TRUE(good.ok) << good.error;
    // A certificate of another key: refused before the container changes.
    ExpectRefusedAndUnchanged(e, "signing certificate", good.envelope, e.signCert, {NTE_BAD_PUBLIC_KEY});
    ExpectRefusedAndUnchanged(e, "other certificate", good.envelope, longKey.certificate, {NTE_BAD_PUBLIC_KEY});

    // Session key bytes that do not decrypt, and a private key under another
    // session key (its padding fails, or rarely its DER).
    EnvelopeParts parts = Split(good.envelope);
    EnvelopeParts garbage = parts;
    garbage.sessionPart = PartOf(importenc_test::Sequential(128, 0x33));
    ExpectRefusedAndUnchanged(e, "garbage session key", Join(garbage), good.certificate, {NTE_BAD_DATA});
    EnvelopeParts crossed = parts;
    crossed.keyPart = Split(longKey.envelope).keyPart;
    ExpectRefusedAndUnchanged(e, "private key of another envelope", Join(crossed), good.certificate,
                              {NTE_BAD_DATA, KEVO_E_ASN1_DECODE, -1, KEVO_E_IMPORT_ENCRYPT_CERT});
    EnvelopeParts ragged = parts;
    ragged.keyPart = PartOf(importenc_test::Sequential(61, 0x33));
    ExpectRefusedAndUnchanged(e, "ragged private key", Join(ragged), good.certificate, {NTE_BAD_DATA, NTE_BAD_LEN});
    EXPECT_EQ(MicrosoftContainers(), containers);

    Response r = ImportEncrypt(e, good.envelope, good.certificate, CRYPT_EXPORTABLE);
    ASSERT_EQ(r.errorcode, 0) << r.raw;
    EXPECT_TRUE(r.hasFlag && r.flag);
    ExpectBoundAfterImport(e, good);
    // No temporary key set stays behind; flags 1 made the key exportable.
    EXPECT_EQ(MicrosoftContainers(), containers);
    ExpectExchangeKeyExportable(e, true);
}

TEST_F(ImportEndToEnd, AesProviderTakesThePlainPathWithA32ByteSessionKey) {
    Enrolled e;
    ASSERT_TRUE(Prepare(ca, AES, 1024, "RSA", e));
    const auto containers = MicrosoftContainers();
    Issued good = ca.Envelope(e.request, {"--session-key-bytes", "32"});
    ASSERT_TRUE(good.ok) << good.error;
    // Commas anywhere in the certificate text are ignored.
    std::string cert = good.certificate.substr(0, 10) + ",," + good.certificate.substr(10) + ",";
    Response r = ImportEncrypt(e, good.envelope, cert, 0);
    ASSERT_EQ(r.errorcode, 0) << r.raw;
    ExpectBoundAfterImport(e, good);
    EXPECT_EQ(MicrosoftContainers(), containers);
    // Flags 0: the imported key cannot be exported.
    ExpectExchangeKeyExportable(e, false);
}

TEST_F(ImportEndToEnd, VendorRsa1024TakesThePlainPathAndKeepsTheCertificateWithTheKey) {
    Enrolled e;
    ASSERT_TRUE(Prepare(ca, VENDOR_RSA, 1024, "RSA", e));
    const auto containers = MicrosoftContainers();
    Issued good = ca.Envelope(e.request);
    ASSERT_TRUE(good.ok) << good.error;
    ExpectRefusedAndUnchanged(e, "signing certificate", good.envelope, e.signCert, {NTE_BAD_PUBLIC_KEY});
    Response r = ImportEncrypt(e, good.envelope, good.certificate);
    ASSERT_EQ(r.errorcode, 0) << r.raw;
    ExpectBoundAfterImport(e, good);
    EXPECT_EQ(MicrosoftContainers(), containers);
}

TEST_F(ImportEndToEnd, VendorRsa2048TakesTheEnvelopePath) {
    Enrolled e;
    ASSERT_TRUE(Prepare(ca, VENDOR_RSA, 2048, "RSA", e));
    const auto containers = MicrosoftContainers();
    // The provider opens the envelope: a key of another size is its refusal.
    Issued shortKey = ca.Envelope(e.request, {"--bits", "1024"});
    ASSERT_TRUE(shortKey.ok) << shortKey.error;
    ExpectRefusedAndUnchanged(e, "1024-bit key", shortKey.envelope, shortKey.certificate, {NTE_BAD_LEN});
    Issued bad = ca.Envelope(e.request, {"--defect", "key-three-elements"});
    ExpectRefusedAndUnchanged(e, "three elements", bad.envelope, bad.certificate, {KEVO_E_IMPORT_ENCRYPT_CERT});

    Issued good = ca.Envelope(e.request);
    ASSERT_TRUE(good.ok) << good.error;
    EnvelopeParts garbage = Split(good.envelope);
    garbage.sessionPart = PartOf(importenc_test::Sequential(256, 0x33));
    ExpectRefusedAndUnchanged(e, "garbage session key", Join(garbage), good.certificate, {NTE_BAD_DATA});

    // The flags reach the provider unchanged: exportable here.
    Response r = ImportEncrypt(e, good.envelope, good.certificate, CRYPT_EXPORTABLE);
    ASSERT_EQ(r.errorcode, 0) << r.raw;
    ExpectBoundAfterImport(e, good);
    EXPECT_EQ(MicrosoftContainers(), containers);  // nothing of the plain path's key set
    Prov p;
    ASSERT_TRUE(Open(e, p));
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptGetUserKey(p.get(), AT_KEYEXCHANGE, &k));
    DWORD cb = 0;
    EXPECT_TRUE(CryptExportKey(k, 0, PRIVATEKEYBLOB, 0, nullptr, &cb));
    EXPECT_EQ(cb, 1172u);
    CryptDestroyKey(k);
}

TEST_F(ImportEndToEnd, Sm2CiphertextAsReceivedRefusalsFirst) {
    Enrolled e;
    ASSERT_TRUE(Prepare(ca, VENDOR_SM2, 256, "SM2", e));
    for (const char* defect : {"key-no-comma", "key-one-element", "key-three-elements", "key-length-plus-one",
                               "truncated"}) {
        Issued bad = ca.Envelope(e.request, {"--defect", defect});
        ASSERT_TRUE(bad.ok) << bad.error;
        ExpectRefusedAndUnchanged(e, defect, bad.envelope, bad.certificate, {KEVO_E_IMPORT_ENCRYPT_CERT});
    }
    Issued device = ca.Envelope(e.request, {"--device", "7"});
    ExpectRefusedAndUnchanged(e, "device 7", device.envelope, device.certificate, {KEVO_E_DEVICE_TYPE});
    Issued encrypt = ca.Envelope(e.request, {"--encrypt", "3"});
    ExpectRefusedAndUnchanged(e, "encrypt 3", encrypt.envelope, encrypt.certificate, {KEVO_E_ENCRYPT_TYPE});
    Issued session = ca.Envelope(e.request, {"--session-type", "5"});
    ExpectRefusedAndUnchanged(e, "session type 5", session.envelope, session.certificate, {KEVO_E_SESSION_KEY_TYPE});

    Issued good = ca.Envelope(e.request);
    ASSERT_TRUE(good.ok) << good.error;
    EnvelopeParts parts = Split(good.envelope);
    EnvelopeParts shortCt = parts;
    shortCt.keyPart = PartOf(importenc_test::Sequential(95, 0x01));
    ExpectRefusedAndUnchanged(e, "95-byte ciphertext", Join(shortCt), good.certificate, {KEVO_E_IMPORT_ENCRYPT_CERT});
    // No order decrypts: the third attempt's error.
    EnvelopeParts garbage = parts;
    garbage.keyPart = PartOf(importenc_test::Sequential(128, 0x01));
    ExpectRefusedAndUnchanged(e, "garbage ciphertext", Join(garbage), good.certificate, {NTE_BAD_DATA});

    Response r = ImportEncrypt(e, good.envelope, good.certificate);
    ASSERT_EQ(r.errorcode, 0) << r.raw;
    ExpectBoundAfterImport(e, good);
}

TEST_F(ImportEndToEnd, Sm2CiphertextInTheOtherOrder) {
    Enrolled e;
    ASSERT_TRUE(Prepare(ca, VENDOR_SM2, 256, "SM2", e));
    Issued good = ca.Envelope(e.request, {"--c1c2c3"});
    ASSERT_TRUE(good.ok) << good.error;
    Response r = ImportEncrypt(e, good.envelope, good.certificate);
    ASSERT_EQ(r.errorcode, 0) << r.raw;
    ExpectBoundAfterImport(e, good);
}

TEST_F(ImportEndToEnd, Sm2CertificateOfAnotherKeyIsNotRetriedAndLeavesTheSigningSideAlone) {
    Enrolled e;
    ASSERT_TRUE(Prepare(ca, VENDOR_SM2, 256, "SM2", e));
    Issued good = ca.Envelope(e.request, {"--c1c2c3"});
    ASSERT_TRUE(good.ok) << good.error;
    // The key goes in (the second order), the binding fails: that error, no
    // third attempt (which would fail to decrypt with the new key).
    Response r = ImportEncrypt(e, good.envelope, e.signCert);
    EXPECT_EQ(r.errorcode, Hr(NTE_BAD_PUBLIC_KEY)) << r.raw;
    EXPECT_TRUE(r.hasFlag && !r.flag);
    EXPECT_EQ(CertificateOnKey(e.provider, e.container, AT_SIGNATURE, true), e.signDer);
    EXPECT_TRUE(CertificateOnKey(e.provider, e.container, AT_KEYEXCHANGE, true).empty());
    EXPECT_TRUE(SignatureChecks(e, AT_SIGNATURE, e.signDer));
}

TEST_F(ImportEndToEnd, VendorRsaEnvelopeWithACertificateOfAnotherKeyReportsTheBinding) {
    Enrolled e;
    ASSERT_TRUE(Prepare(ca, VENDOR_RSA, 2048, "RSA", e));
    Issued good = ca.Envelope(e.request);
    ASSERT_TRUE(good.ok) << good.error;
    // The provider takes the key in, then refuses the certificate: that is
    // the answer, and the signing side is as it was.
    Response r = ImportEncrypt(e, good.envelope, e.signCert);
    EXPECT_EQ(r.errorcode, Hr(NTE_BAD_PUBLIC_KEY)) << r.raw;
    EXPECT_TRUE(r.hasFlag && !r.flag);
    EXPECT_EQ(CertificateOnKey(e.provider, e.container, AT_SIGNATURE, false), e.signDer);
    EXPECT_TRUE(CertificateOnKey(e.provider, e.container, AT_KEYEXCHANGE, false).empty());
    EXPECT_TRUE(SignatureChecks(e, AT_SIGNATURE, e.signDer));
}

namespace {

// The page first passes the signing certificate: the provider takes the key
// in (the temporary key is gone) and refuses the binding. Retrying with the
// same envelope cannot decrypt any more; only the certificate of the key now
// in the container is bound, others are refused with the decryption error
// and change nothing.
void RetryAfterWrongCertificate(EnvelopeCA& ca, const std::string& provider, int keyLength,
                                const std::string& algorithm, const std::vector<std::string>& options) {
    SCOPED_TRACE(algorithm + (options.empty() ? "" : " " + options[0]));
    Enrolled e;
    ASSERT_TRUE(Prepare(ca, provider, keyLength, algorithm, e));
    Issued good = ca.Envelope(e.request, options);
    ASSERT_TRUE(good.ok) << good.error;
    Issued other = ca.Envelope(e.request, options);  // a key of its own
    ASSERT_TRUE(other.ok) << other.error;
    ASSERT_NE(other.der, good.der);

    Response r = ImportEncrypt(e, good.envelope, e.signCert);
    ASSERT_EQ(r.errorcode, Hr(NTE_BAD_PUBLIC_KEY)) << r.raw;
    EXPECT_TRUE(CertificateOnKey(e.provider, e.container, AT_KEYEXCHANGE, e.sm2).empty());

    ExpectRefusedAndUnchanged(e, "other key", good.envelope, other.certificate, {NTE_BAD_DATA});
    ExpectRefusedAndUnchanged(e, "signing certificate again", good.envelope, e.signCert, {NTE_BAD_DATA});
    EXPECT_TRUE(CertificateOnKey(e.provider, e.container, AT_KEYEXCHANGE, e.sm2).empty());

    r = ImportEncrypt(e, good.envelope, good.certificate);
    ASSERT_EQ(r.errorcode, 0) << r.raw;
    EXPECT_TRUE(r.hasFlag && r.flag);
    ExpectBoundAfterImport(e, good);

    // Once bound, another key's certificate still does not replace it.
    ExpectRefusedAndUnchanged(e, "other key after binding", good.envelope, other.certificate, {NTE_BAD_DATA});
    EXPECT_EQ(CertificateOnKey(e.provider, e.container, AT_KEYEXCHANGE, e.sm2), good.der);
}

}  // namespace

TEST_F(ImportEndToEnd, Sm2RetryWithTheRightCertificateAfterTheWrongOneBindsIt) {
    RetryAfterWrongCertificate(ca, VENDOR_SM2, 256, "SM2", {});
    RetryAfterWrongCertificate(ca, VENDOR_SM2, 256, "SM2", {"--c1c2c3"});
}

TEST_F(ImportEndToEnd, VendorRsaEnvelopeRetryWithTheRightCertificateAfterTheWrongOneBindsIt) {
    RetryAfterWrongCertificate(ca, VENDOR_RSA, 2048, "RSA", {});
}
