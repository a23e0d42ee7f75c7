// The PKCS#11 module against references, in one run:
//   Sign: C_SignInit + C_Sign with an RSA-2048 key, CKM_RSA_PKCS over a
//   SHA-256 DigestInfo and CKM_RSA_PKCS_PSS over a SHA-256 hash, through our
//   module (the key in a container, its certificate in the user's store),
//   through SoftHSM2 holding the same key, and with OpenSSL directly on the
//   key in memory;
//   FindAbsent: C_FindObjectsInit/C_FindObjects/C_FindObjectsFinal for an
//   object class neither token holds (NSS's trust objects, which NSS asks
//   for on every lookup), our module against SoftHSM2;
//   OpenFindCertificates: a session opened, every certificate found, the
//   session closed, with 100 enrolled certificates, against SoftHSM2 holding
//   the same 100 certificates with their keys.
// Each side's prefix or token directory is made once, in a temporary folder.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestPki.h"

#include <p11-kit/pkcs11.h>

#include "win/windows.h"
#include "win/wincrypt.h"

namespace {

namespace pki = tessaro_test::pki;
using Bytes = std::vector<unsigned char>;

constexpr CK_OBJECT_CLASS CKO_NSS_TRUST_CLASS = 0xCE534353UL;
const char* const SOFTHSM_PATH = "/usr/lib/softhsm/libsofthsm2.so";
const char* const PIN = "1234";
constexpr int MANY = 100;

std::string g_root;  // the run's temporary folder

// The key the three signing sides share, and the inputs they sign.
struct Material {
    pki::Key key = pki::NewRsaKey(2048);
    pki::RsaNumbers numbers = pki::RsaNumbersOf(key.get());
    Bytes digestInfo, hash;
    Material() {
        hash.assign(32, 0);
        for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<unsigned char>(i * 7 + 1);
        static const unsigned char prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                               0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
        digestInfo.assign(prefix, prefix + sizeof prefix);
        digestInfo.insert(digestInfo.end(), hash.begin(), hash.end());
    }
};
Material& Mat() {
    static Material m;
    return m;
}

// ---- the prefixes our module reads: containers and the user's store ----

// PRIVATEKEYBLOB (signature key) of the numbers, little-endian.
Bytes PrivateKeyBlob(const pki::RsaNumbers& r) {
    Bytes blob = {PRIVATEKEYBLOB, 2, 0, 0, 0x00, 0x24, 0, 0, 'R', 'S', 'A', '2'};
    const uint32_t bits = static_cast<uint32_t>(r.n.size() * 8);
    uint32_t e = 0;
    for (unsigned char c : r.e) e = (e << 8) | c;
    for (uint32_t v : {bits, e})
        for (int i = 0; i < 4; ++i) blob.push_back(static_cast<unsigned char>(v >> (8 * i)));
    const size_t half = r.n.size() / 2;
    const struct {
        const Bytes* v;
        size_t len;
    } parts[] = {{&r.n, r.n.size()}, {&r.p, half}, {&r.q, half}, {&r.dp, half},
                 {&r.dq, half},      {&r.qinv, half}, {&r.d, r.n.size()}};
    for (const auto& part : parts) {
        Bytes le(part.len, 0);
        for (size_t i = 0; i < part.v->size() && i < part.len; ++i) le[i] = (*part.v)[part.v->size() - 1 - i];
        blob.insert(blob.end(), le.begin(), le.end());
    }
    return blob;
}

Bytes CertFor(EVP_PKEY* key, long serial, const std::string& cn) {
    pki::CertSpec spec;
    spec.subject = {{"C", "CN"}, {"O", "Bench Org"}, {"CN", cn}};
    spec.serial = pki::Serial(serial);
    spec.subjectKey = key;
    spec.signer = key;
    spec.keyUsage = 0x80;  // digitalSignature
    return pki::MakeCert(spec);
}

// A container holding the key as its signature key, and the certificate in
// the user's "My" store bound to it: what an enrollment leaves behind.
bool Enroll(HCERTSTORE store, EVP_PKEY* key, const std::string& container, long serial, const std::string& cn,
            Bytes* der) {
    std::u16string name(container.begin(), container.end());
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, name.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET)) return false;
    Bytes blob = PrivateKeyBlob(pki::RsaNumbersOf(key));
    HCRYPTKEY k = 0;
    bool ok = CryptImportKey(h, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &k) != FALSE;
    if (k) CryptDestroyKey(k);
    CryptReleaseContext(h, 0);
    *der = CertFor(key, serial, cn);
    PCCERT_CONTEXT c = nullptr;
    ok = ok && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der->data(), static_cast<DWORD>(der->size()),
                                                CERT_STORE_ADD_NEW, &c);
    std::u16string prov = MS_ENHANCED_PROV_W;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = name.data();
    info.pwszProvName = prov.data();
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_SIGNATURE;
    ok = ok && CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    if (c) CertFreeCertificateContext(c);
    return ok;
}

