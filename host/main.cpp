// Linux entry point: the arguments arrive as UTF-8 and the host's own entry
// point takes UTF-16, as the browser's process launcher hands them over.
#include <string>
#include <vector>

#include "LumoraHost.h"

int main(int argc, char* argv[]) {
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
}
