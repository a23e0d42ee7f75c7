// The PKCS#11 token provider against a SoftHSM2 token made per test: keys
// made and used on the token, certificates stored there and propagated to
// "My", containers read back after the process lets the token go, the key
// envelope opened on the token, and the PIN through a pinentry that speaks
// Assuan.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <openssl/sha.h>
#include <p11-kit/pkcs11.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>

#include "tests/platform/csp/CspTestUtil.h"
#include "tests/platform/csp/OpenSslHelpers.h"
#include "tests/support/EnrollTestSupport.h"
#include "tests/support/TokenSession.h"
#include "pkcs11/Pkcs11.h"
#include "platform/csp/Pkcs11TokenProvider.h"
#include "platform/csp/VendorBlob.h"
#include "win/winbase.h"

using csptest::Bytes;
using csptest::Hash;
using csptest::Key;
using csptest::Prov;
using tessaro_test::ToHex;

namespace {

const char kModule[] = "/usr/lib/softhsm/libsofthsm2.so";
const char kLabel[] = "tessaro-test";
const char kPin[] = "4711";
const char16_t kName[] = u"Test Card Provider";

DWORD Code(HRESULT hr) { return static_cast<DWORD>(hr); }

std::u16string Guid(int n) {
    char b[64];
    snprintf(b, sizeof b, "{%08d-1111-2222-3333-%012d}", getpid(), n);
    return csptest::Wide(b);
}

bool Have(const std::string& path) { return access(path.c_str(), X_OK) == 0 || access(path.c_str(), R_OK) == 0; }

// A second look at the token beside the provider, through the same module.
class TokenView : public tessaro_test::TokenSession {
public:
    TokenView() : TokenSession(kModule, kLabel) {}
    std::vector<CK_OBJECT_HANDLE> Find(const std::string& label, CK_OBJECT_CLASS cls) {
        CK_ATTRIBUTE t[] = {{CKA_LABEL, const_cast<char*>(label.data()), label.size()}, {CKA_CLASS, &cls, sizeof cls}};
        std::vector<CK_OBJECT_HANDLE> out;
        if (f->C_FindObjectsInit(s, t, 2) != CKR_OK) return out;
        CK_OBJECT_HANDLE h[32];
        CK_ULONG n = 0;
        while (f->C_FindObjects(s, h, 32, &n) == CKR_OK && n) out.insert(out.end(), h, h + n);
        f->C_FindObjectsFinal(s);
        return out;
    }
    Bytes Get(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        if (f->C_GetAttributeValue(s, h, &a, 1) != CKR_OK) return {};
        Bytes v(a.ulValueLen);
        a.pValue = v.data();
        f->C_GetAttributeValue(s, h, &a, 1);
        return v;
    }
    bool Flag(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
        Bytes v = Get(h, type);
        return v.size() == 1 && v[0] == CK_TRUE;
    }
    // A public data object of another application with that label.
    void AddForeign(const std::string& label) {
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
        const char app[] = "someone else";
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_TOKEN, &yes, 1},
                            {CKA_PRIVATE, &no, 1},
                            {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                            {CKA_APPLICATION, const_cast<char*>(app), sizeof app - 1}};
        CK_OBJECT_HANDLE h;
        f->C_CreateObject(s, t, 5, &h);
    }
};

class TokenProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Have(kModule) || system("command -v softhsm2-util >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "softhsm2 is not installed (" << kModule << ", softhsm2-util)";
        m_dir = std::make_unique<tessaro_test::TempDir>("token");
        m_prefix = std::make_unique<tessaro_test::ScopedPrefix>("token-prefix");
        const std::string d = m_dir->path();
        mkdir((d + "/tokens").c_str(), 0700);
        sm2csp_test::WriteFile(d + "/softhsm2.conf", "directories.tokendir = " + d + "/tokens\nobjectstore.backend = file\n");
        setenv("SOFTHSM2_CONF", (d + "/softhsm2.conf").c_str(), 1);
        auto init = tessaro_test::RunProcess({"softhsm2-util", "--init-token", "--free", "--label", kLabel, "--pin",
                                              kPin, "--so-pin", "123456"},
                                             "");
        ASSERT_EQ(init.exitCode, 0) << init.err;
        // Counts its runs in pinentry.log; answers with the PIN in pin, or
        // cancels when the file says "cancel".
        sm2csp_test::WriteFile(d + "/pin", std::string(kPin));
        sm2csp_test::WriteFile(d + "/pinentry",
                               "#!/bin/sh\n"
                               "D=" + d + "\n"
                               "echo run >> \"$D/pinentry.log\"\n"
                               "echo 'OK Pleased to meet you'\n"
                               "while IFS= read -r line; do\n"
                               "  case \"$line\" in\n"
                               "    GETPIN) p=$(cat \"$D/pin\")\n"
                               "      if [ \"$p\" = cancel ]; then echo 'ERR 83886179 Operation cancelled <Pinentry>';\n"
                               "      else echo \"D $p\"; echo OK; fi;;\n"
                               "    BYE) echo OK; exit 0;;\n"
                               "    *) echo OK;;\n"
                               "  esac\n"
                               "done\n");
        chmod((d + "/pinentry").c_str(), 0700);
        setenv("TESSARO_PINENTRY", (d + "/pinentry").c_str(), 1);
        // token add registers the module with the browsers of $HOME.
        const char* home = getenv("HOME");
        m_home = home ? home : "";
        setenv("HOME", d.c_str(), 1);
        Register(tessaro_test::Narrow(kName), kLabel);
    }
    void TearDown() override {
        tessaro::csp::Pkcs11TokenReset();
        unsetenv("TESSARO_PINENTRY");
        unsetenv("SOFTHSM2_CONF");
        unsetenv("TESSARO_FAKE_TOKEN");
        if (!m_home.empty()) setenv("HOME", m_home.c_str(), 1);
    }
    void Register(const std::string& name, const std::string& label, const std::string& module = kModule) {
        auto r = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-register"), "token", "add", "--name", name,
                                           "--module", module, "--token", label},
                                          "");
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    }
    int PinRuns() {
        std::string log = tessaro_test::ReadFile(m_dir->path() + "/pinentry.log");
        return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    }
    void SetPinAnswer(const std::string& s) { sm2csp_test::WriteFile(m_dir->path() + "/pin", s); }
    bool Acquire(Prov& p, const std::u16string& c, DWORD flags, const char16_t* prov = kName) {
        return CryptAcquireContextW(p.put(), c.c_str(), prov, PROV_RSA_FULL, flags);
    }
    std::vector<std::string> Containers(HCRYPTPROV h) {
        std::vector<std::string> out;
        char buf[300];
        DWORD flags = CRYPT_FIRST, cb = sizeof buf;
        while (CryptGetProvParam(h, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buf), &cb, flags)) {
            out.push_back(buf);
            flags = CRYPT_NEXT;
            cb = sizeof buf;
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        return out;
    }
    std::unique_ptr<tessaro_test::TempDir> m_dir;
    std::unique_ptr<tessaro_test::ScopedPrefix> m_prefix;
    std::string m_home;
};

