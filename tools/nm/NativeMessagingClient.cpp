// tessaro-nm: talks to the native-messaging host the way a browser does.
// Starts the host, sends each request as a frame (4-byte little-endian length
// and the UTF-8 text), reads each framed response and prints both.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

enum ExitCode { EXIT_OK = 0, EXIT_USAGE = 1, EXIT_BAD_REQUEST = 2, EXIT_HOST_FAILED = 3 };

const char* USAGE =
    "usage: tessaro-nm [--raw] [--quiet] [--timeout SECONDS] [--host CMD [ARG...] --] [REQUEST...]\n"
    "  Sends each REQUEST (JSON text), or each non-empty line of standard input\n"
    "  when no REQUEST is given, to the host as one native-messaging frame and\n"
    "  prints \"> request\" and \"< response\" lines.\n"
    "  --host CMD ARG... --  the host to start (default: TessaroHost.QIRTAL.x86\n"
    "                       in this program's folder)\n"
    "  --raw                send the bytes unchanged (no JSON check or re-printing)\n"
    "  --quiet              print only the responses\n"
    "  --timeout SECONDS    wait at most this long for each response (default 60)\n"
    "Exit status: 0 every request answered with a JSON object; 1 usage;\n"
    "2 a request is not JSON; 3 the host failed to start, died, answered\n"
    "nothing or something that is not a JSON object, or exited non-zero.\n";

struct Options {
    std::vector<std::string> host;
    std::vector<std::string> requests;
    bool raw = false;
    bool quiet = false;
    int timeoutSeconds = 60;
};

std::string DefaultHost() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "TessaroHost.QIRTAL.x86";
    std::string self(buf, static_cast<size_t>(n));
    size_t slash = self.rfind('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/TessaroHost.QIRTAL.x86";
}

bool ParseOptions(int argc, char** argv, Options& opt) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--raw") {
            opt.raw = true;
        } else if (a == "--quiet") {
            opt.quiet = true;
        } else if (a == "--timeout" && i + 1 < argc) {
            opt.timeoutSeconds = atoi(argv[++i]);
            if (opt.timeoutSeconds <= 0) return false;
        } else if (a == "--host") {
            for (++i; i < argc && std::string(argv[i]) != "--"; ++i) opt.host.push_back(argv[i]);
            if (opt.host.empty()) return false;
        } else if (a == "-h" || a == "--help") {
            return false;
        } else if (a == "--") {
            ++i;
            break;
        } else {
            break;
        }
    }
    for (; i < argc; ++i) opt.requests.push_back(argv[i]);
    if (opt.host.empty()) opt.host.push_back(DefaultHost());
    return true;
}

class HostProcess {
public:
    bool Start(const std::vector<std::string>& argv) {
        int in[2], out[2];
        if (pipe(in) != 0) return false;
        if (pipe(out) != 0) {
            close(in[0]);
            close(in[1]);
            return false;
        }
        m_pid = fork();
        if (m_pid < 0) return false;
        if (m_pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            fprintf(stderr, "tessaro-nm: cannot start %s: %s\n", args[0], strerror(errno));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        m_toHost = in[1];
        m_fromHost = out[0];
        return true;
    }

    bool Send(const std::string& payload) {
        std::string frame;
        uint32_t n = static_cast<uint32_t>(payload.size());
        frame.push_back(static_cast<char>(n & 0xFF));
        frame.push_back(static_cast<char>((n >> 8) & 0xFF));
        frame.push_back(static_cast<char>((n >> 16) & 0xFF));
        frame.push_back(static_cast<char>((n >> 24) & 0xFF));
        frame += payload;
        size_t done = 0;
        while (done < frame.size()) {
            ssize_t k = write(m_toHost, frame.data() + done, frame.size() - done);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) return false;
            done += static_cast<size_t>(k);
        }
        return true;
    }

