// Base64 text to bytes, and the 64-column re-wrapping, on any bytes.
#include <cstring>
#include <vector>

#include "encoding/Codec.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    if (cb > 0x7FFFFFFF) return 0;
    // An exact-size copy, so a read past the text is caught.
    std::vector<char> text(pb, pb + cb);
    BYTE* pbData = nullptr;
    int nData = -1;
    HRESULT hr = Base64DecodeEx(text.data(), static_cast<int>(cb), &pbData, &nData);
    if (hr == S_OK) {
        if (nData < 0 || static_cast<size_t>(nData) > cb) abort();
        // Encoding what was decoded and decoding again gives the same bytes
        // (an empty text is refused by the decoder, so only when not empty).
        char* psz = nullptr;
        int n = 0;
        if (nData > 0 && Base64EncodeEx(pbData, nData, &psz, &n) == S_OK) {
            BYTE* pbAgain = nullptr;
            int nAgain = 0;
            if (Base64DecodeEx(psz, n, &pbAgain, &nAgain) != S_OK || nAgain != nData ||
                memcmp(pbAgain, pbData, static_cast<size_t>(nData)) != 0)
                abort();
            char* pszLines = nullptr;
            int nLines = 0;
            if (TransformBase64EncodedDatatoHoldCRLFPer64Chars(psz, n, &pszLines, &nLines) == S_OK) delete[] pszLines;
            delete[] pbAgain;
            delete[] psz;
        }
        delete[] pbData;
    }
    return 0;
}