// PKCS#1 v1.5 signature (CryptoAPI's byte order) over SHA-256 of msg.
Bytes SignSha256(HCRYPTPROV h, DWORD spec, const Bytes& msg) {
    Hash hh;
    if (!CryptCreateHash(h, CALG_SHA_256, 0, 0, hh.put()) || !CryptHashData(hh.get(), msg.data(), msg.size(), 0))
        return {};
    DWORD cb = 0;
    if (!CryptSignHashW(hh.get(), spec, nullptr, 0, nullptr, &cb)) return {};
    Bytes sig(cb);
    if (!CryptSignHashW(hh.get(), spec, nullptr, 0, sig.data(), &cb)) return {};
    return sig;
}

bool VerifySha256(EVP_PKEY* pub, const Bytes& msg, const Bytes& sigBigEndian, int padding = RSA_PKCS1_PADDING) {
    tessaro::UniquePtr<EVP_MD_CTX> c(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pc = nullptr;
    return EVP_DigestVerifyInit(c.get(), &pc, EVP_sha256(), nullptr, pub) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(pc, padding) == 1 &&
           EVP_DigestVerify(c.get(), sigBigEndian.data(), sigBigEndian.size(), msg.data(), msg.size()) == 1;
}

Bytes CertFor(EVP_PKEY* pub, const std::string& cn) {
    tessaro_test::pki::CertSpec spec;
    spec.subject = {{"CN", cn}};
    spec.issuer = {{"CN", "Token Test CA"}};
    spec.subjectKey = pub;
    return tessaro_test::pki::MakeCert(spec);
}

// The key-provider property of the certificate in the user's "My" store;
// empty container when it is not there.
struct Propagated {
    std::u16string container, provider;
    DWORD spec = 0;
};
Propagated InMyStore(const Bytes& cert) {
    Propagated r;
    tessaro::UniqueCertStore store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My"));
    if (!store) return r;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c;
         c = CertEnumCertificatesInStore(store.get(), c)) {
        if (Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded) != cert) continue;
        DWORD cb = 0;
        if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) {
            std::vector<ULONG_PTR> buf(cb / sizeof(ULONG_PTR) + 1);
            auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
            if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, info, &cb)) {
                r.container = info->pwszContainerName;
                r.provider = info->pwszProvName;
                r.spec = info->dwKeySpec;
            }
        }
        CertFreeCertificateContext(c);
        break;
    }
    return r;
}

