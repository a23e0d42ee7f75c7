// What every provider shares: contexts and containers, provider parameters,
// hashing, session-key parameters and block-cipher encryption, random bytes,
// and the persistence of user key pairs.
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "platform/csp/CspProvider.h"
#include "win/winbase.h"

namespace tessaro::csp {

namespace {

std::string ToNarrow(const std::u16string& s) {
    if (s.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string r(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), r.data(), n, nullptr, nullptr);
    return r;
}

std::u16string ToWide(const std::string& s) {
    if (s.empty()) return std::u16string();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0) return std::u16string();
    std::u16string r(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), r.data(), n);
    return r;
}

// The container a null or empty name opens: the user's login name, as on Windows.
std::u16string DefaultContainerName() {
    struct passwd pw;
    struct passwd* res = nullptr;
    char buf[1024];
    if (getpwuid_r(getuid(), &pw, buf, sizeof(buf), &res) == 0 && res && res->pw_name && *res->pw_name)
        return ToWide(res->pw_name);
    const char* user = getenv("USER");
    return ToWide(user && *user ? user : "default");
}

CspStatus CopyDword(DWORD v, BYTE* pb, DWORD* pcb) { return CspCopyOut(&v, sizeof(v), pb, pcb); }

CspStatus CopyText(const std::string& s, BYTE* pb, DWORD* pcb) {
    return CspCopyOut(s.c_str(), static_cast<DWORD>(s.size() + 1), pb, pcb);
}

const EVP_MD* DigestOf(ALG_ID algid) {
    switch (algid) {
        case CALG_MD5:
            return EVP_md5();
        case CALG_SHA1:
            return EVP_sha1();
        case CALG_SHA_256:
            return EVP_sha256();
        case CALG_SHA_384:
            return EVP_sha384();
        case CALG_SHA_512:
            return EVP_sha512();
        default:
            return nullptr;
    }
}

// Cipher of a session key; every DES flavour runs as three-key EDE on an
// expanded key (K1 K1 K1 for DES, K1 K2 K1 for two-key 3DES).
const EVP_CIPHER* CipherOf(ALG_ID algid, bool bCbc) {
    switch (algid) {
        case CALG_DES:
        case CALG_3DES_112:
        case CALG_3DES:
            return bCbc ? EVP_des_ede3_cbc() : EVP_des_ede3_ecb();
        case CALG_AES_128:
            return bCbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
        case CALG_AES_192:
            return bCbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
        case CALG_AES_256:
            return bCbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
        default:
            return nullptr;
    }
}

std::vector<BYTE> CipherKey(const CSymmetricKey& k) {
    std::vector<BYTE> r;
    switch (k.AlgId()) {
        case CALG_DES:
            for (int i = 0; i < 3; ++i) r.insert(r.end(), k.m_key.begin(), k.m_key.begin() + 8);
            break;
        case CALG_3DES_112:
            r.insert(r.end(), k.m_key.begin(), k.m_key.begin() + 16);
            r.insert(r.end(), k.m_key.begin(), k.m_key.begin() + 8);
            break;
        default:
            r = k.m_key;
    }
    return r;
}

struct CipherCtx {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    ~CipherCtx() { EVP_CIPHER_CTX_free(c); }
};

// One pass of the block cipher over whole blocks, without padding.
CspStatus RunCipher(CSymmetricKey& k, bool bEncrypt, const BYTE* in, size_t n, BYTE* out) {
    bool bCbc = k.m_dwMode == CRYPT_MODE_CBC;
    const EVP_CIPHER* cipher = CipherOf(k.AlgId(), bCbc);
    if (!cipher) return CspCode(NTE_BAD_ALGID);
    std::vector<BYTE> key = CipherKey(k);
    const std::vector<BYTE>& iv = (bCbc && k.m_bInMessage && !k.m_chain.empty()) ? k.m_chain : k.m_iv;
    CipherCtx ctx;
    int outl = 0, finl = 0;
    bool ok = ctx.c && EVP_CipherInit_ex(ctx.c, cipher, nullptr, key.data(), bCbc ? iv.data() : nullptr,
                                         bEncrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx.c, 0) == 1 &&
              EVP_CipherUpdate(ctx.c, out, &outl, in, static_cast<int>(n)) == 1 &&
              EVP_CipherFinal_ex(ctx.c, out + outl, &finl) == 1;
    CspWipe(key);
    if (!ok) return CspCode(NTE_FAIL);
    if (bCbc && n >= k.BlockBytes()) {
        const BYTE* last = (bEncrypt ? out : in) + n - k.BlockBytes();
        k.m_chain.assign(last, last + k.BlockBytes());
    }
    return CSP_OK;
}

}  // namespace

