// Making a result line safe to show as one line of plain text, whatever a device library put in it.
#ifndef VISIBLETEXT_H
#define VISIBLETEXT_H

#include <QString>

// line with every character that could break it, hide part of it or stand for an embedded object
// written out as an escape: C0 control characters and DEL as \xNN, C1 control characters, the
// Unicode line and paragraph separators, the object replacement character and the two frame
// marks of Qt's text document as \uNNNN, all with upper-case hex digits. Every other character,
// Chinese text and the split-nibble characters :;<=>? included, is kept as it is.
QString visibleText(const QString& line);

#endif