TEST_F(TokenProviderTest, KeysAreMadeAndUsedOnTheTokenAndTheCertificateIsStoredAndPropagated) {
    const std::u16string name = Guid(1);
    const std::string label = tessaro_test::Narrow(name);
    Prov p;
    ASSERT_TRUE(Acquire(p, name, CRYPT_NEWKEYSET)) << std::hex << GetLastError();
    Key sig, kx;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 2048 << 16, sig.put())) << std::hex << GetLastError();
    ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, (1024 << 16) | CRYPT_EXPORTABLE, kx.put()))
        << std::hex << GetLastError();
    EXPECT_FALSE(CryptGenKey(p.get(), AT_SIGNATURE, 8192 << 16, Key().put()));
    EXPECT_EQ(GetLastError(), Code(NTE_BAD_FLAGS));

    // Both pairs on the token, private halves sensitive; only the exportable
    // one may be extracted.
    TokenView view;
    auto priv = view.Find(label, CKO_PRIVATE_KEY);
    ASSERT_EQ(priv.size(), 2u);
    ASSERT_EQ(view.Find(label, CKO_PUBLIC_KEY).size(), 2u);
    for (CK_OBJECT_HANDLE h : priv) {
        Bytes id = view.Get(h, CKA_ID);
        ASSERT_EQ(id.size(), 18u);
        EXPECT_EQ(id[0], 'T');
        EXPECT_TRUE(view.Flag(h, CKA_TOKEN) && view.Flag(h, CKA_PRIVATE) && view.Flag(h, CKA_SENSITIVE));
        EXPECT_EQ(view.Flag(h, CKA_EXTRACTABLE), id[1] == AT_KEYEXCHANGE);
    }
    DWORD cb = 0;
    EXPECT_FALSE(CryptExportKey(sig.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &cb));
    EXPECT_EQ(GetLastError(), Code(NTE_BAD_KEY_STATE));

    // A request's signature, and the padded operations, verify with the public key.
    csptest::Pkey pub = csptest::PublicKeyOf(p.get(), AT_SIGNATURE);
    ASSERT_TRUE(pub);
    EXPECT_EQ(EVP_PKEY_get_bits(pub.get()), 2048);
    const Bytes msg = {'r', 'e', 'q', 'u', 'e', 's', 't'};
    Bytes le = SignSha256(p.get(), AT_SIGNATURE, msg);
    ASSERT_EQ(le.size(), 256u);
    EXPECT_TRUE(VerifySha256(pub.get(), msg, csptest::Reversed(le)));
    Bytes digest(32);
    SHA256(msg.data(), msg.size(), digest.data());
    BCRYPT_PSS_PADDING_INFO pss{BCRYPT_SHA256_ALGORITHM, 32};
    Bytes padded(256);
    DWORD cbPadded = 256;
    ASSERT_TRUE(CryptSignHashPadded(sig.get(), &pss, digest.data(), 32, padded.data(), &cbPadded, BCRYPT_PAD_PSS))
        << std::hex << GetLastError();
    EXPECT_TRUE(VerifySha256(pub.get(), msg, padded, RSA_PKCS1_PSS_PADDING));
    csptest::Pkey kxPub = csptest::PublicKeyOf(p.get(), AT_KEYEXCHANGE);
    Bytes secret = {1, 2, 3, 4, 5};
    Bytes ct = sm2csp_test::RsaEncryptPkcs1Public(csptest::BnBytes(kxPub.get(), OSSL_PKEY_PARAM_RSA_N, 128), {1, 0, 1},
                                                  secret);
    Bytes plain(128);
    DWORD cbPlain = 128;
    ASSERT_TRUE(CryptDecryptPadded(kx.get(), nullptr, ct.data(), 128, plain.data(), &cbPlain, BCRYPT_PAD_PKCS1))
        << std::hex << GetLastError();
    plain.resize(cbPlain);
    EXPECT_EQ(plain, secret);

    // KP_CERTIFICATE: another key's certificate is refused; the right one is
    // stored beside its key (one CKA_ID) and registered in "My".
    csptest::Pkey other = csptest::OpenSslRsa(1024);
    Bytes wrong = CertFor(other.get(), "wrong");
    EXPECT_FALSE(CryptSetKeyParam(sig.get(), KP_CERTIFICATE, wrong.data(), 0));
    EXPECT_EQ(GetLastError(), Code(NTE_BAD_PUBLIC_KEY));
    EXPECT_TRUE(view.Find(label, CKO_CERTIFICATE).empty());
    Bytes cert = CertFor(pub.get(), "holder");
    ASSERT_TRUE(CryptSetKeyParam(sig.get(), KP_CERTIFICATE, cert.data(), 0)) << std::hex << GetLastError();
    auto certs = view.Find(label, CKO_CERTIFICATE);
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(view.Get(certs[0], CKA_VALUE), cert);
    Bytes sigId;
    for (CK_OBJECT_HANDLE h : priv)
        if (view.Get(h, CKA_ID)[1] == AT_SIGNATURE) sigId = view.Get(h, CKA_ID);
    EXPECT_EQ(view.Get(certs[0], CKA_ID), sigId);
    cb = 0;
    ASSERT_TRUE(CryptGetKeyParam(sig.get(), KP_CERTIFICATE, nullptr, &cb, 0));
    Bytes back(cb);
    ASSERT_TRUE(CryptGetKeyParam(sig.get(), KP_CERTIFICATE, back.data(), &cb, 0));
    EXPECT_EQ(back, cert);
    Propagated my = InMyStore(cert);
    EXPECT_EQ(my.container, name);
    EXPECT_EQ(my.provider, kName);
    EXPECT_EQ(my.spec, static_cast<DWORD>(AT_SIGNATURE));

    // The container is listed, also from a verify context; the PIN was asked once.
    Prov verify;
    ASSERT_TRUE(Acquire(verify, u"", CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(Containers(verify.get()), std::vector<std::string>{label});
    EXPECT_EQ(PinRuns(), 1);
}

TEST_F(TokenProviderTest, ContainerReadsBackAfterTheTokenIsLetGoAndDeletesOnlyItsOwnObjects) {
    const std::u16string name = Guid(2);
    const std::string label = tessaro_test::Narrow(name);
    Bytes cert, modulus;
    {
        Prov p;
        ASSERT_TRUE(Acquire(p, name, CRYPT_NEWKEYSET)) << std::hex << GetLastError();
        Key k;
        ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, 1024 << 16, k.put()));
        csptest::Pkey pub = csptest::PublicKeyOf(p.get(), AT_KEYEXCHANGE);
        modulus = csptest::BnBytes(pub.get(), OSSL_PKEY_PARAM_RSA_N, 128);
        cert = CertFor(pub.get(), "kept");
        ASSERT_TRUE(CryptSetKeyParam(k.get(), KP_CERTIFICATE, cert.data(), 0));
        EXPECT_FALSE(Acquire(p, name, CRYPT_NEWKEYSET));
        EXPECT_EQ(GetLastError(), Code(NTE_EXISTS));
    }
    // Objects of others: same label, other application; and another
    // container's name.
    {
        TokenView view;
        view.AddForeign(label);
        view.AddForeign("{someone-else}");
    }
    // Taken out of "My" meanwhile: the first open of the token registers it again.
    {
        tessaro::UniqueCertStore store(
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My"));
        PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr);
        ASSERT_NE(c, nullptr);
        ASSERT_TRUE(CertDeleteCertificateFromStore(c));
        EXPECT_TRUE(InMyStore(cert).container.empty());
    }
    tessaro::csp::Pkcs11TokenReset();  // as a new host process

    Prov p;
    ASSERT_TRUE(Acquire(p, name, CRYPT_VERIFYCONTEXT)) << std::hex << GetLastError();
    EXPECT_EQ(InMyStore(cert).container, name);
    csptest::Pkey pub = csptest::PublicKeyOf(p.get(), AT_KEYEXCHANGE);
    ASSERT_TRUE(pub);
    EXPECT_EQ(csptest::BnBytes(pub.get(), OSSL_PKEY_PARAM_RSA_N, 128), modulus);
    Key k;
    ASSERT_TRUE(CryptGetUserKey(p.get(), AT_KEYEXCHANGE, k.put()));
    EXPECT_FALSE(CryptGetUserKey(p.get(), AT_SIGNATURE, Key().put()));
    EXPECT_EQ(GetLastError(), Code(NTE_NO_KEY));
    DWORD cb = 4096;
    Bytes back(cb);
    ASSERT_TRUE(CryptGetKeyParam(k.get(), KP_CERTIFICATE, back.data(), &cb, 0));
    back.resize(cb);
    EXPECT_EQ(back, cert);
    const Bytes msg = {'x'};
    EXPECT_TRUE(VerifySha256(pub.get(), msg, csptest::Reversed(SignSha256(p.get(), AT_KEYEXCHANGE, msg))));
    EXPECT_EQ(PinRuns(), 2);  // once per process

    Prov other;
    EXPECT_TRUE(Acquire(other, name, CRYPT_DELETEKEYSET)) << std::hex << GetLastError();
    EXPECT_FALSE(Acquire(other, name, 0));
    EXPECT_EQ(GetLastError(), Code(NTE_BAD_KEYSET));
    EXPECT_EQ(Containers(p.get()), std::vector<std::string>{});
    TokenView view;
    EXPECT_TRUE(view.Find(label, CKO_PRIVATE_KEY).empty());
    EXPECT_TRUE(view.Find(label, CKO_PUBLIC_KEY).empty());
    EXPECT_TRUE(view.Find(label, CKO_CERTIFICATE).empty());
    EXPECT_EQ(view.Find(label, CKO_DATA).size(), 1u);
    EXPECT_EQ(view.Find("{someone-else}", CKO_DATA).size(), 1u);
    // The signature made with a key handle from before fails now.
    Bytes digest(32), sig(128);
    DWORD cbSig = 128;
    BCRYPT_PKCS1_PADDING_INFO pk1{BCRYPT_SHA256_ALGORITHM};
    EXPECT_FALSE(CryptSignHashPadded(k.get(), &pk1, digest.data(), 32, sig.data(), &cbSig, BCRYPT_PAD_PKCS1));
    EXPECT_EQ(GetLastError(), Code(NTE_BAD_KEYSET));
}

