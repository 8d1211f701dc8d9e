// Explicit end of a debug line, usable on every Qt 5 release: Qt::endl exists only from 5.14 and
// the unqualified endl is deprecated from 5.15.
#ifndef DEBUGENDL_H
#define DEBUGENDL_H

#include <QTextStream>

inline QTextStream& debugEndl(QTextStream& stream)
{
    return stream << '\n';
}

#endif
