// The subject parser and composer on any text: the first byte picks whether
// the rest is read as UTF-8 (as a page's text arrives) or as raw UTF-16 code
// units (lone surrogates and all).
#include <cstdlib>
#include <string>

#include "encoding/Codec.h"
#include "fuzz/FuzzSupport.h"
#include "request/SubjectDN.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    if (cb == 0) return 0;
    std::u16string wstr;
    if (pb[0] & 1) {
        wstr = tessaro_fuzz::BytesToUTF16(pb + 1, cb - 1);
    } else {
        std::string str(reinterpret_cast<const char*>(pb + 1), cb - 1);
        WCHAR* pwsz = nullptr;
        int n = 0;
        if (UTF8ToUTF16(str.c_str(), &pwsz, &n) != S_OK) return 0;
        wstr.assign(pwsz, static_cast<size_t>(n));
        delete[] pwsz;
    }
    // The text ends at its first zero, as a BSTR handed to the parser would.
    BYTE* pbName = nullptr;
    int nName = -1;
    HRESULT hr = ComposeSubject(wstr.c_str(), &pbName, &nName);
    if (hr == S_OK) {
        if (pbName == nullptr || nName <= 0) abort();
        // What the composer produced is a name the certificate parser accepts.
        CERT_NAME_BLOB blob{static_cast<DWORD>(nName), pbName};
        DWORD cch = CertNameToStrW(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, nullptr, 0);
        if (cch == 0) abort();
        delete[] pbName;
    } else if (pbName != nullptr) {
        abort();
    }
    return 0;
}