TEST_F(TokenProviderTest, EnvelopeIsOpenedOnTheTokenAndABadOneChangesNothing) {
    const std::u16string name = Guid(3);
    Prov p;
    ASSERT_TRUE(Acquire(p, name, CRYPT_NEWKEYSET));
    // Without an exchange key there is nothing to open the envelope with;
    // a blob cut short is refused before anything is read through it.
    const BYTE dummy[16] = {};
    Bytes blob0 = tessaro::csp::BuildRsaVendorBlob(1024, dummy, sizeof dummy);
    Bytes envDummy = tessaro::csp::BuildRsaKeyEnvelope(dummy, sizeof dummy, dummy, sizeof dummy);
    Bytes noKey = tessaro::csp::BuildRsaVendorBlob(1024, envDummy.data(), envDummy.size());
    EXPECT_FALSE(CryptImportKey(p.get(), noKey.data(), noKey.size(), 0, 0, Key().put()));
    EXPECT_EQ(GetLastError(), Code(NTE_NO_KEY));
    EXPECT_FALSE(CryptImportKey(p.get(), blob0.data(), blob0.size() - 1, 0, 0, Key().put()));
    EXPECT_EQ(GetLastError(), Code(NTE_BAD_LEN));
    Key kx;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, 2048 << 16, kx.put()));
    csptest::Pkey xpub = csptest::PublicKeyOf(p.get(), AT_KEYEXCHANGE);
    const Bytes xmod = csptest::BnBytes(xpub.get(), OSSL_PKEY_PARAM_RSA_N, 256);

    sm2csp_test::RsaPair target = sm2csp_test::NewRsaPair(1024);
    Bytes session = sm2csp_test::RandomBytes(24);
    Bytes encSession = sm2csp_test::RsaEncryptPkcs1Public(xmod, {1, 0, 1}, session);
    Bytes encPrivate = sm2csp_test::TripleDesEcbEncrypt(session, target.pkcs1);

    // Damaged private-key ciphertext: refused, the exchange key stays.
    Bytes damaged = encPrivate;
    damaged[damaged.size() / 2] ^= 0x40;
    Bytes badEnv = tessaro::csp::BuildRsaKeyEnvelope(encSession.data(), encSession.size(), damaged.data(),
                                                     damaged.size());
    Bytes badBlob = tessaro::csp::BuildRsaVendorBlob(1024, badEnv.data(), badEnv.size());
    EXPECT_FALSE(CryptImportKey(p.get(), badBlob.data(), badBlob.size(), 0, 0, Key().put()));
    EXPECT_EQ(GetLastError(), Code(NTE_BAD_DATA));
    Bytes env = tessaro::csp::BuildRsaKeyEnvelope(encSession.data(), encSession.size(), encPrivate.data(),
                                                  encPrivate.size());
    Bytes wrongBits = tessaro::csp::BuildRsaVendorBlob(2048, env.data(), env.size());
    EXPECT_FALSE(CryptImportKey(p.get(), wrongBits.data(), wrongBits.size(), 0, 0, Key().put()));
    EXPECT_EQ(GetLastError(), Code(NTE_BAD_LEN));
    EXPECT_EQ(csptest::BnBytes(csptest::PublicKeyOf(p.get(), AT_KEYEXCHANGE).get(), OSSL_PKEY_PARAM_RSA_N, 256), xmod);

    Bytes blob = tessaro::csp::BuildRsaVendorBlob(1024, env.data(), env.size());
    Key imported;
    ASSERT_TRUE(CryptImportKey(p.get(), blob.data(), blob.size(), 0, 0, imported.put())) << std::hex << GetLastError();
    csptest::Pkey now = csptest::PublicKeyOf(p.get(), AT_KEYEXCHANGE);
    EXPECT_EQ(csptest::BnBytes(now.get(), OSSL_PKEY_PARAM_RSA_N, 128), target.modulus);
    const Bytes msg = {'e', 'n', 'c'};
    EXPECT_TRUE(VerifySha256(now.get(), msg, csptest::Reversed(SignSha256(p.get(), AT_KEYEXCHANGE, msg))));

    // The opened key lives on the token only, not extractable, and takes
    // the encryption certificate.
    TokenView view;
    const std::string label = tessaro_test::Narrow(name);
    auto priv = view.Find(label, CKO_PRIVATE_KEY);
    ASSERT_EQ(priv.size(), 1u);
    EXPECT_TRUE(view.Flag(priv[0], CKA_SENSITIVE));
    EXPECT_FALSE(view.Flag(priv[0], CKA_EXTRACTABLE));
    EXPECT_EQ(view.Get(priv[0], CKA_MODULUS), target.modulus);
    Bytes cert = CertFor(now.get(), "encryption");
    ASSERT_TRUE(CryptSetKeyParam(imported.get(), KP_CERTIFICATE, cert.data(), 0)) << std::hex << GetLastError();
    EXPECT_EQ(InMyStore(cert).spec, static_cast<DWORD>(AT_KEYEXCHANGE));
}

