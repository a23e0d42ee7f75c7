// Helpers of the enrollment tests: conversations with the host program, a
// test certification authority made on the spot, and a snapshot of every key
// container and store certificate so that failed calls can be shown to
// change nothing.
#pragma once

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TestSupport.h"
#include "win/windows.h"

namespace enroll_test {

const char* const BASE = "Microsoft Base Cryptographic Provider v1.0";
const char* const ENHANCED = "Microsoft Enhanced Cryptographic Provider v1.0";
const char* const STRONG = "Microsoft Strong Cryptographic Provider";
const char* const AES = "Microsoft Enhanced RSA and AES Cryptographic Provider";
const char* const VENDOR_RSA = "Tessaro RSA Token CSP v1.0";
const char* const VENDOR_SM2 = "Tessaro SM2 Token CSP v1.0";

using tessaro_test::Wide;

// One decoded host response.
struct Response {
    std::string raw;
    std::string function;
    long long errorcode = 0x7FFFFFFF;
    bool hasText = false;
    std::string text;
    bool hasFlag = false;
    bool flag = false;
};

inline Response Decode(const std::string& json) {
    Response r;
    r.raw = json;
    cJSON* root = cJSON_Parse(json.c_str());
    if (!root) return r;
    if (cJSON* f = cJSON_GetObjectItem(root, "function"); cJSON_IsString(f)) r.function = f->valuestring;
    if (cJSON* e = cJSON_GetObjectItem(root, "errorcode"); cJSON_IsNumber(e))
        r.errorcode = static_cast<long long>(e->valuedouble);
    if (cJSON* t = cJSON_GetObjectItem(root, "result")) {
        if (cJSON_IsString(t)) {
            r.hasText = true;
            r.text = t->valuestring;
        } else if (cJSON_IsBool(t)) {
            r.hasFlag = true;
            r.flag = cJSON_IsTrue(t);
        }
    }
    cJSON_Delete(root);
    return r;
}

// A request object text for the host.
std::string Call(const std::string& function, const std::vector<std::string>& jsonParams);
std::string Str(const std::string& s);  // a JSON string literal
inline std::string Num(long long n) { return std::to_string(n); }

// Runs one host process with these requests; one response per request, or a
// single response whose raw text says how the host failed.
std::vector<Response> Converse(const std::vector<std::string>& requests);

// The result code as the agent gives it (the JSON carries a signed number).
inline long long Code(uint32_t hr) { return static_cast<int32_t>(hr); }

// A certification authority in a temporary folder.
class TestCA {
public:
    TestCA();
    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    // The Base64 DER certificate for the request, or "" (see error()).
    std::string Issue(const std::string& base64Request);
    // The encryption certificate and its key envelope for a double
    // request's temporary exchange key, or two empty texts (see error()).
    std::pair<std::string, std::string> Envelope(const std::string& base64Request);

private:
    tessaro_test::TempDir m_dir{"testca"};
    bool m_ok = false;
    std::string m_error;
};

std::vector<uint8_t> Base64Decode(const std::string& text);

// Everything a failed call must leave alone: per provider family, every
// container with the public blobs and certificates of its keys; and every
// certificate of (current user, "MY") with its key-provider property.
std::string Snapshot();

// Copies of (current user, "MY") certificates whose encoding is exactly der.
int CountInMyStore(const std::vector<uint8_t>& der);

// The key-provider record of the "MY" copy of der.
struct KeyProvInfo {
    bool found = false;
    std::u16string container, provider;
    DWORD provType = 0, flags = 0, params = 0, keySpec = 0;
};
KeyProvInfo KeyProvInfoInMyStore(const std::vector<uint8_t>& der);

// The certificate the provider keeps with the container's key of that spec
// (KP_CERTIFICATE); empty when none. For SM2 providers the container is
// opened the way the agent opens it.
std::vector<uint8_t> CertificateOnKey(const std::string& provider, const std::string& container, DWORD keySpec,
                                      bool sm2);

// The whole enrollment of one certificate: request in one host process,
// issue by the CA, install in a second host process.
struct Enrollment {
    Response request, container, import, desc;
    std::string certificate;  // Base64
    std::vector<uint8_t> der;
};
Enrollment Enroll(TestCA& ca, const std::string& provider, int keyLength, const std::string& algorithm,
                  int certType, bool md5, const std::string& subject = "CN=Enroll Test,O=Tessaro,C=CN");

// The host's answer to an install of this certificate text into container
// (with the provider and algorithm set first), and the description after it.
std::pair<Response, Response> Install(const std::string& provider, int keyLength, const std::string& algorithm,
                                      int certType, const std::string& certificate, const std::string& container);

// A double-certificate enrollment: request, signing certificate installed,
// encryption certificate and key imported, each in a host process of its own.
struct Double {
    std::string container;
    std::vector<uint8_t> sign, encrypt;
};
::testing::AssertionResult EnrollDouble(TestCA& ca, const std::string& provider, int bits, const std::string& alg,
                                        const std::string& subject, Double& out);

// The sorted container names of an RSA-family provider.
std::vector<std::string> ContainerNames(const std::string& provider);

}  // namespace enroll_test