    // Reads one frame; false with a reason when none arrives.
    bool Receive(std::string& payload, int timeoutSeconds, std::string& why) {
        unsigned char prefix[4];
        if (!ReadExactly(prefix, 4, timeoutSeconds, why)) return false;
        uint32_t n = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (static_cast<uint32_t>(prefix[3]) << 24);
        if (n == 0xFFFFFFFFu) {
            why = "the host sent the length FF FF FF FF (its answer was too long)";
            return false;
        }
        payload.assign(n, '\0');
        return ReadExactly(reinterpret_cast<unsigned char*>(&payload[0]), n, timeoutSeconds, why);
    }

    // Closes the host's input and collects its exit status.
    int Finish() {
        if (m_toHost >= 0) close(m_toHost);
        m_toHost = -1;
        int status = 0;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (m_fromHost >= 0) close(m_fromHost);
        m_fromHost = -1;
        return status;
    }

    void Kill() {
        if (m_pid > 0) kill(m_pid, SIGKILL);
    }

private:
    bool ReadExactly(unsigned char* p, size_t n, int timeoutSeconds, std::string& why) {
        size_t got = 0;
        while (got < n) {
            pollfd pfd{m_fromHost, POLLIN, 0};
            int r = poll(&pfd, 1, timeoutSeconds * 1000);
            if (r < 0 && errno == EINTR) continue;
            if (r == 0) {
                why = "no response within the timeout";
                return false;
            }
            ssize_t k = read(m_fromHost, p + got, n - got);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) {
                why = got == 0 && n == 4 ? "the host closed its output without answering"
                                         : "the host's output ended inside a frame";
                return false;
            }
            got += static_cast<size_t>(k);
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_toHost = -1;
    int m_fromHost = -1;
};

bool IsJSONObject(const std::string& text) {
    cJSON* p = cJSON_ParseWithLength(text.data(), text.size());
    bool ok = p != nullptr && cJSON_IsObject(p);
    cJSON_Delete(p);
    return ok;
}

std::string DescribeStatus(int status) {
    if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
    return "unknown status";
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseOptions(argc, argv, opt)) {
        fputs(USAGE, stderr);
        return EXIT_USAGE;
    }
    signal(SIGPIPE, SIG_IGN);
    HostProcess host;
    if (!host.Start(opt.host)) {
        fprintf(stderr, "tessaro-nm: cannot start the host: %s\n", strerror(errno));
        return EXIT_HOST_FAILED;
    }

    int result = EXIT_OK;
    bool fromStdin = opt.requests.empty();
    size_t next = 0;
    std::string line;
    for (;;) {
        std::string request;
        if (fromStdin) {
            if (!std::getline(std::cin, line)) break;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.find_first_not_of(" \t") == std::string::npos) continue;
            request = line;
        } else {
            if (next == opt.requests.size()) break;
            request = opt.requests[next++];
        }
        std::string payload = request;
        if (!opt.raw) {
            cJSON* p = cJSON_Parse(request.c_str());
            char* printed = p ? cJSON_PrintUnformatted(p) : nullptr;
            cJSON_Delete(p);
            if (printed == nullptr) {
                fprintf(stderr, "tessaro-nm: not a JSON text (use --raw to send it anyway): %s\n", request.c_str());
                result = EXIT_BAD_REQUEST;
                break;
            }
            payload = printed;
            cJSON_free(printed);
        }
        if (!opt.quiet) printf("> %s\n", payload.c_str());
        fflush(stdout);
        std::string response, why;
        if (!host.Send(payload)) {
            fprintf(stderr, "tessaro-nm: the host does not accept input any more\n");
            result = EXIT_HOST_FAILED;
            break;
        }
        if (!host.Receive(response, opt.timeoutSeconds, why)) {
            fprintf(stderr, "tessaro-nm: %s\n", why.c_str());
            result = EXIT_HOST_FAILED;
            if (why.find("timeout") != std::string::npos) host.Kill();
            break;
        }
        printf("< %s\n", response.c_str());
        fflush(stdout);
        if (!IsJSONObject(response)) {
            fprintf(stderr, "tessaro-nm: the response is not a JSON object\n");
            result = EXIT_HOST_FAILED;
            break;
        }
    }
    int status = host.Finish();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "tessaro-nm: the host ended with %s\n", DescribeStatus(status).c_str());
        if (result == EXIT_OK) result = EXIT_HOST_FAILED;
    }
    return result;
}
