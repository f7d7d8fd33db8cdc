// The order of names such as USB port paths that people expect: digit runs
// compare as numbers, so that 1-2 comes before 1-10.
#pragma once

#include <string>
#include <string_view>

bool NaturalLess(std::string_view a, std::string_view b);

// For ordered containers keyed by such names.
struct NaturalOrder {
    bool operator()(const std::string& a, const std::string& b) const { return NaturalLess(a, b); }
};
