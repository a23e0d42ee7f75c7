// tessaro-certutil: looks into and changes the certificate stores and the key
// containers of a prefix through the platform's own calls.
//   tessaro-certutil store user|machine NAME [--json]
//   tessaro-certutil containers PROVIDER [--json]
//   tessaro-certutil delete-container PROVIDER NAME
//   tessaro-certutil delete-cert user|machine NAME THUMBPRINT
// and the older forms:
//   tessaro-certutil [-user|-machine] -store <name>
//   tessaro-certutil [-user|-machine] -addstore <name> <file>   (DER, PEM or PKCS#7)
//   tessaro-certutil [-user|-machine] -delstore <name> <SHA-1 thumbprint>
//   tessaro-certutil -dump <file>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/common/Utf.h"
#include "tools/common/JsonText.h"
#include "win/windows.h"

namespace {

using tools_text::Narrow;
using tools_text::Wide;

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;



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

int Fail(const char* what) {
    fprintf(stderr, "%s failed: 0x%08X\n", what, GetLastError());
    return 1;
}

// ---- Inspection commands with text or JSON output ----

std::string JsonString(const std::string& s) { return tools_json::Quoted(s); }

// Names as the certificate listing shows them: last RDN first, no quoting.
std::string ListingName(const CERT_NAME_BLOB& name) {
    CERT_NAME_BLOB b = name;
    DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;
    DWORD n = CertNameToStrW(kEnc, &b, type, nullptr, 0);
    if (n == 0) return {};
    std::u16string s(n, u'\0');
    CertNameToStrW(kEnc, &b, type, s.data(), n);
    s.resize(n - 1);
    return Narrow(s);
}

std::string IsoTime(const FILETIME& ft) {
    SYSTEMTIME st{};
    FileTimeToSystemTime(&ft, &st);
    char buf[64];
    snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02uZ", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond);
    return buf;
}

struct CertFacts {
    std::string thumbprint, subject, issuer, serial, notBefore, notAfter, provider, container;
    bool hasKey = false;
    DWORD keySpec = 0;
};

CertFacts Describe(PCCERT_CONTEXT c) {
    CertFacts f;
    BYTE h[20];
    DWORD cb = sizeof h;
    if (CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, h, &cb)) f.thumbprint = Hex(h, cb);
    const CERT_INFO* ci = c->pCertInfo;
    f.subject = ListingName(ci->Subject);
    f.issuer = ListingName(ci->Issuer);
    std::vector<BYTE> msFirst(ci->SerialNumber.pbData, ci->SerialNumber.pbData + ci->SerialNumber.cbData);
    std::reverse(msFirst.begin(), msFirst.end());
    f.serial = Hex(msFirst.data(), msFirst.size(), true);
    f.notBefore = IsoTime(ci->NotBefore);
    f.notAfter = IsoTime(ci->NotAfter);
    DWORD need = 0;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &need) &&
        need >= sizeof(CRYPT_KEY_PROV_INFO)) {
        std::vector<BYTE> buf(need);
        if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &need)) {
            auto* kpi = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
            f.hasKey = true;
            f.provider = kpi->pwszProvName ? Narrow(kpi->pwszProvName) : "";
            f.container = kpi->pwszContainerName ? Narrow(kpi->pwszContainerName) : "";
            f.keySpec = kpi->dwKeySpec;
        }
    }
    return f;
}

std::string FactsJson(const CertFacts& f) {
    std::string j = "{\"thumbprint\":" + JsonString(f.thumbprint) + ",\"subject\":" + JsonString(f.subject) +
                    ",\"issuer\":" + JsonString(f.issuer) + ",\"serial\":" + JsonString(f.serial) +
                    ",\"notBefore\":" + JsonString(f.notBefore) + ",\"notAfter\":" + JsonString(f.notAfter);
    if (f.hasKey)
        j += ",\"provider\":" + JsonString(f.provider) + ",\"container\":" + JsonString(f.container) +
             ",\"keySpec\":" + std::to_string(f.keySpec);
    else
        j += ",\"provider\":null,\"container\":null,\"keySpec\":null";
    return j + "}";
}

void FactsText(const CertFacts& f, const char* indent) {
    printf("%sThumbprint: %s\n", indent, f.thumbprint.c_str());
    printf("%sSubject:    %s\n", indent, f.subject.c_str());
    printf("%sIssuer:     %s\n", indent, f.issuer.c_str());
    printf("%sSerial:     %s\n", indent, f.serial.c_str());
    printf("%sValid:      %s to %s\n", indent, f.notBefore.c_str(), f.notAfter.c_str());
    if (f.hasKey)
        printf("%sKey:        %s / %s / key spec %u\n", indent, f.provider.c_str(), f.container.c_str(), f.keySpec);
    else
        printf("%sKey:        none\n", indent);
}

bool Location(const std::string& where, DWORD* location) {
    if (where == "user") *location = CERT_SYSTEM_STORE_CURRENT_USER;
    else if (where == "machine") *location = CERT_SYSTEM_STORE_LOCAL_MACHINE;
    else return false;
    return true;
}

