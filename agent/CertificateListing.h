// The certificate listing behind "KEVO_GetAllCertInfo". An entry is five
// fields joined by ";": subject, serial number (hex, most significant byte
// first), valid from and valid to (local time "YYYY-MM-DD hh:mm:ss"), and the
// provider holding the key; entries are joined by "||".
#pragma once

#include <string>

#include "store/UnregisteredCertificate.h"
#include "win/windows.h"

// Entries of every certificate in the store that is bound to a key provider
// and not SM2-signed, in the store's order. Certificates without a provider
// are skipped; any other failure ends the listing with its code.
HRESULT GetAllRSACertificatesInfoinStore(HCERTSTORE hCertStore, std::u16string& wstrCertsInfo);

// One entry; CRYPT_E_NOT_FOUND when the certificate names no key provider.
HRESULT GetCertificateInfo(PCCERT_CONTEXT pstCertContext, std::u16string& wstrCertInfo);

// One entry of a certificate found in a key container; the provider field is
// the record's provider name.
HRESULT GetUnregisteredCertificateInfo(const UNREGISTERED_CERT_CONTEXT* pstUnregisteredCertContext,
                                       std::u16string& wstrCertInfo);

// Entries of the records (the list is taken by value and not released here),
// joined by "||"; E_INVALIDARG for an empty list.
HRESULT GetAllCertificatesInfoUnregisteredCertSet(UNREGISTERED_CERT_LIST vtrUnregisteredCertSet,
                                                   std::u16string& wstrCertsInfo);
