#include "fuzz/FuzzSupport.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace tessaro_fuzz {

static std::string g_strPrefix;

static void RemovePrefix() {
    if (!g_strPrefix.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(g_strPrefix, ec);
    }
}

void UsePrivatePrefix() {
    if (!g_strPrefix.empty()) return;
    const char* pszTmp = getenv("TMPDIR");
    std::string strTemplate = std::string(pszTmp && *pszTmp ? pszTmp : "/tmp") + "/tessaro-fuzz-XXXXXX";
    char* psz = mkdtemp(&strTemplate[0]);
    if (psz == nullptr) abort();
    g_strPrefix = psz;
    setenv("TESSARO_PREFIX", g_strPrefix.c_str(), 1);
    atexit(RemovePrefix);
}

std::u16string BytesToUTF16(const uint8_t* pb, size_t cb) {
    std::u16string wstr;
    wstr.reserve(cb / 2 + 1);
    for (size_t i = 0; i + 1 < cb; i += 2) wstr.push_back(static_cast<char16_t>(pb[i] | (pb[i + 1] << 8)));
    if (cb % 2) wstr.push_back(static_cast<char16_t>(pb[cb - 1]));
    return wstr;
}

}  // namespace tessaro_fuzz
