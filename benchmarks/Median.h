#pragma once

#include <algorithm>
#include <vector>

namespace bench {

// The median of the values (the upper of the two middle ones for an even
// count), 0 for none.
inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace bench
