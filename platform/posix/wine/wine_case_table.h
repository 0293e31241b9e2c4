#pragma once

#include <cstddef>

// The table behind FoldCase (see wine_case_table.cpp): units first, first +
// step, ... last fold to unit + delta. Rows are sorted and do not overlap.
struct CaseRow {
    char16_t first, last;
    int delta;
    unsigned char step;
};
extern const CaseRow kWineCaseRows[];
extern const std::size_t kWineCaseRowCount;
