#include "profile_text.h"

#include <functional>

#include <cstring>

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

ProfileText::Line ProfileText::ClassifyLine(std::string_view body, unsigned char eol) {
    Line line;
    line.body = body;
    line.eol = eol;
    const std::string_view t = Trim(body);
    const auto at = [&](std::string_view part) { return static_cast<unsigned>(part.data() - body.data()); };
    if (!t.empty() && t.front() == '[') {
        const size_t close = t.find(']');
        if (close != std::string_view::npos) {
            const std::string_view name = Trim(t.substr(1, close - 1));
            line.kind = kSection;
            line.name_at = at(name);
            line.name_size = static_cast<unsigned>(name.size());
            return line;
        }
    }
    const size_t eq = t.find('=');
    if (eq != std::string_view::npos) {
        const std::string_view name = Trim(t.substr(0, eq));
        // The value from the body, so an empty one sits after every blank of the line.
        const std::string_view value = Trim(body.substr(at(t) + eq + 1));
        line.kind = kEntry;
        line.name_at = at(name);
        line.name_size = static_cast<unsigned>(name.size());
        line.value_at = at(value);
        line.value_size = static_cast<unsigned>(value.size());
    }
    return line;
}

void ProfileText::Parse(std::string text) {
    source_ = std::move(text);
    added_.clear();
    lines_.clear();
    line_end_ = 0;
    std::string_view rest(source_);
    bom_ = std::string_view();
    if (rest.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        bom_ = rest.substr(0, kUtf8Bom.size());
        rest.remove_prefix(kUtf8Bom.size());
    }
    size_t count = 1;
    for (const char* p = rest.data(); (p = static_cast<const char*>(std::memchr(p, '\n', rest.data() + rest.size() - p)));
         ++p) {
        ++count;
    }
    lines_.reserve(count);
    while (!rest.empty()) {
        const size_t lf = rest.find('\n');
        std::string_view body;
        unsigned char eol = 0;
        if (lf == std::string_view::npos) {
            body = rest;
            rest = std::string_view();
        } else {
            const bool cr = lf > 0 && rest[lf - 1] == '\r';
            body = rest.substr(0, cr ? lf - 1 : lf);
            eol = cr ? 2 : 1;
            rest.remove_prefix(lf + 1);
            if (line_end_ == 0) line_end_ = eol;
        }
        lines_.push_back(ClassifyLine(body, eol));
    }
    IndexSections();
}

void ProfileText::IndexSections() {
    sections_.clear();
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == kSection) {
            sections_.push_back({lines_[i].name(), i, i});
        } else if (lines_[i].kind == kEntry && !sections_.empty()) {
            sections_.back().last_entry = i;
        }
    }
}

void ProfileText::InsertLine(size_t at, const Line& line) {
    // Only the sections from the insertion point on move; no new pass over the text.
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), line);
    for (Section& s : sections_) {
        if (s.header >= at) ++s.header;
        if (s.last_entry >= at) ++s.last_entry;
    }
    if (line.kind == kSection) {
        size_t k = 0;
        while (k < sections_.size() && sections_[k].header < at) ++k;
        sections_.insert(sections_.begin() + static_cast<std::ptrdiff_t>(k), Section{lines_[at].name(), at, at});
    } else if (line.kind == kEntry) {
        for (size_t k = sections_.size(); k-- > 0;) {
            if (sections_[k].header < at) {
                if (sections_[k].last_entry < at) sections_[k].last_entry = at;
                break;
            }
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
        if (line.kind != kEntry || !ProfileNamesEqual(line.name(), wanted)) continue;
        std::string_view v = line.value();
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

unsigned char ProfileText::LineEnd() const {
    if (line_end_ != 0) return line_end_;
    return PlatformLineEnd()[0] == '\r' ? 2 : 1;
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
            if (line.kind != kEntry || !ProfileNamesEqual(line.name(), wanted)) continue;
            // The entry becomes "KEY=value", the key as the file spells it.
            line = ClassifyLine(Store(EntryLine(line.name(), clean)), line.eol);
            return;
        }
        // A new entry after the section's last one; the line before it gets a line end.
        const size_t at = s->last_entry;
        if (lines_[at].eol == 0) lines_[at].eol = LineEnd();
        InsertLine(at + 1, ClassifyLine(Store(EntryLine(wanted, clean)), LineEnd()));
        return;
    }
    if (!lines_.empty() && lines_.back().eol == 0) lines_.back().eol = LineEnd();
    std::string header_text("[");
    header_text.append(Trim(section));
    header_text.push_back(']');
    InsertLine(lines_.size(), ClassifyLine(Store(std::move(header_text)), LineEnd()));
    InsertLine(lines_.size(), ClassifyLine(Store(EntryLine(wanted, clean)), LineEnd()));
}

std::string ProfileText::Text() const {
    static constexpr std::string_view kEnds[] = {"", "\n", "\r\n"};
    size_t size = bom_.size();
    for (const Line& line : lines_) size += line.body.size() + kEnds[line.eol].size();
    std::string out;
    out.reserve(size);
    out += bom_;
    for (const Line& line : lines_) {
        out += line.body;
        out += kEnds[line.eol];
    }
    return out;
}

bool ProfileText::WriteTo(const std::function<bool(std::string_view)>& sink) const {
    static constexpr std::string_view kEnds[] = {"", "\n", "\r\n"};
    // Lines are gathered into blocks of about 1 MB; consecutive lines of the
    // source text go out as one piece without being copied.
    std::string block;
    const char* run = nullptr;
    size_t run_size = 0;
    const auto flush_run = [&] {
        bool ok = true;
        if (!block.empty()) ok = sink(block);
        block.clear();
        if (ok && run_size > 0) ok = sink(std::string_view(run, run_size));
        run = nullptr;
        run_size = 0;
        return ok;
    };
    if (!bom_.empty() && !sink(bom_)) return false;
    const char* source_end = source_.data() + source_.size();
    for (const Line& line : lines_) {
        const std::string_view end = kEnds[line.eol];
        // std::less_equal: pointers into unrelated strings are ordered too.
        const std::less_equal<const char*> le;
        const bool in_source = le(source_.data(), line.body.data()) && le(line.body.data(), source_end);
        const bool own_end = in_source && line.body.data() + line.body.size() + end.size() <= source_end &&
                             std::string_view(line.body.data() + line.body.size(), end.size()) == end;
        if (own_end && block.empty() && (run == nullptr || run + run_size == line.body.data())) {
            if (run == nullptr) run = line.body.data();
            run_size += line.body.size() + end.size();
            continue;
        }
        if (run_size > 0 && !flush_run()) return false;
        block += line.body;
        block += end;
        if (block.size() >= (1u << 20) && !flush_run()) return false;
    }
    return flush_run();
}
