// Linux entry point: the arguments arrive as UTF-8 and the host's own entry
// point takes UTF-16, as the browser's process launcher hands them over.
#include <new>
#include <string>
#include <vector>

#include "host/LumoraHost.h"

namespace {

// Exit status of a host that could not convert its own arguments.
const int EXIT_NO_MEMORY = 1;

// A browser's launch (the host's path and the caller's origin) fits here, so
// starting needs no heap: a host started when memory is short still gets to
// answer its first request, with a failure if need be.
const int STACK_ARGS = 16;
const int STACK_UNITS = 4096;

// False when the arguments do not fit; wmain has not run then.
bool RunWithStackArguments(int argc, char* argv[], int* pnExitCode) {
    WCHAR units[STACK_UNITS];
    WCHAR* argvW[STACK_ARGS + 1];
    int used = 0;
    for (int i = 0; i < argc; ++i) {
        argvW[i] = units + used;
        int cch = MultiByteToWideChar(CP_UTF8, 0, argv[i], -1, nullptr, 0);
        if (cch <= 0) {
            if (used == STACK_UNITS) return false;
            units[used++] = 0;
            continue;
        }
        if (cch > STACK_UNITS - used) return false;
        MultiByteToWideChar(CP_UTF8, 0, argv[i], -1, units + used, cch);
        used += cch;
    }
    argvW[argc] = nullptr;
    *pnExitCode = wmain(argc, argvW);
    return true;
}

}  // namespace

int main(int argc, char* argv[]) try {
    int nExitCode = 0;
    if (argc >= 0 && argc <= STACK_ARGS && argc < STACK_UNITS && RunWithStackArguments(argc, argv, &nExitCode))
        return nExitCode;
    std::vector<std::u16string> args;
    args.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        std::u16string wstr;
        int cch = MultiByteToWideChar(CP_UTF8, 0, argv[i], -1, nullptr, 0);
        if (cch > 0) {
            std::vector<WCHAR> buf(static_cast<size_t>(cch), 0);
            MultiByteToWideChar(CP_UTF8, 0, argv[i], -1, buf.data(), cch);
            wstr.assign(buf.data());
        }
        args.push_back(std::move(wstr));
    }
    std::vector<WCHAR*> argvW;
    for (auto& a : args) argvW.push_back(a.data());
    argvW.push_back(nullptr);
    return wmain(argc, argvW.data());
} catch (const std::bad_alloc&) {
    // Not even the arguments could be held: the host cannot start, and the
    // browser sees it end before its first answer.
    return EXIT_NO_MEMORY;
}
