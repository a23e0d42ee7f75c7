// The certificate listing behind "KEVO_GetAllCertInfo". An entry is five
// fields joined by ";": subject, serial number (hex, most significant byte
// first), valid from and valid to (local time "YYYY-MM-DD hh:mm:ss"), and the
// provider holding the key; entries are joined by "||".
#pragma once

#include <string>

#include "win/windows.h"

// Entries of every certificate in the store that is bound to a key provider
// and not SM2-signed, in the store's order. Certificates without a provider
// are skipped; any other failure ends the listing with its code.
HRESULT GetAllRSACertificatesInfoinStore(HCERTSTORE hCertStore, std::u16string& wstrCertsInfo);

// One entry; CRYPT_E_NOT_FOUND when the certificate names no key provider.
HRESULT GetCertificateInfo(PCCERT_CONTEXT pstCertContext, std::u16string& wstrCertInfo);