// ---- Construction ------------------------------------------------------------------

CCspProvider::CCspProvider(CspProviderInfo info, std::u16string family, std::vector<PROV_ENUMALGS_EX> algs)
    : m_info(std::move(info)), m_store(std::move(family)), m_algs(std::move(algs)) {}

const PROV_ENUMALGS_EX* CCspProvider::FindAlgorithm(ALG_ID algid) const {
    for (const auto& a : m_algs)
        if (a.aiAlgid == algid) return &a;
    return nullptr;
}

// ---- Contexts -------------------------------------------------------------------------

CspStatus CCspProvider::AcquireContext(LPCWSTR pszContainer, DWORD dwFlags, ContextPtr* out) {
    ProviderPtr self = shared_from_this();
    const DWORD known = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_SILENT |
                        CRYPT_DEFAULT_CONTAINER_OPTIONAL | CRYPT_MACHINE_KEYSET;
    bool bDelete = IsDeleteFlags(dwFlags);
    if (!bDelete) {
        if (dwFlags & ~known) return CspCode(NTE_BAD_FLAGS);
        // Machine key sets are not kept by this platform.
        if (dwFlags & CRYPT_MACHINE_KEYSET) return CspCode(NTE_BAD_FLAGS);
        if (dwFlags & CRYPT_DELETEKEYSET) return CspCode(NTE_BAD_FLAGS);
    }
    bool bVerify = !bDelete && (dwFlags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
    bool bNew = !bDelete && (dwFlags & CRYPT_NEWKEYSET);
    if (bVerify && bNew) return CspCode(NTE_BAD_FLAGS);

    std::u16string name = pszContainer ? std::u16string(pszContainer) : std::u16string();
    if (bVerify) {
        if (name.empty()) {
            *out = std::make_shared<CCspContext>(self, std::u16string(), false, true, dwFlags);
            return CSP_OK;
        }
        if (!VerifyContextOpensContainer()) return CspCode(NTE_BAD_FLAGS);
        if (CspStatus st = m_store.Exists(name)) return st;
        *out = std::make_shared<CCspContext>(self, name, true, true, dwFlags);
        return CSP_OK;
    }
    if (name.empty()) name = DefaultContainerName();
    if (CspStatus st = CKeyContainerStore::CheckName(name)) return st;
    if (bDelete) {
        *out = nullptr;
        return m_store.Delete(name);
    }
    if (bNew) {
        if (CspStatus st = m_store.Create(name)) return st;
        try {
            *out = std::make_shared<CCspContext>(self, name, true, false, dwFlags);
        } catch (const std::bad_alloc&) {
            // A key set nobody got a handle to is not left behind.
            try {
                m_store.Delete(name);
            } catch (const std::bad_alloc&) {
            }
            throw;
        }
        return CSP_OK;
    }
    if (CspStatus st = m_store.Exists(name)) return st;
    *out = std::make_shared<CCspContext>(self, name, true, false, dwFlags);
    return CSP_OK;
}

CspStatus CCspProvider::GetProvParam(CCspContext& ctx, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                     DWORD dwFlags) {
    if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
    bool bEnum = dwParam == PP_ENUMCONTAINERS || dwParam == PP_ENUMALGS || dwParam == PP_ENUMALGS_EX;
    if (bEnum ? (dwFlags & ~(DWORD)(CRYPT_FIRST | CRYPT_NEXT)) != 0 : dwFlags != 0)
        return CspCode(NTE_BAD_FLAGS);
    switch (dwParam) {
        case PP_NAME:
            return CopyText(ToNarrow(m_info.name), pbData, pdwDataLen);
        case PP_CONTAINER:
        case PP_UNIQUE_CONTAINER:
            return CopyText(ToNarrow(ctx.ContainerName()), pbData, pdwDataLen);
        case PP_PROVTYPE:
            return CopyDword(m_info.dwType, pbData, pdwDataLen);
        case PP_IMPTYPE:
            return CopyDword(2 /* CRYPT_IMPL_SOFTWARE */, pbData, pdwDataLen);
        case PP_VERSION:
            return CopyDword(0x200, pbData, pdwDataLen);
        case PP_KEYSPEC:
            return CopyDword(AT_KEYEXCHANGE | AT_SIGNATURE, pbData, pdwDataLen);
        case PP_SIG_KEYSIZE_INC:
        case PP_KEYX_KEYSIZE_INC:
            return CopyDword(8, pbData, pdwDataLen);
        case PP_ENUMCONTAINERS: {
            if ((dwFlags & CRYPT_FIRST) || !ctx.m_bEnumContainersStarted) {
                if (CspStatus st = m_store.List(&ctx.m_enumContainers)) return st;
                ctx.m_enumContainerPos = 0;
                ctx.m_bEnumContainersStarted = true;
            }
            if (!pbData) {
                // Room for the longest name; never less than MAX_PATH so that
                // a container made meanwhile still fits.
                size_t longest = MAX_PATH;
                for (const auto& n : ctx.m_enumContainers) longest = std::max(longest, ToNarrow(n).size() + 1);
                *pdwDataLen = static_cast<DWORD>(longest);
                return CSP_OK;
            }
            if (ctx.m_enumContainerPos >= ctx.m_enumContainers.size()) return ERROR_NO_MORE_ITEMS;
            std::string n = ToNarrow(ctx.m_enumContainers[ctx.m_enumContainerPos]);
            CspStatus st = CopyText(n, pbData, pdwDataLen);
            if (st == CSP_OK) ++ctx.m_enumContainerPos;
            return st;
        }
        case PP_ENUMALGS:
        case PP_ENUMALGS_EX: {
            size_t& pos = dwParam == PP_ENUMALGS ? ctx.m_enumAlgPos : ctx.m_enumAlgExPos;
            if (dwFlags & CRYPT_FIRST) pos = 0;
            if (pos >= m_algs.size()) return ERROR_NO_MORE_ITEMS;
            const PROV_ENUMALGS_EX& a = m_algs[pos];
            CspStatus st;
            if (dwParam == PP_ENUMALGS_EX) {
                st = CspCopyOut(&a, sizeof(a), pbData, pdwDataLen);
            } else {
                PROV_ENUMALGS e{};
                e.aiAlgid = a.aiAlgid;
                e.dwBitLen = a.dwDefaultLen;
                e.dwNameLen = a.dwNameLen;
                memcpy(e.szName, a.szName, sizeof(e.szName));
                st = CspCopyOut(&e, sizeof(e), pbData, pdwDataLen);
            }
            if (st == CSP_OK && pbData) ++pos;
            return st;
        }
        default:
            return CspCode(NTE_BAD_TYPE);
    }
}

CspStatus CCspProvider::SetProvParam(CCspContext&, DWORD, const BYTE*, DWORD) { return CspCode(NTE_BAD_TYPE); }

CspStatus CCspProvider::GenRandom(CCspContext&, DWORD dwLen, BYTE* pbBuffer) {
    if (!dwLen) return CSP_OK;
    if (!pbBuffer) return ERROR_INVALID_PARAMETER;
    return RAND_bytes(pbBuffer, static_cast<int>(dwLen)) == 1 ? CSP_OK : CspCode(NTE_FAIL);
}

// ---- User key pairs ------------------------------------------------------------------

CspStatus CCspProvider::LoadKeyPair(const ContextPtr& ctx, DWORD dwKeySpec, std::shared_ptr<CAsymmetricKey>* out) {
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return CspCode(NTE_BAD_KEY);
    if (!ctx->HasContainer()) {
        auto k = std::dynamic_pointer_cast<CAsymmetricKey>(ctx->m_ephemeral[dwKeySpec]);
        if (!k) return CspCode(NTE_NO_KEY);
        *out = std::static_pointer_cast<CAsymmetricKey>(k->Clone());
        return CSP_OK;
    }
    CContainerKeyRecord rec;
    if (CspStatus st = m_store.ReadKey(ctx->ContainerName(), dwKeySpec, &rec)) return st;
    std::shared_ptr<CAsymmetricKey> k;
    CCspContext::CachedPair& cache = ctx->m_pairCache[dwKeySpec];
    if (cache.key && cache.aiKeyAlg == rec.aiKeyAlg && cache.stored == rec.privateKey) {
        k = std::static_pointer_cast<CAsymmetricKey>(cache.key->Clone());
    } else {
        if (CspStatus st = DecodeKeyPair(ctx, rec, &k)) return st;
        CspWipe(cache.stored);
        cache.stored = rec.privateKey;
        cache.aiKeyAlg = rec.aiKeyAlg;
        cache.key = std::static_pointer_cast<CAsymmetricKey>(k->Clone());
    }
    k->m_dwKeySpec = dwKeySpec;
    k->m_dwFlags = rec.dwFlags;
    k->m_dwPermissions = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC |
                         ((rec.dwFlags & CRYPT_EXPORTABLE) ? CRYPT_EXPORT : 0);
    *out = k;
    return CSP_OK;
}

CspStatus CCspProvider::SaveKeyPair(const ContextPtr& ctx, DWORD dwKeySpec, const std::shared_ptr<CAsymmetricKey>& key) {
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return CspCode(NTE_BAD_KEY);
    key->m_dwKeySpec = dwKeySpec;
    if (!ctx->HasContainer()) {
        ctx->m_ephemeral[dwKeySpec] = key->Clone();
        return CSP_OK;
    }
    CContainerKeyRecord rec;
    rec.aiKeyAlg = key->AlgId();
    rec.dwFlags = key->m_dwFlags;
    rec.dwBitLen = key->BitLength();
    if (CspStatus st = EncodeKeyPair(*key, &rec.privateKey)) return st;
    if (CspStatus st = m_store.WriteKey(ctx->ContainerName(), dwKeySpec, rec)) return st;
    CCspContext::CachedPair& cache = ctx->m_pairCache[dwKeySpec];
    CspWipe(cache.stored);
    cache.stored = rec.privateKey;
    cache.aiKeyAlg = rec.aiKeyAlg;
    cache.key = std::static_pointer_cast<CAsymmetricKey>(key->Clone());
    return CSP_OK;
}

CspStatus CCspProvider::EncodeKeyPair(const CAsymmetricKey& key, std::vector<BYTE>* out) {
    if (!key.HasPrivate() || !key.Pkey()) return CspCode(NTE_BAD_KEY);
    unsigned char* der = nullptr;
    int n = i2d_PrivateKey(key.Pkey(), &der);
    if (n <= 0) return CspCode(NTE_FAIL);
    // Wiped and released even when the copy runs out of memory.
    struct Wipe {
        unsigned char* p;
        size_t n;
        ~Wipe() { OPENSSL_clear_free(p, n); }
    } hold{der, static_cast<size_t>(n)};
    out->assign(der, der + n);
    return CSP_OK;
}

CspStatus CCspProvider::DecodeKeyPair(const ContextPtr& ctx, const CContainerKeyRecord& rec,
                                      std::shared_ptr<CAsymmetricKey>* out) {
    const unsigned char* p = rec.privateKey.data();
    EVP_PKEY* pk = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(rec.privateKey.size()));
    if (!pk) return CspCode(NTE_KEYSET_ENTRY_BAD);
    *out = std::make_shared<CAsymmetricKey>(ctx, rec.aiKeyAlg, CspPkeyPtr(pk), true);
    return CSP_OK;
}

