// The PKCS#11 token provider: a vendor RSA provider whose key containers live
// on a PKCS#11 token. It answers the agent as the vendor RSA token provider
// does; keys are made and used on the token and never leave it.
//
// Registration (HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>):
// "Type" PROV_RSA_FULL, "Image Path" the module's path, "Token Label" the
// label of the token. The factory hook builds this provider for any
// registration that has a "Token Label".
//
// Objects on the token, all with CKA_LABEL = the container name (UTF-8):
//   - the container itself: a public CKO_DATA object whose CKA_APPLICATION is
//     kTokenContainerApplication;
//   - per key spec a key pair (CKO_PUBLIC_KEY public, CKO_PRIVATE_KEY private,
//     sensitive, extractable only when CRYPT_EXPORTABLE was asked) and
//     optionally its CKO_CERTIFICATE, all three with one CKA_ID:
//     'T', the key spec (1 AT_KEYEXCHANGE, 2 AT_SIGNATURE), 16 random bytes.
// Objects without that CKA_ID form (other applications') are never touched.
#pragma once

#include "platform/csp/CspRegistry.h"

namespace tessaro::csp {

#define CSP_TOKEN_LABEL_VALUE u"Token Label"
constexpr char kTokenContainerApplication[] = "Tessaro key container";

// Null when the registration names no token (no "Token Label").
ProviderPtr CreatePkcs11TokenProvider(const CspProviderInfo& info);

// Closes the sessions and modules and forgets the PINs, as a new process
// would start; for tests and for a host that lets the token go.
void Pkcs11TokenReset();

}  // namespace tessaro::csp
