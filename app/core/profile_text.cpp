#include "profile_text.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Blanks the profile calls trim: white space and the end-of-file mark Ctrl-Z.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string_view Trim(std::string_view s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::string EntryLine(std::string_view key, std::string_view value) {
    std::string line;
    line.reserve(key.size() + 1 + value.size());
    line.append(key);
    line.push_back('=');
    line.append(value);
    return line;
}

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

bool ProfileNamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

const char* ProfileText::PlatformLineEnd() {
#ifdef _WIN32
    return "\r\n";
#else
    return "\n";
#endif
}

ProfileText::Line ProfileText::ClassifyLine(std::string_view body, std::string_view eol) {
    Line line;
    line.body = body;
    line.eol = eol;
    const std::string_view t = Trim(body);
    if (!t.empty() && t.front() == '[') {
        const size_t close = t.find(']');
        if (close != std::string_view::npos) {
            line.kind = kSection;
            line.name = Trim(t.substr(1, close - 1));
            return line;
        }
    }
    const size_t eq = t.find('=');
    if (eq != std::string_view::npos) {
        line.kind = kEntry;
        line.name = Trim(t.substr(0, eq));
        line.value = Trim(t.substr(eq + 1));
    }
    return line;
}

void ProfileText::Parse(std::string text) {
    source_ = std::move(text);
    added_.clear();
    lines_.clear();
    line_end_ = std::string_view();
    std::string_view rest(source_);
    bom_ = std::string_view();
    if (rest.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        bom_ = rest.substr(0, kUtf8Bom.size());
        rest.remove_prefix(kUtf8Bom.size());
    }
    while (!rest.empty()) {
        const size_t lf = rest.find('\n');
        std::string_view body;
        std::string_view eol;
        if (lf == std::string_view::npos) {
            body = rest;
            rest = std::string_view();
        } else {
            const size_t end = (lf > 0 && rest[lf - 1] == '\r') ? lf - 1 : lf;
            body = rest.substr(0, end);
            eol = rest.substr(end, lf + 1 - end);
            rest.remove_prefix(lf + 1);
            if (line_end_.empty()) line_end_ = eol;
        }
        lines_.push_back(ClassifyLine(body, eol));
    }
    IndexSections();
}

void ProfileText::IndexSections() {
    sections_.clear();
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == kSection) {
            sections_.push_back({lines_[i].name, i, i});
        } else if (lines_[i].kind == kEntry && !sections_.empty()) {
            sections_.back().last_entry = i;
        }
    }
}

const ProfileText::Section* ProfileText::FirstSection(std::string_view name) const {
    const std::string_view wanted = Trim(name);
    for (const Section& s : sections_) {
        if (ProfileNamesEqual(s.name, wanted)) return &s;
    }
    return nullptr;
}

bool ProfileText::Find(std::string_view section, std::string_view key, std::string& value) const {
    const Section* s = FirstSection(section);
    if (s == nullptr) return false;
    const std::string_view wanted = Trim(key);
    for (size_t i = s->header + 1; i <= s->last_entry && i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind != kEntry || !ProfileNamesEqual(line.name, wanted)) continue;
        std::string_view v = line.value;
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
            v = v.substr(1, v.size() - 2);
        }
        value.assign(v);
        return true;
    }
    return false;
}

std::string_view ProfileText::Store(std::string s) {
    added_.push_back(std::move(s));
    return added_.back();
}

std::string_view ProfileText::LineEnd() const {
    return line_end_.empty() ? std::string_view(PlatformLineEnd()) : line_end_;
}

void ProfileText::Set(std::string_view section, std::string_view key, std::string_view value) {
    std::string clean(value);
    for (char& c : clean) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    const std::string_view wanted = Trim(key);
    const Section* s = FirstSection(section);
    if (s != nullptr) {
        for (size_t i = s->header + 1; i <= s->last_entry && i < lines_.size(); ++i) {
            Line& line = lines_[i];
            if (line.kind != kEntry || !ProfileNamesEqual(line.name, wanted)) continue;
            // Everything up to the old value stays (name, blanks, "="), then the new value.
            const size_t eq = line.body.find('=');
            size_t start = eq + 1;
            while (start < line.body.size() && IsBlank(line.body[start])) ++start;
            std::string body(line.body.substr(0, start));
            body += clean;
            line = ClassifyLine(Store(std::move(body)), line.eol);
            return;
        }
        // A new entry after the section's last one; the line before it gets a line end.
        const size_t at = s->last_entry;
        if (lines_[at].eol.empty()) lines_[at].eol = LineEnd();
        const std::string_view body = Store(EntryLine(wanted, clean));
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at + 1), ClassifyLine(body, LineEnd()));
        IndexSections();
        return;
    }
    if (!lines_.empty() && lines_.back().eol.empty()) lines_.back().eol = LineEnd();
    std::string header_text("[");
    header_text.append(Trim(section));
    header_text.push_back(']');
    const std::string_view header = Store(std::move(header_text));
    lines_.push_back(ClassifyLine(header, LineEnd()));
    const std::string_view body = Store(EntryLine(wanted, clean));
    lines_.push_back(ClassifyLine(body, LineEnd()));
    IndexSections();
}

std::string ProfileText::Text() const {
    size_t size = bom_.size();
    for (const Line& line : lines_) size += line.body.size() + line.eol.size();
    std::string out;
    out.reserve(size);
    out += bom_;
    for (const Line& line : lines_) {
        out += line.body;
        out += line.eol;
    }
    return out;
}
