#include "tools/testca/Authority.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace testca {

namespace {

// Clocks of test machines and CAs drift; a certificate must be usable at once.
constexpr long kBackdateSeconds = 300;
constexpr int kRootDays = 7305;
constexpr int kIssuingDays = 3652;

const char* Prefix(KeyAlgorithm alg) { return alg == KeyAlgorithm::RSA ? "rsa" : "sm2"; }

bool SetRandomSerial(X509* cert, std::string& err) {
    uint8_t serial[16];
    if (!RandomBytes(serial, sizeof serial, err)) return false;
    // Positive, and exactly 16 octets long.
    serial[0] = static_cast<uint8_t>((serial[0] & 0x7F) | 0x40);
    BnPtr bn(BN_bin2bn(serial, sizeof serial, nullptr));
    if (!bn || !BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert))) {
        err = "cannot set the serial number: " + OpenSslErrors();
        return false;
    }
    return true;
}

bool AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value, std::string& err) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    if (!ext) {
        err = std::string("cannot make extension ") + OBJ_nid2sn(nid) + ": " + OpenSslErrors();
        return false;
    }
    int ok = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    if (!ok) {
        err = "cannot add extension: " + OpenSslErrors();
        return false;
    }
    return true;
}

bool SignCertificate(X509* cert, EVP_PKEY* key, KeyAlgorithm alg, std::string& err) {
    if (alg == KeyAlgorithm::RSA) {
        if (X509_sign(cert, key, EVP_sha256()) <= 0) {
            err = "RSA signing failed: " + OpenSslErrors();
            return false;
        }
        return true;
    }
    EvpMdCtxPtr md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;  // owned by md
    if (!md || EVP_DigestSignInit_ex(md.get(), &pctx, "SM3", nullptr, nullptr, key, nullptr) != 1 ||
        EVP_PKEY_CTX_set1_id(pctx, kSm2Identity, kSm2IdentityLength) != 1 || X509_sign_ctx(cert, md.get()) <= 0) {
        err = "SM2 signing failed: " + OpenSslErrors();
        return false;
    }
    return true;
}

struct CertSpec {
    X509_NAME* subject = nullptr;
    EVP_PKEY* subjectKey = nullptr;
    X509* issuerCert = nullptr;  // none: self-signed
    EVP_PKEY* issuerKey = nullptr;
    KeyAlgorithm algorithm = KeyAlgorithm::RSA;
    int days = 0;
    std::vector<std::pair<int, std::string>> extensions;
};

bool MakeCertificate(const CertSpec& spec, X509Ptr& out, std::string& err) {
    X509Ptr cert(X509_new());
    if (!cert || !X509_set_version(cert.get(), X509_VERSION_3) || !SetRandomSerial(cert.get(), err)) {
        if (err.empty()) err = "out of memory";
        return false;
    }
    X509_NAME* issuerName = spec.issuerCert ? X509_get_subject_name(spec.issuerCert) : spec.subject;
    if (!X509_set_subject_name(cert.get(), spec.subject) || !X509_set_issuer_name(cert.get(), issuerName) ||
        !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kBackdateSeconds) ||
        !X509_time_adj_ex(X509_getm_notAfter(cert.get()), spec.days, 0, nullptr) ||
        !X509_set_pubkey(cert.get(), spec.subjectKey)) {
        err = "cannot fill the certificate: " + OpenSslErrors();
        return false;
    }
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, spec.issuerCert ? spec.issuerCert : cert.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : spec.extensions) {
        if (!AddExtension(cert.get(), &ctx, nid, value.c_str(), err)) return false;
    }
    if (!SignCertificate(cert.get(), spec.issuerKey, spec.algorithm, err)) return false;
    out = std::move(cert);
    return true;
}

bool MakeCaName(X509NamePtr& out, const std::string& cn) {
    X509NamePtr name(X509_NAME_new());
    auto add = [&](const char* field, const std::string& v) {
        return X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(v.c_str()), -1, -1, 0) == 1;
    };
    if (!name || !add("C", "CN") || !add("O", "Tessaro Test") || !add("CN", cn)) return false;
    out = std::move(name);
    return true;
}

struct Hierarchy {
    EvpPkeyPtr rootKey, caKey;
    X509Ptr root, ca;
};

