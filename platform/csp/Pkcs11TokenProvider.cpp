// The PKCS#11 token provider (see Pkcs11TokenProvider.h for the objects it
// keeps). Private-key operations run on the token (C_Sign, C_Decrypt,
// C_UnwrapKey); the host holds public keys only. Contexts without a
// container (CRYPT_VERIFYCONTEXT without a name) and session keys are the
// RSA provider's software ones.
#include "platform/csp/Pkcs11TokenProvider.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/base/Der.h"
#include "platform/csp/CspBlob.h"
#include "platform/csp/Pkcs11TokenSession.h"
#include "platform/csp/RsaProvider.h"
#include "platform/csp/VendorBlob.h"
#include "tessaro/Handles.h"
#include "win/winbase.h"
#include "win/winreg.h"

namespace tessaro::csp {

namespace {

constexpr BYTE kIdMark = 'T';
constexpr size_t kIdRandom = 16;
constexpr size_t kIdLen = 2 + kIdRandom;
constexpr size_t kMaxCertificate = 64 * 1024;

using BnPtr = tessaro::UniquePtr<BIGNUM>;
using Lock = std::lock_guard<std::recursive_mutex>;


// The key spec an object's CKA_ID names; 0 for an ID of another form.
DWORD IdSpec(const std::vector<BYTE>& id) {
    if (id.size() != kIdLen || id[0] != kIdMark) return 0;
    return id[1] == AT_KEYEXCHANGE || id[1] == AT_SIGNATURE ? id[1] : 0;
}

CspStatus NewId(DWORD spec, std::vector<BYTE>* id) {
    id->assign(kIdLen, 0);
    (*id)[0] = kIdMark;
    (*id)[1] = static_cast<BYTE>(spec);
    return RAND_bytes(id->data() + 2, kIdRandom) == 1 ? CSP_OK : CspCode(NTE_FAIL);
}

ALG_ID AlgOfSpec(DWORD spec) { return spec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX; }

EvpPkeyPtr PublicKeyFrom(const std::vector<BYTE>& n, const std::vector<BYTE>& e) {
    BnPtr bn(BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr));
    BnPtr be(BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr));
    tessaro::UniquePtr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!bn || !be || !bld || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, bn.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, be.get()))
        return nullptr;
    tessaro::UniquePtr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    tessaro::UniquePtr<EVP_PKEY_CTX> c(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* pk = nullptr;
    if (params && c && EVP_PKEY_fromdata_init(c.get()) == 1)
        EVP_PKEY_fromdata(c.get(), &pk, EVP_PKEY_PUBLIC_KEY, params.get());
    return EvpPkeyPtr(pk);
}

