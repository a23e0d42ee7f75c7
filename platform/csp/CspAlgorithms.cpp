// The providers' algorithm tables: building entries, looking one up, and the
// PP_ENUMALGS / PP_ENUMALGS_EX enumerations.
#include <cstring>

#include "platform/csp/CspProvider.h"

namespace tessaro::csp {

PROV_ENUMALGS_EX CspAlgorithm(ALG_ID algid, DWORD dwDefaultLen, DWORD dwMinLen, DWORD dwMaxLen, DWORD dwProtocols,
                              const char* name, const char* longName) {
    PROV_ENUMALGS_EX a{};
    a.aiAlgid = algid;
    a.dwDefaultLen = dwDefaultLen;
    a.dwMinLen = dwMinLen;
    a.dwMaxLen = dwMaxLen;
    a.dwProtocols = dwProtocols;
    a.dwNameLen = static_cast<DWORD>(strlen(name) + 1);
    memcpy(a.szName, name, a.dwNameLen);
    a.dwLongNameLen = static_cast<DWORD>(strlen(longName) + 1);
    memcpy(a.szLongName, longName, a.dwLongNameLen);
    return a;
}

const PROV_ENUMALGS_EX* CCspProvider::FindAlgorithm(ALG_ID algid) const {
    for (const auto& a : m_algs)
        if (a.aiAlgid == algid) return &a;
    return nullptr;
}

CspStatus CCspProvider::EnumAlgorithms(CCspContext& ctx, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                       DWORD dwFlags) {
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

}  // namespace tessaro::csp
