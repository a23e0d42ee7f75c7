// Helpers shared by the agent tests.
#pragma once

#include <cstdlib>
#include <string>

#include "tests/support/TestSupport.h"

namespace agent_test {

// A prefix of its own for one test, so registrations, containers and
// certificates made or removed there are seen by nobody else.
using FreshPrefix = tessaro_test::ScopedPrefix;

}  // namespace agent_test
