#include "results.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace bench {

std::string Thousands(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, std::fabs(value));
    std::string digits = buffer;
    const size_t point = digits.find('.');
    std::string whole = digits.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : digits.substr(point);
    for (int at = static_cast<int>(whole.size()) - 3; at > 0; at -= 3)
        whole.insert(static_cast<size_t>(at), ",");
    return (value < 0 ? "-" : "") + whole + fraction;
}

namespace {

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char u[8];
            std::snprintf(u, sizeof u, "\\u%04x", c);
            out += u;
            continue;
        }
        out += c;
    }
    return out;
}

bool IsNumber(const std::string& s) {
    if (s.empty())
        return false;
    char* end = nullptr;
    std::strtod(s.c_str(), &end);
    return *end == 0;
}

std::string Number(double v) {
    if (!std::isfinite(v))
        return "null";
    char buffer[64];
    if (v == std::floor(v) && std::fabs(v) < 1e15)
        std::snprintf(buffer, sizeof buffer, "%.0f", v);
    else
        std::snprintf(buffer, sizeof buffer, "%.6g", v);
    return buffer;
}

// A figure's value as a person reads it: thousands separated, a few decimals
// for small values.
std::string Readable(double v) {
    if (v == std::floor(v) && std::fabs(v) < 1e15)
        return Thousands(v);
    if (std::fabs(v) >= 100)
        return Thousands(v, 0);
    if (std::fabs(v) >= 1)
        return Thousands(v, 2);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3g", v);
    return buffer;
}

}  // namespace

void Results::PrintTables() const {
    std::vector<std::string> names;
    for (const Figure& f : figures_)
        if (std::find(names.begin(), names.end(), f.name) == names.end())
            names.push_back(f.name);
    for (const std::string& name : names) {
        // One row per parameter set: its first figure with its limit, the
        // others of the set in columns of their own.
        std::vector<std::vector<const Figure*>> groups;
        std::vector<std::string> extras;
        for (const Figure& f : figures_) {
            if (f.name != name)
                continue;
            auto group = std::find_if(groups.begin(), groups.end(), [&](const auto& g) {
                return g.front()->parameters == f.parameters;
            });
            if (group == groups.end()) {
                groups.push_back({&f});
                continue;
            }
            group->push_back(&f);
            if (std::find(extras.begin(), extras.end(), f.quantity) == extras.end())
                extras.push_back(f.quantity);
        }
        const Figure& first = *groups.front().front();
        std::vector<std::string> header;
        for (auto& [key, _] : first.parameters)
            header.push_back(key);
        for (const char* h : {"quantity", "value", "unit", "limit", "ratio", "limit is"})
            header.push_back(h);
        for (const std::string& extra : extras)
            header.push_back(extra);
        header.push_back("note");
        std::vector<std::vector<std::string>> cells;
        for (const auto& group : groups) {
            const Figure& f = *group.front();
            std::vector<std::string> row;
            for (auto& [key, _] : first.parameters) {
                std::string cell;
                for (auto& [k, v] : f.parameters)
                    if (k == key)
                        cell = IsNumber(v) && v.size() > 4 ? Thousands(std::atof(v.c_str())) : v;
                row.push_back(cell);
            }
            row.push_back(f.quantity);
            row.push_back(Readable(f.value));
            row.push_back(f.unit);
            row.push_back(f.limit > 0 ? Readable(f.limit) : "-");
            char ratio[32] = "-";
            if (f.limit > 0)
                std::snprintf(ratio, sizeof ratio, "%.1f %%", 100 * f.Ratio());
            row.push_back(ratio);
            row.push_back(f.limitName.empty() ? "-" : f.limitName);
            std::string note = f.note;
            for (const std::string& extra : extras) {
                std::string cell = "-";
                for (const Figure* other : group) {
                    if (other == &f || other->quantity != extra)
                        continue;
                    cell = Readable(other->value);
                    if (other->limit > 0 && other->limit != 1) {
                        char ratio[32];
                        std::snprintf(ratio, sizeof ratio, " (%.1f %%)", 100 * other->Ratio());
                        cell += ratio;
                    }
                    if (!other->note.empty())
                        note += (note.empty() ? "" : "; ") + other->note;
                }
                row.push_back(cell);
            }
            row.push_back(note);
            cells.push_back(row);
        }
        std::vector<size_t> width(header.size());
        for (size_t c = 0; c < header.size(); ++c) {
            width[c] = header[c].size();
            for (auto& row : cells)
                width[c] = std::max(width[c], row[c].size());
        }
        std::printf("\n== %s\n", name.c_str());
        auto line = [&](const std::vector<std::string>& row) {
            std::string text;
            for (size_t c = 0; c < row.size(); ++c) {
                // Numbers to the right, words to the left.
                const bool right = c + 1 < row.size() && !row[c].empty() &&
                                   (std::isdigit(static_cast<unsigned char>(row[c][0])) ||
                                    row[c] == "-");
                const std::string pad(width[c] - row[c].size(), ' ');
                text += (right ? pad + row[c] : row[c] + pad) + "  ";
            }
            while (!text.empty() && text.back() == ' ')
                text.pop_back();
            std::printf("%s\n", text.c_str());
        };
        line(header);
        for (auto& row : cells)
            line(row);
    }
}

std::string Results::Json() const {
    std::string out = "[\n";
    for (size_t i = 0; i < figures_.size(); ++i) {
        const Figure& f = figures_[i];
        out += "  {\"name\": \"" + Escape(f.name) + "\", \"parameters\": {";
        for (size_t p = 0; p < f.parameters.size(); ++p) {
            const auto& [key, value] = f.parameters[p];
            out += (p ? ", " : "") + std::string("\"") + Escape(key) + "\": " +
                   (IsNumber(value) ? value : "\"" + Escape(value) + "\"");
        }
        out += std::string(f.parameters.empty() ? "" : ", ") + "\"quantity\": \"" +
               Escape(f.quantity) + "\"}";
        out += ", \"value\": " + Number(f.value) + ", \"unit\": \"" + Escape(f.unit) + "\"";
        out += ", \"limit\": " + (f.limit > 0 ? Number(f.limit) : std::string("null"));
        out += ", \"ratio\": " + (f.limit > 0 ? Number(f.Ratio()) : std::string("null"));
        if (!f.limitName.empty())
            out += ", \"limit_is\": \"" + Escape(f.limitName) + "\"";
        out += i + 1 < figures_.size() ? "},\n" : "}\n";
    }
    return out + "]\n";
}

}  // namespace bench
