#include "output/CsvOutput.h"

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
    const QString label = channel < labels.size() ? labels.at(channel) : QString();
    return label.isEmpty() ? QStringLiteral("%1").arg(channel, 2, 10, QLatin1Char('0')) : label;
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

bool SaveCsv(const QByteArray& bytes, const QString& fileName, const QString& monthFile, QString& error)
{
    if (SameFile(fileName, monthFile)) {
        error = QStringLiteral("%1 is the monthly file itself").arg(fileName);
        return false;
    }
    error = ReplaceFile(fileName, bytes);
    return error.isEmpty();
}
