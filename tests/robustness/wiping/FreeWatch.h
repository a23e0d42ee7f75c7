// A watch on every heap block the process gives back: while armed, each
// block passed to free() (operator delete and OpenSSL's and SQLite's frees
// end there too) is searched for the registered byte strings before it goes,
// and every block still holding one is recorded with the call stack that
// freed it. Blocks are handed out zeroed, so a find is never a leftover of an
// earlier owner. Not available under AddressSanitizer, which owns the
// allocator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wiping_test {

// Where the code that released a block lives.
enum class FreeSite {
    Ours,     // this program: the agent, the platform, the providers
    OpenSsl,  // inside libcrypto, below an OpenSSL call
    Hive,     // the registry and SQLite below it, where the providers persist keys
    Other,
};

struct FreedBlock {
    std::string label;  // which needle
    size_t size = 0;    // usable size of the block
    FreeSite site = FreeSite::Other;
    std::string stack;  // readable frames, innermost first
};

bool WatchAvailable();
// Forgets needles and records.
void WatchReset();
// A byte string that must not be in any released block (at most 64 bytes;
// longer ones are cut).
void WatchNeedle(const std::string& label, const uint8_t* p, size_t n);
void WatchArm(bool on);
// Records since the last reset; read while disarmed.
std::vector<FreedBlock> WatchRecords();
// How many blocks were examined while armed (proves the watch saw traffic).
size_t WatchExamined();

// Records released by our own code.
std::vector<FreedBlock> OursOnly(const std::vector<FreedBlock>& all);
std::string Describe(const std::vector<FreedBlock>& blocks);

}  // namespace wiping_test
