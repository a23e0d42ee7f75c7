// tessaro-testca: a small certification authority for tests and
// demonstrations of the enrollment agent. It stands on OpenSSL alone, so that
// it checks the agent's requests and envelopes independently of the agent.
//
// Usage:
//   tessaro-testca init DIR
//       Makes an RSA hierarchy (root CA, issuing CA; RSA-2048, SHA-256) and an
//       SM2 hierarchy (root CA, issuing CA; SM2 keys, SM3withSM2 signatures
//       with the identity 1234567812345678) in DIR, which is created if
//       missing (0700). Files: rsa-root.key.pem rsa-root.cert.pem
//       rsa-ca.key.pem rsa-ca.cert.pem rsa-chain.pem and the same with sm2-.
//       Keys are PKCS#8 PEM, mode 0600. An existing CA is never overwritten.
//
//   tessaro-testca check [--in FILE|-]
//       Reads a Base64 request and verifies its signature; prints one JSON
//       line: {"algorithm","keyBits","signatureAlgorithm","type",
//       "challengePassword","exchangeKeyBits","attributeForm"}.
//
//   tessaro-testca issue DIR [--in FILE|-] [--days N] [--usage sign|encrypt]
//                  [--save-exchange-key FILE] [--cert-out FILE]
//       Reads a Base64 request (64-character lines joined by CR LF, or one
//       line; PEM armour allowed) from FILE or standard input, verifies its
//       signature with the key it carries (sha1/md5/sha256WithRSAEncryption;
//       SM3withSM2 with the identity 1234567812345678) and issues a
//       certificate for its subject and public key: RSA keys by the RSA
//       issuing CA with SHA-256, SM2 keys by the SM2 issuing CA with
//       SM3withSM2. Validity from 5 minutes ago for N days (default 365);
//       random positive 16-byte serial; basic constraints CA:FALSE, key usage
//       (sign: digitalSignature, nonRepudiation; encrypt: keyEncipherment,
//       dataEncipherment, and keyAgreement for SM2), subject and authority key
//       identifiers. Prints the Base64 DER certificate on one line.
//       --save-exchange-key writes the temporary exchange public key of a
//       double-certificate request as a PEM public key.
//
//   tessaro-testca envelope DIR [--in FILE|-] [--days N] [--bits N] [--c1c2c3]
//                  [--device N] [--encrypt N] [--session-type N]
//                  [--session-key-bytes 24|32] [--part-integer N] [--defect LIST]
//                  [--cert-out FILE] [--envelope-out FILE] [--key-out FILE]
//       Reads a double-certificate request, verifies it, generates the
//       encryption key pair (RSA of the signing key's size unless --bits;
//       SM2 for SM2 requests), issues its encryption certificate and builds
//       the encrypted key envelope for the request's temporary exchange key:
//         16-digit device type, encrypt type, session key type, then the
//         session key part's length and the part, then the private key
//         part's length and the part. Each part is Base64 of
//         SEQUENCE { INTEGER, OCTET STRING } followed by one comma.
//         RSA: session key type 306; a random 3DES key encrypted with PKCS#1
//         v1.5 for the exchange key (big-endian); the PKCS#1 RSAPrivateKey in
//         3DES-ECB with PKCS#5 padding under that key.
//         SM2: session key type 0 and an empty session key part; the 32-byte
//         private key SM2-encrypted for the exchange key, raw C1C3C2 (C1 = x||y,
//         64 bytes), or C1C2C3 with --c1c2c3.
//       --device, --encrypt and --session-type write other field values, and
//       --defect damages the text (comma-separated names: session-no-comma,
//       key-no-comma, session-one-element, key-one-element,
//       session-three-elements, key-three-elements, session-length-plus-one,
//       key-length-plus-one, truncated), for envelopes the agent must refuse.
//       --session-key-bytes 32 sends a 32-byte session key whose first 24
//       bytes are the 3DES key. Prints one JSON line:
//       {"algorithm","keyBits","certificate","envelope","privateKeyPem"};
//       the --*-out options also write the certificate (Base64 line), the
//       envelope text and the private key (PEM, mode 0600) to files.
//
//   tessaro-testca server DIR --cert-out FILE --key-out FILE [--name NAME]...
//                  [--days N]
//       Makes an RSA-2048 key and a TLS server certificate for it by the RSA
//       issuing CA: subject CN = the first name, the names (default 127.0.0.1
//       and localhost) as subject alternative names, extended key usage
//       serverAuth. Writes the certificate followed by the issuing CA's (PEM)
//       and the key (PKCS#8 PEM, mode 0600).
//
// Exit codes: 0 success; 1 the request or CA was refused or an operation
// failed (message on standard error); 2 bad command line.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "tools/testca/Authority.h"
#include "tools/testca/Envelope.h"
#include "tools/testca/Request.h"
#include "tools/testca/Util.h"