bool CCspProvider::KeyMatchesCertificate(const CAsymmetricKey& key, const BYTE* cert, size_t len) const {
    const unsigned char* p = cert;
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(len));
    if (!x) return false;
    EVP_PKEY* pub = X509_get0_pubkey(x);
    bool same = pub && key.Pkey() && EVP_PKEY_eq(pub, key.Pkey()) == 1;
    X509_free(x);
    return same;
}

// ---- Keys: defaults --------------------------------------------------------------------

CspStatus CCspProvider::GenKey(const ContextPtr&, ALG_ID, DWORD, KeyPtr*) { return CspCode(NTE_BAD_ALGID); }

CspStatus CCspProvider::GetUserKey(const ContextPtr& ctx, DWORD dwKeySpec, KeyPtr* out) {
    std::shared_ptr<CAsymmetricKey> k;
    if (CspStatus st = LoadKeyPair(ctx, dwKeySpec, &k)) return st;
    *out = k;
    return CSP_OK;
}

CspStatus CCspProvider::ExportKey(CCspKey&, CCspKey*, DWORD, DWORD, BYTE*, DWORD*) { return CspCode(NTE_BAD_TYPE); }

CspStatus CCspProvider::ImportKey(const ContextPtr&, const BYTE*, DWORD, CCspKey*, DWORD, KeyPtr*) {
    return CspCode(NTE_BAD_TYPE);
}