// The many-certificates side: keys of 1024 bits, whose size does not matter
// to a search and which are quicker to make.
struct Many {
    std::vector<pki::Key> keys;
    std::vector<Bytes> certs;
};
Many& ManyKeys() {
    static Many m = [] {
        Many r;
        for (int i = 0; i < MANY; ++i) r.keys.push_back(pki::NewRsaKey(1024));
        return r;
    }();
    return m;
}

// The prefix "one" (the shared key and its certificate) and "many", made once.
struct Prefixes {
    std::string one, many;
};
bool FillPrefix(const std::string& dir, bool many) {
    setenv("TESSARO_PREFIX", dir.c_str(), 1);
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    bool ok = s != nullptr;
    Bytes der;
    if (!many) {
        ok = ok && Enroll(s, Mat().key.get(), "bench-p11-sign", 1, "Bench signer", &der);
    } else {
        Many& m = ManyKeys();
        for (int i = 0; ok && i < MANY; ++i) {
            ok = Enroll(s, m.keys[i].get(), "bench-p11-" + std::to_string(i), 0x1000 + i,
                        "Bench user " + std::to_string(i), &der);
            m.certs.push_back(der);
        }
    }
    if (s) CertCloseStore(s, 0);
    return ok;
}
const Prefixes& ThePrefixes() {
    static Prefixes p = [] {
        Prefixes r{g_root + "/prefix-one", g_root + "/prefix-many"};
        if (!FillPrefix(r.one, false) || !FillPrefix(r.many, true)) r = Prefixes{};
        return r;
    }();
    return p;
}

// ---- a loaded module with a session ----

struct Module {
    void* lib = nullptr;
    CK_FUNCTION_LIST_PTR f = nullptr;
    bool initialized = false;
    std::string error;

    bool Load(const char* path) {
        lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!lib) return Fail(std::string("dlopen ") + path + ": " + dlerror());
        auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
        if (!get || get(&f) != CKR_OK) return Fail("C_GetFunctionList");
        return true;
    }
    bool Initialize() {
        CK_C_INITIALIZE_ARGS args{};
        args.flags = CKF_OS_LOCKING_OK;
        CK_RV rv = f->C_Initialize(&args);
        if (rv != CKR_OK) return Fail("C_Initialize " + std::to_string(rv));
        initialized = true;
        return true;
    }
    void Finalize() {
        if (initialized) f->C_Finalize(nullptr);
        initialized = false;
    }
    // The slot whose token carries label (blank-padded), or the first with a token.
    bool FindSlot(const std::string& label, CK_SLOT_ID* slot) {
        CK_ULONG n = 0;
        if (f->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_OK) return Fail("C_GetSlotList");
        std::vector<CK_SLOT_ID> slots(n);
        if (n == 0 || f->C_GetSlotList(CK_TRUE, slots.data(), &n) != CKR_OK) return Fail("no slot with a token");
        for (CK_ULONG i = 0; i < n; ++i) {
            CK_TOKEN_INFO ti{};
            if (f->C_GetTokenInfo(slots[i], &ti) != CKR_OK) continue;
            std::string l(reinterpret_cast<char*>(ti.label), sizeof ti.label);
            l.erase(l.find_last_not_of(' ') + 1);
            if (label.empty() || l == label) {
                *slot = slots[i];
                return true;
            }
        }
        return Fail("no token labelled " + label);
    }
    bool Fail(const std::string& e) {
        error = e;
        return false;
    }
};

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE t, const void* p, size_t n) {
    return CK_ATTRIBUTE{t, const_cast<void*>(p), static_cast<CK_ULONG>(n)};
}

