// Helpers of the request tests: a small DER reader to take requests apart,
// Base64 decoding of the request text, and checks with the openssl tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace request_test {

using Bytes = std::vector<uint8_t>;

// One DER element inside a buffer: tag, where its content starts, how long
// the content is, and the whole element's extent.
struct Tlv {
    uint8_t tag = 0;
    size_t start = 0;   // offset of the tag octet
    size_t header = 0;  // tag and length octets
    size_t length = 0;  // content octets
    size_t End() const { return start + header + length; }
    size_t ContentStart() const { return start + header; }
};

// Reads the element at off; false when it runs past the buffer or uses a form
// DER does not allow (indefinite length, long form for short lengths).
bool ReadTlv(const Bytes& buf, size_t off, Tlv* out);
// The children of a constructed element.
std::vector<Tlv> Children(const Bytes& buf, const Tlv& parent);
Bytes Slice(const Bytes& buf, size_t off, size_t len);
inline Bytes Whole(const Bytes& buf, const Tlv& t) { return Slice(buf, t.start, t.End() - t.start); }
inline Bytes Content(const Bytes& buf, const Tlv& t) { return Slice(buf, t.ContentStart(), t.length); }

// Standard Base64 with padding; CR and LF are skipped, anything else fails.
bool DecodeBase64(const std::string& text, Bytes* out);

// The request text in its parts.
struct ParsedRequest {
    Bytes der;
    Bytes requestInfo;         // element 1, whole
    Bytes subject;             // 1b
    Bytes publicKeyInfo;       // 1c
    Bytes attributes;          // 1d (empty when absent)
    Bytes signatureAlgorithm;  // element 2
    Bytes signatureValue;      // BIT STRING content after the 00 octet
    size_t requestInfoElements = 0;
};
// Checks the line layout (64 characters, CR LF, nothing after the last line)
// and the DER structure; failures are reported through gtest.
bool ParseRequestText(const std::string& text, ParsedRequest* out);

// Writes bytes to a file.
void WriteFile(const std::string& path, const Bytes& data);
void WriteFile(const std::string& path, const std::string& data);

// Verifies a type-1 request with `openssl req -verify`; SM2 with the default
// identity. Returns the tool's output on failure for the assertion message.
bool OpensslVerifyRequest(const std::string& base64, bool bSM2, std::string* diag);
// Verifies the signature over the CertificationRequestInfo with `openssl dgst`
// against the request's public key (hashName: "sha1", "md5" or "sm3").
bool OpensslVerifyRequestInfo(const ParsedRequest& req, const std::string& hashName, bool bSM2, std::string* diag);

}  // namespace request_test
