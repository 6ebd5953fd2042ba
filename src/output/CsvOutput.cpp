#include "output/CsvOutput.h"

#include "core/MeterNames.h"
#include "core/SafeFile.h"
#include "regulator/DispArch.h"

namespace {

void AppendField(QByteArray& out, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    if (!bytes.contains(',') && !bytes.contains('"') && !bytes.contains('\r') && !bytes.contains('\n')) {
        out += bytes;
        return;
    }
    out += '"';
    for (const char c : bytes) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

} // namespace

TCsvChoice WholeMonth(const TDispArch& view, const QStringList& labels)
{
    TCsvChoice choice;
    for (uint8_t c = 0; c < view.Channels; ++c)
        choice.Channels.push_back(c);
    choice.Labels = labels;
    return choice;
}

QString ChannelName(uint8_t channel, const QStringList& labels)
{
    return MeasurementLabel(channel, labels);
}

QByteArray BuildCsv(const TDispArch& view, const std::vector<TTimedRecord>& records, const TCsvChoice& choice,
                    int* rows)
{
    QByteArray out;
    out.reserve(int(records.size() + 1) * (27 + 6 * int(choice.Channels.size())));
    out += "time";
    for (const uint8_t c : choice.Channels) {
        out += ',';
        AppendField(out, ChannelName(c, choice.Labels) +
                             (view.IsReactive(c) ? QStringLiteral(" [kVAr]") : QStringLiteral(" [kW]")));
    }
    out += "\r\n";
    int written = 0;
    for (const TTimedRecord& r : records) {
        if (!choice.AllRecords && !view.InIntervalBlock(r.Index))
            continue;
        out += IsoTime(r).toLatin1();
        for (const uint8_t c : choice.Channels) {
            out += ',';
            const uint16_t v = view.ChannelValue(r.Index, c);
            if (v != TDispArch::NoValue)
                out += QByteArray::number(v);
        }
        out += "\r\n";
        ++written;
    }
    if (rows)
        *rows = written;
    return out;
}

bool SaveCsv(const QByteArray& bytes, const QString& fileName, const QString& monthFile, TFileError& error)
{
    if (SameFile(fileName, monthFile)) {
        error = TFileError::Refused(fileName, TFileError::TRefusal::Source);
        return false;
    }
    error = ReplaceFileWith(fileName, bytes);
    return !error.Failed();
}
