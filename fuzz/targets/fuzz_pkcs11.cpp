// The PKCS#11 module's entry points with what a careless or hostile caller
// passes: search templates of arbitrary attributes, attribute reads of any
// type into buffers of any length (or none), and sign and decrypt
// operations with any mechanism and parameter bytes, over a prefix made once
// with one RSA exchange key in a container and its certificate in the
// user's store. Each input is a list of operations on a session of its own.
//
// Input: operations until the bytes run out (at most 16), each one byte of
// kind then its fields; a number is one byte unless said otherwise. Types and
// mechanisms: one byte picks from the tables below, 0xFF a raw 32-bit value.
//   0 find:     count of attributes, each (type, length (2 bytes), bytes);
//               then the number of handles asked for per C_FindObjects
//   1 get:      object (0-2: certificate, private, public key; else a raw
//               handle of 4 bytes), count, each (type, buffer length
//               (2 bytes; 0xFFFF: no buffer))
//   2 sign / 3 decrypt: key object, mechanism, parameter length (2 bytes;
//               0xFFFF: no parameter) and bytes, input length (2 bytes) and
//               bytes, output buffer length (2 bytes; 0xFFFF: size query
//               first), multi-part (sign only: low bit)
//
// Array attributes that carry nested templates (CKA_WRAP_TEMPLATE and its
// kin) hold pointers in the caller's memory: raw bytes there are skipped, as
// following them is the caller's contract, not a parser's fault.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "pkcs11/Pkcs11.h"
#include "win/windows.h"
#include "win/wincrypt.h"

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR);

namespace {

CK_FUNCTION_LIST_PTR f = nullptr;
CK_SLOT_ID g_slot = 0;
CK_OBJECT_HANDLE g_objects[3];  // certificate, private key, public key

const CK_ATTRIBUTE_TYPE kTypes[] = {
    CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_VALUE, CKA_CERTIFICATE_TYPE, CKA_ISSUER, CKA_SERIAL_NUMBER,
    CKA_KEY_TYPE, CKA_SUBJECT, CKA_ID, CKA_SENSITIVE, CKA_ENCRYPT, CKA_DECRYPT, CKA_SIGN, CKA_VERIFY, CKA_MODULUS,
    CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_EXTRACTABLE, CKA_NEVER_EXTRACTABLE,
    CKA_ALWAYS_SENSITIVE, CKA_ALWAYS_AUTHENTICATE, CKA_MODIFIABLE, CKA_LOCAL, CKA_KEY_GEN_MECHANISM,
    CKA_ALLOWED_MECHANISMS, CKA_CERTIFICATE_CATEGORY, CKA_TRUSTED, CKA_START_DATE, CKA_END_DATE, CKA_APPLICATION,
    CKA_OBJECT_ID, CKA_UNWRAP, CKA_WRAP, CKA_DERIVE, CKA_SIGN_RECOVER, CKA_CHECK_VALUE, CKA_URL,
    CKA_PUBLIC_KEY_INFO, CKA_HASH_OF_SUBJECT_PUBLIC_KEY, 0xCE534353UL /* NSS trust class, as a type */};
const CK_MECHANISM_TYPE kMechs[] = {
    CKM_RSA_PKCS, CKM_RSA_PKCS_PSS, CKM_RSA_PKCS_OAEP, CKM_RSA_X_509, CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS,
    CKM_SHA384_RSA_PKCS, CKM_SHA512_RSA_PKCS, CKM_SHA224_RSA_PKCS, CKM_SHA1_RSA_PKCS_PSS, CKM_SHA256_RSA_PKCS_PSS,
    CKM_SHA384_RSA_PKCS_PSS, CKM_SHA512_RSA_PKCS_PSS, CKM_MD5_RSA_PKCS, CKM_ECDSA, CKM_SHA256, CKM_AES_CBC};

struct Reader {
    const uint8_t* p;
    size_t n;
    bool Empty() const { return n == 0; }
    unsigned U8() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    unsigned U16() { return U8() | (U8() << 8); }
    unsigned long U32() { return static_cast<unsigned long>(U16()) | (static_cast<unsigned long>(U16()) << 16); }
    std::vector<uint8_t> Bytes(size_t len) {
        size_t take = len < n ? len : n;
        std::vector<uint8_t> v(p, p + take);
        v.resize(len);  // what the input lacks is zeros
        p += take;
        n -= take;
        return v;
    }
    CK_ULONG Type() {
        unsigned b = U8();
        return b == 0xFF ? U32() : kTypes[b % (sizeof kTypes / sizeof kTypes[0])];
    }
    CK_ULONG Mech() {
        unsigned b = U8();
        return b == 0xFF ? U32() : kMechs[b % (sizeof kMechs / sizeof kMechs[0])];
    }
    CK_OBJECT_HANDLE Object() {
        unsigned b = U8();
        return b < 3 ? g_objects[b] : U32();
    }
};

bool NestedTemplate(CK_ATTRIBUTE_TYPE t) {
    return t == CKA_WRAP_TEMPLATE || t == CKA_UNWRAP_TEMPLATE || t == CKA_DERIVE_TEMPLATE;
}

void Check(bool ok) {
    if (!ok) abort();
}

// One RSA exchange key pair in a container, bound to a self-signed
// certificate in the user's "My" store: an enrollment's result.
void MakePrefix() {
    EVP_PKEY* key = EVP_RSA_gen(1024);
    Check(key != nullptr);
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 0x1234);
    auto* name = X509_get_subject_name(x);  // (the platform headers take the type's name)
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Tessaro"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Fuzz RSA"), -1, -1,
                               0);
    X509_set_issuer_name(x, name);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 365);
    X509_set_pubkey(x, key);
    Check(X509_sign(x, key, EVP_sha256()) > 0);
    unsigned char* der = nullptr;
    int cbDer = i2d_X509(x, &der);
    Check(cbDer > 0);

    // The key in the provider as a PRIVATEKEYBLOB (little-endian numbers).
    std::vector<BYTE> blob = {PRIVATEKEYBLOB, 2, 0, 0, 0x00, 0xA4, 0, 0, 'R', 'S', 'A', '2', 0x00, 0x04, 0, 0};
    BIGNUM* e = nullptr;
    EVP_PKEY_get_bn_param(key, "e", &e);
    unsigned char eb[4] = {0};
    BN_bn2lebinpad(e, eb, 4);
    BN_free(e);
    blob.insert(blob.end(), eb, eb + 4);
    const struct {
        const char* name;
        int len;
    } parts[] = {{"n", 128}, {"rsa-factor1", 64}, {"rsa-factor2", 64}, {"rsa-exponent1", 64},
                 {"rsa-exponent2", 64}, {"rsa-coefficient1", 64}, {"d", 128}};
    for (const auto& part : parts) {
        BIGNUM* b = nullptr;
        Check(EVP_PKEY_get_bn_param(key, part.name, &b) == 1);
        std::vector<BYTE> v(static_cast<size_t>(part.len));
        BN_bn2lebinpad(b, v.data(), part.len);
        BN_clear_free(b);
        blob.insert(blob.end(), v.begin(), v.end());
    }
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    Check(CryptAcquireContextW(&hProv, u"{fuzz-pkcs11}", MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    Check(CryptImportKey(hProv, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &hKey));
    CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);

    HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    Check(hStore != nullptr);
    PCCERT_CONTEXT pCert = nullptr;
    Check(CertAddEncodedCertificateToStore(hStore, X509_ASN_ENCODING, der, static_cast<DWORD>(cbDer),
                                           CERT_STORE_ADD_NEW, &pCert));
    std::u16string container = u"{fuzz-pkcs11}", provider = MS_ENHANCED_PROV_W;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.pwszProvName = provider.data();
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_KEYEXCHANGE;
    Check(CertSetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    CertFreeCertificateContext(pCert);
    CertCloseStore(hStore, 0);
    OPENSSL_free(der);
    X509_free(x);
    EVP_PKEY_free(key);
}

CK_OBJECT_HANDLE FindOne(CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
    CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof cls};
    CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
    CK_ULONG n = 0;
    Check(f->C_FindObjectsInit(s, &t, 1) == CKR_OK);
    Check(f->C_FindObjects(s, &h, 1, &n) == CKR_OK && n == 1);
    Check(f->C_FindObjectsFinal(s) == CKR_OK);
    return h;
}

