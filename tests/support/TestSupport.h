// Small helpers shared by the test programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tessaro_test {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "t");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Points the process (and the programs it starts) at a fresh prefix of its
// own for the life of the object, and back afterwards.
class ScopedPrefix {
public:
    explicit ScopedPrefix(const std::string& tag = "prefix");
    ~ScopedPrefix();
    ScopedPrefix(const ScopedPrefix&) = delete;
    ScopedPrefix& operator=(const ScopedPrefix&) = delete;
    const std::string& path() const { return m_dir.path(); }

private:
    TempDir m_dir;
    std::string m_old;
};

// Sets TZ for the life of the object, and back afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    bool m_had = false;
    std::string m_old;
};

// Hex text ("30 0D 31", "300d31", blanks ignored) to bytes and back (upper case, no blanks).
std::vector<uint8_t> FromHex(const std::string& hex);
std::string ToHex(const uint8_t* p, size_t n);
inline std::string ToHex(const std::vector<uint8_t>& v) { return ToHex(v.data(), v.size()); }

// ASCII text as UTF-16, and UTF-16 as text for messages (what is not ASCII
// becomes '?').
std::u16string Wide(const std::string& ascii);
std::string Narrow(const std::u16string& s);

// DER element of the tag around the content (up to 0xFFFF bytes of it).
std::vector<uint8_t> Tlv(uint8_t tag, const std::vector<uint8_t>& content);

// Base64 text to bytes; characters outside the alphabet (line breaks, the
// padding) are skipped.
std::vector<uint8_t> Base64Decode(const std::string& text);
// Bytes to Base64 text in one line, with the padding.
std::string Base64Encode(const std::vector<uint8_t>& bytes);

// The whole file as bytes (empty when it cannot be read).
std::string ReadFile(const std::string& path);

// Runs argv with the given bytes on its standard input; collects standard
// output, standard error and the exit code (128 + signal when killed).
struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                         const std::vector<std::string>& extraEnv = {}, int timeoutSeconds = 120);

// Paths inside the build and source trees.
std::string BuildPath(const std::string& rel);
std::string SourcePath(const std::string& rel);

// The named container of the provider holds a key pair (signature key, else
// exchange key) that signs a hash made with algHash.
::testing::AssertionResult ContainerSigns(const std::string& provider, const std::string& container, uint32_t algHash);

// Switches the trace session in the machine hive: its Start value, and the
// Flags and Level of the product's trace provider.
::testing::AssertionResult SetTraceSession(uint32_t start, uint32_t flags, uint32_t level = 4);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in hex digits: a container name the agent made.
bool IsContainerName(const std::string& s);

// SQLite's integrity check of a database file: "ok" when it is sound, else
// what the check found ("cannot open" when it does not open).
std::string IntegrityCheck(const std::string& path);

}  // namespace tessaro_test
