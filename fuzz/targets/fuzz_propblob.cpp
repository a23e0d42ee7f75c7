// Serialized property records: the store's reader of a serialized element
// (as found in a registry "Blob" value) and the CA chain installer's walk to
// the certificate record of a document's Content text.
#include <cstdlib>
#include <string>
#include <vector>

#include "store/CertificateChainInstall.h"
#include "encoding/Codec.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tessaro_fuzz::UsePrivatePrefix();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    std::vector<BYTE> buf(pb, pb + cb);
    HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (hStore == nullptr) abort();
    DWORD dwType = 0;
    const void* pvContext = nullptr;
    if (CertAddSerializedElementToStore(hStore, buf.data(), static_cast<DWORD>(cb), CERT_STORE_ADD_ALWAYS, 0,
                                        CERT_STORE_ALL_CONTEXT_FLAG, &dwType, &pvContext)) {
        if (pvContext == nullptr) abort();
        CertFreeCertificateContext(static_cast<PCCERT_CONTEXT>(pvContext));
    }
    CertCloseStore(hStore, 0);

    // The same bytes as the Base64 text the documents carry.
    if (cb == 0 || cb > 0x10000) return 0;
    char* pszBase64 = nullptr;
    int nBase64 = 0;
    if (Base64EncodeEx(buf.data(), static_cast<int>(cb), &pszBase64, &nBase64) != S_OK) abort();
    std::u16string wstr(pszBase64, pszBase64 + nBase64);
    delete[] pszBase64;
    BYTE* pbCert = nullptr;
    DWORD cbCert = 0;
    if (GetCertFromCertificateBlobProperties(&pbCert, wstr.c_str(), &cbCert) == S_OK) {
        if (pbCert == nullptr || cbCert > cb) abort();
        delete[] pbCert;
    } else if (pbCert != nullptr) {
        abort();
    }
    return 0;
}
