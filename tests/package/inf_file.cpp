#include "tests/package/inf_file.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace vodrek::package {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

namespace {

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The text before a comment: ';' starts one outside double quotes.
std::string WithoutComment(const std::string& line, int number) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ';' && !quoted) {
            return line.substr(0, i);
        }
    }
    if (quoted) {
        throw InfSyntaxError("line " + std::to_string(number) + ": unterminated quote");
    }
    return line;
}

// A value as written, less its quotes; "" inside quotes is one quote character.
std::string Unquote(const std::string& text) {
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '"') {
            out += text[i];
        } else if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
            out += '"';
            ++i;
        } else {
            quoted = !quoted;
        }
    }
    return out;
}

// Position of the first `c` outside double quotes, or npos.
size_t FindUnquoted(const std::string& text, char c) {
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            quoted = !quoted;
        } else if (text[i] == c && !quoted) {
            return i;
        }
    }
    return std::string::npos;
}

bool AllDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; });
}

// The %strkey% tokens of `value`, directory identifiers (%12%) and %% left out.
std::vector<std::string> Tokens(const std::string& value) {
    std::vector<std::string> tokens;
    size_t at = 0;
    while ((at = value.find('%', at)) != std::string::npos) {
        const size_t end = value.find('%', at + 1);
        if (end == std::string::npos) {
            break;
        }
        const std::string token = value.substr(at + 1, end - at - 1);
        if (!token.empty() && !AllDigits(token)) {
            tokens.push_back(token);
        }
        at = end + 1;
    }
    return tokens;
}

}  // namespace

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> parts;
    std::string rest = text;
    for (;;) {
        const size_t comma = FindUnquoted(rest, ',');
        parts.push_back(Unquote(Trim(rest.substr(0, comma))));
        if (comma == std::string::npos) {
            return parts;
        }
        rest = rest.substr(comma + 1);
    }
}

InfFile::InfFile(const std::string& text) {
    std::istringstream in(text);
    std::string physical;
    std::string logical;
    int number = 0;
    int first = 0;
    InfSection* current = nullptr;
    while (std::getline(in, physical)) {
        ++number;
        std::string line = Trim(WithoutComment(physical, number));
        if (logical.empty()) {
            first = number;
        }
        // A backslash at the end continues the line on the next one.
        if (!line.empty() && line.back() == '\\') {
            logical += line.substr(0, line.size() - 1);
            continue;
        }
        logical += line;
        line = Trim(logical);
        logical.clear();
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[') {
            const size_t close = line.find(']');
            if (close == std::string::npos) {
                throw InfSyntaxError("line " + std::to_string(first) +
                                     ": section name without ']'");
            }
            const std::string name = Trim(line.substr(1, close - 1));
            // A section given twice is one section with the lines of both, as Windows reads it.
            const auto [it, added] = index_.emplace(Lower(name), sections_.size());
            if (added) {
                sections_.push_back(InfSection{name, {}});
            }
            current = &sections_[it->second];
            continue;
        }
        if (current == nullptr) {
            throw InfSyntaxError("line " + std::to_string(first) + ": outside any section");
        }
        InfLine entry;
        entry.number = first;
        const size_t equals = FindUnquoted(line, '=');
        if (equals == std::string::npos) {
            entry.values = SplitList(line);
        } else {
            entry.key = Unquote(Trim(line.substr(0, equals)));
            entry.values = SplitList(line.substr(equals + 1));
        }
        current->lines.push_back(std::move(entry));
    }
}

const InfSection* InfFile::Section(const std::string& name) const {
    const auto it = index_.find(Lower(name));
    return it == index_.end() ? nullptr : &sections_[it->second];
}

std::vector<const InfLine*> InfFile::Lines(const std::string& section,
                                           const std::string& key) const {
    std::vector<const InfLine*> lines;
    if (const InfSection* found = Section(section)) {
        for (const InfLine& line : found->lines) {
            if (EqualNoCase(line.key, key)) {
                lines.push_back(&line);
            }
        }
    }
    return lines;
}

std::optional<std::string> InfFile::Value(const std::string& section,
                                          const std::string& key) const {
    const std::vector<const InfLine*> lines = Lines(section, key);
    if (lines.size() != 1 || lines.front()->values.empty()) {
        return std::nullopt;
    }
    return Expand(lines.front()->values.front());
}

std::string InfFile::Expand(const std::string& value) const {
    std::string out;
    size_t at = 0;
    for (;;) {
        const size_t open = value.find('%', at);
        const size_t close = open == std::string::npos ? open : value.find('%', open + 1);
        if (close == std::string::npos) {
            return out + value.substr(at);
        }
        out += value.substr(at, open - at);
        const std::string token = value.substr(open + 1, close - open - 1);
        if (token.empty()) {
            out += '%';
        } else if (AllDigits(token)) {
            out += '%' + token + '%';
        } else {
            const std::vector<const InfLine*> lines = Lines("Strings", token);
            if (lines.empty() || lines.front()->values.empty()) {
                throw InfSyntaxError("%" + token + "% is not defined in [Strings]");
            }
            out += lines.front()->values.front();
        }
        at = close + 1;
    }
}

std::vector<std::string> InfFile::UndefinedTokens() const {
    std::vector<std::string> undefined;
    for (const InfSection& section : sections_) {
        if (EqualNoCase(section.name, "Strings")) {
            continue;
        }
        for (const InfLine& line : section.lines) {
            std::vector<std::string> fields = line.values;
            fields.push_back(line.key);
            for (const std::string& field : fields) {
                for (const std::string& token : Tokens(field)) {
                    if (Lines("Strings", token).empty()) {
                        undefined.push_back("%" + token + "% (line " + std::to_string(line.number) +
                                            ")");
                    }
                }
            }
        }
    }
    return undefined;
}

const InfSection* InfFile::Decorated(const std::string& name, const std::string& platform) const {
    for (const std::string& candidate : {name + "." + platform, name + ".NT", name}) {
        if (const InfSection* section = Section(candidate)) {
            return section;
        }
    }
    return nullptr;
}

}  // namespace vodrek::package
