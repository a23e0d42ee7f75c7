// The encrypted key envelope text and the certificate text of an encryption
// certificate import, in both forms of the envelope reader.
#include <cstdlib>
#include <string>

#include "encoding/Codec.h"
#include "fuzz/FuzzSupport.h"
#include "import/ImportEncryptCert.h"

static void Release(BYTE* pb1, BYTE* pb2) {
    delete[] pb1;
    delete[] pb2;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    if (cb == 0) return 0;
    std::u16string wstr;
    if (pb[0] & 1) {
        wstr = tessaro_fuzz::BytesToUTF16(pb + 1, cb - 1);
    } else {
        // Envelopes are ASCII; most inputs are best read as 8-bit text.
        for (size_t i = 1; i < cb; ++i) wstr.push_back(static_cast<char16_t>(pb[i]));
    }
    typedef HRESULT (*PFN)(const std::u16string&, BYTE**, DWORD*, ALG_ID*, BYTE**, DWORD*);
    static const PFN s_pfn[] = {ParseEncryptCertPrivateKeyData, ParseEncryptCertPrivateKeyDataEx,
                                GetSessionKeyandPrivateKeyASN1Obj, GetSessionKeyandPrivateKeyASN1ObjEx};
    for (PFN pfn : s_pfn) {
        BYTE* pbSession = nullptr;
        BYTE* pbPrivate = nullptr;
        DWORD cbSession = 0, cbPrivate = 0;
        ALG_ID alg = 0;
        HRESULT hr = pfn(wstr, &pbSession, &cbSession, &alg, &pbPrivate, &cbPrivate);
        if (hr == S_OK) {
            // Every byte handed out is readable.
            volatile unsigned uSum = 0;
            for (DWORD i = 0; i < cbSession; ++i) uSum += pbSession[i];
            for (DWORD i = 0; i < cbPrivate; ++i) uSum += pbPrivate[i];
        } else if (pbSession != nullptr || pbPrivate != nullptr) {
            abort();
        }
        Release(pbSession, pbPrivate);
    }
    BYTE* pbCert = nullptr;
    DWORD cbCert = 0;
    if (ParseEncryptCertPublicKeyCert(wstr, &pbCert, &cbCert) == S_OK) delete[] pbCert;
    return 0;
}
