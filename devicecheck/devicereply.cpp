#include "devicecheck/devicereply.h"

#include "devicecheck/deviceprocess.h"
#include "devicecheck/sm2point.h"
#include "util/utils.h"

namespace {
QString byteText(char byte)
{
    return QStringLiteral("0x%1").arg(static_cast<unsigned char>(byte), 2, 16, QLatin1Char('0'));
}
}

QByteArray toSplitNibble(const QByteArray& bytes)
{
    QByteArray text(2 * bytes.size(), '\0');
    Utils::hexStringAdd30(bytes.constData(), bytes.size(), text.data());
    return text;
}

QByteArray fromSplitNibble(const QByteArray& text)
{
    QByteArray bytes(text.size() / 2, '\0');
    Utils::hexStringDec30(text.constData(), text.size(), bytes.data());
    return bytes;
}

QString splitNibbleProblem(const QByteArray& text)
{
    for (int i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xF0) != 0x30)
            return QStringLiteral("byte %1 at offset %2 is not split-nibble text ('0' to '?')")
                .arg(byteText(text[i]))
                .arg(i);
    return QString();
}

bool terminatedText(const QByteArray& out, int size, QByteArray* text)
{
    const int nul = out.indexOf('\0');
    if (nul < 0 || nul >= size)
        return false;
    *text = out.left(nul);
    return true;
}

QString noNulProblem(int size)
{
    return QStringLiteral("no NUL within the %1 bytes passed").arg(size);
}

QString overrunProblem(const QByteArray& out, int size)
{
    const int first = DeviceProcess::firstOverwritten(out, size);
    if (first < 0)
        return QString();
    return QStringLiteral("%1 bytes written past the %2 bytes passed, the first at offset %3")
        .arg(DeviceProcess::overwrittenCount(out, size))
        .arg(size)
        .arg(first);
}

QString printableProblem(const QByteArray& text)
{
    if (text.isEmpty())
        return QStringLiteral("an empty serial number");
    for (int i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte > 0x7E)
            return QStringLiteral(
                       "byte %1 at offset %2 of the serial number is not printable ASCII")
                .arg(byteText(text[i]))
                .arg(i);
    }
    return QString();
}

QString publicKeyProblem(int code, const QByteArray& out, int size, QByteArray* key)
{
    key->clear();
    QByteArray text;
    if (code != 0)
        return QStringLiteral("GenerateKeyFromPw returned %1").arg(code);
    if (!terminatedText(out, size, &text))
        return noNulProblem(size);
    if (text.size() != 128 && text.size() != 130)
        return QStringLiteral("%1 characters of text; a public key is 128 (X‖Y) or 130 (04‖X‖Y)")
            .arg(text.size());
    const QString notSplitNibble = splitNibbleProblem(text);
    if (!notSplitNibble.isEmpty())
        return notSplitNibble;
    const QByteArray bytes = fromSplitNibble(text);
    if (!isSm2Point(bytes))
        return QStringLiteral("%1 bytes of split-nibble text, but not a point on the SM2 curve")
            .arg(bytes.size());
    if (isSm2Generator(bytes))
        return QStringLiteral("the curve's generator, whose private key is 1, so that anyone can "
                              "decrypt under it");
    *key = bytes;
    return QString();
}
