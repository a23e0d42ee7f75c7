// A second process for the store tests: it opens a system store in the prefix
// it inherits and lists or changes it.
//   crypt32_store_child list <CU|LM> <store>
//       one line per certificate: thumbprint, container name or "-", key spec
//   crypt32_store_child add <CU|LM> <store> <hex DER> <container>
//       adds the certificate with a key-provider record (key spec 2)
//   crypt32_store_child import <CU|LM> <store>
//       the same for every "<hex DER> <container>" line on standard input
#include <cstdio>
#include <iostream>
#include <cstring>
#include <string>
#include <vector>

#include "win/windows.h"

namespace {

std::u16string Wide(const char* s) { return std::u16string(s, s + strlen(s)); }

std::string Narrow(const char16_t* s) {
    std::string r;
    for (; s && *s; ++s) r += static_cast<char>(*s);
    return r;
}

std::vector<BYTE> Hex(const char* s) {
    std::vector<BYTE> out;
    for (size_t i = 0; s[i] && s[i + 1]; i += 2) out.push_back(static_cast<BYTE>(std::stoi(std::string(s + i, 2), nullptr, 16)));
    return out;
}

bool Add(HCERTSTORE s, const char* hex, const char* container) {
    int rc = 0;
    std::vector<BYTE> der = Hex(hex);
    PCCERT_CONTEXT c = nullptr;
    if (!CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, &c)) {
        printf("add failed %08X\n", GetLastError());
        rc = 1;
    } else {
        std::u16string cont = Wide(container);
        std::u16string prov = u"Microsoft Enhanced Cryptographic Provider v1.0";
        CRYPT_KEY_PROV_INFO kpi{};
        kpi.pwszContainerName = cont.data();
        kpi.pwszProvName = prov.data();
        kpi.dwProvType = PROV_RSA_FULL;
        kpi.dwKeySpec = AT_SIGNATURE;
        if (!CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &kpi)) rc = 1;
        CertFreeCertificateContext(c);
    }
    return rc == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    DWORD loc = strcmp(argv[2], "LM") == 0 ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
    std::u16string name = Wide(argv[3]);
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, loc, name.c_str());
    if (!s) {
        printf("open failed %08X\n", GetLastError());
        return 1;
    }
    int rc = 0;
    if (strcmp(argv[1], "list") == 0) {
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(s, c)) != nullptr) {
            BYTE h[20];
            DWORD cb = sizeof(h);
            CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, h, &cb);
            for (BYTE b : h) printf("%02X", b);
            DWORD need = 0;
            if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &need)) {
                std::vector<BYTE> buf(need);
                CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &need);
                auto* kpi = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
                printf(" %s %u\n", Narrow(kpi->pwszContainerName).c_str(), kpi->dwKeySpec);
            } else {
                printf(" - 0\n");
            }
        }
    } else if (strcmp(argv[1], "import") == 0) {
        std::string hex, container;
        while (std::cin >> hex >> container)
            if (!Add(s, hex.c_str(), container.c_str())) rc = 1;
    } else if (strcmp(argv[1], "add") == 0 && argc >= 6) {
        if (!Add(s, argv[4], argv[5])) rc = 1;
    } else {
        rc = 2;
    }
    CertCloseStore(s, 0);
    return rc;
}
