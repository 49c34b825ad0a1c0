// The figures the benchmark driver collects: one record per benchmark and
// parameter set, with the limit it is held against. Printed as one table per
// benchmark and written as JSON (keys: name, parameters, value, unit, limit,
// ratio).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct Figure {
    std::string name;  // the benchmark, e.g. "throughput"
    // The parameter set, in order (values as text, numbers unquoted in JSON).
    std::vector<std::pair<std::string, std::string>> parameters;
    std::string quantity;  // what the value measures, e.g. "bytes_per_second"
    double value = 0;
    std::string unit;
    double limit = 0;          // 0: none
    std::string limitName;     // which limit binds, e.g. "line rate"
    std::string note;          // for the table only
    double Ratio() const { return limit > 0 ? value / limit : 0; }
};

class Results {
public:
    void Add(Figure figure) { figures_.push_back(std::move(figure)); }
    const std::vector<Figure>& All() const { return figures_; }
    // One table per benchmark name, in the order the names first appeared.
    void PrintTables() const;
    std::string Json() const;

private:
    std::vector<Figure> figures_;
};

// "115200" → "115,200"
std::string Thousands(double value, int decimals = 0);

}  // namespace bench