bool MakeHierarchy(KeyAlgorithm alg, Hierarchy& h, std::string& err) {
    const char* label = alg == KeyAlgorithm::RSA ? "RSA" : "SM2";
    X509NamePtr rootName, caName;
    if (!MakeCaName(rootName, std::string("Tessaro Test ") + label + " Root CA") ||
        !MakeCaName(caName, std::string("Tessaro Test ") + label + " Issuing CA")) {
        err = "cannot make CA names: " + OpenSslErrors();
        return false;
    }
    if (!GenerateKey(alg, 2048, h.rootKey, err) || !GenerateKey(alg, 2048, h.caKey, err)) return false;

    CertSpec root;
    root.subject = rootName.get();
    root.subjectKey = h.rootKey.get();
    root.issuerKey = h.rootKey.get();
    root.algorithm = alg;
    root.days = kRootDays;
    root.extensions = {{NID_basic_constraints, "critical,CA:TRUE"},
                       {NID_key_usage, "critical,keyCertSign,cRLSign"},
                       {NID_subject_key_identifier, "hash"},
                       {NID_authority_key_identifier, "keyid:always"}};
    if (!MakeCertificate(root, h.root, err)) return false;

    CertSpec ca = root;
    ca.subject = caName.get();
    ca.subjectKey = h.caKey.get();
    ca.issuerCert = h.root.get();
    ca.days = kIssuingDays;
    ca.extensions[0].second = "critical,CA:TRUE,pathlen:0";
    return MakeCertificate(ca, h.ca, err);
}

bool LoadKeyFile(const std::string& path, EvpPkeyPtr& out, std::string& err) {
    std::string text;
    if (!ReadWholeFile(path, text, err)) return false;
    BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    OPENSSL_cleanse(text.data(), text.size());
    if (!key) {
        err = "cannot read the key " + path + ": " + OpenSslErrors();
        return false;
    }
    out.reset(key);
    return true;
}

bool LoadCertFile(const std::string& path, X509Ptr& out, std::string& err) {
    std::string text;
    if (!ReadWholeFile(path, text, err)) return false;
    BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    X509* cert = bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    if (!cert) {
        err = "cannot read the certificate " + path + ": " + OpenSslErrors();
        return false;
    }
    out.reset(cert);
    return true;
}

}  // namespace

std::string CaFile(const std::string& dir, KeyAlgorithm alg, bool root, bool key) {
    return dir + "/" + Prefix(alg) + (root ? "-root" : "-ca") + (key ? ".key.pem" : ".cert.pem");
}

std::string ChainFile(const std::string& dir, KeyAlgorithm alg) {
    return dir + "/" + Prefix(alg) + "-chain.pem";
}

bool GenerateKey(KeyAlgorithm alg, int bits, EvpPkeyPtr& out, std::string& err) {
    EVP_PKEY* key = nullptr;
    if (alg == KeyAlgorithm::RSA) {
        if (bits < 512 || bits > 16384 || bits % 16 != 0) {
            err = "RSA key size must be a multiple of 16 between 512 and 16384";
            return false;
        }
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits));
    } else {
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    }
    if (!key) {
        err = "key generation failed: " + OpenSslErrors();
        return false;
    }
    out.reset(key);
    return true;
}

bool InitAuthority(const std::string& dir, std::string& err) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        err = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    struct Output {
        std::string path, data;
        unsigned mode;
    };
    std::vector<Output> outputs;
    for (KeyAlgorithm alg : {KeyAlgorithm::RSA, KeyAlgorithm::SM2}) {
        Hierarchy h;
        if (!MakeHierarchy(alg, h, err)) return false;
        std::string rootPem = PemOfCertificate(h.root.get()), caPem = PemOfCertificate(h.ca.get());
        std::string rootKey = PemOfPrivateKey(h.rootKey.get()), caKey = PemOfPrivateKey(h.caKey.get());
        if (rootPem.empty() || caPem.empty() || rootKey.empty() || caKey.empty()) {
            err = "cannot write PEM: " + OpenSslErrors();
            return false;
        }
        outputs.push_back({CaFile(dir, alg, true, true), rootKey, 0600});
        outputs.push_back({CaFile(dir, alg, true, false), rootPem, 0644});
        outputs.push_back({CaFile(dir, alg, false, true), caKey, 0600});
        outputs.push_back({CaFile(dir, alg, false, false), caPem, 0644});
        outputs.push_back({ChainFile(dir, alg), caPem + rootPem, 0644});
    }
    for (const auto& o : outputs) {
        struct stat st;
        if (lstat(o.path.c_str(), &st) == 0) {
            err = o.path + " exists already; init makes a new CA only in a directory without one";
            return false;
        }
    }
    std::vector<std::string> written;
    for (const auto& o : outputs) {
        if (!WriteFileSafely(o.path, o.data, o.mode, true, err)) {
            // A half-made CA directory would only confuse the next run.
            for (const auto& w : written) unlink(w.c_str());
            return false;
        }
        written.push_back(o.path);
    }
    return true;
}