void Find(CK_SESSION_HANDLE s, Reader& r) {
    unsigned count = r.U8() % 9;
    std::vector<CK_ATTRIBUTE> tmpl(count);
    std::vector<std::vector<uint8_t>> values(count);
    for (unsigned i = 0; i < count; ++i) {
        tmpl[i].type = r.Type();
        values[i] = r.Bytes(r.U16() % 1024);
        if (NestedTemplate(tmpl[i].type)) values[i].clear();
        tmpl[i].pValue = values[i].empty() ? nullptr : values[i].data();
        tmpl[i].ulValueLen = values[i].size();
    }
    CK_ULONG max = r.U8() % 8;
    if (f->C_FindObjectsInit(s, count ? tmpl.data() : nullptr, count) != CKR_OK) return;
    std::vector<CK_OBJECT_HANDLE> found(max + 1, 0xA5A5A5A5);
    for (int round = 0; round < 8; ++round) {
        CK_ULONG got = 0;
        if (f->C_FindObjects(s, found.data(), max, &got) != CKR_OK) break;
        Check(got <= max && found[max] == 0xA5A5A5A5);
        if (got == 0) break;
    }
    Check(f->C_FindObjectsFinal(s) == CKR_OK);
}

void Get(CK_SESSION_HANDLE s, Reader& r) {
    CK_OBJECT_HANDLE h = r.Object();
    unsigned count = r.U8() % 9;
    std::vector<CK_ATTRIBUTE> tmpl(count);
    std::vector<std::vector<uint8_t>> buffers(count);
    for (unsigned i = 0; i < count; ++i) {
        tmpl[i].type = r.Type();
        unsigned len = r.U16();
        if (NestedTemplate(tmpl[i].type)) len = 0xFFFF;
        if (len != 0xFFFF) buffers[i].resize(len % 4096);
        buffers[i].reserve(1);
        tmpl[i].pValue = len == 0xFFFF ? nullptr : buffers[i].data();
        tmpl[i].ulValueLen = len == 0xFFFF ? 0 : buffers[i].size();
    }
    CK_RV rv = f->C_GetAttributeValue(s, h, count ? tmpl.data() : nullptr, count);
    if (rv != CKR_OK && rv != CKR_ATTRIBUTE_TYPE_INVALID && rv != CKR_BUFFER_TOO_SMALL &&
        rv != CKR_ATTRIBUTE_SENSITIVE)
        return;
    // What was written fits the buffer given; what could not be is marked.
    for (unsigned i = 0; i < count; ++i) {
        if (tmpl[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) continue;
        if (tmpl[i].pValue != nullptr) Check(tmpl[i].ulValueLen <= buffers[i].size());
    }
}

// Sign (decrypt false) or decrypt with the mechanism and parameters read.
void Operate(CK_SESSION_HANDLE s, Reader& r, bool decrypt) {
    CK_OBJECT_HANDLE h = r.Object();
    CK_MECHANISM m;
    m.mechanism = r.Mech();
    unsigned plen = r.U16();
    std::vector<uint8_t> param = r.Bytes(plen == 0xFFFF ? 0 : plen % 1024);
    param.reserve(1);  // present but empty is not absent
    m.pParameter = plen == 0xFFFF ? nullptr : param.data();
    m.ulParameterLen = param.size();
    // OAEP's parameters carry a pointer to the label: the caller vouches
    // for it, so it points into a buffer of ours, with any length up to it.
    std::vector<uint8_t> label = r.Bytes(r.U8());
    if (m.mechanism == CKM_RSA_PKCS_OAEP && param.size() == sizeof(CK_RSA_PKCS_OAEP_PARAMS)) {
        CK_RSA_PKCS_OAEP_PARAMS oaep;
        memcpy(&oaep, param.data(), sizeof oaep);
        oaep.pSourceData = label.empty() ? nullptr : label.data();
        oaep.ulSourceDataLen = label.empty() ? oaep.ulSourceDataLen % 2 : oaep.ulSourceDataLen % (label.size() + 1);
        memcpy(param.data(), &oaep, sizeof oaep);
    }
    std::vector<uint8_t> in = r.Bytes(r.U16() % 2048);
    unsigned olen = r.U16();
    bool multi = !decrypt && (r.U8() & 1);
    CK_RV rv = decrypt ? f->C_DecryptInit(s, &m, h) : f->C_SignInit(s, &m, h);
    if (rv != CKR_OK) return;
    std::vector<uint8_t> out(olen == 0xFFFF ? 0 : olen % 1024);
    out.reserve(1);  // a buffer of no bytes is not a size query
    CK_ULONG n = out.size();
    if (olen == 0xFFFF) {
        // A size query leaves the operation active for the real call.
        rv = decrypt ? f->C_Decrypt(s, in.data(), in.size(), nullptr, &n) : f->C_Sign(s, in.data(), in.size(), nullptr, &n);
        if (rv != CKR_OK) return;
        Check(n <= 65536);
        out.resize(n);
        out.reserve(1);
    }
    CK_ULONG given = out.size();
    if (multi) {
        rv = f->C_SignUpdate(s, in.data(), in.size());
        if (rv != CKR_OK) return;
        rv = f->C_SignFinal(s, out.data(), &n);
    } else {
        rv = decrypt ? f->C_Decrypt(s, in.data(), in.size(), out.data(), &n)
                     : f->C_Sign(s, in.data(), in.size(), out.data(), &n);
    }
    if (rv == CKR_OK) Check(n <= given);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tessaro_fuzz::UsePrivatePrefix();
    MakePrefix();
    Check(C_GetFunctionList(&f) == CKR_OK && f != nullptr);
    Check(f->C_Initialize(nullptr) == CKR_OK);
    CK_ULONG n = 1;
    Check(f->C_GetSlotList(CK_TRUE, &g_slot, &n) == CKR_OK && n == 1);
    CK_SESSION_HANDLE s = 0;
    Check(f->C_OpenSession(g_slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s) == CKR_OK);
    g_objects[0] = FindOne(s, CKO_CERTIFICATE);
    g_objects[1] = FindOne(s, CKO_PRIVATE_KEY);
    g_objects[2] = FindOne(s, CKO_PUBLIC_KEY);
    f->C_CloseSession(s);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    CK_SESSION_HANDLE s = 0;
    if (f->C_OpenSession(g_slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK) abort();
    Reader r{pb, cb};
    for (int op = 0; op < 16 && !r.Empty(); ++op) {
        switch (r.U8() % 4) {
            case 0: Find(s, r); break;
            case 1: Get(s, r); break;
            case 2: Operate(s, r, false); break;
            default: Operate(s, r, true); break;
        }
    }
    Check(f->C_CloseSession(s) == CKR_OK);
    return 0;
}
