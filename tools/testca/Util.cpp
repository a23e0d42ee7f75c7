#include "tools/testca/Util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>

#include "tools/common/JsonText.h"

namespace testca {

const char kSm2Identity[] = "1234567812345678";

SecureBytes::~SecureBytes() {
    if (!data.empty()) OPENSSL_cleanse(data.data(), data.size());
}

std::string OpenSslErrors() {
    std::string out;
    unsigned long e;
    char buf[256];
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, buf, sizeof buf);
        if (!out.empty()) out += "; ";
        out += buf;
    }
    return out;
}

static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(const uint8_t* p, size_t n) {
    std::string out;
    out.reserve((n + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t v = uint32_t(p[i]) << 16 | uint32_t(p[i + 1]) << 8 | p[i + 2];
        out.push_back(kAlphabet[v >> 18]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    if (n - i == 1) {
        uint32_t v = uint32_t(p[i]) << 16;
        out.push_back(kAlphabet[v >> 18]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out += "==";
    } else if (n - i == 2) {
        uint32_t v = uint32_t(p[i]) << 16 | uint32_t(p[i + 1]) << 8;
        out.push_back(kAlphabet[v >> 18]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back('=');
    }
    return out;
}

static int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool Base64Decode(const std::string& text, Bytes& out, std::string& err) {
    std::string clean;
    clean.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        size_t eol = text.find('\n', i);
        if (eol == std::string::npos) eol = text.size();
        std::string line = text.substr(i, eol - i);
        i = eol + 1;
        size_t b = line.find_first_not_of(" \t\r");
        if (b != std::string::npos && line.compare(b, 5, "-----") == 0) continue;
        for (char c : line) {
            if (c == ' ' || c == '\t' || c == '\r') continue;
            clean.push_back(c);
        }
    }
    if (clean.empty()) {
        err = "no Base64 text";
        return false;
    }
    if (clean.size() % 4 != 0) {
        err = "Base64 text length is not a multiple of 4";
        return false;
    }
    out.clear();
    out.reserve(clean.size() / 4 * 3);
    for (size_t k = 0; k < clean.size(); k += 4) {
        bool last = k + 4 == clean.size();
        int v[4];
        int pad = 0;
        for (int j = 0; j < 4; ++j) {
            char c = clean[k + j];
            if (c == '=') {
                // Padding only at the very end, and only in the last two places.
                if (!last || j < 2) {
                    err = "misplaced Base64 padding";
                    return false;
                }
                ++pad;
                v[j] = 0;
                continue;
            }
            if (pad) {
                err = "misplaced Base64 padding";
                return false;
            }
            v[j] = Base64Value(c);
            if (v[j] < 0) {
                err = std::string("character outside the Base64 alphabet: '") + c + "'";
                return false;
            }
        }
        uint32_t w = uint32_t(v[0]) << 18 | uint32_t(v[1]) << 12 | uint32_t(v[2]) << 6 | uint32_t(v[3]);
        out.push_back(static_cast<uint8_t>(w >> 16));
        if (pad < 2) out.push_back(static_cast<uint8_t>(w >> 8));
        if (pad < 1) out.push_back(static_cast<uint8_t>(w));
    }
    return true;
}

bool RandomBytes(uint8_t* p, size_t n, std::string& err) {
    if (n == 0) return true;
    if (RAND_bytes(p, static_cast<int>(n)) != 1) {
        err = "random generator failed: " + OpenSslErrors();
        return false;
    }
    return true;
}

// Inputs are requests and certificates: a few kilobytes. Anything far larger is a mistake.
static constexpr size_t kMaxInput = 1 << 20;

static bool ReadFd(int fd, std::string& out, const std::string& what, std::string& err) {
    out.clear();
    char buf[8192];
    for (;;) {
        ssize_t k = read(fd, buf, sizeof buf);
        if (k < 0) {
            if (errno == EINTR) continue;
            err = "cannot read " + what + ": " + std::strerror(errno);
            return false;
        }
        if (k == 0) break;
        out.append(buf, static_cast<size_t>(k));
        if (out.size() > kMaxInput) {
            err = what + " is larger than 1 MiB";
            return false;
        }
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& out, std::string& err) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ReadFd(fd, out, path, err);
    close(fd);
    return ok;
}

bool ReadInput(const std::string& pathOrDash, std::string& out, std::string& err) {
    if (pathOrDash == "-") return ReadFd(0, out, "standard input", err);
    return ReadWholeFile(pathOrDash, out, err);
}

bool WriteFileSafely(const std::string& path, const std::string& data, unsigned mode, bool exclusive,
                     std::string& err) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (exclusive ? O_EXCL : O_TRUNC);
    int fd = open(path.c_str(), flags, mode);
    if (fd < 0) {
        err = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    // An existing file keeps its old mode through O_TRUNC; key files must not stay readable.
    if (fchmod(fd, mode) != 0) {
        err = "cannot set the mode of " + path + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t k = write(fd, data.data() + done, data.size() - done);
        if (k < 0) {
            if (errno == EINTR) continue;
            err = "cannot write " + path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        done += static_cast<size_t>(k);
    }
    if (close(fd) != 0) {
        err = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string JsonEscape(const std::string& s) { return tools_json::Escape(s); }

static std::string BioText(BIO* bio) {
    char* p = nullptr;
    long n = BIO_get_mem_data(bio, &p);
    return n > 0 ? std::string(p, static_cast<size_t>(n)) : std::string();
}

std::string PemOfCertificate(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return {};
    return BioText(bio.get());
}

std::string PemOfPrivateKey(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_secmem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return {};
    return BioText(bio.get());
}

std::string PemOfPublicKey(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) return {};
    return BioText(bio.get());
}

Bytes DerOfCertificate(X509* cert) {
    int n = i2d_X509(cert, nullptr);
    if (n <= 0) return {};
    Bytes out(static_cast<size_t>(n));
    unsigned char* p = out.data();
    if (i2d_X509(cert, &p) != n) return {};
    return out;
}

}  // namespace testca
