#include "json.h"

#include <cstdio>

namespace cli {

std::string JsonEscape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

Json& Json::Set(const std::string& key, Json value) {
    for (auto& member : members_) {
        if (member.first == key) return member.second = std::move(value);
    }
    members_.emplace_back(key, std::move(value));
    return members_.back().second;
}

Json& Json::Push(Json value) {
    elements_.push_back(std::move(value));
    return elements_.back();
}

std::string Json::Dump() const {
    switch (kind_) {
        case Kind::Null: return "null";
        case Kind::Bool: return bool_ ? "true" : "false";
        case Kind::Number: return std::to_string(number_);
        case Kind::String: return "\"" + JsonEscape(string_) + "\"";
        case Kind::Object: {
            std::string out = "{";
            for (size_t i = 0; i < members_.size(); ++i) {
                if (i) out += ",";
                out += "\"" + JsonEscape(members_[i].first) + "\":" + members_[i].second.Dump();
            }
            return out + "}";
        }
        case Kind::Array: {
            std::string out = "[";
            for (size_t i = 0; i < elements_.size(); ++i) {
                if (i) out += ",";
                out += elements_[i].Dump();
            }
            return out + "]";
        }
    }
    return "null";
}

}  // namespace cli
