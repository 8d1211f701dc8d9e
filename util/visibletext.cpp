#include "util/visibletext.h"

namespace {
// Code points that break a line, reorder it, take no space or stand for something else: judged
// by their Unicode properties rather than listed one by one, so that a hostile library finds no
// invisible character that a list forgot.
bool needsEscape(uint code)
{
    switch (QChar::category(code)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate:
    case QChar::Other_PrivateUse:
        return true;
    default:
        break;
    }
    // Default-ignorable code points that are not format characters: drawn as nothing, or as a
    // blank (the Hangul fillers), and including those still unassigned in Qt's Unicode tables.
    // Then the object replacement character and the frame marks of Qt's text document, which it
    // reserves for embedded objects and frames.
    return code == 0x034F || (code >= 0x115F && code <= 0x1160)
        || (code >= 0x17B4 && code <= 0x17B5) || (code >= 0x180B && code <= 0x180F)
        || (code >= 0x2060 && code <= 0x206F) || code == 0x3164
        || (code >= 0xFE00 && code <= 0xFE0F) || code == 0xFFA0
        || (code >= 0xFFF0 && code <= 0xFFF8) || (code >= 0xE0000 && code <= 0xE0FFF)
        || code == 0xFFFC || code == 0xFDD0 || code == 0xFDD1;
}

void appendEscape(QString& out, QLatin1String prefix, uint code, int digits)
{
    static const char kHexDigits[] = "0123456789ABCDEF";
    out += prefix;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        out += QLatin1Char(kHexDigits[(code >> shift) & 0x0F]);
}
}

QString visibleText(const QString& line)
{
    QString shown;
    shown.reserve(line.size());
    for (int at = 0; at < line.size();) {
        uint code = line[at].unicode();
        int width = 1;
        if (QChar::isHighSurrogate(code) && at + 1 < line.size() && line[at + 1].isLowSurrogate()) {
            code = QChar::surrogateToUcs4(line[at], line[at + 1]);
            width = 2;
        }
        if (code < 0x20 || code == 0x7F)
            appendEscape(shown, QLatin1String("\\x"), code, 2);
        else if (code == '\\')
            shown += QLatin1String("\\\\");
        else if (needsEscape(code) && width == 2)
            appendEscape(shown, QLatin1String("\\U"), code, 8);
        else if (needsEscape(code))
            appendEscape(shown, QLatin1String("\\u"), code, 4);
        else
            shown.append(line.constData() + at, width);
        at += width;
    }
    return shown;
}