namespace {

// The whole DER element at p; its length comes from its own header, since
// KP_CERTIFICATE carries no size. Zero for anything that is not a SEQUENCE.
size_t DerElementLength(const BYTE* p) {
    if (p[0] != 0x30) return 0;
    BYTE b = p[1];
    if (b < 0x80) return 2 + b;
    size_t n = b & 0x7F;
    if (n == 0 || n > 3) return 0;  // certificates stay far below 16 MiB
    size_t len = 0;
    for (size_t i = 0; i < n; ++i) len = (len << 8) | p[2 + i];
    return 2 + n + len;
}

constexpr size_t kMaxCertificate = 64 * 1024;

}  // namespace

CspStatus CCspProvider::GetKeyParam(CCspKey& key, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
    if (dwFlags) return CspCode(NTE_BAD_FLAGS);
    auto* sym = key.IsSymmetric() ? static_cast<CSymmetricKey*>(&key) : nullptr;
    auto* asym = key.IsSymmetric() ? nullptr : static_cast<CAsymmetricKey*>(&key);
    switch (dwParam) {
        case KP_ALGID:
            return CopyDword(key.AlgId(), pbData, pdwDataLen);
        case KP_KEYLEN:
            return CopyDword(key.BitLength(), pbData, pdwDataLen);
        case KP_BLOCKLEN:
            return CopyDword(sym ? sym->BlockBytes() * 8 : key.BitLength(), pbData, pdwDataLen);
        case KP_PERMISSIONS:
            return CopyDword(key.m_dwPermissions, pbData, pdwDataLen);
        case KP_MODE:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            return CopyDword(sym->m_dwMode, pbData, pdwDataLen);
        case KP_PADDING:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            return CopyDword(sym->m_dwPadding, pbData, pdwDataLen);
        case KP_MODE_BITS:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            return CopyDword(8, pbData, pdwDataLen);
        case KP_IV:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            return CspCopyOut(sym->m_iv.data(), static_cast<DWORD>(sym->m_iv.size()), pbData, pdwDataLen);
        case KP_CERTIFICATE: {
            if (!asym) return CspCode(NTE_BAD_TYPE);
            std::vector<BYTE> cert = asym->m_certificate;
            if (asym->m_dwKeySpec && key.Context()->HasContainer()) {
                CContainerKeyRecord rec;
                if (CspStatus st = m_store.ReadKey(key.Context()->ContainerName(), asym->m_dwKeySpec, &rec))
                    return st;
                cert = rec.certificate;
            }
            if (cert.empty()) return CspCode(NTE_NOT_FOUND);
            return CspCopyOut(cert.data(), static_cast<DWORD>(cert.size()), pbData, pdwDataLen);
        }
        default:
            return CspCode(NTE_BAD_TYPE);
    }
}