TEST_F(TokenProviderTest, PinAndTokenFailuresHaveSmartCardCodesAndCreateNothing) {
    Prov p;
    EXPECT_FALSE(Acquire(p, Guid(4), CRYPT_NEWKEYSET | CRYPT_SILENT));
    EXPECT_EQ(GetLastError(), Code(NTE_SILENT_CONTEXT));
    EXPECT_EQ(PinRuns(), 0);
    SetPinAnswer("cancel");
    EXPECT_FALSE(Acquire(p, Guid(4), CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), Code(SCARD_W_CANCELLED_BY_USER));
    SetPinAnswer("9999");
    EXPECT_FALSE(Acquire(p, Guid(4), CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), Code(SCARD_W_WRONG_CHV));
    SetPinAnswer(kPin);  // a wrong PIN is not kept: asked again
    ASSERT_TRUE(Acquire(p, u"", CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(Containers(p.get()), std::vector<std::string>{});
    ASSERT_TRUE(Acquire(p, Guid(4), CRYPT_NEWKEYSET)) << std::hex << GetLastError();
    EXPECT_EQ(PinRuns(), 3);
    // A PIN given by the caller replaces the kept one; pinentry is not asked.
    const BYTE wrong[] = "0000", right[] = "4711";
    EXPECT_FALSE(CryptSetProvParam(p.get(), PP_KEYEXCHANGE_PIN, wrong, 0));
    EXPECT_EQ(GetLastError(), Code(SCARD_W_WRONG_CHV));
    ASSERT_TRUE(CryptSetProvParam(p.get(), PP_KEYEXCHANGE_PIN, right, 0)) << std::hex << GetLastError();
    EXPECT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 1024 << 16, Key().put())) << std::hex << GetLastError();
    EXPECT_EQ(PinRuns(), 3);
    // The token taken away under the open context.
    std::filesystem::remove_all(m_dir->path() + "/tokens");
    EXPECT_EQ(SignSha256(p.get(), AT_SIGNATURE, {'x'}), Bytes{});
    EXPECT_EQ(GetLastError(), Code(SCARD_E_NO_SMARTCARD));
    EXPECT_FALSE(Acquire(p, Guid(4), 0));
    EXPECT_EQ(GetLastError(), Code(SCARD_E_NO_SMARTCARD));

    Register("Absent Card", "no-such-token");
    EXPECT_FALSE(Acquire(p, Guid(5), CRYPT_NEWKEYSET, u"Absent Card"));
    EXPECT_EQ(GetLastError(), Code(SCARD_E_NO_SMARTCARD));
    mkdir((m_dir->path() + "/tokens").c_str(), 0700);  // taken away above
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(tessaro_test::RunProcess({"softhsm2-util", "--init-token", "--free", "--label", "twin", "--pin", kPin,
                                            "--so-pin", "123456"},
                                           "")
                      .exitCode,
                  0);
    Register("Twin Card", "twin");
    tessaro::csp::Pkcs11TokenReset();  // the module sees tokens made since it started
    EXPECT_FALSE(Acquire(p, Guid(5), CRYPT_NEWKEYSET, u"Twin Card"));
    EXPECT_EQ(GetLastError(), Code(HRESULT_FROM_WIN32(ERROR_AMBIGUOUS_SYSTEM_DEVICE)));
    WCHAR text[200];
    ASSERT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, Code(SCARD_W_WRONG_CHV), 0, text, 200, nullptr), 0u);
    EXPECT_EQ(std::u16string(text), u"The card cannot be accessed because the wrong PIN was presented.\r\n");
}

