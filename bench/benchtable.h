// Medians, quartiles and the rows of the tables that scripts/bench prints (Markdown, one row per
// measure).
#ifndef BENCHTABLE_H
#define BENCHTABLE_H

#include <algorithm>
#include <cstdio>
#include <string>
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

// The value a fraction of the way through the sorted values (nearest rank).
inline double quantile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto rank =
        static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[rank];
}

// "median (first quartile–third quartile)", or "–" when there are no values.
inline std::string spreadCell(const std::vector<double>& values, const char* format = "%.2f")
{
    if (values.empty())
        return "–";
    char cell[80];
    const std::string pattern = std::string(format) + " (" + format + "–" + format + ")";
    std::snprintf(cell, sizeof cell, pattern.c_str(), median(values), quantile(values, 0.25),
                  quantile(values, 0.75));
    return cell;
}

// A measure whose goal is a ceiling on tool / reference.
inline void printRatioRow(const char* measure, double tool, double reference, double goal)
{
    const double ratio = tool / reference;
    std::printf("| %s | %.1f | %.1f | %.2f× | ≤ %.2f× | %s |\n", measure, tool, reference, ratio,
                goal, ratio <= goal ? "yes" : "no");
}

// A ratio shown for what it tells, with no goal.
inline void printPlainRatioRow(const char* measure, double tool, double reference)
{
    std::printf("| %s | %.1f | %.1f | %.2f× | – | – |\n", measure, tool, reference,
                tool / reference);
}

// A measure whose goal is a ceiling on tool - reference.
inline void printDifferenceRow(const char* measure, double tool, double reference, double goal)
{
    const double difference = tool - reference;
    std::printf("| %s | %.2f | %.2f | %+.2f | ≤ %+.0f | %s |\n", measure, tool, reference,
                difference, goal, difference <= goal ? "yes" : "no");
}

// A measure whose goal is a ceiling on the tool's own figure, with both figures' spread.
inline void printCeilingRow(const char* measure, const std::vector<double>& tool,
                            const std::vector<double>& reference, double goal, const char* unit)
{
    std::printf("| %s | %s | %s | %.2f× | ≤ %g %s | %s |\n", measure, spreadCell(tool).c_str(),
                spreadCell(reference).c_str(), median(tool) / median(reference), goal, unit,
                median(tool) <= goal ? "yes" : "no");
}

#endif
