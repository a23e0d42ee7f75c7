// Certificates made on the spot for the query, filter and listing tests, and
// SM2 key containers holding certificates bound to their keys.
#pragma once

#include "tests/support/TestPki.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TestSupport.h"
#include "win/windows.h"

namespace certkit {

using Bytes = std::vector<uint8_t>;

const char16_t* const SM2_CSP = u"Tessaro SM2 Token CSP v1.0";
const char16_t* const RSA_CSP = u"Microsoft Enhanced Cryptographic Provider v1.0";

// The kit's certificates come from the test PKI, with a subject and serial
// of their own unless told otherwise.
struct CertSpec : tessaro_test::pki::CertSpec {
    CertSpec() {
        subject = {{"C", "CN"}, {"O", "Org"}, {"CN", "Test"}};
        serial = {0x01, 0x02, 0xA3, 0xF4};
    }
};
using tessaro_test::pki::MakeCert;

// A context of the DER in a memory store of its own (released with the context).
PCCERT_CONTEXT NewContext(const Bytes& der);

// Sets the key-provider property of the context.
bool SetKeyProvInfo(PCCERT_CONTEXT pCert, const std::u16string& container, const std::u16string& provider,
                    DWORD keySpec);

// A new RSA container in provider (type 1) with a key of that spec.
bool CreateRsaContainer(const std::u16string& provider, const std::u16string& container, DWORD keySpec);

// A new container in the SM2 provider with the given keys; each key gets an
// SM2-signed certificate for its public key with subject CN=<cn> <spec> bound
// with KP_CERTIFICATE unless bind is false. Returns the DERs by key spec
// (index 0 exchange, 1 signature; empty when not made).
struct Sm2Container {
    bool ok = false;
    Bytes exchangeCert, signatureCert;
};
Sm2Container CreateSm2Container(const std::u16string& container, bool exchange, bool signature, bool bind,
                                const std::string& cn, const Bytes& serial = {0x11, 0x22});

// The public point (04||x||y) of the container key.
Bytes Sm2PublicPoint(const std::u16string& container, DWORD keySpec);

// Replaces the certificate kept with the container's key by these bytes,
// bypassing the provider's checks, as a damaged token would hold it.
bool OverwriteStoredCertificate(const std::u16string& container, DWORD keySpec, const Bytes& bytes);

// Adds the DER to the user's "My" store with a key-provider property.
bool AddToMyStore(const Bytes& der, const std::u16string& container, const std::u16string& provider,
                  DWORD keySpec);

using tessaro_test::Narrow;

// A prefix of its own for one test, so that a whole test program can run in
// one process.
using FreshPrefix = tessaro_test::ScopedPrefix;

}  // namespace certkit