using namespace testca;

namespace {

const char kHelp[] =
    "Usage:\n"
    "  tessaro-testca init DIR\n"
    "  tessaro-testca check [--in FILE|-]\n"
    "  tessaro-testca issue DIR [--in FILE|-] [--days N] [--usage sign|encrypt]\n"
    "                 [--save-exchange-key FILE] [--cert-out FILE]\n"
    "  tessaro-testca envelope DIR [--in FILE|-] [--days N] [--bits N] [--c1c2c3]\n"
    "                 [--device N] [--encrypt N] [--session-type N]\n"
    "                 [--session-key-bytes 24|32] [--part-integer N] [--defect LIST]\n"
    "                 [--cert-out FILE] [--envelope-out FILE] [--key-out FILE]\n"
    "  tessaro-testca server DIR --cert-out FILE --key-out FILE [--name NAME]... [--days N]\n"
    "\n"
    "init      makes an RSA and an SM2 hierarchy (root CA and issuing CA) in DIR:\n"
    "          {rsa,sm2}-{root,ca}.{key,cert}.pem and {rsa,sm2}-chain.pem; keys 0600.\n"
    "check     verifies a Base64 request and prints a JSON summary of it.\n"
    "issue     verifies a Base64 request (CR LF line breaks allowed) and prints the\n"
    "          Base64 DER certificate for its subject and key on one line. RSA keys\n"
    "          are signed by the RSA issuing CA (SHA-256), SM2 keys by the SM2\n"
    "          issuing CA (SM3withSM2, identity 1234567812345678). Default: 365\n"
    "          days, usage sign. --save-exchange-key writes the temporary exchange\n"
    "          key of a double-certificate request as a PEM public key.\n"
    "envelope  verifies a double-certificate request, generates an encryption key\n"
    "          pair, issues its certificate and encrypts its private key for the\n"
    "          request's temporary exchange key. Prints one JSON line with\n"
    "          \"algorithm\", \"keyBits\", \"certificate\" (Base64 DER), \"envelope\"\n"
    "          (the envelope text) and \"privateKeyPem\".\n"
    "          Envelope: 16-digit fields device type (default 1), encrypt type\n"
    "          (default 1), session key type (RSA 306, SM2 0), session part length,\n"
    "          session part, private key part length, private key part; each part\n"
    "          is Base64 of SEQUENCE { INTEGER 1 (--part-integer), OCTET STRING }\n"
    "          and one comma.\n"
    "          RSA: 3DES session key, PKCS#1 v1.5 for the exchange key (big-endian);\n"
    "          PKCS#1 RSAPrivateKey in 3DES-ECB, PKCS#5 padding. Key size: that of\n"
    "          the signing key unless --bits. --session-key-bytes 32 sends 32\n"
    "          bytes of which the first 24 are the 3DES key.\n"
    "          SM2: empty session part; the 32-byte private key SM2-encrypted for\n"
    "          the exchange key, raw C1C3C2 with C1 = x||y (--c1c2c3: C1C2C3).\n"
    "          Faulty envelopes for tests: --device, --encrypt, --session-type set\n"
    "          other field values; --defect takes comma-separated names out of\n"
    "          {session,key}-no-comma, {session,key}-one-element,\n"
    "          {session,key}-three-elements, {session,key}-length-plus-one, truncated.\n"
    "          --cert-out, --envelope-out and --key-out (PEM, 0600) also write files.\n"
    "server    makes an RSA-2048 key and a TLS server certificate by the RSA issuing\n"
    "          CA for the names (default 127.0.0.1 and localhost; IP addresses and\n"
    "          DNS names), serverAuth; writes the certificate and the issuing CA's\n"
    "          (PEM) to --cert-out and the key (PEM, 0600) to --key-out.\n"
    "\n"
    "Exit codes: 0 success, 1 refused or failed (message on stderr), 2 usage.\n";

int UsageError(const std::string& msg) {
    std::cerr << "tessaro-testca: " << msg << "\n" << kHelp;
    return 2;
}

int Fail(const std::string& msg) {
    std::cerr << "tessaro-testca: " << msg << "\n";
    return 1;
}

struct Args {
    std::string command;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    std::vector<std::string> flags;
    bool Has(const std::string& f) const {
        return std::find(flags.begin(), flags.end(), f) != flags.end();
    }
    std::string Get(const std::string& k, const std::string& def = "") const {
        auto it = values.find(k);
        return it == values.end() ? def : it->second;
    }
};

bool ParseArgs(int argc, char** argv, const std::vector<std::string>& valueOptions,
               const std::vector<std::string>& flagOptions, Args& a, std::string& err) {
    for (int i = 2; i < argc; ++i) {
        std::string s = argv[i];
        if (s.size() > 2 && s.compare(0, 2, "--") == 0) {
            if (std::find(flagOptions.begin(), flagOptions.end(), s) != flagOptions.end()) {
                a.flags.push_back(s);
            } else if (std::find(valueOptions.begin(), valueOptions.end(), s) != valueOptions.end()) {
                if (i + 1 >= argc) {
                    err = s + " needs a value";
                    return false;
                }
                if (a.values.count(s)) {
                    err = s + " given twice";
                    return false;
                }
                a.values[s] = argv[++i];
            } else {
                err = "unknown option " + s + " for " + a.command;
                return false;
            }
        } else {
            a.positional.push_back(s);
        }
    }
    return true;
}

bool ParseNumber(const std::string& text, long long lo, long long hi, long long& out) {
    if (text.empty() || text.size() > 18) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    long long v = std::stoll(text);
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

bool ReadRequest(const Args& a, ParsedRequest& req, std::string& err) {
    std::string text;
    Bytes der;
    if (!ReadInput(a.Get("--in", "-"), text, err) || !DecodeRequestText(text, der, err)) return false;
    return ParseAndVerifyRequest(der, req, err);
}

bool DaysOption(const Args& a, int& days, std::string& err) {
    long long v = 365;
    if (a.values.count("--days") && !ParseNumber(a.Get("--days"), 1, 36500, v)) {
        err = "--days must be 1 to 36500";
        return false;
    }
    days = static_cast<int>(v);
    return true;
}

int CmdInit(const Args& a) {
    if (a.positional.size() != 1) return UsageError("init takes one directory");
    std::string err;
    if (!InitAuthority(a.positional[0], err)) return Fail(err);
    std::cerr << "test CA made in " << a.positional[0] << "\n";
    return 0;
}

int CmdCheck(const Args& a) {
    if (!a.positional.empty()) return UsageError("check takes no directory");
    ParsedRequest req;
    std::string err;
    if (!ReadRequest(a, req, err)) return Fail(err);
    std::string form = !req.hasExchangeKey && !req.hasChallengePassword ? "none"
                       : req.attributesInSet                            ? "set"
                                                                        : "bare";
    std::cout << "{\"algorithm\":\"" << (req.algorithm == KeyAlgorithm::RSA ? "RSA" : "SM2")
              << "\",\"keyBits\":" << req.publicKeyBits << ",\"signatureAlgorithm\":\"" << req.signatureAlgorithm
              << "\",\"type\":" << (req.hasExchangeKey ? 2 : 1) << ",\"challengePassword\":\""
              << JsonEscape(req.challengePassword) << "\",\"exchangeKeyBits\":" << req.exchangeKeyBits
              << ",\"attributeForm\":\"" << form << "\"}\n";
    return 0;
}

int CmdIssue(const Args& a) {
    if (a.positional.size() != 1) return UsageError("issue takes one CA directory");
    std::string err;
    int days;
    if (!DaysOption(a, days, err)) return UsageError(err);
    std::string usageText = a.Get("--usage", "sign");
    if (usageText != "sign" && usageText != "encrypt") return UsageError("--usage is sign or encrypt");
    ParsedRequest req;
    if (!ReadRequest(a, req, err)) return Fail(err);
    Issuer issuer;
    if (!LoadIssuer(a.positional[0], req.algorithm, issuer, err)) return Fail(err);
    X509Ptr cert;
    if (!IssueCertificate(issuer, req.subject, req.publicKey.get(), days,
                          usageText == "sign" ? testca::Usage::Sign : testca::Usage::Encrypt, cert, err))
        return Fail(err);
    Bytes der = DerOfCertificate(cert.get());
    if (der.empty()) return Fail("cannot encode the certificate: " + OpenSslErrors());
    std::string b64 = Base64Encode(der);
    if (a.values.count("--cert-out") && !WriteFileSafely(a.Get("--cert-out"), b64 + "\n", 0644, false, err))
        return Fail(err);
    if (req.hasExchangeKey) {
        if (a.values.count("--save-exchange-key")) {
            std::string pem = PemOfPublicKey(req.exchangeKey.get());
            if (pem.empty()) return Fail("cannot encode the exchange key: " + OpenSslErrors());
            if (!WriteFileSafely(a.Get("--save-exchange-key"), pem, 0644, false, err)) return Fail(err);
            std::cerr << "temporary exchange key saved in " << a.Get("--save-exchange-key") << "\n";
        } else {
            std::cerr << "the request carries a temporary exchange key (" << req.exchangeKeyBits
                      << " bits); --save-exchange-key FILE keeps it, and `envelope` reads it from the request\n";
        }
    }
    std::cout << b64 << "\n";
    return 0;
}

int CmdEnvelope(const Args& a) {
    if (a.positional.size() != 1) return UsageError("envelope takes one CA directory");
    std::string err;
    EnvelopeOptions o;
    if (!DaysOption(a, o.days, err)) return UsageError(err);
    o.c1c2c3 = a.Has("--c1c2c3");
    long long v;
    if (a.values.count("--bits")) {
        if (!ParseNumber(a.Get("--bits"), 512, 16384, v)) return UsageError("--bits must be 512 to 16384");
        o.bits = static_cast<int>(v);
    }
    struct Field {
        const char* option;
        long long* target;
    } fields[] = {{"--device", &o.deviceType}, {"--encrypt", &o.encryptType}, {"--session-type", &o.sessionKeyType}};
    for (const auto& f : fields) {
        if (!a.values.count(f.option)) continue;
        if (!ParseNumber(a.Get(f.option), 0, kMaxFieldValue, *f.target))
            return UsageError(std::string(f.option) + " must be 0 to 9999999999999999");
    }
    if (a.values.count("--session-key-bytes")) {
        if (!ParseNumber(a.Get("--session-key-bytes"), 24, 32, v) || (v != 24 && v != 32))
            return UsageError("--session-key-bytes is 24 or 32");
        o.sessionKeyBytes = static_cast<size_t>(v);
    }
    if (a.values.count("--part-integer")) {
        if (!ParseNumber(a.Get("--part-integer"), 0, 0x7FFFFFFF, v)) return UsageError("--part-integer must be 0 to 2^31-1");
        o.partInteger = static_cast<uint32_t>(v);
    }
    if (a.values.count("--defect")) {
        std::string list = a.Get("--defect");
        size_t pos = 0;
        while (pos <= list.size()) {
            size_t comma = list.find(',', pos);
            if (comma == std::string::npos) comma = list.size();
            std::string name = list.substr(pos, comma - pos);
            if (!EnvelopeDefectNames().count(name)) return UsageError("unknown --defect " + name);
            o.defects.insert(name);
            pos = comma + 1;
        }
    }
    ParsedRequest req;
    if (!ReadRequest(a, req, err)) return Fail(err);
    Issuer issuer;
    if (!LoadIssuer(a.positional[0], req.algorithm, issuer, err)) return Fail(err);
    EnvelopeResult r;
    if (!BuildEnvelope(issuer, req, o, r, err)) return Fail(err);
    Bytes der = DerOfCertificate(r.certificate.get());
    std::string keyPem = PemOfPrivateKey(r.privateKey.get());
    if (der.empty() || keyPem.empty()) return Fail("cannot encode the results: " + OpenSslErrors());
    std::string b64 = Base64Encode(der);
    if (a.values.count("--cert-out") && !WriteFileSafely(a.Get("--cert-out"), b64 + "\n", 0644, false, err))
        return Fail(err);
    if (a.values.count("--envelope-out") && !WriteFileSafely(a.Get("--envelope-out"), r.text, 0644, false, err))
        return Fail(err);
    if (a.values.count("--key-out") && !WriteFileSafely(a.Get("--key-out"), keyPem, 0600, false, err))
        return Fail(err);
    std::cout << "{\"algorithm\":\"" << (req.algorithm == KeyAlgorithm::RSA ? "RSA" : "SM2")
              << "\",\"keyBits\":" << EVP_PKEY_get_bits(r.privateKey.get()) << ",\"certificate\":\"" << b64
              << "\",\"envelope\":\"" << JsonEscape(r.text) << "\",\"privateKeyPem\":\"" << JsonEscape(keyPem)
              << "\"}\n";
    OPENSSL_cleanse(keyPem.data(), keyPem.size());
    return 0;
}

int CmdServer(const Args& a, const std::vector<std::string>& names) {
    if (a.positional.size() != 1) return UsageError("server takes one CA directory");
    if (!a.values.count("--cert-out") || !a.values.count("--key-out"))
        return UsageError("server needs --cert-out FILE and --key-out FILE");
    std::string err;
    int days;
    if (!DaysOption(a, days, err)) return UsageError(err);
    Issuer issuer;
    if (!LoadIssuer(a.positional[0], KeyAlgorithm::RSA, issuer, err)) return Fail(err);
    EvpPkeyPtr key;
    X509Ptr cert;
    if (!GenerateKey(KeyAlgorithm::RSA, 2048, key, err) ||
        !IssueServerCertificate(issuer, names.empty() ? std::vector<std::string>{"127.0.0.1", "localhost"} : names,
                                key.get(), days, cert, err))
        return Fail(err);
    std::string certPem = PemOfCertificate(cert.get()), caPem = PemOfCertificate(issuer.cert.get());
    std::string keyPem = PemOfPrivateKey(key.get());
    if (certPem.empty() || caPem.empty() || keyPem.empty()) return Fail("cannot encode the results: " + OpenSslErrors());
    bool ok = WriteFileSafely(a.Get("--key-out"), keyPem, 0600, false, err) &&
              WriteFileSafely(a.Get("--cert-out"), certPem + caPem, 0644, false, err);
    OPENSSL_cleanse(keyPem.data(), keyPem.size());
    return ok ? 0 : Fail(err);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return UsageError("no command");
    Args a;
    a.command = argv[1];
    if (a.command == "--help" || a.command == "-h" || a.command == "help") {
        std::cout << kHelp;
        return 0;
    }
    std::string err;
    std::vector<std::string> values, flags;
    int (*run)(const Args&) = nullptr;
    if (a.command == "init") {
        run = CmdInit;
    } else if (a.command == "check") {
        values = {"--in"};
        run = CmdCheck;
    } else if (a.command == "issue") {
        values = {"--in", "--days", "--usage", "--save-exchange-key", "--cert-out"};
        run = CmdIssue;
    } else if (a.command == "envelope") {
        values = {"--in",           "--days",         "--bits",         "--device",   "--encrypt",
                  "--session-type", "--session-key-bytes", "--part-integer", "--cert-out", "--envelope-out",
                  "--key-out", "--defect"};
        flags = {"--c1c2c3"};
        run = CmdEnvelope;
    } else if (a.command == "server") {
        values = {"--days", "--cert-out", "--key-out"};
    } else {
        return UsageError("unknown command " + a.command);
    }
    std::vector<std::string> names;
    if (a.command == "server") {
        // --name repeats; the common parser takes each option once.
        std::vector<char*> rest(argv, argv + 2);
        for (int i = 2; i < argc; ++i) {
            if (std::strcmp(argv[i], "--name") == 0) {
                if (i + 1 >= argc) return UsageError("--name needs a value");
                names.push_back(argv[++i]);
            } else {
                rest.push_back(argv[i]);
            }
        }
        if (!ParseArgs(static_cast<int>(rest.size()), rest.data(), values, flags, a, err)) return UsageError(err);
        if (a.Has("--help")) {
            std::cout << kHelp;
            return 0;
        }
        return CmdServer(a, names);
    }
    if (!ParseArgs(argc, argv, values, flags, a, err)) return UsageError(err);
    if (a.Has("--help")) {
        std::cout << kHelp;
        return 0;
    }
    return run(a);
}