CspStatus CCspProvider::SetKeyParam(CCspKey& key, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    if (!pbData) return ERROR_INVALID_PARAMETER;
    if (dwFlags) return CspCode(NTE_BAD_FLAGS);
    auto* sym = key.IsSymmetric() ? static_cast<CSymmetricKey*>(&key) : nullptr;
    auto* asym = key.IsSymmetric() ? nullptr : static_cast<CAsymmetricKey*>(&key);
    // The DWORD parameters; KP_IV and KP_CERTIFICATE have their own sizes.
    DWORD v = 0;
    if (dwParam == KP_MODE || dwParam == KP_PADDING || dwParam == KP_PERMISSIONS) memcpy(&v, pbData, sizeof(v));
    switch (dwParam) {
        case KP_MODE:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            if (v != CRYPT_MODE_CBC && v != CRYPT_MODE_ECB) return CspCode(NTE_BAD_DATA);
            sym->m_dwMode = v;
            sym->m_bInMessage = false;
            return CSP_OK;
        case KP_PADDING:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            if (v != PKCS5_PADDING) return CspCode(NTE_BAD_DATA);
            sym->m_dwPadding = v;
            return CSP_OK;
        case KP_IV:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            sym->m_iv.assign(pbData, pbData + sym->BlockBytes());
            sym->m_bInMessage = false;
            return CSP_OK;
        case KP_PERMISSIONS:
            // Permissions can be taken away, never added.
            if (v & ~key.m_dwPermissions) return CspCode(NTE_BAD_DATA);
            key.m_dwPermissions = v;
            return CSP_OK;
        case KP_CERTIFICATE: {
            if (!asym) return CspCode(NTE_BAD_TYPE);
            size_t n = DerElementLength(pbData);
            if (n == 0 || n > kMaxCertificate) return CspCode(NTE_BAD_DATA);
            {
                const unsigned char* p = pbData;
                X509* x = d2i_X509(nullptr, &p, static_cast<long>(n));
                bool whole = x && p == pbData + n;
                X509_free(x);
                if (!whole) return CspCode(NTE_BAD_DATA);
            }
            if (CertificateMustMatchKey() && !KeyMatchesCertificate(*asym, pbData, n))
                return CspCode(NTE_BAD_PUBLIC_KEY);
            if (asym->m_dwKeySpec && key.Context()->HasContainer()) {
                CContainerKeyRecord rec;
                if (CspStatus st = m_store.ReadKey(key.Context()->ContainerName(), asym->m_dwKeySpec, &rec))
                    return st;
                rec.certificate.assign(pbData, pbData + n);
                return m_store.WriteKey(key.Context()->ContainerName(), asym->m_dwKeySpec, rec);
            }
            asym->m_certificate.assign(pbData, pbData + n);
            if (asym->m_dwKeySpec) {
                auto& eph = key.Context()->m_ephemeral[asym->m_dwKeySpec];
                if (auto e = std::dynamic_pointer_cast<CAsymmetricKey>(eph)) e->m_certificate = asym->m_certificate;
            }
            return CSP_OK;
        }
        default:
            return CspCode(NTE_BAD_TYPE);
    }
}

