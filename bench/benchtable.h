// Medians and the rows of the table that scripts/bench prints (Markdown, one row per measure).
#ifndef BENCHTABLE_H
#define BENCHTABLE_H

#include <algorithm>
#include <cstdio>
#include <vector>

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    if (values.size() % 2 == 1)
        return values[middle];
    return (values[middle - 1] + values[middle]) / 2.0;
}

// A measure whose goal is a ceiling on tool / reference.
inline void printRatioRow(const char* measure, double tool, double reference, double goal)
{
    const double ratio = tool / reference;
    std::printf("| %s | %.1f | %.1f | %.2f× | ≤ %.2f× | %s |\n", measure, tool, reference, ratio,
                goal, ratio <= goal ? "yes" : "no");
}

// A measure whose goal is a ceiling on tool - reference.
inline void printDifferenceRow(const char* measure, double tool, double reference, double goal)
{
    const double difference = tool - reference;
    std::printf("| %s | %.2f | %.2f | %+.2f | ≤ %+.0f | %s |\n", measure, tool, reference,
                difference, goal, difference <= goal ? "yes" : "no");
}

#endif