int CmdStore(DWORD location, const std::u16string& name, bool json) {
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                 location | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, name.c_str());
    if (!s) {
        if (GetLastError() != static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) return Fail("CertOpenStore");
        // A store never written to is an empty store.
        if (json) printf("[]\n");
        else printf("0 certificate(s)\n");
        return 0;
    }
    int n = 0;
    std::string out = "[";
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(s, c)) != nullptr) {
        CertFacts f = Describe(c);
        if (json) {
            out += (n ? "," : "") + FactsJson(f);
        } else {
            printf("Certificate %d\n", n);
            FactsText(f, "  ");
        }
        ++n;
    }
    CertCloseStore(s, 0);
    if (json) printf("%s]\n", out.c_str());
    else printf("%d certificate(s)\n", n);
    return 0;
}

// The registered type of a provider, for opening it.
bool ProviderType(const std::u16string& provider, DWORD* type) {
    for (DWORD i = 0;; ++i) {
        DWORD t = 0, cb = 0;
        if (!CryptEnumProvidersW(i, nullptr, 0, &t, nullptr, &cb)) return false;
        std::u16string name(cb / sizeof(WCHAR) + 1, u'\0');
        if (!CryptEnumProvidersW(i, nullptr, 0, &t, name.data(), &cb)) return false;
        name.resize(std::char_traits<char16_t>::length(name.c_str()));
        if (name == provider) {
            *type = t;
            return true;
        }
    }
}

const char* AlgorithmName(ALG_ID alg) {
    if (alg == CALG_RSA_KEYX || alg == CALG_RSA_SIGN) return "RSA";
    if (alg == 0xBE00 || alg == 0x3E00) return "SM2";
    return "unknown";
}

int CmdContainers(const std::u16string& provider, bool json) {
    DWORD type = 0;
    if (!ProviderType(provider, &type)) {
        fprintf(stderr, "no such provider: %s\n", Narrow(provider).c_str());
        return 1;
    }
    HCRYPTPROV enumProv = 0;
    if (!CryptAcquireContextW(&enumProv, nullptr, provider.c_str(), type, CRYPT_VERIFYCONTEXT))
        return Fail("CryptAcquireContext");
    std::vector<std::string> names;
    DWORD cbMax = 0;
    if (CryptGetProvParam(enumProv, PP_ENUMCONTAINERS, nullptr, &cbMax, CRYPT_FIRST)) {
        std::vector<BYTE> buf(cbMax + 1);
        for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
            std::fill(buf.begin(), buf.end(), 0);
            DWORD cb = cbMax;
            if (!CryptGetProvParam(enumProv, PP_ENUMCONTAINERS, buf.data(), &cb, flags)) break;
            names.emplace_back(reinterpret_cast<const char*>(buf.data()));
        }
    }
    CryptReleaseContext(enumProv, 0);
    std::string out = "[";
    int n = 0;
    for (const std::string& name : names) {
        std::u16string wname = Wide(name);
        HCRYPTPROV h = 0;
        std::string keysJson = "[";
        int k = 0;
        if (!json) printf("Container %s\n", name.c_str());
        if (CryptAcquireContextW(&h, wname.c_str(), provider.c_str(), type, 0)) {
            for (DWORD spec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
                HCRYPTKEY key = 0;
                if (!CryptGetUserKey(h, spec, &key)) continue;
                ALG_ID alg = 0;
                DWORD bits = 0, cb = sizeof alg;
                CryptGetKeyParam(key, KP_ALGID, reinterpret_cast<BYTE*>(&alg), &cb, 0);
                cb = sizeof bits;
                CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &cb, 0);
                std::string certJson = "null";
                CertFacts facts;
                bool hasCert = false;
                DWORD cbCert = 0;
                if (CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &cbCert, 0) && cbCert) {
                    std::vector<BYTE> der(cbCert);
                    if (CryptGetKeyParam(key, KP_CERTIFICATE, der.data(), &cbCert, 0)) {
                        PCCERT_CONTEXT c = CertCreateCertificateContext(kEnc, der.data(), cbCert);
                        if (c) {
                            facts = Describe(c);
                            // The key the certificate sits on is its key provider.
                            facts.hasKey = true;
                            facts.provider = Narrow(provider);
                            facts.container = name;
                            facts.keySpec = spec;
                            certJson = FactsJson(facts);
                            hasCert = true;
                            CertFreeCertificateContext(c);
                        }
                    }
                }
                CryptDestroyKey(key);
                keysJson += std::string(k++ ? "," : "") + "{\"keySpec\":" + std::to_string(spec) +
                            ",\"algorithm\":" + JsonString(AlgorithmName(alg)) + ",\"bits\":" + std::to_string(bits) +
                            ",\"certificate\":" + certJson + "}";
                if (!json) {
                    printf("  Key spec %u: %s, %u bits\n", spec, AlgorithmName(alg), bits);
                    if (hasCert) FactsText(facts, "    ");
                    else printf("    no certificate\n");
                }
            }
            CryptReleaseContext(h, 0);
        } else if (!json) {
            printf("  cannot be opened: 0x%08X\n", GetLastError());
        }
        out += std::string(n++ ? "," : "") + "{\"container\":" + JsonString(name) + ",\"keys\":" + keysJson + "]}";
    }
    if (json) printf("%s]\n", out.c_str());
    else printf("%d container(s)\n", n);
    return 0;
}