// ---- Block ciphers -------------------------------------------------------------------------

CspStatus CCspProvider::Encrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                                DWORD* pdwDataLen, DWORD dwBufLen) {
    if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
    if (!key.IsSymmetric()) return CspCode(NTE_BAD_KEY);
    if (dwFlags) return CspCode(NTE_BAD_FLAGS);
    auto& k = static_cast<CSymmetricKey&>(key);
    if (!(k.m_dwPermissions & CRYPT_ENCRYPT)) return CspCode(NTE_PERM);
    const DWORD b = k.BlockBytes();
    DWORD len = *pdwDataLen;
    DWORD outLen = bFinal ? (len / b + 1) * b : len;
    if (!bFinal && len % b) return CspCode(NTE_BAD_DATA);
    if (!pbData) {
        *pdwDataLen = outLen;
        return CSP_OK;
    }
    if (dwBufLen < outLen) {
        *pdwDataLen = outLen;
        return ERROR_MORE_DATA;
    }
    if (hash) {
        if (CspStatus st = hash->Update(pbData, len)) return st;
    }
    std::vector<BYTE> in(pbData, pbData + len);
    if (bFinal) in.insert(in.end(), outLen - len, static_cast<BYTE>(outLen - len));
    CspStatus st = outLen ? RunCipher(k, true, in.data(), outLen, pbData) : CSP_OK;
    CspWipe(in);
    if (st) {
        k.m_bInMessage = false;
        return st;
    }
    k.m_bInMessage = !bFinal;
    *pdwDataLen = outLen;
    return CSP_OK;
}

