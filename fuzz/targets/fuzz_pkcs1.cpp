// The PKCS#1 private key reader that builds a PRIVATEKEYBLOB, and the key to
// certificate comparison, on any DER. The first two bytes give the key size
// the caller expects (in 64-bit steps).
#include <cstdlib>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "import/ImportEncryptCert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    if (cb < 2) return 0;
    DWORD dwKeyBits = static_cast<DWORD>(((pb[0] | (pb[1] << 8)) & 0x7F) * 64);
    std::vector<BYTE> der(pb + 2, pb + cb);
    tessaro::SecureBytes blob;
    HRESULT hr = getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(der.data(), static_cast<DWORD>(der.size()), dwKeyBits, blob);
    if (hr == S_OK) {
        // The blob is the size the provider reads for that key size.
        if (blob.size() != dwKeyBits * 9 / 16 + 20) abort();
    } else if (!blob.empty()) {
        abort();
    }
    RSA_PRIVATE_KEY_NUMBERS numbers;
    DecodePrivateKey(der.data(), static_cast<DWORD>(der.size()), numbers);
    return 0;
}