int CmdDeleteContainer(const std::u16string& provider, const std::u16string& name) {
    DWORD type = 0;
    if (!ProviderType(provider, &type)) {
        fprintf(stderr, "no such provider: %s\n", Narrow(provider).c_str());
        return 1;
    }
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, name.c_str(), provider.c_str(), type, CRYPT_DELETEKEYSET)) {
        // Vendor SM2 tokens delete with a flag of their own.
        if (!CryptAcquireContextW(&h, name.c_str(), provider.c_str(), type, CRYPT_SM2_DELETEKEYSET))
            return Fail("CryptAcquireContext(delete)");
    }
    printf("deleted container %s\n", Narrow(name).c_str());
    return 0;
}

// The bytes of a SHA-1 thumbprint text; false unless it is exactly 40
// hexadecimal digits (h then holds the pairs read up to the first bad one).
bool ThumbprintBytes(const std::string& thumb, std::vector<BYTE>& h) {
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
    return h.size() == 20 && thumb.size() == 40;
}

int CmdDeleteCert(DWORD location, const std::u16string& name, const std::string& thumb) {
    std::vector<BYTE> h;
    if (!ThumbprintBytes(thumb, h)) {
        fprintf(stderr, "a thumbprint is 40 hexadecimal digits\n");
        return 1;
    }
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location | CERT_STORE_OPEN_EXISTING_FLAG, name.c_str());
    if (!s) return Fail("CertOpenStore");
    CRYPT_HASH_BLOB hb{20, h.data()};
    PCCERT_CONTEXT c = CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SHA1_HASH, &hb, nullptr);
    int rc = 0;
    if (!c) rc = Fail("find");
    else if (!CertDeleteCertificateFromStore(c)) rc = Fail("CertDeleteCertificateFromStore");
    else printf("deleted %s\n", thumb.c_str());
    CertCloseStore(s, 0);
    return rc;
}

int Usage() {
    fprintf(stderr,
            "usage: tessaro-certutil store user|machine NAME [--json]\n"
            "       tessaro-certutil containers PROVIDER [--json]\n"
            "       tessaro-certutil delete-container PROVIDER NAME\n"
            "       tessaro-certutil delete-cert user|machine NAME THUMBPRINT\n"
            "       tessaro-certutil [-user|-machine] -store <name>\n"
            "       tessaro-certutil [-user|-machine] -addstore <name> <file>\n"
            "       tessaro-certutil [-user|-machine] -delstore <name> <thumbprint>\n"
            "       tessaro-certutil -dump <file>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    DWORD location = CERT_SYSTEM_STORE_CURRENT_USER;
    if (argc >= 2 && argv[1][0] != '-') {
        std::vector<std::string> args(argv + 1, argv + argc);
        bool json = false;
        if (!args.empty() && args.back() == "--json") {
            json = true;
            args.pop_back();
        }
        const std::string& cmd = args[0];
        if (cmd == "store" && args.size() == 3 && Location(args[1], &location))
            return CmdStore(location, Wide(args[2]), json);
        if (cmd == "containers" && args.size() == 2) return CmdContainers(Wide(args[1]), json);
        if (cmd == "delete-container" && args.size() == 3 && !json)
            return CmdDeleteContainer(Wide(args[1]), Wide(args[2]));
        if (cmd == "delete-cert" && args.size() == 4 && !json && Location(args[1], &location))
            return CmdDeleteCert(location, Wide(args[2]), args[3]);
        return Usage();
    }
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
        // One certificate: a failure to add it is that failure (a store the
        // caller may not write answers 0x80070005), not a decoding one.
        PCCERT_CONTEXT one = CertCreateCertificateContext(kEnc, data.data(), static_cast<DWORD>(data.size()));
        if (one) {
            PCCERT_CONTEXT added = nullptr;
            if (CertAddCertificateContextToStore(s, one, CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
                Show(added, 0);
                CertFreeCertificateContext(added);
            } else {
                rc = Fail("CertAddCertificateContextToStore");
            }
            CertFreeCertificateContext(one);
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
        const bool bThumbprint = ThumbprintBytes(thumb, h);
        CRYPT_HASH_BLOB hb{static_cast<DWORD>(h.size()), h.data()};
        PCCERT_CONTEXT c =
            bThumbprint ? CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SHA1_HASH, &hb, nullptr) : nullptr;
        if (!c) {
            if (!bThumbprint) SetLastError(ERROR_INVALID_PARAMETER);
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
