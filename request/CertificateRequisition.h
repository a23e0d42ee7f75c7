// Key pairs for a certificate request, generated inside a provider, and the
// request entry point the agent calls. Text handed out is a new array
// allocation owned by the caller (release with delete[]).
#pragma once

#include "win/windows.h"

// Key algorithm argument of the request routines.
#define KEY_ALGORITHM_SM2 0
#define KEY_ALGORITHM_RSA 1

// Key lengths of the temporary exchange key of a double-certificate request.
#define EXCHANGE_KEY_LENGTH_RSA 1024
#define EXCHANGE_KEY_LENGTH_SM2 256

// Generates one key pair in a provider container and exports its public key.
//  ppwszContainerName: in, *ppwszContainerName names the container (borrowed;
//    null or empty makes a new GUID name); out, on success with bCreateNew set,
//    *ppwszContainerName is replaced by a new copy of the name (delete[]).
//  nKeyLength: 1..0xFFFF bits; dwGenKeyFlags: CRYPT_EXPORTABLE etc., no bits
//    above 0xFFFF. Anything else is E_INVALIDARG before anything is created.
//  bRSA: KEY_ALGORITHM_RSA or KEY_ALGORITHM_SM2; dwKeySpec: AT_KEYEXCHANGE or
//    AT_SIGNATURE.
//  bCreateNew: the call creates the container (CRYPT_NEWKEYSET); a failure
//    after the creation removes it again.
//  phProv: 0 to acquire here (left open for the caller to release), or the
//    handle of an earlier call on the same container.
//  ppbPublicKey/pcbPublicKey: RSA: the exported CERT_PUBLIC_KEY_INFO; SM2: the
//    PUBLICKEYBLOB (at least 140 bytes). New BYTE[] (delete[]).
HRESULT CreatePublicKey(LPWSTR* ppwszContainerName, LONG nKeyLength, LPCWSTR pwszProviderName, BOOL bRSA,
                        DWORD dwKeySpec, BOOL bCreateNew, HCRYPTPROV* phProv, DWORD dwGenKeyFlags,
                        BYTE** ppbPublicKey, DWORD* pcbPublicKey);

// One provider parameter (PP_NAME, PP_CONTAINER, ...) in a new zero-filled
// buffer (delete[]) with one spare zero byte after *pcbData. E_FAIL when the
// provider reports a size of 0.
HRESULT GetProviderInfo(HCRYPTPROV hProv, DWORD dwParam, BYTE** ppbData, DWORD* pcbData);

// Generates the key pair(s) of a request in a new container of the provider
// and returns the signed PKCS#10 request as Base64 in 64-character lines.
//  ppwszContainerName: in, *ppwszContainerName is normally null (a new GUID
//    name is made); out, on success, a new zero-terminated copy of the
//    container's name (delete[]). Untouched on failure.
//  lCertType: 1 (signing key only) or 2 (temporary exchange key, then the
//    signing key); dwKeySpec: key spec of the signing key.
//  bRSA: KEY_ALGORITHM_RSA or KEY_ALGORITHM_SM2.
//  nKeyLength, dwGenKeyFlags: of the signing key (see CreatePublicKey).
//  algHash: CALG_SHA1 or CALG_MD5 for RSA; ignored for SM2 (SM3).
//  ppszRequest/pnRequestLength: out, on success, the zero-terminated text
//    (delete[]) and its length with the line breaks. Untouched on failure.
// The subject is composed, and so checked, before any key is generated.
HRESULT PKCS10CertRequisition(LPWSTR* ppwszContainerName, LPCWSTR pwszProviderName, LPCWSTR pwszSubjectDN,
                              LONG lCertType, DWORD dwKeySpec, BOOL bRSA, LONG nKeyLength, DWORD dwGenKeyFlags,
                              ALG_ID algHash, char** ppszRequest, int* pnRequestLength);
