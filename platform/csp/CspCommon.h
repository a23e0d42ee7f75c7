// What every part of the providers shares: the result type, the owning key
// pointer and the wiping buffer, the CryptoAPI out-buffer rules, and the
// names the built-in providers are registered and kept under.
#pragma once

// OpenSSL's headers come before the platform's Windows headers (see OpenSslPtr.h).
#include "platform/base/OpenSslPtr.h"

#include <cstddef>
#include <optional>
#include <string>

#include "tessaro/SecureBuffer.h"
#include "win/windows.h"
#include "win/wincrypt.h"

namespace tessaro::csp {

// Result of every framework routine: ERROR_SUCCESS or the last-error value.
using CspStatus = DWORD;
constexpr CspStatus CSP_OK = ERROR_SUCCESS;
inline CspStatus CspCode(HRESULT hr) { return static_cast<DWORD>(hr); }

// Failures of OpenSSL leave entries in its thread error queue; they mean
// nothing to our callers, who read the last error instead.
HRESULT CspOpenSslFailed(HRESULT hr);

// The owning OpenSSL key pointer of the providers and the SM2 primitives.
using EvpPkeyPtr = tessaro::UniquePtr<EVP_PKEY>;

// Plain keys, decrypted data and anything else that holds key material live
// in tessaro::SecureBytes, which wipes its storage whenever it gives it back:
// no exit path wipes by hand.

// Copies a variable-length result to a CryptoAPI out buffer: pb null is a
// size query (TRUE, *pcb = size); a short buffer is ERROR_MORE_DATA with
// *pcb = size; pcb null is ERROR_INVALID_PARAMETER.
CspStatus CspCopyOut(const void* src, DWORD cbSrc, BYTE* pb, DWORD* pcb);
CspStatus CspCopyDword(DWORD v, BYTE* pb, DWORD* pcb);
// A string with its terminating zero.
CspStatus CspCopyText(const std::string& s, BYTE* pb, DWORD* pcb);

// The checks every key and hash Get*Param / Set*Param call starts with: the
// length pointer (or the data) is there, then no flags are given.
CspStatus CspCheckParamCall(const void* required, DWORD dwFlags);

// For a result of `need` bytes written into the caller's buffer in place
// (cbBuf bytes of room): the answer when there is nothing to write yet, with
// *pcb = need: ERROR_SUCCESS for a size query (pb null), ERROR_MORE_DATA for a
// short buffer. No answer when the result fits.
std::optional<CspStatus> CspSizeAnswer(DWORD need, const BYTE* pb, DWORD cbBuf, DWORD* pcb);

// UTF-8 and UTF-16 text of names (empty for ill-formed input).
std::string CspUtf8(const std::u16string& s);
std::u16string CspWide(const std::string& s);
// The container a null or empty name opens: the user's login name, as on Windows.
std::u16string CspDefaultContainerName();

// "Image Path" values of the built-in implementations.
#define CSP_IMAGE_RSA_BASE u"tessaro:rsabase"
#define CSP_IMAGE_RSA_ENHANCED u"tessaro:rsaenh"
#define CSP_IMAGE_RSA_STRONG u"tessaro:rsastrong"
#define CSP_IMAGE_RSA_AES u"tessaro:rsaaes"
#define CSP_IMAGE_RSA_TOKEN u"tessaro:rsatoken"
#define CSP_IMAGE_SM2_TOKEN u"tessaro:sm2token"

// Names registered in a new prefix for the vendor providers.
#define CSP_VENDOR_RSA_NAME u"Tessaro RSA Token CSP v1.0"
#define CSP_VENDOR_SM2_NAME u"Tessaro SM2 Token CSP v1.0"

// Container namespaces ("families") in HKCU\Software\Tessaro\Crypto\Keys.
#define CSP_FAMILY_MICROSOFT_RSA u"RSA"
#define CSP_FAMILY_RSA_TOKEN u"RsaToken"
#define CSP_FAMILY_SM2_TOKEN u"Sm2Token"

// Names of 260 UTF-16 units or more are refused, never truncated.
constexpr size_t kCspMaxNameChars = 259;

}  // namespace tessaro::csp
