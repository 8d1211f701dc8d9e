// The order statistics of call times that the report gives, median and nearest-rank percentile,
// and how it writes a time.
#ifndef STATISTICS_H
#define STATISTICS_H

#include <QString>
#include <QVector>

#include <algorithm>
#include <cmath>

// The value below which percent of the values lie, by nearest rank; 0 for no values.
inline double percentile(QVector<double> values, double percent)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int rank = static_cast<int>(std::ceil(percent / 100 * values.size()));
    return values[std::max(rank, 1) - 1];
}

// The middle value, or the mean of the two middle values; 0 for no values.
inline double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// "1.234 ms"
inline QString millisecondsText(double value)
{
    return QString::number(value, 'f', 3) + QStringLiteral(" ms");
}

#endif
