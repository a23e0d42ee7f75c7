// The token's objects: what the prefix holds now, read through the platform's
// certificate stores and providers. Each enrolled RSA certificate gives three
// objects (certificate, private key, public key) that share one CKA_ID.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pkcs11/Pkcs11.h"
#include "win/windows.h"
#include "win/wincrypt.h"

namespace tessaro::pkcs11 {

// Where a private key lives: the provider's container and the key spec.
struct KeyLocation {
    std::u16string provider;
    DWORD provType = 0;
    std::u16string container;
    DWORD keySpec = 0;
    DWORD acquireFlags = 0;  // CRYPT_MACHINE_KEYSET when the key is the machine's
    DWORD modulusBytes = 0;
};

struct TokenObject {
    CK_OBJECT_CLASS cls = 0;
    // Names the object across reads of the prefix, so its handle stays.
    std::string identity;
    std::map<CK_ATTRIBUTE_TYPE, std::vector<BYTE>> attrs;
    std::shared_ptr<const KeyLocation> key;  // private keys only

    const std::vector<BYTE>* Find(CK_ATTRIBUTE_TYPE type) const;
    bool Flag(CK_ATTRIBUTE_TYPE type) const;
};

// The RSA/AES software provider's verify context, for digests and random
// numbers: opened once for the process, not per operation; 0 when it cannot be.
HCRYPTPROV SoftwareProvider();

// True for the classes the token can hold; a search for any other class is
// answered without reading the prefix.
bool TokenMayHold(CK_OBJECT_CLASS cls);

// The objects of the prefix as it is now. A prefix that does not exist or
// cannot be read is an empty token; it is never created. Damaged records
// are skipped.
std::vector<TokenObject> ReadTokenObjects();
// Changes whenever what ReadTokenObjects() would find may have changed; 0 for
// a prefix it would not read.
uint64_t PrefixVersion();

}  // namespace tessaro::pkcs11
