// Installation of an issued certificate onto the key pair it was issued for:
// the signing-certificate import behind "KEVO_ImportSignCert", the binding
// into the current user's "MY" store used by Microsoft providers, and the
// small text helpers the encryption-key import shares with it.
#pragma once

#include <string>

#include "tessaro/Handles.h"
#include "tessaro/SecureBuffer.h"
#include "win/windows.h"

// Binds the issued certificate (Base64 text of one DER certificate; commas
// are removed in place) to the key of dwKeySpec in the named container.
// wstrKeyAlgorithm "RSA" (any case) opens the container normally, anything
// else the SM2 way (CRYPT_VERIFYCONTEXT with the container name). Microsoft
// providers get the certificate in (current user, "MY") with the key-provider
// property; other providers keep it with the key (KP_CERTIFICATE).
// A certificate whose public key is not the container key's is refused with
// NTE_BAD_PUBLIC_KEY before anything is written.
HRESULT ImportSignCert(const std::u16string& wstrKeyAlgorithm, std::u16string& wstrSignCert, DWORD dwKeySpec,
                       const std::u16string& wstrCSPName, const std::u16string& wstrContainerName);

// Adds the DER certificate to (current user, "MY"), replacing an existing
// copy, and records the container, provider and key spec on it. hProv is
// borrowed: an open context of that container, used to check that the
// certificate carries the public key of dwKeySpec (NTE_BAD_PUBLIC_KEY if not).
HRESULT AddCertificateToSystemStore(LPCWSTR pwszCSPName, HCRYPTPROV hProv, const BYTE* pbCert, DWORD cbCert,
                                    DWORD dwKeySpec, LPCWSTR pwszContainerName);

// Removes every comma from the text, in place.
void EraseCommaInWstr(std::u16string& wstrText);

// UTF-16 Base64 text to bytes. On failure the codec's result code is
// returned and nothing is handed out. The first form hands out new bytes
// (*ppbData released with delete[]); the second fills a wiping buffer.
HRESULT DecodeBase64Key(LPCWSTR pwszBase64, BYTE** ppbData, DWORD* pcbData);
HRESULT DecodeBase64Key(LPCWSTR pwszBase64, tessaro::SecureBytes& data);

// True when the DER certificate's public key is the key that hKey (of
// dwKeySpec in hProv) holds. RSA keys compare as public key infos; SM2 keys
// compare the certificate's point with the provider's 140-byte public blob.
// Returns KEVO_OK on a match, NTE_BAD_PUBLIC_KEY on a different key, or the
// code of the call that could not read either key.
HRESULT CheckCertificateMatchesKey(bool bRSA, HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwKeySpec,
                                   PCCERT_CONTEXT pCertContext);

// A byte array the encoding layer hands out (new[]) holding key material or
// its wrapping: wiped before it is freed, on every path.
struct CodecBytes {
    BYTE* pb = nullptr;
    int n = 0;
    CodecBytes() = default;
    CodecBytes(const CodecBytes&) = delete;
    CodecBytes& operator=(const CodecBytes&) = delete;
    ~CodecBytes() {
        if (pb != nullptr && n > 0) SecureZeroMemory(pb, static_cast<size_t>(n));
        delete[] pb;
    }
};

// ---- Steps the installations share ---------------------------------------------
// Each traces its failure and its success under the calling routine's name
// (FUNC) with the step and reason texts that routine has always reported.

// "RSA" in any case.
bool IsRSAAlgorithm(const std::u16string& wstrKeyAlgorithm);
bool IsMicrosoftCSP(const std::u16string& wstrCSPName);

// Opens the request's container: RSA normally under dwRSAProvType, SM2 the
// way token providers open a named container (CRYPT_VERIFYCONTEXT,
// PROV_RSA_FULL). Traced as "RSA CryptAcquireContext" or "SM2 ...".
HRESULT OpenRequestContainer(LPCWSTR FUNC, bool bRSA, DWORD dwRSAProvType, const std::u16string& wstrCSPName,
                             const std::u16string& wstrContainerName, tessaro::UniqueCryptProv& prov);

// The DER certificate as a context; a failure is traced as
// "CertCreateCertificateContext" and its code returned.
HRESULT ParseCertificate(LPCWSTR FUNC, const BYTE* pbCert, DWORD cbCert, tessaro::UniqueCertContext& cert);

// The container's key of dwKeySpec, traced as "CryptGetUserKey".
HRESULT GetContainerKey(LPCWSTR FUNC, HCRYPTPROV hProv, DWORD dwKeySpec, tessaro::UniqueCryptKey& key);

// CryptImportKey of a key blob; the step text names the import.
HRESULT ImportKeyBlob(LPCWSTR FUNC, HCRYPTPROV hProv, const BYTE* pbBlob, DWORD cbBlob, DWORD dwFlags,
                      LPCWSTR pwszStep, LPCWSTR pwszReason, tessaro::UniqueCryptKey& key);

// Keeps the DER certificate with the key (KP_CERTIFICATE).
HRESULT SetKeyCertificate(LPCWSTR FUNC, HCRYPTKEY hKey, const BYTE* pbCert, LPCWSTR pwszStep, LPCWSTR pwszReason);

// Binds an issued certificate where the provider looks for it: Microsoft
// providers in (current user, "MY"), any other on the key itself.
HRESULT BindIssuedCertificate(LPCWSTR FUNC, const std::u16string& wstrCSPName, const std::u16string& wstrContainerName,
                              HCRYPTPROV hProv, HCRYPTKEY hKey, const BYTE* pbCert, DWORD cbCert, DWORD dwKeySpec,
                              LPCWSTR pwszSetParamStep, LPCWSTR pwszReason);
