#include "tests/request/RequestTestUtil.h"

#include <gtest/gtest.h>

#include <fstream>

namespace request_test {

bool ReadTlv(const Bytes& buf, size_t off, Tlv* out) {
    if (off + 2 > buf.size()) return false;
    Tlv t;
    t.start = off;
    t.tag = buf[off];
    uint8_t first = buf[off + 1];
    if (first < 0x80) {
        t.header = 2;
        t.length = first;
    } else {
        size_t n = first & 0x7F;
        if (n == 0 || n > 4 || off + 2 + n > buf.size()) return false;
        size_t len = 0;
        for (size_t i = 0; i < n; ++i) len = len << 8 | buf[off + 2 + i];
        if (len < 0x80 || buf[off + 2] == 0) return false;  // not the shortest form
        t.header = 2 + n;
        t.length = len;
    }
    if (t.End() > buf.size()) return false;
    *out = t;
    return true;
}

std::vector<Tlv> Children(const Bytes& buf, const Tlv& parent) {
    std::vector<Tlv> v;
    size_t off = parent.ContentStart();
    while (off < parent.End()) {
        Tlv t;
        if (!ReadTlv(buf, off, &t) || t.End() > parent.End()) {
            ADD_FAILURE() << "malformed child at offset " << off;
            return {};
        }
        v.push_back(t);
        off = t.End();
    }
    return v;
}

Bytes Slice(const Bytes& buf, size_t off, size_t len) {
    if (off > buf.size() || len > buf.size() - off) return {};
    return Bytes(buf.begin() + static_cast<long>(off), buf.begin() + static_cast<long>(off + len));
}

bool DecodeBase64(const std::string& text, Bytes* out) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out->clear();
    unsigned bits = 0;
    int nbits = 0;
    size_t pad = 0;
    for (char c : text) {
        if (c == '\r' || c == '\n') continue;
        if (c == '=') {
            ++pad;
            continue;
        }
        if (pad) return false;
        size_t v = alphabet.find(c);
        if (v == std::string::npos) return false;
        bits = (bits << 6) | static_cast<unsigned>(v);
        nbits += 6;
        if (nbits >= 8) {
            nbits -= 8;
            out->push_back(static_cast<uint8_t>(bits >> nbits));
        }
    }
    return pad <= 2;
}

bool ParseRequestText(const std::string& text, ParsedRequest* out) {
    // Lines of exactly 64 characters joined by CR LF; the last one 1..64.
    size_t pos = 0;
    while (true) {
        size_t brk = text.find("\r\n", pos);
        if (brk == std::string::npos) {
            size_t last = text.size() - pos;
            if (last < 1 || last > 64) {
                ADD_FAILURE() << "last line of " << last << " characters";
                return false;
            }
            break;
        }
        if (brk - pos != 64) {
            ADD_FAILURE() << "line of " << (brk - pos) << " characters";
            return false;
        }
        pos = brk + 2;
    }
    if (text.find_first_of("\r\n", pos) != std::string::npos) {
        ADD_FAILURE() << "stray line break";
        return false;
    }
    ParsedRequest r;
    if (!DecodeBase64(text, &r.der)) {
        ADD_FAILURE() << "not Base64";
        return false;
    }
    Tlv root;
    if (!ReadTlv(r.der, 0, &root) || root.tag != 0x30 || root.End() != r.der.size()) {
        ADD_FAILURE() << "request is not one SEQUENCE";
        return false;
    }
    auto top = Children(r.der, root);
    if (top.size() != 3 || top[0].tag != 0x30 || top[1].tag != 0x30 || top[2].tag != 0x03) {
        ADD_FAILURE() << "request does not have three elements";
        return false;
    }
    r.requestInfo = Whole(r.der, top[0]);
    r.signatureAlgorithm = Whole(r.der, top[1]);
    Bytes bits = Content(r.der, top[2]);
    if (bits.empty() || bits[0] != 0) {
        ADD_FAILURE() << "signature BIT STRING with unused bits";
        return false;
    }
    r.signatureValue.assign(bits.begin() + 1, bits.end());
    auto info = Children(r.der, top[0]);
    r.requestInfoElements = info.size();
    if (info.size() < 3 || Whole(r.der, info[0]) != Bytes{0x02, 0x01, 0x00}) {
        ADD_FAILURE() << "CertificationRequestInfo without version and keys";
        return false;
    }
    r.subject = Whole(r.der, info[1]);
    r.publicKeyInfo = Whole(r.der, info[2]);
    if (info.size() == 4) r.attributes = Whole(r.der, info[3]);
    *out = std::move(r);
    return true;
}

void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary);
    f << data;
}

bool OpensslVerifyRequest(const std::string& base64, bool bSM2, std::string* diag) {
    tessaro_test::TempDir dir("req");
    std::string pem = "-----BEGIN CERTIFICATE REQUEST-----\n" + base64 + "\n-----END CERTIFICATE REQUEST-----\n";
    WriteFile(dir.path() + "/req.pem", pem);
    std::vector<std::string> argv = {"openssl", "req", "-in", dir.path() + "/req.pem", "-verify", "-noout"};
    if (bSM2) {
        argv.push_back("-vfyopt");
        argv.push_back("distid:1234567812345678");
    }
    auto r = tessaro_test::RunProcess(argv, "");
    if (diag) *diag = r.out + r.err;
    return r.exitCode == 0;
}

bool OpensslVerifyRequestInfo(const ParsedRequest& req, const std::string& hashName, bool bSM2, std::string* diag) {
    tessaro_test::TempDir dir("dgst");
    const std::string d = dir.path();
    WriteFile(d + "/spki.der", req.publicKeyInfo);
    WriteFile(d + "/info.der", req.requestInfo);
    WriteFile(d + "/sig.bin", req.signatureValue);
    auto k = tessaro_test::RunProcess(
        {"openssl", "pkey", "-pubin", "-inform", "DER", "-in", d + "/spki.der", "-out", d + "/pub.pem"}, "");
    if (k.exitCode != 0) {
        if (diag) *diag = k.out + k.err;
        return false;
    }
    std::vector<std::string> argv = {"openssl", "dgst", "-" + hashName, "-verify", d + "/pub.pem"};
    if (bSM2) {
        argv.push_back("-sigopt");
        argv.push_back("distid:1234567812345678");
    }
    argv.push_back("-signature");
    argv.push_back(d + "/sig.bin");
    argv.push_back(d + "/info.der");
    auto r = tessaro_test::RunProcess(argv, "");
    if (diag) *diag = r.out + r.err;
    return r.exitCode == 0 && r.out.find("Verified OK") != std::string::npos;
}

}  // namespace request_test
