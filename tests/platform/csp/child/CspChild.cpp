// Helper process of the provider tests: uses the providers of the prefix named
// by TESSARO_PREFIX from a second process.
//   csp_child create <count> <tag>   new containers <tag>-<i>, each with a
//                                    512-bit signature key; prints "made <i>"
//   csp_child sign <container> <hex> signs the bytes (SHA-1) with the
//                                    container's signature key; prints the
//                                    signature, least significant byte first
//   csp_child pubkey <container>     prints the signature key's PUBLICKEYBLOB
// Exit code 0 on success, 1 and a message on standard error otherwise.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "win/windows.h"
#include "win/wincrypt.h"

namespace {

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

int Failed(const char* what) {
    fprintf(stderr, "%s failed: 0x%08x\n", what, GetLastError());
    return 1;
}

void PrintHex(const std::vector<BYTE>& v) {
    for (BYTE b : v) printf("%02X", b);
    printf("\n");
}

std::vector<BYTE> FromHex(const std::string& h) {
    std::vector<BYTE> v;
    for (size_t i = 0; i + 1 < h.size(); i += 2) v.push_back(static_cast<BYTE>(strtoul(h.substr(i, 2).c_str(), nullptr, 16)));
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::string mode = argv[1];
    const char16_t* prov = MS_ENHANCED_PROV_W;
    if (mode == "create" && argc == 4) {
        int n = atoi(argv[2]);
        for (int i = 0; i < n; ++i) {
            std::u16string name = Wide(std::string(argv[3]) + "-" + std::to_string(i));
            HCRYPTPROV h = 0;
            if (!CryptAcquireContextW(&h, name.c_str(), prov, PROV_RSA_FULL, CRYPT_NEWKEYSET))
                return Failed("CryptAcquireContextW");
            HCRYPTKEY k = 0;
            if (!CryptGenKey(h, AT_SIGNATURE, 512u << 16, &k)) return Failed("CryptGenKey");
            CryptDestroyKey(k);
            CryptReleaseContext(h, 0);
            printf("made %d\n", i);
            fflush(stdout);
        }
        return 0;
    }
    if ((mode == "sign" && argc == 4) || (mode == "pubkey" && argc == 3)) {
        std::u16string name = Wide(argv[2]);
        HCRYPTPROV h = 0;
        if (!CryptAcquireContextW(&h, name.c_str(), prov, PROV_RSA_FULL, 0)) return Failed("CryptAcquireContextW");
        std::vector<BYTE> out;
        DWORD cb = 0;
        if (mode == "pubkey") {
            HCRYPTKEY k = 0;
            if (!CryptGetUserKey(h, AT_SIGNATURE, &k)) return Failed("CryptGetUserKey");
            if (!CryptExportKey(k, 0, PUBLICKEYBLOB, 0, nullptr, &cb)) return Failed("CryptExportKey");
            out.resize(cb);
            if (!CryptExportKey(k, 0, PUBLICKEYBLOB, 0, out.data(), &cb)) return Failed("CryptExportKey");
            CryptDestroyKey(k);
        } else {
            std::vector<BYTE> data = FromHex(argv[3]);
            HCRYPTHASH hh = 0;
            if (!CryptCreateHash(h, CALG_SHA1, 0, 0, &hh)) return Failed("CryptCreateHash");
            if (!CryptHashData(hh, data.data(), static_cast<DWORD>(data.size()), 0)) return Failed("CryptHashData");
            if (!CryptSignHashW(hh, AT_SIGNATURE, nullptr, 0, nullptr, &cb)) return Failed("CryptSignHashW");
            out.resize(cb);
            if (!CryptSignHashW(hh, AT_SIGNATURE, nullptr, 0, out.data(), &cb)) return Failed("CryptSignHashW");
            CryptDestroyHash(hh);
        }
        CryptReleaseContext(h, 0);
        PrintHex(out);
        return 0;
    }
    return 2;
}
