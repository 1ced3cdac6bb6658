// Names for the cases of parametrised tests. Without one, a case is listed by
// its index and a dump of its parameter's bytes; with one, ctest lists
// Suite/Test/<what the case is>, the same in every run.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace corvane::testing_support {

// A test name holds only letters, digits and '_': letters and digits are kept,
// each run of other printable characters becomes one '_', and a control or
// non-ASCII byte is spelt as xHH so that cases differing only there stay apart.
inline std::string case_name(std::string_view text) {
    std::string out;
    bool gap = false;
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        const bool alnum = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
        if (!alnum && byte >= 0x20 && byte < 0x7F) {
            gap = !out.empty();
            continue;
        }
        if (gap) out += '_';
        gap = false;
        if (alnum) {
            out += ch;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "x%02X", byte);
            out += hex;
        }
    }
    return out;
}

}  // namespace corvane::testing_support
