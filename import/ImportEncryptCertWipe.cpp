// The wipe of key material for the encryption-certificate import, kept apart
// from the platform headers, whose structure-type macros clash with OpenSSL's
// names.
#include <openssl/crypto.h>

#include <cstddef>

void WipeKeyMaterial(void* pv, size_t cb) {
    if (pv != nullptr && cb != 0) OPENSSL_cleanse(pv, cb);
}
