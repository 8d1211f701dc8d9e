#include "util/visibletext.h"

namespace {
// Code points that Qt's text document turns into a new block or line, or reserves for embedded
// objects and frames: shown as escapes so a device cannot start a line or place an object.
bool breaksOrEmbeds(ushort code)
{
    return (code >= 0x80 && code <= 0x9F) || code == 0x2028 || code == 0x2029 || code == 0xFDD0
        || code == 0xFDD1 || code == 0xFFFC;
}

void appendEscape(QString& out, QLatin1String prefix, ushort code, int digits)
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
    for (const QChar character : line) {
        const ushort code = character.unicode();
        if (code < 0x20 || code == 0x7F)
            appendEscape(shown, QLatin1String("\\x"), code, 2);
        else if (breaksOrEmbeds(code))
            appendEscape(shown, QLatin1String("\\u"), code, 4);
        else
            shown += character;
    }
    return shown;
}
