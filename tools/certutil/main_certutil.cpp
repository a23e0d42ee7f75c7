// tessaro-certutil: looks into and changes the certificate stores of a prefix
// through the platform's own store calls.
//   tessaro-certutil [-user|-machine] -store <name>
//   tessaro-certutil [-user|-machine] -addstore <name> <file>   (DER, PEM or PKCS#7)
//   tessaro-certutil [-user|-machine] -delstore <name> <SHA-1 thumbprint>
//   tessaro-certutil -dump <file>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "win/windows.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string Narrow(const std::u16string& s) {
    if (s.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string r(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), r.data(), n, nullptr, nullptr);
    return r;
}

std::u16string Wide(const std::string& s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::u16string r(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), r.data(), n);
    return r;
}

std::string Hex(const BYTE* p, size_t n, bool lower = false) {
    static const char* up = "0123456789ABCDEF";
    static const char* lo = "0123456789abcdef";
    const char* d = lower ? lo : up;
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

std::string NameText(const CERT_NAME_BLOB& name) {
    CERT_NAME_BLOB b = name;
    DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    DWORD n = CertNameToStrW(kEnc, &b, type, nullptr, 0);
    std::u16string s(n, u'\0');
    CertNameToStrW(kEnc, &b, type, s.data(), n);
    s.resize(n ? n - 1 : 0);
    return Narrow(s);
}

std::string TimeText(const FILETIME& ft) {
    SYSTEMTIME st{};
    FileTimeToSystemTime(&ft, &st);
    char buf[64];
    snprintf(buf, sizeof(buf), "%04u-%02u-%02u %02u:%02u:%02u UTC", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond);
    return buf;
}

void Show(PCCERT_CONTEXT c, int index) {
    const CERT_INFO* ci = c->pCertInfo;
    std::vector<BYTE> serial(ci->SerialNumber.pbData, ci->SerialNumber.pbData + ci->SerialNumber.cbData);
    std::vector<BYTE> msFirst(serial.rbegin(), serial.rend());
    printf("================ Certificate %d ================\n", index);
    printf("Serial Number: %s\n", Hex(msFirst.data(), msFirst.size(), true).c_str());
    printf("Issuer: %s\n", NameText(ci->Issuer).c_str());
    printf(" NotBefore: %s\n", TimeText(ci->NotBefore).c_str());
    printf(" NotAfter: %s\n", TimeText(ci->NotAfter).c_str());
    printf("Subject: %s\n", NameText(ci->Subject).c_str());
    printf("Signature Algorithm: %s\n", ci->SignatureAlgorithm.pszObjId);
    printf("Public Key Algorithm: %s\n", ci->SubjectPublicKeyInfo.Algorithm.pszObjId);
    BYTE h[20];
    DWORD cb = sizeof(h);
    if (CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, h, &cb))
        printf("Cert Hash(sha1): %s\n", Hex(h, cb).c_str());
    DWORD need = 0;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &need)) {
        std::vector<BYTE> buf(need);
        if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &need)) {
            auto* kpi = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
            printf("  Key Container = %s\n", kpi->pwszContainerName ? Narrow(kpi->pwszContainerName).c_str() : "");
            printf("  Provider = %s\n", kpi->pwszProvName ? Narrow(kpi->pwszProvName).c_str() : "");
            printf("  Key Spec = %u\n", kpi->dwKeySpec);
        }
    }
}

bool ReadFile(const char* path, std::vector<BYTE>& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    std::string text(out.begin(), out.end());
    size_t begin = text.find("-----BEGIN");
    if (begin == std::string::npos) return true;
    size_t start = text.find('\n', begin);
    size_t end = text.find("-----END", start);
    if (start == std::string::npos || end == std::string::npos) return false;
    std::string b64;
    for (size_t i = start; i < end; ++i)
        if (!isspace(static_cast<unsigned char>(text[i]))) b64 += text[i];
    std::vector<BYTE> der(b64.size());
    int n = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(b64.data()), static_cast<int>(b64.size()));
    if (n < 0) return false;
    size_t pad = 0;
    while (pad < b64.size() && b64[b64.size() - 1 - pad] == '=') ++pad;
    der.resize(static_cast<size_t>(n) - pad);
    out.swap(der);
    return true;
}

