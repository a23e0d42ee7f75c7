// CA chain documents: XML parsing, the walk over the chain's nodes, the root
// records written to the machine's registry and the PKCS#7 intermediates
// added to the machine's "CA" store, all into a private prefix.
#include <cstdlib>
#include <vector>

#include "store/CertificateChainInstall.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tessaro_fuzz::UsePrivatePrefix();
    CoInitialize(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    if (cb > 0x40000) return 0;
    std::vector<BYTE> buf(pb, pb + cb);
    ImportCertificateChainfromBlobData(buf.data(), static_cast<DWORD>(cb));
    return 0;
}
