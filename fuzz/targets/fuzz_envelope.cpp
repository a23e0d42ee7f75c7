// The encrypted key envelope text and the certificate text of an encryption
// certificate import, in both forms of the envelope reader.
#include <cstdlib>
#include <string>

#include "encoding/Codec.h"
#include "fuzz/FuzzSupport.h"
#include "import/ImportEncryptCert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    if (cb == 0) return 0;
    std::u16string wstr;
    if (pb[0] & 1) {
        wstr = tessaro_fuzz::BytesToUTF16(pb + 1, cb - 1);
    } else {
        // Envelopes are ASCII; most inputs are best read as 8-bit text.
        for (size_t i = 1; i < cb; ++i) wstr.push_back(static_cast<char16_t>(pb[i]));
    }
    typedef EnvelopeReader* PFN;
    static const PFN s_pfn[] = {ParseEncryptCertPrivateKeyData, ParseEncryptCertPrivateKeyDataEx,
                                GetSessionKeyandPrivateKeyASN1Obj, GetSessionKeyandPrivateKeyASN1ObjEx};
    for (PFN pfn : s_pfn) {
        tessaro::SecureBytes session, key;
        ALG_ID alg = 0;
        HRESULT hr = pfn(wstr, session, alg, key);
        if (hr == S_OK) {
            // Every byte handed out is readable.
            volatile unsigned uSum = 0;
            for (BYTE b : session) uSum += b;
            for (BYTE b : key) uSum += b;
        } else if (!session.empty() || !key.empty()) {
            abort();
        }
    }
    tessaro::SecureBytes cert;
    ParseEncryptCertPublicKeyCert(wstr, cert);
    return 0;
}
