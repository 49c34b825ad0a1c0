// A small JSON writer for the tool's machine-readable output: values are built
// as a tree and printed with their keys in insertion order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace cli {

class Json {
public:
    Json() : kind_(Kind::Null) {}
    Json(bool b) : kind_(Kind::Bool), bool_(b) {}
    Json(int64_t n) : kind_(Kind::Number), number_(n) {}
    Json(int n) : Json(static_cast<int64_t>(n)) {}
    Json(unsigned n) : Json(static_cast<int64_t>(n)) {}
    Json(uint64_t n) : Json(static_cast<int64_t>(n)) {}
    Json(const char* s) : kind_(Kind::String), string_(s) {}
    Json(std::string s) : kind_(Kind::String), string_(std::move(s)) {}
    static Json Object() { Json j; j.kind_ = Kind::Object; return j; }
    static Json Array() { Json j; j.kind_ = Kind::Array; return j; }

    // Object member (replacing one of the same key); answers the member.
    Json& Set(const std::string& key, Json value);
    // Array element.
    Json& Push(Json value);
    std::string Dump() const;

private:
    enum class Kind { Null, Bool, Number, String, Object, Array } kind_;
    bool bool_ = false;
    int64_t number_ = 0;
    std::string string_;
    std::vector<std::pair<std::string, Json>> members_;
    std::vector<Json> elements_;
};

std::string JsonEscape(const std::string& s);

}  // namespace cli
