// Key blobs into providers: PUBLICKEYBLOB, PRIVATEKEYBLOB and SIMPLEBLOB (with
// the container's exchange key) into a Microsoft provider and both token
// providers, and the two vendor import blobs around fuzzed envelopes and
// ciphertexts. The first byte picks the provider and form; the rest is the
// blob, or the material a vendor blob points at.
//
// A vendor blob carries an address in the caller's memory, so raw bytes that
// look like one are skipped: any address would do for the provider, and
// following it is the documented contract, not a parser fault.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "import/ImportEncryptCert.h"

#define FUZZ_VENDOR_RSA u"Tessaro RSA Token CSP v1.0"
#define FUZZ_VENDOR_SM2 u"Tessaro SM2 Token CSP v1.0"

static HCRYPTPROV g_hProv[3];
static HCRYPTKEY g_hExchange[3];

static void OpenContainer(int i, LPCWSTR pwszProvider, ALG_ID algExchange, DWORD dwBits) {
    if (!CryptAcquireContextW(&g_hProv[i], u"{fuzz-keyblob}", pwszProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET)) abort();
    if (!CryptGenKey(g_hProv[i], algExchange, dwBits << 16, &g_hExchange[i])) abort();
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tessaro_fuzz::UsePrivatePrefix();
    OpenContainer(0, MS_ENHANCED_PROV_W, AT_KEYEXCHANGE, 512);
    OpenContainer(1, FUZZ_VENDOR_RSA, AT_KEYEXCHANGE, 512);
    OpenContainer(2, FUZZ_VENDOR_SM2, CALG_SM2_KEYX, 256);
    return 0;
}

static void Import(int i, const BYTE* pb, DWORD cb, HCRYPTKEY hPubKey) {
    HCRYPTKEY hKey = 0;
    if (CryptImportKey(g_hProv[i], pb, cb, hPubKey, 0, &hKey)) {
        if (hKey == 0) abort();
        CryptDestroyKey(hKey);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    if (cb < 1) return 0;
    const BYTE byMode = pb[0] % 8;
    std::vector<BYTE> data(pb + 1, pb + cb);
    const DWORD cbData = static_cast<DWORD>(data.size());
    if (byMode < 6) {
        if (cbData >= 4 && data[0] == PRIVATEKEYBLOB && data[2] == 1 && data[3] == 0) return 0;
        int i = byMode % 3;
        Import(i, data.data(), cbData, byMode >= 3 ? g_hExchange[i] : 0);
    } else if (byMode == 6) {
        // RSA vendor blob: two bytes of key size (64-bit steps), the envelope.
        if (cbData < 2) return 0;
        DWORD dwBits = static_cast<DWORD>((data[0] & 0x7F) * 64 + (data[1] & 0x80 ? 1 : 0));
        std::vector<BYTE> envelope(data.begin() + 2, data.end());
        BYTE blob[RSA_VENDOR_IMPORT_BLOB_SIZE];
        if (FillRSAVendorImportBlob(dwBits, envelope.data(), static_cast<DWORD>(envelope.size()), blob,
                                    sizeof(blob)) != S_OK)
            abort();
        Import(1, blob, sizeof(blob), 0);
    } else {
        BYTE blob[SM2_VENDOR_IMPORT_BLOB_SIZE];
        if (FillSM2VendorImportBlob(data.data(), cbData, blob, sizeof(blob)) != S_OK) abort();
        Import(2, blob, sizeof(blob), 0);
    }
    return 0;
}
