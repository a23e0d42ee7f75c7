// The two CA hierarchies (RSA and SM2) kept in a directory, and issuance.
#pragma once

#include <string>
#include <vector>

#include "tools/testca/Request.h"
#include "tools/testca/Util.h"

namespace testca {

enum class Usage { Sign, Encrypt };

struct Issuer {
    KeyAlgorithm algorithm = KeyAlgorithm::RSA;
    EvpPkeyPtr key;
    X509Ptr cert;
};

// File names inside the CA directory.
std::string CaFile(const std::string& dir, KeyAlgorithm alg, bool root, bool key);
std::string ChainFile(const std::string& dir, KeyAlgorithm alg);

// Makes both hierarchies; refuses to overwrite an existing one.
bool InitAuthority(const std::string& dir, std::string& err);

// The issuing CA of one hierarchy.
bool LoadIssuer(const std::string& dir, KeyAlgorithm alg, Issuer& out, std::string& err);

bool GenerateKey(KeyAlgorithm alg, int bits, EvpPkeyPtr& out, std::string& err);

// An end-entity certificate for the DER Name and the key, valid from five
// minutes ago for the given number of days.
bool IssueCertificate(const Issuer& issuer, const Bytes& subjectName, EVP_PKEY* subjectKey, int days, Usage usage,
                      X509Ptr& out, std::string& err);

// A TLS server certificate by the RSA issuing CA: subject CN = the first
// name, every name in the subject alternative names (IP addresses as iPAddress,
// others as dNSName), extended key usage serverAuth.
bool IssueServerCertificate(const Issuer& issuer, const std::vector<std::string>& names, EVP_PKEY* key, int days,
                            X509Ptr& out, std::string& err);

}  // namespace testca
