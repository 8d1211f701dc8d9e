#include "util/visibletext.h"

namespace {
// Code points that Qt's text document turns into a new block or line, or reserves for embedded
// objects and frames: shown as escapes so a device cannot start a line or place an object.
bool breaksOrEmbeds(ushort code)
{
    return (code >= 0x80 && code <= 0x9F) || code == 0x2028 || code == 0x2029 || code == 0xFDD0
        || code == 0xFDD1 || code == 0xFFFC;
}

// Bidirectional controls, which reorder the rest of the line on screen (a right-to-left override
// would show a path's tail, hash and mark reversed), and format characters that take no space,
// which hide where one word ends and another begins.
bool reordersOrHides(ushort code)
{
    return code == 0x061C || code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E)
        || (code >= 0x2066 && code <= 0x2069) || (code >= 0x200B && code <= 0x200D)
        || (code >= 0x2060 && code <= 0x2064) || code == 0xFEFF;
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
        else if (breaksOrEmbeds(code) || reordersOrHides(code))
            appendEscape(shown, QLatin1String("\\u"), code, 4);
        else
            shown += character;
    }
    return shown;
}