// What SoftHSM2 never does, played by a front module: a locked PIN is
// SCARD_W_CHV_BLOCKED whether the token says so or the login does, and a full
// token is NTE_TOKEN_KEYSET_STORAGE_FULL with nothing left behind.
TEST_F(TokenProviderTest, LockedPinAndFullTokenHaveTheirCodesAndLeaveNothing) {
    Register("Fake Card", kLabel, tessaro_test::BuildPath("libtessaro_fake_token.so"));
    const char16_t fake[] = u"Fake Card";
    Prov p;
    setenv("TESSARO_FAKE_TOKEN", "locked", 1);
    EXPECT_FALSE(Acquire(p, Guid(8), CRYPT_NEWKEYSET, fake));
    EXPECT_EQ(GetLastError(), Code(SCARD_W_CHV_BLOCKED));
    EXPECT_EQ(PinRuns(), 0);  // a locked PIN is not asked for
    setenv("TESSARO_FAKE_TOKEN", "locked-login", 1);
    EXPECT_FALSE(Acquire(p, Guid(8), CRYPT_NEWKEYSET, fake));
    EXPECT_EQ(GetLastError(), Code(SCARD_W_CHV_BLOCKED));
    EXPECT_EQ(PinRuns(), 1);
    WCHAR text[200];
    ASSERT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, Code(SCARD_W_CHV_BLOCKED), 0, text, 200, nullptr), 0u);
    EXPECT_EQ(std::u16string(text),
              u"The card cannot be accessed because the maximum number of PIN entry attempts has been reached.\r\n");

    setenv("TESSARO_FAKE_TOKEN", "full", 1);
    EXPECT_FALSE(Acquire(p, Guid(8), CRYPT_NEWKEYSET, fake));
    EXPECT_EQ(GetLastError(), Code(NTE_TOKEN_KEYSET_STORAGE_FULL));
    unsetenv("TESSARO_FAKE_TOKEN");
    ASSERT_TRUE(Acquire(p, Guid(8), CRYPT_NEWKEYSET, fake)) << std::hex << GetLastError();
    setenv("TESSARO_FAKE_TOKEN", "full", 1);
    EXPECT_FALSE(CryptGenKey(p.get(), AT_SIGNATURE, 1024 << 16, Key().put()));
    EXPECT_EQ(GetLastError(), Code(NTE_TOKEN_KEYSET_STORAGE_FULL));
    TokenView view;
    const std::string label = tessaro_test::Narrow(Guid(8));
    EXPECT_EQ(view.Find(label, CKO_PRIVATE_KEY).size() + view.Find(label, CKO_PUBLIC_KEY).size(), 0u);
    EXPECT_EQ(view.Find(label, CKO_DATA).size(), 1u);  // the container made before the token filled up
}

TEST_F(TokenProviderTest, RegistrationIsListedAndRefusesWhatItCannotUse) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        DWORD type = 0, cb = 0;
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, nullptr, &cb)) break;
        std::u16string n(cb / 2, u'\0');
        ASSERT_TRUE(CryptEnumProvidersW(i, nullptr, 0, &type, reinterpret_cast<LPWSTR>(n.data()), &cb));
        n.resize(cb / 2 - 1);
        names.push_back(n);
    }
    EXPECT_NE(std::find(names.begin(), names.end(), kName), names.end());

    const std::string tool = tessaro_test::BuildPath("tessaro-register");
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), tool);
        return tessaro_test::RunProcess(args, "");
    };
    auto r = run({"token", "add", "--name", "Test Card Provider", "--module", kModule, "--token", kLabel});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("already registered"), std::string::npos) << r.err;
    r = run({"token", "add", "--name", "Microsoft Card", "--module", kModule, "--token", kLabel});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("contains \"Microsoft\""), std::string::npos) << r.err;
    r = run({"token", "add", "--name", "Libc", "--module", "/lib/x86_64-linux-gnu/libc.so.6", "--token", kLabel});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("does not export C_GetFunctionList"), std::string::npos) << r.err;
    r = run({"token", "add", "--name", "Text", "--module", tessaro_test::SourcePath("README.md"), "--token", kLabel});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("does not load"), std::string::npos) << r.err;
    r = run({"token", "list"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Test Card Provider\ttessaro-test\t"), std::string::npos) << r.out;
    EXPECT_EQ(run({"token", "remove", "--name", "Microsoft Enhanced Cryptographic Provider v1.0"}).exitCode, 1);

    // The token's module reaches Chromium's NSS database and p11-kit once,
    // whichever of the providers on it are registered, and goes with the last.
    const char* xdg = getenv("XDG_DATA_HOME");
    const std::string db = "sql:" + (xdg && *xdg == '/' ? std::string(xdg) : m_dir->path() + "/.local/share") +
                           "/pki/nssdb";
    const std::string module = std::filesystem::canonical(kModule);  // registered resolved
    const std::string lib = "library name: " + module;
    auto nss = [&] { return tessaro_test::RunProcess({"modutil", "-dbdir", db, "-list"}, "").out; };
    auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t i = text.find(what); i != std::string::npos; i = text.find(what, i + 1)) ++n;
        return n;
    };
    auto p11kit = [&] {
        std::string all;
        for (const auto& e : std::filesystem::directory_iterator(m_dir->path() + "/.config/pkcs11/modules"))
            if (e.path().filename().string().rfind("tessaro-token-", 0) == 0) all += tessaro_test::ReadFile(e.path());
        return all;
    };
    EXPECT_NE(nss().find("Tessaro token: Test Card Provider"), std::string::npos) << nss();
    r = run({"token", "add", "--name", "Second Card", "--module", kModule, "--token", kLabel});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("already registered as \"Tessaro token: Test Card Provider\""), std::string::npos) << r.out;
    EXPECT_EQ(count(nss(), lib), 1u);
    EXPECT_EQ(count(p11kit(), "module: " + module + "\n"), 2u);
