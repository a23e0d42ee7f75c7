// JSON string text for the tools' machine-readable output: quote, backslash,
// newline, return and tab by their short escapes, every other control byte as
// \u00xx, all else unchanged. Header only: the test CA links nothing of ours.
#pragma once

#include <cstdio>
#include <string>

namespace tools_json {

// The string's content between the quotes.
inline std::string Escape(const std::string& s) {
    std::string out;
    out.reserve(s.size() + 8);
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    return out;
}

// The string as a JSON value, quotes included.
inline std::string Quoted(const std::string& s) { return "\"" + Escape(s) + "\""; }

}  // namespace tools_json
