// Removal of superseded CA certificates: two fixed lists, one for the RSA
// hierarchy and one for the SM2 hierarchy, each run step by step; a failing
// step is traced and the list goes on.
#pragma once

#include <cstddef>

#include "store/CertificateFilter.h"
#include "win/windows.h"

#define DISCARD_CERT_INTERMEDIATE 1
#define DISCARD_CERT_ROOT 2

// One step of a removal list. An intermediate names its issuer, serial and
// subject; a root names its DN as issuer and subject, its serial and its
// SHA-1 thumbprint (the subkey below the trusted-root registry key).
struct DISCARD_CERT_ENTRY {
    DWORD dwKind;
    LPCWSTR pwszIssuerDN;
    LPCWSTR pwszSerialNumber;  // hexadecimal, most significant digit first
    LPCWSTR pwszSubjectDN;
    LPCWSTR pwszThumbprint;    // roots only
};

// Deletes the certificates the filter selects from the "CA" store of the
// location (CERT_SYSTEM_STORE_LOCAL_MACHINE or CERT_SYSTEM_STORE_CURRENT_USER,
// else E_INVALIDARG). Nothing matching is not an error; a certificate that
// cannot be deleted is traced and the others are still deleted.
HRESULT DeleteCertificateFromStore(DWORD dwFlag, const CERT_FILTER* pstFilter);

// From the machine's "CA" store, then (only when that worked) the user's.
HRESULT DeleteIntermediateCert(LPCWSTR pwszIssuerDN, LPCWSTR pwszSerialNumber, LPCWSTR pwszSubjectDN);

// From the machine's "CA" store, then (only when that worked) its key below
// the trusted-root registry key.
HRESULT DeleteTrustedRootCert(LPCWSTR pwszIssuerDN, LPCWSTR pwszThumbprint, LPCWSTR pwszSerialNumber,
                              LPCWSTR pwszSubjectDN);

// Deletes the machine's trusted-root registry key of the thumbprint (below
// ROOT_CERTIFICATES_REGPATH); 0x80070002 when there is none.
HRESULT DeleteRegistryKey(LPCWSTR pwszThumbprint);

// Run their lists; every step runs whatever the others returned. Always 0.
HRESULT DeleteRSADiscardCert();
HRESULT DeleteSM2DiscardCert();

// The lists themselves, in the order they are run.
const DISCARD_CERT_ENTRY* GetRSADiscardCertList(size_t* pnCount);
const DISCARD_CERT_ENTRY* GetSM2DiscardCertList(size_t* pnCount);