#ifndef TESSARO_SANITIZE  // install hands the project's instrumented module to modutil
    // The user's uninstall and install cover the token providers' modules.
    EXPECT_EQ(run({"uninstall"}).exitCode, 0);
    EXPECT_EQ(count(nss(), lib), 0u);
    EXPECT_EQ(p11kit(), "");
    r = run({"install"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(count(nss(), lib), 1u);
    EXPECT_EQ(count(p11kit(), "module: " + module + "\n"), 2u);
#endif
    EXPECT_EQ(run({"token", "remove", "--name", "Test Card Provider"}).exitCode, 0);
    std::string left = nss();
    EXPECT_EQ(count(left, lib), 1u);
    EXPECT_NE(left.find("Tessaro token: Second Card"), std::string::npos) << left;
    EXPECT_EQ(count(p11kit(), "module: "), 1u);
    EXPECT_EQ(run({"token", "remove", "--name", "Second Card"}).exitCode, 0);
    EXPECT_EQ(count(nss(), lib), 0u);
    EXPECT_EQ(p11kit(), "");
    EXPECT_EQ(run({"token", "list"}).out, "");
    Prov p;
    EXPECT_FALSE(Acquire(p, Guid(6), 0));
    EXPECT_EQ(GetLastError(), Code(NTE_KEYSET_NOT_DEF));
}

// One object as OpenSC's pkcs11-tool lists it.
struct ListedObject {
    std::string kind, label, id, access;
};
std::vector<ListedObject> ListWithPkcs11Tool() {
    auto r = tessaro_test::RunProcess({"pkcs11-tool", "--module", kModule, "--token-label", kLabel, "--login", "--pin",
                                       kPin, "--list-objects"},
                                      "");
    std::vector<ListedObject> out;
    std::istringstream in(r.out);
    std::string line;
    auto value = [&](const char* key) {
        size_t i = line.find(key);
        return i == std::string::npos ? std::string() : line.substr(line.find_first_not_of(' ', i + strlen(key)));
    };
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line[0] != ' ') out.push_back({line.substr(0, line.find(' ')), "", "", ""});
        else if (out.empty()) continue;
        else if (line.find("label:") != std::string::npos) out.back().label = value("label:");
        else if (line.find("ID:") != std::string::npos) out.back().id = value("ID:");
        else if (line.find("Access:") != std::string::npos) out.back().access = value("Access:");
    }
    return out;
}

