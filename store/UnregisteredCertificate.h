// Certificates kept with a key inside a provider's key container (the key
// parameter KP_CERTIFICATE) without a registration in the user's store: the
// scan of the containers of non-Microsoft providers that finds them.
#pragma once

#include <vector>

#include "store/CertificateFilter.h"
#include "diag/ResultCode.h"
#include "win/windows.h"

// The container's certificate is registered: its private key is reachable
// through the certificate, so it is no unregistered certificate.
#define KEVO_E_CERT_REGISTERED KEVO_OWN_CODE(0x1009)

// Names of 260 units or more do not fit the record; such containers and
// providers are skipped, never truncated into another name.
#define UNREGISTERED_NAME_UNITS 260

struct UNREGISTERED_CERT_CONTEXT {
    WCHAR wszCSPName[UNREGISTERED_NAME_UNITS];
    WCHAR wszContainerName[UNREGISTERED_NAME_UNITS];
    DWORD dwKeySpec;              // AT_KEYEXCHANGE or AT_SIGNATURE
    PCCERT_CONTEXT pCertContext;  // one reference owned by the record
};
typedef UNREGISTERED_CERT_CONTEXT* PUNREGISTERED_CERT_CONTEXT;

// A list owns its records.
typedef std::vector<PUNREGISTERED_CERT_CONTEXT> UNREGISTERED_CERT_LIST;

// A new record holding its own reference to pCertContext. E_INVALIDARG for a
// null context, an empty name or a name that does not fit.
HRESULT CertCreateUnregisteredCertContext(LPCWSTR pwszCSPName, LPCWSTR pwszContainerName,
                                          PCCERT_CONTEXT pCertContext, DWORD dwKeySpec,
                                          PUNREGISTERED_CERT_CONTEXT* ppstRecord);
void CertFreeUnregisteredCertContext(PUNREGISTERED_CERT_CONTEXT pstRecord);
void RemoveAllUnregisteredCertificates(UNREGISTERED_CERT_LIST& vtrRecords);

// A record for the certificate on the container's key of that spec when it
// is not registered; a failure code otherwise (KEVO_E_CERT_REGISTERED when it is).
HRESULT GetUnregisteredCertfromContainer(LPCWSTR pwszCSPName, LPCWSTR pwszContainerName, DWORD dwKeySpec,
                                         PUNREGISTERED_CERT_CONTEXT* ppstRecord);

// Appends the matching unregistered certificates of every container of one
// provider, exchange key before signature key.
HRESULT FilterUnregisteredCertificatesfromSpecifiedCSP(LPCWSTR pwszCSPName, const CERT_FILTER* pstFilter,
                                                       UNREGISTERED_CERT_LIST& vtrRecords);
// The same for providers joined by "||" (null: every installed provider);
// providers whose name contains "Microsoft" are never opened, and one that
// fails does not stop the scan.
HRESULT FilterUnregisteredCertificatesfromCSP(LPCWSTR pwszCSPNames, const CERT_FILTER* pstFilter,
                                              UNREGISTERED_CERT_LIST& vtrRecords);
