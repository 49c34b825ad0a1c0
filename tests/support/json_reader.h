// Reading the tools' JSON in the end-to-end tests: a strict parser (anything
// that is not one well-formed JSON value is an error, with the offset where it
// went wrong) and the value tree to walk.
#pragma once

#include <cctype>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace simtest {

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<JsonValue> elements;
    std::vector<std::pair<std::string, JsonValue>> members;

    // A missing member or element reads as null.
    const JsonValue& operator[](const std::string& key) const {
        for (auto& [name, value] : members)
            if (name == key)
                return value;
        return Missing();
    }
    const JsonValue& operator[](size_t i) const {
        return i < elements.size() ? elements[i] : Missing();
    }
    bool Has(const std::string& key) const {
        for (auto& member : members)
            if (member.first == key)
                return true;
        return false;
    }
    bool IsNull() const { return kind == Kind::Null; }
    // -1 for anything but a number, so a missing count never passes for zero.
    long long Int() const { return kind == Kind::Number ? static_cast<long long>(number) : -1; }
    bool True() const { return kind == Kind::Bool && boolean; }
    bool False() const { return kind == Kind::Bool && !boolean; }

  private:
    static const JsonValue& Missing() {
        static const JsonValue none;
        return none;
    }
};

class JsonParser {
  public:
    explicit JsonParser(const std::string& text) : text_(text) {}

    bool Parse(JsonValue* out, std::string* error) {
        *out = JsonValue{};
        Space();
        if (!Value(out, 0))
            return Fail(error);
        Space();
        if (at_ != text_.size()) {
            why_ = "text after the value";
            return Fail(error);
        }
        return true;
    }

  private:
    bool Fail(std::string* error) {
        if (error)
            *error = why_ + " at offset " + std::to_string(at_);
        return false;
    }
    void Space() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_])))
            ++at_;
    }
    bool Literal(const char* word) {
        const std::string w = word;
        if (text_.compare(at_, w.size(), w) != 0)
            return false;
        at_ += w.size();
        return true;
    }
    bool Value(JsonValue* v, int depth) {
        if (depth > 64) {
            why_ = "nesting too deep";
            return false;
        }
        if (at_ >= text_.size()) {
            why_ = "end of text where a value belongs";
            return false;
        }
        const char c = text_[at_];
        if (c == '{')
            return Object(v, depth);
        if (c == '[')
            return Array(v, depth);
        if (c == '"') {
            v->kind = JsonValue::Kind::String;
            return String(&v->string);
        }
        for (const bool b : {true, false}) {
            if (Literal(b ? "true" : "false")) {
                v->kind = JsonValue::Kind::Bool;
                v->boolean = b;
                return true;
            }
        }
        if (Literal("null"))
            return true;
        return Number(v);
    }
    bool Number(JsonValue* v) {
        const size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-')
            ++at_;
        if (at_ >= text_.size() || !std::isdigit(static_cast<unsigned char>(text_[at_]))) {
            why_ = "not a value";
            return false;
        }
        if (text_[at_] == '0' && at_ + 1 < text_.size() &&
            std::isdigit(static_cast<unsigned char>(text_[at_ + 1]))) {
            why_ = "a number with a leading zero";
            return false;
        }
        while (at_ < text_.size() && (std::isdigit(static_cast<unsigned char>(text_[at_])) ||
                                      std::string(".eE+-").find(text_[at_]) != std::string::npos))
            ++at_;
        const std::string digits = text_.substr(start, at_ - start);
        char* end = nullptr;
        v->number = std::strtod(digits.c_str(), &end);
        if (*end != 0) {
            why_ = "a malformed number";
            return false;
        }
        v->kind = JsonValue::Kind::Number;
        return true;
    }
    bool String(std::string* s) {
        ++at_;  // the opening quote
        while (at_ < text_.size() && text_[at_] != '"') {
            const unsigned char c = static_cast<unsigned char>(text_[at_++]);
            if (c < 0x20) {
                why_ = "a control character in a string";
                return false;
            }
            if (c != '\\') {
                *s += static_cast<char>(c);
                continue;
            }
            if (at_ >= text_.size())
                break;
            const char e = text_[at_++];
            switch (e) {
                case '"':
                    *s += '"';
                    break;
                case '\\':
                    *s += '\\';
                    break;
                case '/':
                    *s += '/';
                    break;
                case 'b':
                    *s += '\b';
                    break;
                case 'f':
                    *s += '\f';
                    break;
                case 'n':
                    *s += '\n';
                    break;
                case 'r':
                    *s += '\r';
                    break;
                case 't':
                    *s += '\t';
                    break;
                case 'u':
                    if (at_ + 4 > text_.size() ||
                        text_.substr(at_, 4).find_first_not_of("0123456789abcdefABCDEF") !=
                            std::string::npos) {
                        why_ = "a malformed \\u escape";
                        return false;
                    }
                    *s += '?';
                    at_ += 4;
                    break;
                default:
                    why_ = "an unknown escape";
                    return false;
            }
        }
        if (at_ >= text_.size()) {
            why_ = "an unterminated string";
            return false;
        }
        ++at_;
        return true;
    }
    bool Array(JsonValue* v, int depth) {
        v->kind = JsonValue::Kind::Array;
        ++at_;
        Space();
        if (at_ < text_.size() && text_[at_] == ']')
            return ++at_, true;
        for (;;) {
            Space();
            v->elements.emplace_back();
            if (!Value(&v->elements.back(), depth + 1))
                return false;
            Space();
            if (at_ < text_.size() && text_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < text_.size() && text_[at_] == ']')
                return ++at_, true;
            why_ = "neither ',' nor ']' after an element";
            return false;
        }
    }
    bool Object(JsonValue* v, int depth) {
        v->kind = JsonValue::Kind::Object;
        ++at_;
        Space();
        if (at_ < text_.size() && text_[at_] == '}')
            return ++at_, true;
        for (;;) {
            Space();
            if (at_ >= text_.size() || text_[at_] != '"') {
                why_ = "a member without a quoted name";
                return false;
            }
            std::string name;
            if (!String(&name))
                return false;
            Space();
            if (at_ >= text_.size() || text_[at_] != ':') {
                why_ = "no ':' after a member name";
                return false;
            }
            ++at_;
            Space();
            v->members.emplace_back(std::move(name), JsonValue{});
            if (!Value(&v->members.back().second, depth + 1))
                return false;
            Space();
            if (at_ < text_.size() && text_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < text_.size() && text_[at_] == '}')
                return ++at_, true;
            why_ = "neither ',' nor '}' after a member";
            return false;
        }
    }

    const std::string& text_;
    size_t at_ = 0;
    std::string why_;
};

// The whole text as one JSON value; on failure answers false and says why.
inline bool ParseJson(const std::string& text, JsonValue* out, std::string* error = nullptr) {
    return JsonParser(text).Parse(out, error);
}

}  // namespace simtest