// Every object matching the template, in one search.
std::vector<CK_OBJECT_HANDLE> Find(Module& m, CK_SESSION_HANDLE s, std::vector<CK_ATTRIBUTE> tmpl, CK_RV* rv) {
    std::vector<CK_OBJECT_HANDLE> out;
    *rv = m.f->C_FindObjectsInit(s, tmpl.data(), static_cast<CK_ULONG>(tmpl.size()));
    if (*rv != CKR_OK) return out;
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG got = 0;
    do {
        *rv = m.f->C_FindObjects(s, batch, 64, &got);
        if (*rv != CKR_OK) break;
        out.insert(out.end(), batch, batch + got);
    } while (got == 64);
    CK_RV rvFinal = m.f->C_FindObjectsFinal(s);
    if (*rv == CKR_OK) *rv = rvFinal;
    return out;
}

// ---- SoftHSM2: a token directory of the run's own ----

struct Side {
    Module m;
    CK_SLOT_ID slotOne = 0, slotMany = 0;
    CK_SESSION_HANDLE session = 0;  // on the token holding the shared key
    CK_OBJECT_HANDLE key = 0;
    bool ok = false;
};

bool CreateKeyObjects(Module& m, CK_SESSION_HANDLE s, EVP_PKEY* key, const Bytes& cert, unsigned id,
                      CK_OBJECT_HANDLE* priv) {
    pki::RsaNumbers r = pki::RsaNumbersOf(key);
    CK_OBJECT_CLASS cPriv = CKO_PRIVATE_KEY, cPub = CKO_PUBLIC_KEY, cCert = CKO_CERTIFICATE;
    CK_KEY_TYPE kt = CKK_RSA;
    CK_CERTIFICATE_TYPE ct = CKC_X_509;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    unsigned char idb[4] = {static_cast<unsigned char>(id >> 24), static_cast<unsigned char>(id >> 16),
                            static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id)};
    const char label[] = "Bench";
    std::vector<CK_ATTRIBUTE> tp = {
        Attr(CKA_CLASS, &cPriv, sizeof cPriv), Attr(CKA_KEY_TYPE, &kt, sizeof kt), Attr(CKA_TOKEN, &yes, 1),
        Attr(CKA_PRIVATE, &yes, 1), Attr(CKA_SENSITIVE, &yes, 1), Attr(CKA_EXTRACTABLE, &no, 1),
        Attr(CKA_SIGN, &yes, 1), Attr(CKA_ID, idb, 4), Attr(CKA_LABEL, label, 5),
        Attr(CKA_MODULUS, r.n.data(), r.n.size()), Attr(CKA_PUBLIC_EXPONENT, r.e.data(), r.e.size()),
        Attr(CKA_PRIVATE_EXPONENT, r.d.data(), r.d.size()), Attr(CKA_PRIME_1, r.p.data(), r.p.size()),
        Attr(CKA_PRIME_2, r.q.data(), r.q.size()), Attr(CKA_EXPONENT_1, r.dp.data(), r.dp.size()),
        Attr(CKA_EXPONENT_2, r.dq.data(), r.dq.size()), Attr(CKA_COEFFICIENT, r.qinv.data(), r.qinv.size())};
    std::vector<CK_ATTRIBUTE> tu = {
        Attr(CKA_CLASS, &cPub, sizeof cPub), Attr(CKA_KEY_TYPE, &kt, sizeof kt), Attr(CKA_TOKEN, &yes, 1),
        Attr(CKA_VERIFY, &yes, 1), Attr(CKA_ID, idb, 4), Attr(CKA_LABEL, label, 5),
        Attr(CKA_MODULUS, r.n.data(), r.n.size()), Attr(CKA_PUBLIC_EXPONENT, r.e.data(), r.e.size())};
    // SoftHSM2 wants the certificate's subject given beside its value.
    Bytes subject;
    if (auto x = pki::ParseCert(cert)) {
        unsigned char* p = nullptr;
        int n = i2d_X509_NAME(X509_get_subject_name(x.get()), &p);
        if (n > 0) subject.assign(p, p + n);
        OPENSSL_free(p);
    }
    std::vector<CK_ATTRIBUTE> tc = {
        Attr(CKA_CLASS, &cCert, sizeof cCert), Attr(CKA_CERTIFICATE_TYPE, &ct, sizeof ct), Attr(CKA_TOKEN, &yes, 1),
        Attr(CKA_ID, idb, 4), Attr(CKA_LABEL, label, 5), Attr(CKA_SUBJECT, subject.data(), subject.size()),
        Attr(CKA_VALUE, cert.data(), cert.size())};
    CK_OBJECT_HANDLE h = 0, hu = 0, hc = 0;
    CK_RV rv = m.f->C_CreateObject(s, tp.data(), static_cast<CK_ULONG>(tp.size()), &h);
    if (rv == CKR_OK) rv = m.f->C_CreateObject(s, tu.data(), static_cast<CK_ULONG>(tu.size()), &hu);
    if (rv == CKR_OK) rv = m.f->C_CreateObject(s, tc.data(), static_cast<CK_ULONG>(tc.size()), &hc);
    if (rv != CKR_OK) return m.Fail("C_CreateObject " + std::to_string(rv));
    *priv = h;
    return true;
}