bool LoadIssuer(const std::string& dir, KeyAlgorithm alg, Issuer& out, std::string& err) {
    out.algorithm = alg;
    if (!LoadKeyFile(CaFile(dir, alg, false, true), out.key, err) ||
        !LoadCertFile(CaFile(dir, alg, false, false), out.cert, err))
        return false;
    if (X509_check_private_key(out.cert.get(), out.key.get()) != 1) {
        err = "the issuing CA's key does not match its certificate in " + dir;
        OpenSslErrors();
        return false;
    }
    return true;
}

// An end-entity certificate of the issuer's for that name and key.
static CertSpec IssuedBy(const Issuer& issuer, X509_NAME* subject, EVP_PKEY* key, int days) {
    CertSpec spec;
    spec.subject = subject;
    spec.subjectKey = key;
    spec.issuerCert = issuer.cert.get();
    spec.issuerKey = issuer.key.get();
    spec.algorithm = issuer.algorithm;
    spec.days = days;
    return spec;
}

bool IssueCertificate(const Issuer& issuer, const Bytes& subjectName, EVP_PKEY* subjectKey, int days, Usage usage,
                      X509Ptr& out, std::string& err) {
    const unsigned char* p = subjectName.data();
    X509NamePtr name(d2i_X509_NAME(nullptr, &p, static_cast<long>(subjectName.size())));
    if (!name || p != subjectName.data() + subjectName.size()) {
        err = "the request's subject is not a Name OpenSSL can read: " + OpenSslErrors();
        return false;
    }
    CertSpec spec = IssuedBy(issuer, name.get(), subjectKey, days);
    std::string keyUsage;
    if (usage == Usage::Sign) keyUsage = "critical,digitalSignature,nonRepudiation";
    else if (issuer.algorithm == KeyAlgorithm::RSA) keyUsage = "critical,keyEncipherment,dataEncipherment";
    else keyUsage = "critical,keyEncipherment,dataEncipherment,keyAgreement";
    spec.extensions = {{NID_basic_constraints, "critical,CA:FALSE"},
                       {NID_key_usage, keyUsage},
                       {NID_subject_key_identifier, "hash"},
                       {NID_authority_key_identifier, "keyid:always"}};
    return MakeCertificate(spec, out, err);
}

bool IssueServerCertificate(const Issuer& issuer, const std::vector<std::string>& names, EVP_PKEY* key, int days,
                            X509Ptr& out, std::string& err) {
    if (names.empty()) {
        err = "a server certificate needs at least one name";
        return false;
    }
    std::string san;
    for (const auto& n : names) {
        // The names go into an OpenSSL configuration value: nothing that could
        // end or extend it.
        if (n.empty() || n.size() > 253 || n.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:") != std::string::npos) {
            err = "bad server name \"" + n + "\"";
            return false;
        }
        unsigned char ip[16];
        bool isIp = inet_pton(AF_INET, n.c_str(), ip) == 1 || inet_pton(AF_INET6, n.c_str(), ip) == 1;
        if (!isIp && n.find(':') != std::string::npos) {
            err = "bad server name \"" + n + "\"";
            return false;
        }
        san += (san.empty() ? "" : ",") + std::string(isIp ? "IP:" : "DNS:") + n;
    }
    X509NamePtr name(X509_NAME_new());
    auto add = [&](const char* field, const std::string& v) {
        return X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(v.c_str()), -1, -1, 0) == 1;
    };
    if (!name || !add("O", "Tessaro Test") || !add("CN", names[0])) {
        err = "cannot make the server's name: " + OpenSslErrors();
        return false;
    }
    CertSpec spec = IssuedBy(issuer, name.get(), key, days);
    spec.extensions = {{NID_basic_constraints, "critical,CA:FALSE"},
                       {NID_key_usage, "critical,digitalSignature,keyEncipherment"},
                       {NID_ext_key_usage, "serverAuth"},
                       {NID_subject_alt_name, san},
                       {NID_subject_key_identifier, "hash"},
                       {NID_authority_key_identifier, "keyid:always"}};
    return MakeCertificate(spec, out, err);
}

}  // namespace testca
