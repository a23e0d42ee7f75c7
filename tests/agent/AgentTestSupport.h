// Helpers shared by the agent tests.
#pragma once

#include <cstdlib>
#include <string>

#include "TestSupport.h"

namespace agent_test {

// Points the process at a prefix of its own for one test, so registrations,
// containers and certificates made or removed there are seen by nobody else.
class FreshPrefix {
public:
    FreshPrefix() : m_dir("agent") {
        const char* old = getenv("TESSARO_PREFIX");
        m_old = old ? old : "";
        setenv("TESSARO_PREFIX", m_dir.path().c_str(), 1);
    }
    ~FreshPrefix() { setenv("TESSARO_PREFIX", m_old.c_str(), 1); }
    FreshPrefix(const FreshPrefix&) = delete;
    FreshPrefix& operator=(const FreshPrefix&) = delete;

private:
    tessaro_test::TempDir m_dir;
    std::string m_old;
};

}  // namespace agent_test