// Initializes the first free slot as a token labelled label, with a user PIN.
bool InitToken(Module& m, const std::string& label, CK_SLOT_ID* slot) {
    CK_ULONG n = 0;
    m.f->C_GetSlotList(CK_FALSE, nullptr, &n);
    std::vector<CK_SLOT_ID> slots(n);
    m.f->C_GetSlotList(CK_FALSE, slots.data(), &n);
    CK_SLOT_ID free = 0;
    bool found = false;
    for (CK_ULONG i = 0; i < n && !found; ++i) {
        CK_TOKEN_INFO ti{};
        if (m.f->C_GetTokenInfo(slots[i], &ti) == CKR_OK && !(ti.flags & CKF_TOKEN_INITIALIZED)) free = slots[i], found = true;
    }
    if (!found) return m.Fail("no free SoftHSM2 slot");
    unsigned char l[32];
    memset(l, ' ', sizeof l);
    memcpy(l, label.data(), label.size());
    CK_UTF8CHAR_PTR pin = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(PIN));
    if (m.f->C_InitToken(free, pin, 4, l) != CKR_OK) return m.Fail("C_InitToken");
    // SoftHSM2 moves an initialized token to a slot of its own.
    if (!m.FindSlot(label, slot)) return false;
    CK_SESSION_HANDLE s = 0;
    bool ok = m.f->C_OpenSession(*slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) == CKR_OK &&
              m.f->C_Login(s, CKU_SO, pin, 4) == CKR_OK && m.f->C_InitPIN(s, pin, 4) == CKR_OK;
    m.f->C_CloseSession(s);
    return ok || m.Fail("setting the user PIN");
}

Side* g_softhsm = nullptr;
Side& SoftHsm() {
    static Side side = [] {
        Side r;
        std::string dir = g_root + "/softhsm";
        std::filesystem::create_directories(dir + "/tokens");
        std::ofstream(dir + "/softhsm2.conf") << "directories.tokendir = " << dir << "/tokens\n"
                                              << "objectstore.backend = file\nlog.level = ERROR\n";
        setenv("SOFTHSM2_CONF", (dir + "/softhsm2.conf").c_str(), 1);
        if (access(SOFTHSM_PATH, R_OK) != 0 || !r.m.Load(SOFTHSM_PATH) || !r.m.Initialize()) {
            if (r.m.error.empty()) r.m.error = std::string(SOFTHSM_PATH) + " is missing (softhsm2)";
            return r;
        }
        if (!InitToken(r.m, "bench-one", &r.slotOne) || !InitToken(r.m, "bench-many", &r.slotMany)) return r;
        CK_UTF8CHAR_PTR pin = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(PIN));
        CK_SESSION_HANDLE sm = 0;
        bool ok = r.m.f->C_OpenSession(r.slotOne, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                       &r.session) == CKR_OK &&
                  r.m.f->C_Login(r.session, CKU_USER, pin, 4) == CKR_OK &&
                  CreateKeyObjects(r.m, r.session, Mat().key.get(), CertFor(Mat().key.get(), 1, "Bench signer"), 1,
                                   &r.key) &&
                  r.m.f->C_OpenSession(r.slotMany, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &sm) ==
                      CKR_OK;
        // The many-certificates token: logging in on one session logs the
        // application in on the other token only after its own C_Login.
        ok = ok && r.m.f->C_Login(sm, CKU_USER, pin, 4) == CKR_OK;
        Many& many = ManyKeys();
        ok = ok && !ThePrefixes().many.empty();
        for (int i = 0; ok && i < MANY; ++i) {
            CK_OBJECT_HANDLE h = 0;
            ok = CreateKeyObjects(r.m, sm, many.keys[i].get(), many.certs[i], 0x1000 + i, &h);
        }
        if (sm) r.m.f->C_CloseSession(sm);
        r.ok = ok || r.m.Fail("filling the SoftHSM2 tokens: " + r.m.error);
        return r;
    }();
    g_softhsm = &side;
    return side;
}

