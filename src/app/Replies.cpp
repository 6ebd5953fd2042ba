#include "app/Replies.h"

#include "core/Cp1250.h"

QString FromRegulatorText(const char* bytes, int length)
{
    return FromCp1250(QByteArray(bytes, length));
}

QString CommandName(uint8_t command)
{
    switch (command & 0x7F) {
    case 0: return QStringLiteral("identification");
    case 1: return QStringLiteral("information");
    case 2: return QStringLiteral("measurement");
    case 3: return QStringLiteral("archive records");
    case 4: return QStringLiteral("interval record");
    case 5: return QStringLiteral("inputs/outputs");
    case 6: return QStringLiteral("inputs/outputs");
    case 7: return QStringLiteral("regulated power");
    case 8: return QStringLiteral("measurement");
    case 9: return QStringLiteral("archive record");
    case 10: return QStringLiteral("measurement+consumption");
    case 11:
    case 12: return QStringLiteral("extended");
    default: return QStringLiteral("unknown");
    }
}
