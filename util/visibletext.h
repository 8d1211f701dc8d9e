// Making a result line safe to show as one line of plain text, whatever a device library put in it.
#ifndef VISIBLETEXT_H
#define VISIBLETEXT_H

#include <QString>

// line with every code point that could break it, hide in it or stand for an embedded object
// written out as an escape, so that what is shown is what was sent, one way only. Walked by code
// point, a surrogate pair taken as one: C0 control characters and DEL as \xNN; every other code
// point whose general category is control, format, line or paragraph separator, surrogate (a lone
// half) or private use, every default-ignorable one (U+034F, the Hangul fillers, U+17B4, U+17B5,
// the variation selectors, U+2060 to U+206F, the tags and the planes reserved for them) and the
// object replacement character and Qt's two frame marks as \uNNNN, or \U00NNNNNN above U+FFFF, all
// with upper-case hex digits; a backslash as \\. Every other character, Chinese text and the
// split-nibble characters :;<=>? included, is kept as it is.
QString visibleText(const QString& line);

#endif