// ---- our module, over one of the two prefixes ----

#ifndef TESSARO_PKCS11_PATH
#define TESSARO_PKCS11_PATH "libtessaro-pkcs11.so"
#endif

struct Ours {
    Module m;
    std::string current;
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE key = 0;
    bool loaded = false;
};

Ours* g_ours = nullptr;
Ours& OurModule() {
    static Ours o = [] {
        Ours r;
        const char* path = getenv("TESSARO_PKCS11_MODULE");
        if (ThePrefixes().one.empty()) r.m.error = "filling the prefixes failed";
        else r.loaded = r.m.Load(path && *path ? path : TESSARO_PKCS11_PATH);
        return r;
    }();
    g_ours = &o;
    return o;
}

// The module initialized over the prefix (one or many), with a session and
// the private key of the prefix "one".
Ours* UseOurs(benchmark::State& state, bool many) {
    Ours& o = OurModule();
    if (!o.loaded) {
        state.SkipWithError(o.m.error.c_str());
        return nullptr;
    }
    const std::string& want = many ? ThePrefixes().many : ThePrefixes().one;
    if (o.current != want) {
        if (o.session) o.m.f->C_CloseSession(o.session);
        o.session = 0;
        o.m.Finalize();
        setenv("TESSARO_PREFIX", want.c_str(), 1);
        if (!o.m.Initialize() || !o.m.FindSlot("", &o.slot) ||
            o.m.f->C_OpenSession(o.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &o.session) != CKR_OK) {
            state.SkipWithError(("our module: " + o.m.error).c_str());
            o.current.clear();
            return nullptr;
        }
        o.current = want;
        CK_OBJECT_CLASS c = CKO_PRIVATE_KEY;
        CK_RV rv = CKR_OK;
        std::vector<CK_OBJECT_HANDLE> keys = Find(o.m, o.session, {Attr(CKA_CLASS, &c, sizeof c)}, &rv);
        o.key = keys.empty() ? 0 : keys[0];
    }
    return &o;
}

// ---- the measured work ----

enum Mech { PKCS1, PSS };

bool SignOnce(Module& m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, Mech mech, Bytes* sig) {
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_MECHANISM mc = mech == PKCS1 ? CK_MECHANISM{CKM_RSA_PKCS, nullptr, 0}
                                    : CK_MECHANISM{CKM_RSA_PKCS_PSS, &pss, sizeof pss};
    const Bytes& in = mech == PKCS1 ? Mat().digestInfo : Mat().hash;
    sig->resize(256);
    CK_ULONG n = static_cast<CK_ULONG>(sig->size());
    if (m.f->C_SignInit(s, &mc, key) != CKR_OK) return false;
    if (m.f->C_Sign(s, const_cast<unsigned char*>(in.data()), static_cast<CK_ULONG>(in.size()), sig->data(), &n) !=
        CKR_OK)
        return false;
    sig->resize(n);
    return true;
}

void Configure(EVP_PKEY_CTX* c, Mech mech) {
    if (mech == PKCS1) {
        EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PADDING);
    } else {
        EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PSS_PADDING);
        EVP_PKEY_CTX_set_signature_md(c, EVP_sha256());
        EVP_PKEY_CTX_set_rsa_mgf1_md(c, EVP_sha256());
        EVP_PKEY_CTX_set_rsa_pss_saltlen(c, 32);
    }
}

// The signature must verify with the shared key's public half.
bool Verifies(Mech mech, const Bytes& sig) {
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(Mat().key.get(), nullptr);
    EVP_PKEY_verify_init(c);
    Configure(c, mech);
    const Bytes& in = mech == PKCS1 ? Mat().digestInfo : Mat().hash;
    bool ok = EVP_PKEY_verify(c, sig.data(), sig.size(), in.data(), in.size()) == 1;
    EVP_PKEY_CTX_free(c);
    return ok;
}

void RunSign(benchmark::State& state, Module& m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, Mech mech) {
    Bytes sig;
    if (!SignOnce(m, s, key, mech, &sig) || !Verifies(mech, sig)) {
        state.SkipWithError("the signature is refused or does not verify");
        return;
    }
    for (auto _ : state) {
        if (!SignOnce(m, s, key, mech, &sig)) {
            state.SkipWithError("C_Sign failed");
            break;
        }
        benchmark::DoNotOptimize(sig.data());
    }
}

