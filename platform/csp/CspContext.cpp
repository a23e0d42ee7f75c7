// Contexts and their containers: acquiring, creating and deleting them, the
// provider parameters of a context (names, types, container enumeration), and
// random bytes.
#include <openssl/rand.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "platform/csp/CspProvider.h"
#include "win/platform_registry.h"
#include "win/winbase.h"

namespace tessaro::csp {

std::string CspUtf8(const std::u16string& s) {
    if (s.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string r(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), r.data(), n, nullptr, nullptr);
    return r;
}

std::u16string CspWide(const std::string& s) {
    if (s.empty()) return std::u16string();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0) return std::u16string();
    std::u16string r(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), r.data(), n);
    return r;
}

// The container a null or empty name opens: the user's login name, as on Windows.
std::u16string CspDefaultContainerName() {
    struct passwd pw;
    struct passwd* res = nullptr;
    char buf[1024];
    if (getpwuid_r(getuid(), &pw, buf, sizeof(buf), &res) == 0 && res && res->pw_name && *res->pw_name)
        return CspWide(res->pw_name);
    const char* user = getenv("USER");
    return CspWide(user && *user ? user : "default");
}


// ---- Context objects -----------------------------------------------------------------

CCspContext::CCspContext(ProviderPtr provider, std::u16string container, bool bHasContainer)
    : m_provider(std::move(provider)), m_container(std::move(container)), m_bHasContainer(bHasContainer) {}

CCspContext::~CCspContext() { MarkReleased(); }

void CCspContext::MarkReleased() {
    m_bReleased = true;
    for (auto& k : m_ephemeral) k.reset();
    for (auto& c : m_pairCache) {
        c.stored = SecureBytes();
        c.key.reset();
    }
}

// ---- Acquiring ------------------------------------------------------------------------

CCspProvider::CCspProvider(CspProviderInfo info, std::u16string family, std::vector<PROV_ENUMALGS_EX> algs)
    : m_info(std::move(info)), m_store(std::move(family)), m_algs(std::move(algs)) {}

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
            *out = std::make_shared<CCspContext>(self, std::u16string(), false);
            return CSP_OK;
        }
        if (!VerifyContextOpensContainer()) return CspCode(NTE_BAD_FLAGS);
        if (CspStatus st = m_store.Exists(name)) return st;
        *out = std::make_shared<CCspContext>(self, name, true);
        return CSP_OK;
    }
    if (name.empty()) name = CspDefaultContainerName();
    if (CspStatus st = CKeyContainerStore::CheckName(name)) return st;
    if (bDelete) {
        *out = nullptr;
        return m_store.Delete(name);
    }
    if (bNew) {
        if (CspStatus st = m_store.Create(name)) return st;
        try {
            *out = std::make_shared<CCspContext>(self, name, true);
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
    const uint64_t readAt = tessaro_platform::RegistryLocalVersion();
    auto ctx = std::make_shared<CCspContext>(self, name, true);
    if (CspStatus st = m_store.ReadContainer(name, &ctx->m_records)) return st;
    ctx->m_recordsReadAt = readAt;
    *out = std::move(ctx);
    return CSP_OK;
}

// ---- Provider parameters ----------------------------------------------------------------

CspStatus CCspProvider::GetProvParam(CCspContext& ctx, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                     DWORD dwFlags) {
    if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
    bool bEnum = dwParam == PP_ENUMCONTAINERS || dwParam == PP_ENUMALGS || dwParam == PP_ENUMALGS_EX;
    if (bEnum ? (dwFlags & ~(DWORD)(CRYPT_FIRST | CRYPT_NEXT)) != 0 : dwFlags != 0)
        return CspCode(NTE_BAD_FLAGS);
    switch (dwParam) {
        case PP_NAME:
            return CspCopyText(CspUtf8(m_info.name), pbData, pdwDataLen);
        case PP_CONTAINER:
        case PP_UNIQUE_CONTAINER:
            return CspCopyText(CspUtf8(ctx.ContainerName()), pbData, pdwDataLen);
        case PP_PROVTYPE:
            return CspCopyDword(m_info.dwType, pbData, pdwDataLen);
        case PP_IMPTYPE:
            return CspCopyDword(CRYPT_IMPL_SOFTWARE, pbData, pdwDataLen);
        case PP_VERSION:
            return CspCopyDword(0x200, pbData, pdwDataLen);
        case PP_KEYSPEC:
            return CspCopyDword(AT_KEYEXCHANGE | AT_SIGNATURE, pbData, pdwDataLen);
        case PP_SIG_KEYSIZE_INC:
        case PP_KEYX_KEYSIZE_INC:
            return CspCopyDword(8, pbData, pdwDataLen);
        case PP_ENUMCONTAINERS:
            return EnumContainers(ctx, pbData, pdwDataLen, dwFlags);
        case PP_ENUMALGS:
        case PP_ENUMALGS_EX:
            return EnumAlgorithms(ctx, dwParam, pbData, pdwDataLen, dwFlags);
        default:
            return CspCode(NTE_BAD_TYPE);
    }
}

CspStatus CCspProvider::ListContainers(std::vector<std::u16string>* out) { return m_store.List(out); }

CspStatus CCspProvider::EnumContainers(CCspContext& ctx, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    if ((dwFlags & CRYPT_FIRST) || !ctx.m_bEnumContainersStarted) {
        if (CspStatus st = ListContainers(&ctx.m_enumContainers)) return st;
        ctx.m_enumContainerPos = 0;
        ctx.m_bEnumContainersStarted = true;
    }
    if (!pbData) {
        // Room for the longest name; never less than MAX_PATH so that
        // a container made meanwhile still fits.
        size_t longest = MAX_PATH;
        for (const auto& n : ctx.m_enumContainers) longest = std::max(longest, CspUtf8(n).size() + 1);
        *pdwDataLen = static_cast<DWORD>(longest);
        return CSP_OK;
    }
    if (ctx.m_enumContainerPos >= ctx.m_enumContainers.size()) return ERROR_NO_MORE_ITEMS;
    std::string n = CspUtf8(ctx.m_enumContainers[ctx.m_enumContainerPos]);
    CspStatus st = CspCopyText(n, pbData, pdwDataLen);
    if (st == CSP_OK) ++ctx.m_enumContainerPos;
    return st;
}

CspStatus CCspProvider::SetProvParam(CCspContext&, DWORD, const BYTE*, DWORD) { return CspCode(NTE_BAD_TYPE); }

CspStatus CCspProvider::GenRandom(CCspContext&, DWORD dwLen, BYTE* pbBuffer) {
    if (!dwLen) return CSP_OK;
    if (!pbBuffer) return ERROR_INVALID_PARAMETER;
    return RAND_bytes(pbBuffer, static_cast<int>(dwLen)) == 1 ? CSP_OK : CspCode(NTE_FAIL);
}

}  // namespace tessaro::csp
