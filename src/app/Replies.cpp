#include "app/Replies.h"

#include "core/Cp1250.h"

#include <algorithm>

QString FromRegulatorText(const char* bytes, int length)
{
    return FromCp1250(QByteArray(bytes, length));
}

bool TIdentification::Decode(const uint8_t* data, uint8_t length, TIdentification& out)
{
    if (length < 10)
        return false;
    const int n = std::min<int>(length, 253);
    int end = 6;
    while (end < n && data[end] != 0)
        ++end;
    out.Text = FromRegulatorText(reinterpret_cast<const char*>(data + 6), end - 6);
    out.Generation = 1;
    if (data[n - 4] == '2' && data[n - 3] == '0' && data[n - 2] == '0') {
        if (data[n - 1] == '0')
            out.Generation = 2;
        else if (data[n - 1] == '2')
            out.Generation = 3;
    }
    out.Valid = true;
    return true;
}

bool TInformation::Decode(const uint8_t* data, uint8_t length, TInformation& out)
{
    if (length != Length)
        return false;
    out.TimeInit = GetLong(data + 0);
    out.TimePowerFail = GetLong(data + 4);
    out.TimeConfig = GetLong(data + 8);
    out.TimeReset = GetLong(data + 12);
    out.Meters = data[16];
    out.Stages = data[17];
    out.Appliances = data[18];
    out.Kinds = data[19];
    out.PregVT = GetWord(data + 20);
    out.PregNT = GetWord(data + 22);
    out.Valid = true;
    return true;
}

TMonthTable TMonthTable::Decode(const uint8_t* p)
{
    TMonthTable t;
    t.Month0 = GetWord(p);
    t.Month1 = GetWord(p + 2);
    t.Count0 = GetWord(p + 4);
    t.Count1 = GetWord(p + 6);
    t.Lost = GetWord(p + 8);
    return t;
}

bool TLive::Decode(uint8_t command, const uint8_t* data, uint8_t length, TLive& out)
{
    switch (command) {
    case 2:
        if (length != 35)
            return false;
        out.Time = GetLong(data + 1);
        out.Seconds = GetWord(data + 5);
        out.Power = GetWord(data + 7);
        out.Average = GetWord(data + 9);
        out.HasPower = true;
        out.Stage = data[11];
        out.Tariff = data[12];
        out.HasStage = true;
        out.MaxVT = GetWord(data + 13);
        out.MaxNT = GetWord(data + 15);
        out.TimeMaxVT = GetLong(data + 17);
        out.TimeMaxNT = GetLong(data + 21);
        out.HasMaxima = true;
        out.Table = TMonthTable::Decode(data + 25);
        out.HasTable = true;
        break;
    case 5:
        if (length != 43)
            return false;
        out.Time = GetLong(data + 0);
        out.Stage = data[8];
        out.Tariff = data[9];
        out.HasStage = true;
        out.Appliances = uint64_t(GetLong(data + 10)) | (uint64_t(GetLong(data + 14)) << 32);
        out.Signals = uint64_t(GetLong(data + 18)) | (uint64_t(GetLong(data + 22)) << 32);
        out.MaxVT = GetWord(data + 26);
        out.MaxNT = GetWord(data + 28);
        out.TimeMaxVT = GetLong(data + 30);
        out.TimeMaxNT = GetLong(data + 34);
        out.TimeZeroed = GetLong(data + 38);
        out.HasMaxima = true;
        break;
    case 8:
    case 10:
        if (length != (command == 8 ? 70 : 88))
            return false;
        out.Time = GetLong(data + 0);
        out.Seconds = GetWord(data + 4);
        for (size_t i = 0; i < out.Readings.size(); ++i) {
            out.Readings[i][0] = GetWord(data + 6 + 4 * i);
            out.Readings[i][1] = GetWord(data + 8 + 4 * i);
        }
        out.Power = out.Readings[0][0];
        out.Average = out.Readings[0][1];
        out.HasPower = true;
        out.KindWord = GetWord(data + 58);
        out.Table = TMonthTable::Decode(data + 60);
        out.HasTable = true;
        break;
    default:
        return false;
    }
    out.Command = command;
    out.Valid = true;
    return true;
}

bool TIntervalRecord::Decode(const uint8_t* data, uint8_t length, TIntervalRecord& out)
{
    if (length < 4)
        return false;
    out.Time = GetLong(data);
    const size_t n = std::min<size_t>((length - 4) / 2, MaxSamples);
    out.Samples.resize(n);
    for (size_t i = 0; i < n; ++i)
        out.Samples[i] = GetWord(data + 4 + 2 * i);
    out.Valid = true;
    return true;
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
