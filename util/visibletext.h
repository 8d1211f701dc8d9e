// Making a result line safe to show as one line of plain text, whatever a device library put in it.
#ifndef VISIBLETEXT_H
#define VISIBLETEXT_H

#include <QString>

// line with every character that could break it, hide part of it or stand for an embedded object
// written out as an escape: C0 control characters and DEL as \xNN, C1 control characters, the
// Unicode line and paragraph separators, the object replacement character, the two frame marks
// of Qt's text document, the bidirectional controls (U+061C, U+200E, U+200F, U+202A to U+202E,
// U+2066 to U+2069) and the invisible format characters (U+200B to U+200D, U+2060 to U+2064,
// U+FEFF) as \uNNNN, all with upper-case hex digits. Every other character,
// Chinese text and the split-nibble characters :;<=>? included, is kept as it is.
QString visibleText(const QString& line);

#endif
