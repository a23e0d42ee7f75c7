// The out-buffer rules every CryptoAPI call with a variable-length result
// follows, and the OpenSSL error-queue rule.
#include "platform/csp/CspCommon.h"

#include <openssl/err.h>

#include <cstring>

namespace tessaro::csp {

HRESULT CspOpenSslFailed(HRESULT hr) {
    ERR_clear_error();
    return hr;
}

CspStatus CspCopyOut(const void* src, DWORD cbSrc, BYTE* pb, DWORD* pcb) {
    if (!pcb) return ERROR_INVALID_PARAMETER;
    if (auto answer = CspSizeAnswer(cbSrc, pb, *pcb, pcb)) return *answer;
    if (cbSrc) memcpy(pb, src, cbSrc);
    *pcb = cbSrc;
    return CSP_OK;
}

CspStatus CspCopyDword(DWORD v, BYTE* pb, DWORD* pcb) { return CspCopyOut(&v, sizeof(v), pb, pcb); }

CspStatus CspCopyText(const std::string& s, BYTE* pb, DWORD* pcb) {
    return CspCopyOut(s.c_str(), static_cast<DWORD>(s.size() + 1), pb, pcb);
}

CspStatus CspCheckParamCall(const void* required, DWORD dwFlags) {
    if (!required) return ERROR_INVALID_PARAMETER;
    return dwFlags ? CspCode(NTE_BAD_FLAGS) : CSP_OK;
}

std::optional<CspStatus> CspSizeAnswer(DWORD need, const BYTE* pb, DWORD cbBuf, DWORD* pcb) {
    if (pb && cbBuf >= need) return std::nullopt;
    *pcb = need;
    return pb ? ERROR_MORE_DATA : CSP_OK;
}

}  // namespace tessaro::csp
