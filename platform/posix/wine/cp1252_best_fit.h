#pragma once

#include <cstddef>

// The table behind EncodeCp1252's best fit (see cp1252_best_fit.cpp), sorted
// by unit.
struct BestFit {
    char16_t unit;
    unsigned char byte;
};
extern const BestFit kCp1252BestFit[];
extern const std::size_t kCp1252BestFitCount;