int Usage() {
    fprintf(stderr,
            "usage: tessaro-certutil [-user|-machine] -store <name>\n"
            "       tessaro-certutil [-user|-machine] -addstore <name> <file>\n"
            "       tessaro-certutil [-user|-machine] -delstore <name> <thumbprint>\n"
            "       tessaro-certutil -dump <file>\n");
    return 2;
}

int Fail(const char* what) {
    fprintf(stderr, "%s failed: 0x%08X\n", what, GetLastError());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    DWORD location = CERT_SYSTEM_STORE_CURRENT_USER;
    int i = 1;
    if (i < argc && strcmp(argv[i], "-user") == 0) {
        ++i;
    } else if (i < argc && strcmp(argv[i], "-machine") == 0) {
        location = CERT_SYSTEM_STORE_LOCAL_MACHINE;
        ++i;
    }
    if (i + 1 >= argc) return Usage();
    std::string cmd = argv[i];
    if (cmd == "-dump") {
        std::vector<BYTE> der;
        if (!ReadFile(argv[i + 1], der)) return Fail("read");
        PCCERT_CONTEXT c = CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()));
        if (!c) return Fail("CertCreateCertificateContext");
        Show(c, 0);
        CertFreeCertificateContext(c);
        return 0;
    }
    std::u16string store = Wide(argv[i + 1]);
    if (cmd == "-store") {
        HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     location | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, store.c_str());
        if (!s) return Fail("CertOpenStore");
        int n = 0;
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(s, c)) != nullptr) Show(c, n++);
        CertCloseStore(s, 0);
        printf("%d certificate(s)\n", n);
        return 0;
    }
    if (i + 2 >= argc) return Usage();
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location, store.c_str());
    if (!s) return Fail("CertOpenStore");
    int rc = 0;
    if (cmd == "-addstore") {
        std::vector<BYTE> data;
        if (!ReadFile(argv[i + 2], data)) {
            CertCloseStore(s, 0);
            return Fail("read");
        }
        PCCERT_CONTEXT added = nullptr;
        if (CertAddEncodedCertificateToStore(s, kEnc, data.data(), static_cast<DWORD>(data.size()),
                                             CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
            Show(added, 0);
            CertFreeCertificateContext(added);
        } else {
            // Not one certificate: perhaps a PKCS#7 bundle of them.
            CRYPT_DATA_BLOB b{static_cast<DWORD>(data.size()), data.data()};
            HCERTSTORE p7 = CertOpenStore(CERT_STORE_PROV_PKCS7, kEnc, 0, CERT_STORE_READONLY_FLAG, &b);
            if (!p7) {
                rc = Fail("decode");
            } else {
                int n = 0;
                PCCERT_CONTEXT c = nullptr;
                while ((c = CertEnumCertificatesInStore(p7, c)) != nullptr) {
                    if (!CertAddCertificateContextToStore(s, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
                        rc = Fail("CertAddCertificateContextToStore");
                        CertFreeCertificateContext(c);
                        break;
                    }
                    Show(c, n++);
                }
                CertCloseStore(p7, 0);
            }
        }
    } else if (cmd == "-delstore") {
        std::string thumb = argv[i + 2];
        std::vector<BYTE> h;
        auto digit = [](char ch) {
            return ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                                                   : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                                                            : -1;
        };
        for (size_t k = 0; k + 1 < thumb.size(); k += 2) {
            int hi = digit(thumb[k]), lo = digit(thumb[k + 1]);
            if (hi < 0 || lo < 0) break;
            h.push_back(static_cast<BYTE>(hi << 4 | lo));
        }
        CRYPT_HASH_BLOB hb{static_cast<DWORD>(h.size()), h.data()};
        PCCERT_CONTEXT c = h.size() == 20 && thumb.size() == 40
                               ? CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SHA1_HASH, &hb, nullptr)
                               : nullptr;
        if (!c) {
            if (h.size() != 20 || thumb.size() != 40) SetLastError(ERROR_INVALID_PARAMETER);
            rc = Fail("find");
        } else if (!CertDeleteCertificateFromStore(c)) {
            rc = Fail("CertDeleteCertificateFromStore");
        } else {
            printf("deleted %s\n", thumb.c_str());
        }
    } else {
        rc = Usage();
    }
    CertCloseStore(s, 0);
    return rc;
}
