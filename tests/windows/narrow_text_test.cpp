// orvgen's conversion of Windows command-line arguments (UTF-16) to the narrow
// code page in which the library takes file names. Prints one line per case;
// exits 0 when all hold.
#include <cstdio>
#include <string>

#include "narrow_args.h"

namespace {

struct Case {
    const wchar_t* text;
    unsigned cp;
    bool held;
    const char* bytes;  // expected narrow form when held
};

const Case kCases[] = {
    {L"plain.awv", 1252, true, "plain.awv"},
    {L"", 1252, true, ""},
    {L"Pr\u00fcfung_\u00e9.awv", 1252, true, "Pr\xfc" "fung_\xe9.awv"},
    {L"\u6ce2\u5f62.awv", 1252, false, nullptr},          // CJK: not in Western European
    {L"\u03a9mega.awv", 1252, false, nullptr},            // Omega: best fit would make it 'O'
    {L"\u03a9mega.awv", 1253, true, "\xd9mega.awv"},      // Greek holds it
    {L"\u6ce2\u5f62.awv", 932, true, "\x94g\x8c`.awv"},   // Shift-JIS holds it
    {L"C:\\Daten\\\u00e9t\u00e9.csv", 1252, true, "C:\\Daten\\\xe9t\xe9.csv"},
    {L"\u00e9\u6ce2.csv", 1252, false, nullptr},          // one foreign character is enough
    {L"\u00e9.awv", 65001, true, "\xc3\xa9.awv"},         // a UTF-8 code page holds everything
};

}  // namespace

int main() {
    int failures = 0;
    int index = 0;
    for (const Case& c : kCases) {
        std::string out;
        const bool held = NarrowText(c.text, c.cp, out);
        const bool ok = held == c.held && (!held || out == c.bytes);
        std::printf("%s: case %d, code page %u: %s\n", ok ? "ok" : "FAILED", index, c.cp,
                    held ? "held" : "refused");
        if (!ok) ++failures;
        ++index;
    }
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
