// An INI text read and edited as the Windows profile calls do
// (GetPrivateProfileStringA, WritePrivateProfileStringA):
// - section and key names compare without case (ASCII) and without the blanks
//   around them; only the first section of a name is searched, and its first
//   entry of a key wins;
// - a value loses the blanks around it and one pair of matching surrounding
//   quotes (" or ');
// - a write rewrites its entry as "KEY=value" (the key as the file spells it,
//   no blanks around "=") and keeps every other line byte for byte (comments, blank lines, lines without "=", unknown entries,
//   duplicates, a UTF-8 byte-order mark, CR LF line ends); a missing key is
//   added after the last entry of the first section of its name, a missing
//   section at the end of the text.
// Lines end at LF; a CR before it belongs to the line end. The text is parsed
// once, so reading or writing all entries of a large file costs one pass.
#pragma once
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class ProfileText {
public:
    ProfileText() = default;
    ProfileText(const ProfileText&) = delete;
    ProfileText& operator=(const ProfileText&) = delete;

    // Replaces the content by the text of a file (bytes as stored).
    void Parse(std::string text);

    // The value of key in the first section named section; false when the
    // section or the key is missing. The value is trimmed and unquoted.
    bool Find(std::string_view section, std::string_view key, std::string& value) const;

    // Sets key in the first section named section to value, as described above.
    // Line breaks inside value become blanks, so a value never adds a line.
    void Set(std::string_view section, std::string_view key, std::string_view value);

    // The whole text as it would be stored.
    std::string Text() const;

    // Passes the stored text to sink in pieces, in order; stops at the first
    // piece sink refuses and returns false then.
    bool WriteTo(const std::function<bool(std::string_view)>& sink) const;

    // Line end of lines this object adds to a text that has none: "\r\n" on
    // Windows, "\n" elsewhere.
    static const char* PlatformLineEnd();

private:
    enum Kind : unsigned char { kOther, kSection, kEntry };
    // One line, kept small: a file of a million lines is a million of these.
    struct Line {
        std::string_view body;      // without the line end
        unsigned name_at = 0;       // section or key name (trimmed) within body
        unsigned name_size = 0;
        unsigned value_at = 0;      // entry value (trimmed, quotes kept) within body
        unsigned value_size = 0;
        unsigned char eol = 0;      // line end: 0 none, 1 "\n", 2 "\r\n"
        Kind kind = kOther;
        std::string_view name() const { return body.substr(name_at, name_size); }
        std::string_view value() const { return body.substr(value_at, value_size); }
    };
    struct Section {
        std::string_view name;
        size_t header;      // index of the header line
        size_t last_entry;  // index of the last entry line, or the header
    };

    static Line ClassifyLine(std::string_view body, unsigned char eol);
    void IndexSections();
    void InsertLine(size_t at, const Line& line);
    const Section* FirstSection(std::string_view name) const;
    std::string_view Store(std::string s);
    unsigned char LineEnd() const;

    std::string source_;
    std::string_view bom_;
    std::vector<Line> lines_;
    std::vector<Section> sections_;
    std::deque<std::string> added_;   // storage of lines made by Set
    unsigned char line_end_ = 0;      // of the source, 0 when it has none
};

// Case-insensitive (ASCII) equality of two names.
bool ProfileNamesEqual(std::string_view a, std::string_view b);
