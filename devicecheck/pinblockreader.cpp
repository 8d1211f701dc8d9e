#include "devicecheck/pinblockreader.h"

namespace {
constexpr int kBlockSize = 16;
constexpr int kMinDigits = 4;
constexpr int kMaxDigits = 12;

int nibble(const QByteArray& block, int index)
{
    const auto byte = static_cast<unsigned char>(block[index / 2]);
    return index % 2 == 0 ? byte >> 4 : byte & 0x0F;
}

QString layoutName(int control)
{
    if (control == 0)
        return QStringLiteral("0N, BCD, F fill");
    if (control == 2)
        return QStringLiteral("ISO 9564 format 2");
    return QString();
}
}

PinBlockReading readPinBlock(const QByteArray& block)
{
    PinBlockReading reading;
    if (block.size() != kBlockSize)
        return reading;
    const QString layout = layoutName(nibble(block, 0));
    const int digits = nibble(block, 1);
    if (layout.isEmpty() || digits < kMinDigits || digits > kMaxDigits)
        return reading;
    QString pin;
    for (int i = 2; i < 2 + digits; ++i) {
        if (nibble(block, i) > 9)
            return reading;
        pin += QLatin1Char(static_cast<char>('0' + nibble(block, i)));
    }
    for (int i = 2 + digits; i < 2 * kBlockSize; ++i)
        if (nibble(block, i) != 0x0F)
            return reading;
    reading.recognised = true;
    reading.layout = layout;
    reading.pin = pin;
    return reading;
}