CspStatus CCspProvider::Decrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                                DWORD* pdwDataLen) {
    if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
    if (!key.IsSymmetric()) return CspCode(NTE_BAD_KEY);
    if (dwFlags) return CspCode(NTE_BAD_FLAGS);
    auto& k = static_cast<CSymmetricKey&>(key);
    if (!(k.m_dwPermissions & CRYPT_DECRYPT)) return CspCode(NTE_PERM);
    const DWORD b = k.BlockBytes();
    DWORD len = *pdwDataLen;
    if (len % b || (bFinal && len == 0)) return CspCode(NTE_BAD_DATA);
    if (len && !pbData) return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> out(len);
    if (len) {
        if (CspStatus st = RunCipher(k, false, pbData, len, out.data())) {
            k.m_bInMessage = false;
            return st;
        }
    }
    DWORD plain = len;
    if (bFinal) {
        BYTE pad = out[len - 1];
        bool ok = pad >= 1 && pad <= b;
        for (DWORD i = 0; ok && i < pad; ++i) ok = out[len - 1 - i] == pad;
        k.m_bInMessage = false;
        if (!ok) {
            CspWipe(out);
            return CspCode(NTE_BAD_DATA);
        }
        plain = len - pad;
    } else {
        k.m_bInMessage = true;
    }
    if (hash) {
        if (CspStatus st = hash->Update(out.data(), plain)) {
            CspWipe(out);
            return st;
        }
    }
    if (plain) memcpy(pbData, out.data(), plain);
    CspWipe(out);
    *pdwDataLen = plain;
    return CSP_OK;
}

// ---- Hashes ----------------------------------------------------------------------------

CspStatus CCspProvider::CreateHash(const ContextPtr& ctx, ALG_ID algid, CCspKey* key, DWORD dwFlags, HashPtr* out) {
    if (dwFlags) return CspCode(NTE_BAD_FLAGS);
    const PROV_ENUMALGS_EX* a = FindAlgorithm(algid);
    const EVP_MD* md = DigestOf(algid);
    if (!a || GET_ALG_CLASS(algid) != ALG_CLASS_HASH || !md) return CspCode(NTE_BAD_ALGID);
    if (key) return CspCode(NTE_BAD_KEY);
    auto h = std::make_shared<CCspHash>(ctx, algid, md);
    if (!h->HashSize()) return CspCode(NTE_NO_MEMORY);
    *out = h;
    return CSP_OK;
}

CspStatus CCspProvider::GetHashParam(CCspHash& hash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
    if (dwFlags) return CspCode(NTE_BAD_FLAGS);
    switch (dwParam) {
        case HP_ALGID:
            return CopyDword(hash.AlgId(), pbData, pdwDataLen);
        case HP_HASHSIZE:
            return CopyDword(hash.HashSize(), pbData, pdwDataLen);
        case HP_HASHVAL: {
            if (!pbData) {
                *pdwDataLen = hash.HashSize();
                return CSP_OK;
            }
            if (*pdwDataLen < hash.HashSize()) {
                *pdwDataLen = hash.HashSize();
                return ERROR_MORE_DATA;
            }
            if (CspStatus st = hash.Finish()) return st;
            const auto& v = hash.Value();
            return CspCopyOut(v.data(), static_cast<DWORD>(v.size()), pbData, pdwDataLen);
        }
        default:
            return CspCode(NTE_BAD_TYPE);
    }
}

CspStatus CCspProvider::SetHashParam(CCspHash& hash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    if (!pbData) return ERROR_INVALID_PARAMETER;
    if (dwFlags) return CspCode(NTE_BAD_FLAGS);
    if (dwParam != HP_HASHVAL) return CspCode(NTE_BAD_TYPE);
    return hash.SetValue(pbData);
}

CspStatus CCspProvider::SignHash(CCspHash&, DWORD, DWORD, BYTE*, DWORD*) { return CspCode(NTE_BAD_ALGID); }

CspStatus CCspProvider::VerifySignature(CCspHash&, const BYTE*, DWORD, CCspKey&, DWORD) {
    return CspCode(NTE_BAD_ALGID);
}

CspStatus CCspProvider::ExportPublicKeyInfo(const ContextPtr&, DWORD, std::string*, std::vector<BYTE>*,
                                            std::vector<BYTE>*) {
    return CspCode(NTE_BAD_ALGID);
}

CspStatus CCspProvider::ImportPublicKeyInfo(const ContextPtr&, const CERT_PUBLIC_KEY_INFO&, KeyPtr*) {
    return CspCode(NTE_BAD_ALGID);
}

}  // namespace tessaro::csp