// The DER DigestInfo prefix of a CryptoAPI hash; empty for one without.
std::vector<BYTE> DigestInfoPrefix(ALG_ID alg) {
    switch (alg) {
        case CALG_MD5:
            return {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
        case CALG_SHA1:
            return {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
        case CALG_SHA_256:
            return {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                    0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
        case CALG_SHA_384:
            return {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                    0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
        case CALG_SHA_512:
            return {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                    0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
        default:
            return {};
    }
}

// PKCS#11's hash and MGF1 for a CryptoAPI hash.
bool PssMechanisms(ALG_ID alg, CK_MECHANISM_TYPE* hash, CK_RSA_PKCS_MGF_TYPE* mgf) {
    switch (alg) {
        case CALG_SHA1:
            *hash = CKM_SHA_1, *mgf = CKG_MGF1_SHA1;
            return true;
        case CALG_SHA_256:
            *hash = CKM_SHA256, *mgf = CKG_MGF1_SHA256;
            return true;
        case CALG_SHA_384:
            *hash = CKM_SHA384, *mgf = CKG_MGF1_SHA384;
            return true;
        case CALG_SHA_512:
            *hash = CKM_SHA512, *mgf = CKG_MGF1_SHA512;
            return true;
        default:
            return false;
    }
}

// The whole DER element at p (a SEQUENCE), from its own header; 0 otherwise.
size_t DerSequenceLength(const BYTE* p) {
    if (p[0] != 0x30) return 0;
    BYTE b = p[1];
    if (b < 0x80) return 2 + b;
    size_t n = b & 0x7F;
    if (n == 0 || n > 3) return 0;
    size_t len = 0;
    for (size_t i = 0; i < n; ++i) len = (len << 8) | p[2 + i];
    return 2 + n + len;
}

std::vector<BYTE> NameDer(const struct X509_name_st* name) {
    unsigned char* der = nullptr;
    int n = i2d_X509_NAME(name, &der);
    if (n <= 0) return {};
    tessaro::OpenSslBuffer<unsigned char> hold(der);
    return std::vector<BYTE>(der, der + n);
}

// An INTEGER's content without its sign byte, as PKCS#11 wants big numbers.
void Unsigned(const BYTE** p, size_t* n) {
    while (*n > 1 && **p == 0) ++*p, --*n;
}

// Certificate propagation, as Windows does for smart cards: the certificate
// goes into the user's "My" store with the key it belongs to. A failure here
// changes nothing on the token, so it is not the caller's failure.
void RegisterInMyStore(const std::u16string& provider, const std::u16string& container, DWORD spec, const BYTE* der,
                       size_t n) {
    UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My"));
    if (!store) return;
    PCCERT_CONTEXT added = nullptr;
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der,
                                          static_cast<DWORD>(n), CERT_STORE_ADD_REPLACE_EXISTING, &added))
        return;
    UniqueCertContext hold(added);
    std::u16string c = container, p = provider;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = c.data();
    info.pwszProvName = p.data();
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = spec;
    CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
}

// A key pair of a container on the token: the public half in host memory,
// the private half found again on the token (by label and CKA_ID) for each
// operation, so a deleted container fails it.
class CTokenKey : public CAsymmetricKey {
public:
    CTokenKey(ContextPtr ctx, ALG_ID alg, EvpPkeyPtr pub, std::vector<BYTE> id)
        : CAsymmetricKey(std::move(ctx), alg, std::move(pub), true), m_id(std::move(id)) {}
    KeyPtr Clone() const override { return std::make_shared<CTokenKey>(*this); }
    std::vector<BYTE> m_id;
};

CTokenKey* AsTokenKey(CCspKey& k) { return dynamic_cast<CTokenKey*>(&k); }

struct TokenObject {
    CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
    CK_OBJECT_CLASS cls = 0;
    std::vector<BYTE> id;
};

CspProviderInfo WithTokenTable(CspProviderInfo info) {
    // The algorithm table is the vendor RSA token provider's.
    info.imagePath = CSP_IMAGE_RSA_TOKEN;
    return info;
}

class CPkcs11TokenProvider : public CRsaProvider {
public:
    CPkcs11TokenProvider(const CspProviderInfo& info, std::string module, std::string label)
        : CRsaProvider(WithTokenTable(info), u"Pkcs11Token", true), m_module(std::move(module)),
          m_label(std::move(label)) {
        m_info.imagePath = info.imagePath;
    }

    CspStatus AcquireContext(LPCWSTR pszContainer, DWORD dwFlags, ContextPtr* out) override;
    CspStatus SetProvParam(CCspContext& ctx, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) override;
    CspStatus GenKey(const ContextPtr& ctx, ALG_ID algid, DWORD dwFlags, KeyPtr* out) override;
    CspStatus GetUserKey(const ContextPtr& ctx, DWORD dwKeySpec, KeyPtr* out) override;
    CspStatus ExportKey(CCspKey& key, CCspKey* expKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                        DWORD* pdwDataLen) override;
    CspStatus ImportKey(const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen, CCspKey* pubKey, DWORD dwFlags,
                        KeyPtr* out) override;
    CspStatus Decrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                      DWORD* pdwDataLen) override;
    CspStatus SignHash(CCspHash& hash, DWORD dwKeySpec, DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen) override;
    CspStatus SignPadded(CCspKey& key, const CspPadding& pad, const BYTE* pbHash, DWORD cbHash, BYTE* pbSignature,
                         DWORD* pcbSignature) override;
    CspStatus DecryptPadded(CCspKey& key, const CspPadding& pad, const BYTE* pbInput, DWORD cbInput,
                            BYTE* pbOutput, DWORD* pcbOutput) override;
    CspStatus ExportPublicKeyInfo(const ContextPtr& ctx, DWORD dwKeySpec, std::string* oid,
                                  std::vector<BYTE>* params, std::vector<BYTE>* keyBits) override;
    CspStatus GetKeyParam(CCspKey& key, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) override;
    CspStatus SetKeyParam(CCspKey& key, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) override;

private:
    CspStatus Token(TokenPtr* out);
    CspStatus LoggedIn(TokenPtr* out);
    CspStatus ContainerExists(const TokenPtr& t, const std::string& label);
    CspStatus ListContainers(std::vector<std::u16string>* out) override;
    // The container's objects of our CKA_ID form (those visible now).
    CspStatus Objects(const TokenPtr& t, const std::string& label, std::vector<TokenObject>* out);
    CspStatus DestroySpec(const TokenPtr& t, const std::string& label, DWORD spec, const std::vector<BYTE>& keep);
    CspStatus LoadPair(const ContextPtr& ctx, DWORD spec, std::shared_ptr<CTokenKey>* out);
    CspStatus PrivateHandle(const TokenPtr& t, const CTokenKey& key, CK_OBJECT_HANDLE* out);
    // C_Sign or C_Decrypt with the key's private half.
    CspStatus PrivateOp(const CTokenKey& key, CK_MECHANISM mech, bool bDecrypt, const BYTE* in, size_t n,
                        SecureBytes* out);
    // Creates a key pair on the token from an RSAPrivateKey's numbers (which
    // stay where they are) and checks on the token that they form one pair.
    CspStatus CreatePair(const ContextPtr& ctx, DWORD spec, const BYTE* rsaPrivateKeyDer, size_t n, DWORD keyBits,
                         DWORD dwFlags, KeyPtr* out);
    CspStatus ImportEnvelope(const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags,
                             KeyPtr* out);
    void RegisterTokenCertificates(const TokenPtr& t);

    std::string m_module;
    std::string m_label;
    TokenPtr m_token;
    // CRYPT_SILENT: no pinentry. Each acquired context has a provider object
    // of its own (CspCreateProvider), so the flag belongs here.
    bool m_bSilent = false;
};

CspStatus CPkcs11TokenProvider::Token(TokenPtr* out) {
    TokenPtr t;
    if (CspStatus st = CP11Token::Open(m_module, m_label, &t)) return st;
    m_token = t;
    if (t->FirstOpen()) RegisterTokenCertificates(t);
    *out = t;
    return CSP_OK;
}

CspStatus CPkcs11TokenProvider::LoggedIn(TokenPtr* out) {
    if (CspStatus st = Token(out)) return st;
    return (*out)->Login(!m_bSilent);
}

CspStatus CPkcs11TokenProvider::ContainerExists(const TokenPtr& t, const std::string& label) {
    CK_OBJECT_CLASS cls = CKO_DATA;
    std::vector<CK_OBJECT_HANDLE> found;
    if (CspStatus st = t->Find({AttrOf(CKA_CLASS, cls), Attr(CKA_LABEL, label.data(), label.size()),
                                Attr(CKA_APPLICATION, kTokenContainerApplication, strlen(kTokenContainerApplication))},
                               &found))
        return st;
    return found.empty() ? t->Missing(NTE_BAD_KEYSET) : CSP_OK;
}

CspStatus CPkcs11TokenProvider::ListContainers(std::vector<std::u16string>* out) {
    TokenPtr t;
    if (CspStatus st = Token(&t)) return st;
    Lock g(t->Mutex());
    CK_OBJECT_CLASS cls = CKO_DATA;
    std::vector<CK_OBJECT_HANDLE> found;
    if (CspStatus st = t->Find({AttrOf(CKA_CLASS, cls), Attr(CKA_APPLICATION, kTokenContainerApplication,
                                                             strlen(kTokenContainerApplication))},
                               &found))
        return st;
    out->clear();
    for (CK_OBJECT_HANDLE h : found) {
        std::vector<BYTE> label;
        if (!t->Attribute(h, CKA_LABEL, &label) || label.empty()) continue;
        std::u16string name = CspWide(std::string(label.begin(), label.end()));
        if (!name.empty() && name.size() <= kCspMaxNameChars) out->push_back(name);
    }
    std::sort(out->begin(), out->end());
    return CSP_OK;
}

CspStatus CPkcs11TokenProvider::Objects(const TokenPtr& t, const std::string& label, std::vector<TokenObject>* out) {
    std::vector<CK_OBJECT_HANDLE> found;
    if (CspStatus st = t->Find({Attr(CKA_LABEL, label.data(), label.size())}, &found)) return st;
    out->clear();
    for (CK_OBJECT_HANDLE h : found) {
        TokenObject o;
        o.h = h;
        std::vector<BYTE> cls;
        if (!t->Attribute(h, CKA_CLASS, &cls) || cls.size() != sizeof(CK_OBJECT_CLASS)) continue;
        memcpy(&o.cls, cls.data(), sizeof o.cls);
        if (!t->Attribute(h, CKA_ID, &o.id) || !IdSpec(o.id)) continue;
        out->push_back(std::move(o));
    }
    return CSP_OK;
}

CspStatus CPkcs11TokenProvider::DestroySpec(const TokenPtr& t, const std::string& label, DWORD spec,
                                            const std::vector<BYTE>& keep) {
    std::vector<TokenObject> objs;
    if (CspStatus st = Objects(t, label, &objs)) return st;
    for (const TokenObject& o : objs)
        if (IdSpec(o.id) == spec && o.id != keep) t->F()->C_DestroyObject(t->Session(), o.h);
    return CSP_OK;
}

CspStatus CPkcs11TokenProvider::LoadPair(const ContextPtr& ctx, DWORD spec, std::shared_ptr<CTokenKey>* out) {
    if (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) return CspCode(NTE_BAD_KEY);
    TokenPtr t;
    if (CspStatus st = Token(&t)) return st;
    Lock g(t->Mutex());
    const std::string label = CspUtf8(ctx->ContainerName());
    // The public halves of the container first: one search per signature.
    // Only when none is of that spec does the container itself decide
    // between "no key" and "no container".
    CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
    std::vector<CK_OBJECT_HANDLE> found;
    if (CspStatus st = t->Find({AttrOf(CKA_CLASS, cls), Attr(CKA_LABEL, label.data(), label.size())}, &found))
        return st;
    for (CK_OBJECT_HANDLE h : found) {
        std::vector<BYTE> id, n, e;
        if (!t->Attribute(h, CKA_ID, &id) || IdSpec(id) != spec) continue;
        if (!t->Attribute(h, CKA_MODULUS, &n) || !t->Attribute(h, CKA_PUBLIC_EXPONENT, &e))
            return CspCode(NTE_KEYSET_ENTRY_BAD);
        EvpPkeyPtr pub = PublicKeyFrom(n, e);
        if (!pub) return CspCode(NTE_KEYSET_ENTRY_BAD);
        auto k = std::make_shared<CTokenKey>(ctx, AlgOfSpec(spec), std::move(pub), id);
        k->m_dwKeySpec = spec;
        k->m_dwPermissions = CspDefaultPermissions(0);
        *out = k;
        return CSP_OK;
    }
    if (CspStatus st = ContainerExists(t, label)) return st;
    return CspCode(NTE_NO_KEY);
}

CspStatus CPkcs11TokenProvider::PrivateHandle(const TokenPtr& t, const CTokenKey& key, CK_OBJECT_HANDLE* out) {
    const std::string label = CspUtf8(key.Context()->ContainerName());
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    std::vector<CK_OBJECT_HANDLE> found;
    if (CspStatus st = t->Find({AttrOf(CKA_CLASS, cls), Attr(CKA_LABEL, label.data(), label.size()),
                                Attr(CKA_ID, key.m_id.data(), key.m_id.size())},
                               &found))
        return st;
    if (found.empty()) return t->Missing(NTE_BAD_KEYSET);
    *out = found.front();
    return CSP_OK;
}

CspStatus CPkcs11TokenProvider::PrivateOp(const CTokenKey& key, CK_MECHANISM mech, bool bDecrypt, const BYTE* in,
                                          size_t n, SecureBytes* out) {
    TokenPtr t;
    if (CspStatus st = LoggedIn(&t)) return st;
    Lock g(t->Mutex());
    CK_OBJECT_HANDLE h;
    if (CspStatus st = PrivateHandle(t, key, &h)) return st;
    CK_FUNCTION_LIST_PTR f = t->F();
    CK_RV rv = bDecrypt ? f->C_DecryptInit(t->Session(), &mech, h) : f->C_SignInit(t->Session(), &mech, h);
    if (rv != CKR_OK) return P11Status(rv, NTE_BAD_KEY);
    CK_ULONG len = static_cast<CK_ULONG>(EVP_PKEY_get_size(key.Pkey()));
    out->assign(len, 0);
    CK_BYTE_PTR pin = const_cast<CK_BYTE_PTR>(in);
    rv = bDecrypt ? f->C_Decrypt(t->Session(), pin, static_cast<CK_ULONG>(n), out->data(), &len)
                  : f->C_Sign(t->Session(), pin, static_cast<CK_ULONG>(n), out->data(), &len);
    if (rv != CKR_OK) return P11Status(rv, bDecrypt ? NTE_BAD_DATA : NTE_FAIL);
    out->resize(len);
    return CSP_OK;
}

void CPkcs11TokenProvider::RegisterTokenCertificates(const TokenPtr& t) {
    Lock g(t->Mutex());
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    std::vector<CK_OBJECT_HANDLE> found;
    if (t->Find({AttrOf(CKA_CLASS, cls)}, &found)) return;
    for (CK_OBJECT_HANDLE h : found) {
        std::vector<BYTE> id, label, value;
        if (!t->Attribute(h, CKA_ID, &id) || !IdSpec(id) || !t->Attribute(h, CKA_LABEL, &label) ||
            !t->Attribute(h, CKA_VALUE, &value) || value.empty())
            continue;
        std::string l(label.begin(), label.end());
        if (ContainerExists(t, l)) continue;
        RegisterInMyStore(m_info.name, CspWide(l), IdSpec(id), value.data(), value.size());
    }
}

// ---- Contexts ----------------------------------------------------------------------

CspStatus CPkcs11TokenProvider::AcquireContext(LPCWSTR pszContainer, DWORD dwFlags, ContextPtr* out) {
    const DWORD known = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_SILENT |
                        CRYPT_DEFAULT_CONTAINER_OPTIONAL | CRYPT_MACHINE_KEYSET;
    const bool bDelete = IsDeleteFlags(dwFlags);
    if (!bDelete && (dwFlags & ~known)) return CspCode(NTE_BAD_FLAGS);
    if (!bDelete && (dwFlags & (CRYPT_MACHINE_KEYSET | CRYPT_DELETEKEYSET))) return CspCode(NTE_BAD_FLAGS);
    const bool bVerify = !bDelete && (dwFlags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
    const bool bNew = !bDelete && (dwFlags & CRYPT_NEWKEYSET);
    if (bVerify && bNew) return CspCode(NTE_BAD_FLAGS);
    m_bSilent = (dwFlags & CRYPT_SILENT) != 0;
    std::u16string name = pszContainer ? std::u16string(pszContainer) : std::u16string();
    // A verify context without a name needs no token: its keys are in memory.
    if (bVerify && name.empty()) return CCspProvider::AcquireContext(pszContainer, dwFlags, out);
    if (name.empty()) name = CspDefaultContainerName();
    if (CspStatus st = CKeyContainerStore::CheckName(name)) return st;
    const std::string label = CspUtf8(name);
    if (label.empty()) return CspCode(NTE_BAD_KEYSET_PARAM);
    TokenPtr t;
    if (CspStatus st = (bDelete || bNew) ? LoggedIn(&t) : Token(&t)) return st;
    Lock g(t->Mutex());
    if (bDelete) {
        *out = nullptr;
        if (CspStatus st = ContainerExists(t, label)) return st;
        std::vector<TokenObject> objs;
        if (CspStatus st = Objects(t, label, &objs)) return st;
        // Keys and certificates first: a container whose marker survives a
        // failure can be deleted again.
        for (const TokenObject& o : objs)
            if (CK_RV rv = t->F()->C_DestroyObject(t->Session(), o.h)) return P11Status(rv);
        CK_OBJECT_CLASS cls = CKO_DATA;
        std::vector<CK_OBJECT_HANDLE> markers;
        if (CspStatus st = t->Find({AttrOf(CKA_CLASS, cls), Attr(CKA_LABEL, label.data(), label.size()),
                                    Attr(CKA_APPLICATION, kTokenContainerApplication,
                                         strlen(kTokenContainerApplication))},
                                   &markers))
            return st;
        for (CK_OBJECT_HANDLE h : markers)
            if (CK_RV rv = t->F()->C_DestroyObject(t->Session(), h)) return P11Status(rv);
        return CSP_OK;
    }
    if (bNew) {
        CspStatus st = ContainerExists(t, label);
        if (st == CSP_OK) return CspCode(NTE_EXISTS);
        if (st != CspCode(NTE_BAD_KEYSET)) return st;
        CK_OBJECT_CLASS cls = CKO_DATA;
        std::vector<CK_ATTRIBUTE> tmpl = {
            AttrOf(CKA_CLASS, cls),
            AttrOf(CKA_TOKEN, kCkTrue),
            AttrOf(CKA_PRIVATE, kCkFalse),
            Attr(CKA_LABEL, label.data(), label.size()),
            Attr(CKA_APPLICATION, kTokenContainerApplication, strlen(kTokenContainerApplication)),
        };
        CK_OBJECT_HANDLE h;
        if (CK_RV rv = t->F()->C_CreateObject(t->Session(), tmpl.data(), static_cast<CK_ULONG>(tmpl.size()), &h))
            return P11Status(rv, NTE_TOKEN_KEYSET_STORAGE_FULL);
    } else if (CspStatus st = ContainerExists(t, label)) {
        return st;
    }
    *out = std::make_shared<CCspContext>(shared_from_this(), name, true);
    return CSP_OK;
}

CspStatus CPkcs11TokenProvider::SetProvParam(CCspContext& ctx, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    if (dwParam != PP_KEYEXCHANGE_PIN && dwParam != PP_SIGNATURE_PIN)
        return CRsaProvider::SetProvParam(ctx, dwParam, pbData, dwFlags);
    if (!pbData) return ERROR_INVALID_PARAMETER;
    if (dwFlags) return CspCode(NTE_BAD_FLAGS);
    TokenPtr t;
    if (CspStatus st = Token(&t)) return st;
    size_t n = strnlen(reinterpret_cast<const char*>(pbData), 256);
    return t->LoginWith(pbData, n);
}

// ---- Keys ---------------------------------------------------------------------------

CspStatus CPkcs11TokenProvider::GenKey(const ContextPtr& ctx, ALG_ID algid, DWORD dwFlags, KeyPtr* out) {
    DWORD spec = 0;
    if (algid == AT_KEYEXCHANGE || algid == CALG_RSA_KEYX) spec = AT_KEYEXCHANGE;
    if (algid == AT_SIGNATURE || algid == CALG_RSA_SIGN) spec = AT_SIGNATURE;
    if (!spec || !ctx->HasContainer()) return CRsaProvider::GenKey(ctx, algid, dwFlags, out);
    const DWORD low = dwFlags & 0xFFFF;
    if (low & ~kCspKnownGenKeyFlags) return CspCode(NTE_BAD_FLAGS);
    const PROV_ENUMALGS_EX* a = FindAlgorithm(AlgOfSpec(spec));
    if (!a) return CspCode(NTE_BAD_ALGID);
    const DWORD bits = (dwFlags >> 16) ? (dwFlags >> 16) : a->dwDefaultLen;
    if (bits < a->dwMinLen || bits > a->dwMaxLen || bits % 8) return CspCode(NTE_BAD_FLAGS);
    TokenPtr t;
    if (CspStatus st = LoggedIn(&t)) return st;
    Lock g(t->Mutex());
    CK_MECHANISM_INFO mi{};
    if (t->F()->C_GetMechanismInfo(t->Slot(), CKM_RSA_PKCS_KEY_PAIR_GEN, &mi) != CKR_OK)
        return CspCode(NTE_BAD_ALGID);
    if (bits < mi.ulMinKeySize || bits > mi.ulMaxKeySize) return CspCode(NTE_BAD_FLAGS);
    const std::string label = CspUtf8(ctx->ContainerName());
    if (CspStatus st = ContainerExists(t, label)) return st;
    std::vector<BYTE> id;
    if (CspStatus st = NewId(spec, &id)) return st;
    const CK_BBOOL exchange = spec == AT_KEYEXCHANGE ? CK_TRUE : CK_FALSE;
    const CK_BBOOL extractable = (low & CRYPT_EXPORTABLE) ? CK_TRUE : CK_FALSE;
    const CK_ULONG modBits = bits;
    const BYTE e[] = {0x01, 0x00, 0x01};
    CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY, privClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE kt = CKK_RSA;
    std::vector<CK_ATTRIBUTE> pub = {
        AttrOf(CKA_CLASS, pubClass),  AttrOf(CKA_KEY_TYPE, kt),        AttrOf(CKA_TOKEN, kCkTrue),
        AttrOf(CKA_PRIVATE, kCkFalse), Attr(CKA_LABEL, label.data(), label.size()),
        Attr(CKA_ID, id.data(), id.size()), AttrOf(CKA_MODULUS_BITS, modBits), Attr(CKA_PUBLIC_EXPONENT, e, sizeof e),
        AttrOf(CKA_VERIFY, kCkTrue),  AttrOf(CKA_ENCRYPT, exchange),   AttrOf(CKA_WRAP, exchange),
    };
    std::vector<CK_ATTRIBUTE> priv = {
        AttrOf(CKA_CLASS, privClass),  AttrOf(CKA_KEY_TYPE, kt),          AttrOf(CKA_TOKEN, kCkTrue),
        AttrOf(CKA_PRIVATE, kCkTrue),  AttrOf(CKA_SENSITIVE, kCkTrue),    AttrOf(CKA_EXTRACTABLE, extractable),
        Attr(CKA_LABEL, label.data(), label.size()), Attr(CKA_ID, id.data(), id.size()),
        AttrOf(CKA_SIGN, kCkTrue),     AttrOf(CKA_DECRYPT, exchange),     AttrOf(CKA_UNWRAP, exchange),
    };
    CK_MECHANISM mech{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE hPub, hPriv;
    CK_RV rv = t->F()->C_GenerateKeyPair(t->Session(), &mech, pub.data(), static_cast<CK_ULONG>(pub.size()),
                                         priv.data(), static_cast<CK_ULONG>(priv.size()), &hPub, &hPriv);
    if (rv != CKR_OK) return P11Status(rv, NTE_FAIL);
    // The new pair replaces the spec's earlier pair and its certificate.
    DestroySpec(t, label, spec, id);
    std::shared_ptr<CTokenKey> k;
    if (CspStatus st = LoadPair(ctx, spec, &k)) return st;
    k->m_dwFlags = low;
    *out = k;
    return CSP_OK;
}

CspStatus CPkcs11TokenProvider::GetUserKey(const ContextPtr& ctx, DWORD dwKeySpec, KeyPtr* out) {
    if (!ctx->HasContainer()) return CRsaProvider::GetUserKey(ctx, dwKeySpec, out);
    std::shared_ptr<CTokenKey> k;
    if (CspStatus st = LoadPair(ctx, dwKeySpec, &k)) return st;
    *out = k;
    return CSP_OK;
}

CspStatus CPkcs11TokenProvider::ExportKey(CCspKey& key, CCspKey* expKey, DWORD dwBlobType, DWORD dwFlags,
                                          BYTE* pbData, DWORD* pdwDataLen) {
    // The private half never leaves the token.
    if (AsTokenKey(key) && dwBlobType == PRIVATEKEYBLOB) return CspCode(NTE_BAD_KEY_STATE);
    return CRsaProvider::ExportKey(key, expKey, dwBlobType, dwFlags, pbData, pdwDataLen);
}

CspStatus CPkcs11TokenProvider::ExportPublicKeyInfo(const ContextPtr& ctx, DWORD dwKeySpec, std::string* oid,
                                                    std::vector<BYTE>* params, std::vector<BYTE>* keyBits) {
    if (!ctx->HasContainer()) return CRsaProvider::ExportPublicKeyInfo(ctx, dwKeySpec, oid, params, keyBits);
    std::shared_ptr<CTokenKey> k;
    if (CspStatus st = LoadPair(ctx, dwKeySpec, &k)) return st;
    unsigned char* der = nullptr;
    int n = i2d_PublicKey(k->Pkey(), &der);
    if (n <= 0) return CspCode(NTE_BAD_KEY);
    tessaro::OpenSslBuffer<unsigned char> hold(der);
    keyBits->assign(der, der + n);
    *oid = szOID_RSA_RSA;
    *params = {0x05, 0x00};
    return CSP_OK;
}

// ---- Private operations --------------------------------------------------------------

CspStatus CPkcs11TokenProvider::SignHash(CCspHash& hash, DWORD dwKeySpec, DWORD dwFlags, BYTE* pbSignature,
                                         DWORD* pdwSigLen) {
    if (!hash.Context()->HasContainer())
        return CRsaProvider::SignHash(hash, dwKeySpec, dwFlags, pbSignature, pdwSigLen);
    if (!pdwSigLen) return ERROR_INVALID_PARAMETER;
    if (dwFlags & ~static_cast<DWORD>(CRYPT_NOHASHOID)) return CspCode(NTE_BAD_FLAGS);
    std::shared_ptr<CTokenKey> key;
    if (CspStatus st = LoadPair(hash.Context(), dwKeySpec, &key)) return st;
    const DWORD kb = static_cast<DWORD>(EVP_PKEY_get_size(key->Pkey()));
    if (auto answer = CspSizeAnswer(kb, pbSignature, *pdwSigLen, pdwSigLen)) return *answer;
    std::vector<BYTE> prefix = DigestInfoPrefix(hash.AlgId());
    if (prefix.empty()) return CspCode(NTE_BAD_ALGID);
    if (CspStatus st = hash.Finish()) return st;
    std::vector<BYTE> data = (dwFlags & CRYPT_NOHASHOID) ? std::vector<BYTE>() : prefix;
    data.insert(data.end(), hash.Value().begin(), hash.Value().end());
    SecureBytes sig;
    if (CspStatus st = PrivateOp(*key, CK_MECHANISM{CKM_RSA_PKCS, nullptr, 0}, false, data.data(), data.size(), &sig))
        return st;
    if (sig.size() != kb) return CspCode(NTE_FAIL);
    std::reverse_copy(sig.begin(), sig.end(), pbSignature);  // CryptoAPI's byte order
    *pdwSigLen = kb;
    return CSP_OK;
}

CspStatus CPkcs11TokenProvider::SignPadded(CCspKey& key, const CspPadding& pad, const BYTE* pbHash, DWORD cbHash,
                                           BYTE* pbSignature, DWORD* pcbSignature) {
    CTokenKey* k = AsTokenKey(key);
    if (!k) return CRsaProvider::SignPadded(key, pad, pbHash, cbHash, pbSignature, pcbSignature);
    const DWORD kb = static_cast<DWORD>(EVP_PKEY_get_size(k->Pkey()));
    const EVP_MD* md = pad.hashAlg ? CspDigestOf(pad.hashAlg) : nullptr;
    if (pad.hashAlg && !md) return CspCode(NTE_BAD_ALGID);
    const DWORD hashLen = md ? static_cast<DWORD>(EVP_MD_get_size(md)) : cbHash;
    if (md && cbHash != hashLen) return CspCode(NTE_BAD_LEN);
    if (pad.scheme == BCRYPT_PAD_PKCS1 && !md && cbHash + 11 > kb) return CspCode(NTE_BAD_LEN);
    CK_RSA_PKCS_PSS_PARAMS pss{};
    if (pad.scheme == BCRYPT_PAD_PSS) {
        const DWORD emLen = (k->BitLength() - 1 + 7) / 8;
        if (static_cast<uint64_t>(hashLen) + pad.saltBytes + 2 > emLen) return CspCode(NTE_INVALID_PARAMETER);
        if (!PssMechanisms(pad.hashAlg, &pss.hashAlg, &pss.mgf)) return CspCode(NTE_BAD_ALGID);
        pss.sLen = pad.saltBytes;
    }
    if (auto answer = CspSizeAnswer(kb, pbSignature, *pcbSignature, pcbSignature)) return *answer;
    std::vector<BYTE> data;
    CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
    if (pad.scheme == BCRYPT_PAD_PSS) {
        mech = CK_MECHANISM{CKM_RSA_PKCS_PSS, &pss, sizeof pss};
    } else if (md) {
        data = DigestInfoPrefix(pad.hashAlg);
    }
    data.insert(data.end(), pbHash, pbHash + cbHash);
    SecureBytes sig;
    if (CspStatus st = PrivateOp(*k, mech, false, data.data(), data.size(), &sig)) return st;
    if (sig.size() != kb) return CspCode(NTE_FAIL);
    memcpy(pbSignature, sig.data(), kb);
    *pcbSignature = kb;
    return CSP_OK;
}

CspStatus CPkcs11TokenProvider::DecryptPadded(CCspKey& key, const CspPadding& pad, const BYTE* pbInput,
                                              DWORD cbInput, BYTE* pbOutput, DWORD* pcbOutput) {
    CTokenKey* k = AsTokenKey(key);
    if (!k) return CRsaProvider::DecryptPadded(key, pad, pbInput, cbInput, pbOutput, pcbOutput);
    if (!(k->m_dwPermissions & CRYPT_DECRYPT)) return CspCode(NTE_PERM);
    const DWORD kb = static_cast<DWORD>(EVP_PKEY_get_size(k->Pkey()));
    if (cbInput != kb) return CspCode(NTE_BAD_LEN);
    CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
    CK_RSA_PKCS_OAEP_PARAMS oaep{};
    if (pad.scheme == BCRYPT_PAD_OAEP) {
        if (!PssMechanisms(pad.hashAlg, &oaep.hashAlg, &oaep.mgf)) return CspCode(NTE_BAD_ALGID);
        oaep.source = CKZ_DATA_SPECIFIED;
        oaep.pSourceData = pad.label.empty() ? nullptr : const_cast<BYTE*>(pad.label.data());
        oaep.ulSourceDataLen = static_cast<CK_ULONG>(pad.label.size());
        mech = CK_MECHANISM{CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
    }
    SecureBytes plain;
    if (CspStatus st = PrivateOp(*k, mech, true, pbInput, cbInput, &plain)) return st;
    return CspCopyOut(plain.data(), static_cast<DWORD>(plain.size()), pbOutput, pcbOutput);
}

CspStatus CPkcs11TokenProvider::Decrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                                        DWORD* pdwDataLen) {
    CTokenKey* k = AsTokenKey(key);
    if (!k) return CRsaProvider::Decrypt(key, hash, bFinal, dwFlags, pbData, pdwDataLen);
    if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
    if (dwFlags & ~static_cast<DWORD>(CRYPT_OAEP)) return CspCode(NTE_BAD_FLAGS);
    if (!pbData) return ERROR_INVALID_PARAMETER;
    if (!(k->m_dwPermissions & CRYPT_DECRYPT)) return CspCode(NTE_PERM);
    const DWORD kb = static_cast<DWORD>(EVP_PKEY_get_size(k->Pkey()));
    if (*pdwDataLen != kb) return CspCode(NTE_BAD_DATA);
    std::vector<BYTE> be(pbData, pbData + kb);
    std::reverse(be.begin(), be.end());
    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0};
    CK_MECHANISM mech = (dwFlags & CRYPT_OAEP) ? CK_MECHANISM{CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep}
                                                : CK_MECHANISM{CKM_RSA_PKCS, nullptr, 0};
    SecureBytes plain;
    if (CspStatus st = PrivateOp(*k, mech, true, be.data(), be.size(), &plain)) return st;
    if (hash) {
        if (CspStatus st = hash->Update(plain.data(), plain.size())) return st;
    }
    if (!plain.empty()) memcpy(pbData, plain.data(), plain.size());
    *pdwDataLen = static_cast<DWORD>(plain.size());
    return CSP_OK;
}

// ---- Imports ----------------------------------------------------------------------------

CspStatus CPkcs11TokenProvider::CreatePair(const ContextPtr& ctx, DWORD spec, const BYTE* der, size_t derLen,
                                           DWORD keyBits, DWORD dwFlags, KeyPtr* out) {
    // RSAPrivateKey: version, n, e, d, p, q, dp, dq, qinv; the attributes
    // point into the caller's (wiping) buffer.
    der::Reader outer(der, derLen);
    const BYTE* seq;
    size_t seqLen;
    if (!outer.Next(der::kTagSequence, &seq, &seqLen) || !outer.AtEnd()) return CspCode(NTE_BAD_DATA);
    der::Reader in(seq, seqLen);
    const BYTE* f[9];
    size_t l[9];
    for (int i = 0; i < 9; ++i)
        if (!in.Next(der::kTagInteger, &f[i], &l[i])) return CspCode(NTE_BAD_DATA);
    if (!in.AtEnd() || l[0] != 1 || f[0][0] != 0) return CspCode(NTE_BAD_DATA);
    for (int i = 1; i < 9; ++i) Unsigned(&f[i], &l[i]);
    std::vector<BYTE> n(f[1], f[1] + l[1]), e(f[2], f[2] + l[2]);
    EvpPkeyPtr pub = PublicKeyFrom(n, e);
    if (!pub) return CspCode(NTE_BAD_DATA);
    if (static_cast<DWORD>(EVP_PKEY_get_bits(pub.get())) != keyBits) return CspCode(NTE_BAD_LEN);
    {
        // Numbers that parse but do not form one key pair (a damaged private
        // exponent goes unnoticed by CRT signatures) are refused before the
        // token is touched. OpenSSL clears its copy when it frees the key.
        const unsigned char* q = der;
        EvpPkeyPtr check(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &q, static_cast<long>(derLen)));
        tessaro::UniquePtr<EVP_PKEY_CTX> cc(check ? EVP_PKEY_CTX_new_from_pkey(nullptr, check.get(), nullptr)
                                                  : nullptr);
        if (!cc || q != der + derLen || EVP_PKEY_check(cc.get()) != 1) return CspCode(CspOpenSslFailed(NTE_BAD_DATA));
    }
    TokenPtr t;
    if (CspStatus st = LoggedIn(&t)) return st;
    Lock g(t->Mutex());
    const std::string label = CspUtf8(ctx->ContainerName());
    if (CspStatus st = ContainerExists(t, label)) return st;
    std::vector<BYTE> id;
    if (CspStatus st = NewId(spec, &id)) return st;
    const CK_BBOOL exchange = spec == AT_KEYEXCHANGE ? CK_TRUE : CK_FALSE;
    CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY, privClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE kt = CKK_RSA;
    std::vector<CK_ATTRIBUTE> priv = {
        AttrOf(CKA_CLASS, privClass), AttrOf(CKA_KEY_TYPE, kt),       AttrOf(CKA_TOKEN, kCkTrue),
        AttrOf(CKA_PRIVATE, kCkTrue), AttrOf(CKA_SENSITIVE, kCkTrue), AttrOf(CKA_EXTRACTABLE, kCkFalse),
        Attr(CKA_LABEL, label.data(), label.size()), Attr(CKA_ID, id.data(), id.size()),
        AttrOf(CKA_SIGN, kCkTrue),    AttrOf(CKA_DECRYPT, exchange),  AttrOf(CKA_UNWRAP, exchange),
        Attr(CKA_MODULUS, f[1], l[1]), Attr(CKA_PUBLIC_EXPONENT, f[2], l[2]), Attr(CKA_PRIVATE_EXPONENT, f[3], l[3]),
        Attr(CKA_PRIME_1, f[4], l[4]), Attr(CKA_PRIME_2, f[5], l[5]),  Attr(CKA_EXPONENT_1, f[6], l[6]),
        Attr(CKA_EXPONENT_2, f[7], l[7]), Attr(CKA_COEFFICIENT, f[8], l[8]),
    };
    std::vector<CK_ATTRIBUTE> pubT = {
        AttrOf(CKA_CLASS, pubClass),   AttrOf(CKA_KEY_TYPE, kt),       AttrOf(CKA_TOKEN, kCkTrue),
        AttrOf(CKA_PRIVATE, kCkFalse), Attr(CKA_LABEL, label.data(), label.size()),
        Attr(CKA_ID, id.data(), id.size()), Attr(CKA_MODULUS, n.data(), n.size()),
        Attr(CKA_PUBLIC_EXPONENT, e.data(), e.size()), AttrOf(CKA_VERIFY, kCkTrue), AttrOf(CKA_ENCRYPT, exchange),
        AttrOf(CKA_WRAP, exchange),
    };
    CK_OBJECT_HANDLE hPriv = CK_INVALID_HANDLE, hPub = CK_INVALID_HANDLE;
    CK_RV rv = t->F()->C_CreateObject(t->Session(), priv.data(), static_cast<CK_ULONG>(priv.size()), &hPriv);
    if (rv != CKR_OK) return P11Status(rv, NTE_BAD_DATA);
    rv = t->F()->C_CreateObject(t->Session(), pubT.data(), static_cast<CK_ULONG>(pubT.size()), &hPub);
    auto undo = [&](CspStatus st) {
        t->F()->C_DestroyObject(t->Session(), hPriv);
        if (hPub != CK_INVALID_HANDLE) t->F()->C_DestroyObject(t->Session(), hPub);
        return st;
    };
    if (rv != CKR_OK) {
        hPub = CK_INVALID_HANDLE;
        return undo(P11Status(rv, NTE_FAIL));
    }
    auto key = std::make_shared<CTokenKey>(ctx, AlgOfSpec(spec), std::move(pub), id);
    key->m_dwKeySpec = spec;
    key->m_dwFlags = dwFlags & 0xFFFF;
    key->m_dwPermissions = CspDefaultPermissions(0);
    // Numbers that parse but do not form one pair would sign garbage: one
    // signature on the token, checked with the public half, tells.
    BYTE probe[32];
    if (RAND_bytes(probe, sizeof probe) != 1) return undo(CspCode(NTE_FAIL));
    SecureBytes sig;
    if (CspStatus st = PrivateOp(*key, CK_MECHANISM{CKM_RSA_PKCS, nullptr, 0}, false, probe, sizeof probe, &sig))
        return undo(st == CspCode(NTE_FAIL) ? CspCode(NTE_BAD_DATA) : st);
    tessaro::UniquePtr<EVP_PKEY_CTX> vc(EVP_PKEY_CTX_new_from_pkey(nullptr, key->Pkey(), nullptr));
    if (!vc || EVP_PKEY_verify_init(vc.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(vc.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_verify(vc.get(), sig.data(), sig.size(), probe, sizeof probe) != 1)
        return undo(CspCode(CspOpenSslFailed(NTE_BAD_DATA)));
    DestroySpec(t, label, spec, id);
    *out = key;
    return CSP_OK;
}

CspStatus CPkcs11TokenProvider::ImportEnvelope(const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen,
                                               DWORD dwFlags, KeyPtr* out) {
    if (dwFlags & ~static_cast<DWORD>(CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_ARCHIVABLE))
        return CspCode(NTE_BAD_FLAGS);
    DWORD bits = 0;
    const BYTE* envBytes = nullptr;
    size_t envLen = 0;
    if (HRESULT hr = ParseRsaVendorBlob(pbData, dwDataLen, &bits, &envBytes, &envLen); FAILED(hr))
        return CspCode(hr);
    RsaKeyEnvelope env;
    if (HRESULT hr = ParseRsaKeyEnvelope(envBytes, envLen, &env); FAILED(hr)) return CspCode(hr);
    std::shared_ptr<CTokenKey> exchange;
    if (CspStatus st = LoadPair(ctx, AT_KEYEXCHANGE, &exchange)) return st;
    if (env.sessionKeyLen != static_cast<size_t>(EVP_PKEY_get_size(exchange->Pkey()))) return CspCode(NTE_BAD_DATA);
    if (env.privateKeyLen % 8 != 0) return CspCode(NTE_BAD_DATA);
    TokenPtr t;
    if (CspStatus st = LoggedIn(&t)) return st;
    Lock g(t->Mutex());
    CK_OBJECT_HANDLE hExchange;
    if (CspStatus st = PrivateHandle(t, *exchange, &hExchange)) return st;
    CK_FUNCTION_LIST_PTR f = t->F();
    // 1. The 3DES session key, unwrapped on the token; it never leaves it.
    CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
    CK_KEY_TYPE des3 = CKK_DES3;
    std::vector<CK_ATTRIBUTE> tmpl = {
        AttrOf(CKA_CLASS, secret),        AttrOf(CKA_KEY_TYPE, des3),       AttrOf(CKA_TOKEN, kCkFalse),
        AttrOf(CKA_SENSITIVE, kCkTrue),   AttrOf(CKA_EXTRACTABLE, kCkFalse), AttrOf(CKA_DECRYPT, kCkTrue),
    };
    CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
    CK_OBJECT_HANDLE hSession = CK_INVALID_HANDLE;
    CK_RV rv = f->C_UnwrapKey(t->Session(), &rsa, hExchange, const_cast<BYTE*>(env.sessionKey),
                              static_cast<CK_ULONG>(env.sessionKeyLen), tmpl.data(),
                              static_cast<CK_ULONG>(tmpl.size()), &hSession);
    if (rv != CKR_OK) return P11Status(rv, NTE_BAD_DATA);
    struct DropSession {
        CK_FUNCTION_LIST_PTR f;
        CK_SESSION_HANDLE s;
        CK_OBJECT_HANDLE h;
        ~DropSession() { f->C_DestroyObject(s, h); }
    } drop{f, t->Session(), hSession};
    // 2. The private key, decrypted on the token into the one host buffer it
    // passes through.
    CK_MECHANISM ecb{CKM_DES3_ECB, nullptr, 0};
    if ((rv = f->C_DecryptInit(t->Session(), &ecb, hSession)) != CKR_OK) return P11Status(rv, NTE_BAD_DATA);
    SecureBytes plain(env.privateKeyLen);
    CK_ULONG plainLen = static_cast<CK_ULONG>(plain.size());
    rv = f->C_Decrypt(t->Session(), const_cast<BYTE*>(env.privateKey), static_cast<CK_ULONG>(env.privateKeyLen),
                      plain.data(), &plainLen);
    if (rv != CKR_OK || plainLen != env.privateKeyLen) return P11Status(rv, NTE_BAD_DATA);
    // PKCS#5 block padding.
    const BYTE pad = plain.empty() ? 0 : plain.back();
    if (pad == 0 || pad > 8 || pad > plain.size()) return CspCode(NTE_BAD_DATA);
    for (size_t i = plain.size() - pad; i < plain.size(); ++i)
        if (plain[i] != pad) return CspCode(NTE_BAD_DATA);
    // 3. The key pair, created on the token as the container's exchange key.
    return CreatePair(ctx, AT_KEYEXCHANGE, plain.data(), plain.size() - pad, bits, dwFlags, out);
}

CspStatus CPkcs11TokenProvider::ImportKey(const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen,
                                          CCspKey* pubKey, DWORD dwFlags, KeyPtr* out) {
    if (!pbData) return ERROR_INVALID_PARAMETER;
    if (!ctx->HasContainer()) return CRsaProvider::ImportKey(ctx, pbData, dwDataLen, pubKey, dwFlags, out);
    if (IsVendorImportBlob(pbData, dwDataLen)) {
        if (pubKey) return CspCode(NTE_BAD_KEY);
        return ImportEnvelope(ctx, pbData, dwDataLen, dwFlags, out);
    }
    BlobReader rd(pbData, dwDataLen);
    BLOBHEADER h;
    if (!rd.Header(&h) || h.bVersion != CUR_BLOB_VERSION)
        return CRsaProvider::ImportKey(ctx, pbData, dwDataLen, pubKey, dwFlags, out);
    if (h.bType == PRIVATEKEYBLOB) {
        // Checked and decoded as the software providers do (in a context of
        // its own, so nothing is stored), then made on the token.
        auto scratch = std::make_shared<CCspContext>(shared_from_this(), std::u16string(), false);
        KeyPtr soft;
        if (CspStatus st = CRsaProvider::ImportKey(scratch, pbData, dwDataLen, pubKey, dwFlags, &soft)) return st;
        auto& k = static_cast<CAsymmetricKey&>(*soft);
        if (k.m_bIdentity) return CspCode(NTE_BAD_DATA);  // the exponent-one key has no place on a token
        unsigned char* der = nullptr;
        int n = i2d_PrivateKey(k.Pkey(), &der);
        if (n <= 0) return CspCode(NTE_FAIL);
        SecureBytes plain(der, der + n);
        OPENSSL_clear_free(der, static_cast<size_t>(n));
        scratch->MarkReleased();
        return CreatePair(ctx, h.aiKeyAlg == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE, plain.data(),
                          plain.size(), k.BitLength(), dwFlags, out);
    }
    if (h.bType == SIMPLEBLOB && (!pubKey || AsTokenKey(*pubKey))) {
        // The session key wrapped for the container's exchange key (or the
        // given one), unwrapped with its private half on the token.
        DWORD wrapAlg = 0;
        if (!rd.Dword(&wrapAlg)) return CspCode(NTE_BAD_DATA);
        if (!FindAlgorithm(h.aiKeyAlg) || !CspSessionKeyBytes(h.aiKeyAlg)) return CspCode(NTE_BAD_ALGID);
        if (wrapAlg != CALG_RSA_KEYX) return CspCode(NTE_BAD_ALGID);
        std::shared_ptr<CTokenKey> wrap;
        if (pubKey) {
            wrap = std::static_pointer_cast<CTokenKey>(pubKey->Clone());
        } else if (CspStatus st = LoadPair(ctx, AT_KEYEXCHANGE, &wrap)) {
            return st;
        }
        const size_t n = rd.Left();
        const BYTE* wrapped = nullptr;
        if (n != static_cast<size_t>(EVP_PKEY_get_size(wrap->Pkey())) || !rd.Take(n, &wrapped))
            return CspCode(NTE_BAD_DATA);
        DWORD len = static_cast<DWORD>(n);
        SecureBytes buf(wrapped, wrapped + n);
        if (CspStatus st = Decrypt(*wrap, nullptr, TRUE, dwFlags & CRYPT_OAEP, buf.data(), &len)) return st;
        return ImportSessionKey(ctx, h.aiKeyAlg, buf.data(), len, dwFlags, out);
    }
    return CRsaProvider::ImportKey(ctx, pbData, dwDataLen, pubKey, dwFlags, out);
}

// ---- Certificates ------------------------------------------------------------------------

CspStatus CPkcs11TokenProvider::GetKeyParam(CCspKey& key, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                            DWORD dwFlags) {
    CTokenKey* k = AsTokenKey(key);
    if (!k || dwParam != KP_CERTIFICATE) return CRsaProvider::GetKeyParam(key, dwParam, pbData, pdwDataLen, dwFlags);
    if (CspStatus st = CspCheckParamCall(pdwDataLen, dwFlags)) return st;
    TokenPtr t;
    if (CspStatus st = Token(&t)) return st;
    Lock g(t->Mutex());
    const std::string label = CspUtf8(key.Context()->ContainerName());
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    std::vector<CK_OBJECT_HANDLE> found;
    if (CspStatus st = t->Find({AttrOf(CKA_CLASS, cls), Attr(CKA_LABEL, label.data(), label.size()),
                                Attr(CKA_ID, k->m_id.data(), k->m_id.size())},
                               &found))
        return st;
    std::vector<BYTE> value;
    if (found.empty() || !t->Attribute(found.front(), CKA_VALUE, &value) || value.empty())
        return CspCode(NTE_NOT_FOUND);
    return CspCopyOut(value.data(), static_cast<DWORD>(value.size()), pbData, pdwDataLen);
}

CspStatus CPkcs11TokenProvider::SetKeyParam(CCspKey& key, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    CTokenKey* k = AsTokenKey(key);
    if (!k || dwParam != KP_CERTIFICATE) return CRsaProvider::SetKeyParam(key, dwParam, pbData, dwFlags);
    if (CspStatus st = CspCheckParamCall(pbData, dwFlags)) return st;
    const size_t n = DerSequenceLength(pbData);
    if (n == 0 || n > kMaxCertificate) return CspCode(NTE_BAD_DATA);
    const unsigned char* q = pbData;
    tessaro::UniquePtr<X509> x(d2i_X509(nullptr, &q, static_cast<long>(n)));
    if (!x || q != pbData + n) return CspCode(NTE_BAD_DATA);
    if (!KeyMatchesCertificate(*k, pbData, n)) return CspCode(NTE_BAD_PUBLIC_KEY);
    std::vector<BYTE> subject = NameDer(X509_get_subject_name(x.get()));
    std::vector<BYTE> issuer = NameDer(X509_get_issuer_name(x.get()));
    unsigned char* serialDer = nullptr;
    int serialLen = i2d_ASN1_INTEGER(X509_get_serialNumber(x.get()), &serialDer);
    if (serialLen <= 0 || subject.empty() || issuer.empty()) return CspCode(NTE_BAD_DATA);
    tessaro::OpenSslBuffer<unsigned char> holdSerial(serialDer);
    TokenPtr t;
    if (CspStatus st = LoggedIn(&t)) return st;
    Lock g(t->Mutex());
    const std::string label = CspUtf8(key.Context()->ContainerName());
    CK_OBJECT_HANDLE hPriv;
    if (CspStatus st = PrivateHandle(t, *k, &hPriv)) return st;  // the pair is still there
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE ct = CKC_X_509;
    std::vector<CK_ATTRIBUTE> tmpl = {
        AttrOf(CKA_CLASS, cls),
        AttrOf(CKA_CERTIFICATE_TYPE, ct),
        AttrOf(CKA_TOKEN, kCkTrue),
        AttrOf(CKA_PRIVATE, kCkFalse),
        Attr(CKA_LABEL, label.data(), label.size()),
        Attr(CKA_ID, k->m_id.data(), k->m_id.size()),
        Attr(CKA_SUBJECT, subject.data(), subject.size()),
        Attr(CKA_ISSUER, issuer.data(), issuer.size()),
        Attr(CKA_SERIAL_NUMBER, serialDer, static_cast<size_t>(serialLen)),
        Attr(CKA_VALUE, pbData, n),
    };
    std::vector<CK_OBJECT_HANDLE> old;
    if (CspStatus st = t->Find({AttrOf(CKA_CLASS, cls), Attr(CKA_LABEL, label.data(), label.size()),
                                Attr(CKA_ID, k->m_id.data(), k->m_id.size())},
                               &old))
        return st;
    CK_OBJECT_HANDLE h;
    if (CK_RV rv = t->F()->C_CreateObject(t->Session(), tmpl.data(), static_cast<CK_ULONG>(tmpl.size()), &h))
        return P11Status(rv, NTE_TOKEN_KEYSET_STORAGE_FULL);
    // The new certificate is in place before the old one goes.
    for (CK_OBJECT_HANDLE o : old) t->F()->C_DestroyObject(t->Session(), o);
    RegisterInMyStore(m_info.name, key.Context()->ContainerName(), k->m_dwKeySpec, pbData, n);
    return CSP_OK;
}

}  // namespace

ProviderPtr CreatePkcs11TokenProvider(const CspProviderInfo& info) {
    UniqueHkey k;
    std::u16string path = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\" + info.name;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, k.put()) != ERROR_SUCCESS) return nullptr;
    WCHAR buf[256];
    DWORD type = 0, cb = sizeof buf;
    if (RegQueryValueExW(k.get(), CSP_TOKEN_LABEL_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return nullptr;
    std::u16string label(buf, cb / sizeof(WCHAR));
    while (!label.empty() && label.back() == u'\0') label.pop_back();
    if (label.empty() || info.imagePath.empty()) return nullptr;
    return std::make_shared<CPkcs11TokenProvider>(info, CspUtf8(info.imagePath), CspUtf8(label));
}

void Pkcs11TokenReset() { CP11Token::ResetAll(); }

}  // namespace tessaro::csp
