// A reader of Windows INF files, as far as the driver package needs one: sections,
// their lines as a key and comma-separated values, %strkey% tokens from [Strings],
// and the platform decorations Windows picks install sections by.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vodrek::package {

// A line the reader cannot take: an unterminated quote or section name, a line
// outside any section, a section given twice.
class InfSyntaxError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct InfLine {
    int number = 0;                   // in the file, counting from 1
    std::string key;                  // empty for a line without '='
    std::vector<std::string> values;  // unquoted and trimmed, tokens left as written
};

struct InfSection {
    std::string name;  // as written
    std::vector<InfLine> lines;
};

class InfFile {
  public:
    explicit InfFile(const std::string& text);

    // Section and key names compare without regard to case, as Windows compares them.
    const InfSection* Section(const std::string& name) const;
    // Every line of `section` whose key is `key`.
    std::vector<const InfLine*> Lines(const std::string& section, const std::string& key) const;
    // The first value of the one line `key` in `section`, expanded; empty when absent.
    std::optional<std::string> Value(const std::string& section, const std::string& key) const;

    // `value` with each %strkey% replaced from [Strings] and %% made one %. A number
    // between percent signs is a directory identifier and stays. An unknown token
    // throws InfSyntaxError.
    std::string Expand(const std::string& value) const;
    // The %strkey% tokens of every line that [Strings] does not define.
    std::vector<std::string> UndefinedTokens() const;

    // The section Windows installs from for `platform` ("NTamd64", "NTx86"): the
    // first of name.<platform>, name.NT and name that exists, or null.
    const InfSection* Decorated(const std::string& name, const std::string& platform) const;

    const std::vector<InfSection>& sections() const { return sections_; }

  private:
    std::vector<InfSection> sections_;
    std::map<std::string, size_t> index_;  // lower-case name -> position
};

std::string Lower(std::string text);
bool EqualNoCase(const std::string& a, const std::string& b);
// Splits "a,b , c" at commas outside quotes, trimming each part.
std::vector<std::string> SplitList(const std::string& text);

}  // namespace vodrek::package