// The agent's whole enrollment through the host program, each step in a
// host process of its own: a single certificate and a double one (the
// encryption key envelope opened onto the token), requests checked by the
// test CA, keys and certificates on the token as OpenSC's pkcs11-tool sees
// them, certificates propagated to "My" and listed once each.
TEST_F(TokenProviderTest, EnrollmentThroughTheHostKeepsTheKeysAndCertificatesOnTheToken) {
    enroll_test::TestCA ca;
    ASSERT_TRUE(ca.ok()) << ca.error();
    const std::string provider = tessaro_test::Narrow(kName);
    enroll_test::Enrollment single = enroll_test::Enroll(ca, provider, 2048, "RSA", 1, false);
    ASSERT_EQ(0, single.request.errorcode) << single.request.raw;
    ASSERT_FALSE(single.der.empty()) << single.import.raw;
    EXPECT_EQ("{\"function\":\"KEVO_ImportSignCert\",\"errorcode\":0,\"result\":true,\"randomId\":\"t\"}",
              single.import.raw);
    enroll_test::Double twice;
    ASSERT_TRUE(enroll_test::EnrollDouble(ca, provider, 2048, "RSA", "CN=Token Double,O=Tessaro,C=CN", twice));
    EXPECT_EQ(PinRuns(), 5);  // each host process once

    const std::pair<std::string, Bytes> bound[] = {{single.container.text, single.der},
                                                   {twice.container, twice.sign},
                                                   {twice.container, twice.encrypt}};
    const DWORD specs[] = {AT_KEYEXCHANGE, AT_SIGNATURE, AT_KEYEXCHANGE};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const auto& [container, der] = bound[i];
        EXPECT_EQ(der, enroll_test::CertificateOnKey(provider, container, specs[i], false));
        enroll_test::KeyProvInfo info = enroll_test::KeyProvInfoInMyStore(der);
        ASSERT_TRUE(info.found);
        EXPECT_EQ(info.provider, kName);
        EXPECT_EQ(info.container, csptest::Wide(container));
        EXPECT_EQ(info.keySpec, specs[i]);
    }
    // Per container one certificate per key pair, sharing its ID; private
    // keys sensitive and never extractable (generated ones also "local").
    if (system("command -v pkcs11-tool >/dev/null 2>&1") == 0) {
        std::vector<ListedObject> objects = ListWithPkcs11Tool();
        for (const std::string& container : {single.container.text, twice.container}) {
            SCOPED_TRACE(container);
            std::map<std::string, std::string> keys;  // ID -> access
            std::vector<std::string> certs, pubs;
            for (const ListedObject& o : objects) {
                if (o.label != container) continue;
                if (o.kind == "Private") keys[o.id] = o.access;
                if (o.kind == "Public") pubs.push_back(o.id);
                if (o.kind == "Certificate") certs.push_back(o.id);
            }
            const size_t pairs = container == twice.container ? 2 : 1;
            ASSERT_EQ(keys.size(), pairs);
            ASSERT_EQ(certs.size(), pairs);
            for (const std::string& id : certs) {
                ASSERT_EQ(keys.count(id), 1u) << id;
                EXPECT_EQ(std::count(pubs.begin(), pubs.end(), id), 1);
                const std::string& access = keys[id];
                EXPECT_EQ(access.rfind("sensitive", 0), 0u) << access;
                EXPECT_EQ(access.find(", extractable"), std::string::npos) << access;
            }
        }
        size_t local = 0;
        for (const ListedObject& o : objects) local += o.kind == "Private" && o.access.find("never extractable, local") != std::string::npos;
        EXPECT_EQ(local, 2u);  // the two generated ones; the imported key was made by the CA
    }

    auto csps = enroll_test::Converse({enroll_test::Call("KEVO_GetCSPInfo", {})});
    ASSERT_EQ(csps.size(), 1u);
    EXPECT_NE(csps[0].text.find(provider), std::string::npos) << csps[0].raw;
    auto listing = enroll_test::Converse({enroll_test::Call("KEVO_GetAllCertInfo", {enroll_test::Str(provider)})});
    ASSERT_EQ(listing.size(), 1u);
    ASSERT_EQ(0, listing[0].errorcode) << listing[0].raw;
    // One entry per certificate, though each is both on the token and in "My".
    const std::string& text = listing[0].text;
    size_t entries = 1;
    for (size_t i = text.find("||"); i != std::string::npos; i = text.find("||", i + 2)) ++entries;
    EXPECT_EQ(entries, 3u) << text;
    const std::string tail = ";" + provider;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

// CNG's paddings run on the token too; the project's own PKCS#11 module does
// not show the token's certificate (the token's own module serves it, and a
// certificate must not appear twice in a browser's chooser).
TEST_F(TokenProviderTest, PaddedSignaturesRunOnTheTokenWhichTheProjectsModuleLeavesToItsOwn) {
    Prov p;
    ASSERT_TRUE(Acquire(p, Guid(7), CRYPT_NEWKEYSET));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 2048 << 16, k.put()));
    csptest::Pkey pub = csptest::PublicKeyOf(p.get(), AT_SIGNATURE);
    Bytes cert = CertFor(pub.get(), "module");
    ASSERT_TRUE(CryptSetKeyParam(k.get(), KP_CERTIFICATE, cert.data(), 0));

    const Bytes msg = {'m', 'o', 'd', 'u', 'l', 'e'};
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(msg.data(), msg.size(), digest.data());
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    BCRYPT_PSS_PADDING_INFO pss{BCRYPT_SHA256_ALGORITHM, 32};
    const std::tuple<const void*, DWORD, int> pads[] = {{&pkcs1, BCRYPT_PAD_PKCS1, RSA_PKCS1_PADDING},
                                                        {&pss, BCRYPT_PAD_PSS, RSA_PKCS1_PSS_PADDING}};
    for (const auto& [info, flags, padding] : pads) {
        Bytes sig(256);
        DWORD n = static_cast<DWORD>(sig.size());
        ASSERT_TRUE(CryptSignHashPadded(k.get(), info, digest.data(), static_cast<DWORD>(digest.size()), sig.data(),
                                        &n, flags))
            << std::hex << GetLastError();
        sig.resize(n);
        EXPECT_TRUE(VerifySha256(pub.get(), msg, sig, padding)) << flags;
    }

    CK_FUNCTION_LIST_PTR f = nullptr;
    ASSERT_EQ(CKR_OK, C_GetFunctionList(&f));
    ASSERT_EQ(CKR_OK, f->C_Initialize(nullptr));
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(CKR_OK, f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &s));
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &certClass, sizeof certClass}, {CKA_VALUE, cert.data(), cert.size()}};
    CK_OBJECT_HANDLE h[8];
    CK_ULONG n = 8;
    ASSERT_EQ(CKR_OK, f->C_FindObjectsInit(s, t, 2));
    ASSERT_EQ(CKR_OK, f->C_FindObjects(s, h, 8, &n));
    f->C_FindObjectsFinal(s);
    EXPECT_EQ(0u, n);
    f->C_CloseSession(s);
    f->C_Finalize(nullptr);
}

}  // namespace
