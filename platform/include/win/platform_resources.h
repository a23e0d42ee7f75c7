// Compiled-in resources: the table each deliverable carries, generated at
// build time from resources/ (see resources/CMakeLists.txt for how to add a
// resource). GetModuleHandleW(nullptr) answers a handle to this table.
#pragma once

#include "win/wintypes.h"

namespace tessaro_platform {

// A binary resource by (type, name). A type or name given by number has a
// null text and its number in the id field.
struct ResourceEntry {
    const char16_t* typeName;
    WORD typeId;
    const char16_t* name;
    WORD nameId;
    WORD language;  // 0 = neutral
    const BYTE* data;
    DWORD size;
};

// One string of a string table.
struct StringEntry {
    WORD id;
    WORD language;  // 1033 English, 2052 Chinese
    const char16_t* text;
    DWORD length;   // UTF-16 units, without the terminator
};

struct ResourceModule {
    DWORD magic;  // kResourceModuleMagic
    const ResourceEntry* entries;
    size_t entryCount;
    const StringEntry* strings;
    size_t stringCount;
};

constexpr DWORD kResourceModuleMagic = 0x52534331;  // "RSC1"

// Defined by the generated table linked into each deliverable and test
// program (target tessaro_resources).
extern const ResourceModule g_resourceModule;

}  // namespace tessaro_platform