void Sign_Module(benchmark::State& state, Mech mech) {
    if (Ours* o = UseOurs(state, false)) {
        if (!o->key) return state.SkipWithError("our module shows no private key");
        RunSign(state, o->m, o->session, o->key, mech);
    }
}

void Sign_SoftHSM2(benchmark::State& state, Mech mech) {
    Side& h = SoftHsm();
    if (!h.ok) return state.SkipWithError(h.m.error.c_str());
    RunSign(state, h.m, h.session, h.key, mech);
}

void Sign_OpenSSL(benchmark::State& state, Mech mech) {
    const Bytes& in = mech == PKCS1 ? Mat().digestInfo : Mat().hash;
    unsigned char sig[256];
    for (auto _ : state) {
        EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(Mat().key.get(), nullptr);
        EVP_PKEY_sign_init(c);
        Configure(c, mech);
        size_t n = sizeof sig;
        if (EVP_PKEY_sign(c, sig, &n, in.data(), in.size()) != 1) state.SkipWithError("EVP_PKEY_sign");
        benchmark::DoNotOptimize(sig);
        EVP_PKEY_CTX_free(c);
    }
}

void RunFindAbsent(benchmark::State& state, Module& m, CK_SESSION_HANDLE s) {
    CK_OBJECT_CLASS c = CKO_NSS_TRUST_CLASS;
    CK_RV rv = CKR_OK;
    for (auto _ : state) {
        std::vector<CK_OBJECT_HANDLE> found = Find(m, s, {Attr(CKA_CLASS, &c, sizeof c)}, &rv);
        if (rv != CKR_OK || !found.empty()) {
            state.SkipWithError("the search for an absent class failed or found objects");
            break;
        }
    }
}

void FindAbsent_Module(benchmark::State& state) {
    if (Ours* o = UseOurs(state, false)) RunFindAbsent(state, o->m, o->session);
}

void FindAbsent_SoftHSM2(benchmark::State& state) {
    Side& h = SoftHsm();
    if (!h.ok) return state.SkipWithError(h.m.error.c_str());
    RunFindAbsent(state, h.m, h.session);
}

void RunOpenFind(benchmark::State& state, Module& m, CK_SLOT_ID slot) {
    CK_OBJECT_CLASS c = CKO_CERTIFICATE;
    size_t count = 0;
    for (auto _ : state) {
        CK_SESSION_HANDLE s = 0;
        CK_RV rv = m.f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s);
        if (rv == CKR_OK) count = Find(m, s, {Attr(CKA_CLASS, &c, sizeof c)}, &rv).size();
        if (s) m.f->C_CloseSession(s);
        if (rv != CKR_OK || count != MANY) {
            state.SkipWithError(("found " + std::to_string(count) + " certificates, expected 100").c_str());
            break;
        }
    }
    state.counters["certificates"] = static_cast<double>(count);
}

void OpenFindCertificates_Module(benchmark::State& state) {
    if (Ours* o = UseOurs(state, true)) RunOpenFind(state, o->m, o->slot);
}

void OpenFindCertificates_SoftHSM2(benchmark::State& state) {
    Side& h = SoftHsm();
    if (!h.ok) return state.SkipWithError(h.m.error.c_str());
    RunOpenFind(state, h.m, h.slotMany);
}

}  // namespace

BENCHMARK_CAPTURE(Sign_Module, RSA_PKCS, PKCS1)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign_OpenSSL, RSA_PKCS, PKCS1)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign_SoftHSM2, RSA_PKCS, PKCS1)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign_Module, RSA_PKCS_PSS, PSS)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign_OpenSSL, RSA_PKCS_PSS, PSS)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign_SoftHSM2, RSA_PKCS_PSS, PSS)->Unit(benchmark::kMicrosecond);
BENCHMARK(FindAbsent_Module)->Unit(benchmark::kMicrosecond);
BENCHMARK(FindAbsent_SoftHSM2)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenFindCertificates_Module)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenFindCertificates_SoftHSM2)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    char dir[] = "/tmp/tessaro-bench-pkcs11-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    g_root = dir;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_ours) g_ours->m.Finalize();
    if (g_softhsm) g_softhsm->m.Finalize();
    std::filesystem::remove_all(dir);
    return 0;
}
