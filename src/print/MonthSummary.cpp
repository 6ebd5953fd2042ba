#include "print/MonthSummary.h"

#include "core/TextFunctions.h"
#include "regulator/DispArch.h"

#include <QDate>

#include <algorithm>

namespace {
uint32_t MonthIntervals(uint16_t month, uint8_t intervalMinutes)
{
    const QDate first(month / 12, month % 12 + 1, 1);
    if (!first.isValid() || intervalMinutes == 0)
        return 0;
    return static_cast<uint32_t>(first.daysInMonth()) * (1440u / intervalMinutes);
}
} // namespace

QString RecordTimeText(const TDispArch& view, uint16_t record)
{
    if (!view.Record(record))
        return QString();
    const uint16_t t = view.IntervalTime(record);
    const uint16_t month = view.Month();
    return DateText(t / 1440u, month % 12u + 1u, month / 12u) + QLatin1Char(' ') + MinutesText(t % 1440u);
}

TMonthSummary SummarizeMonth(const TDispArch& view, uint16_t limit)
{
    TMonthSummary s;
    s.Month = view.Month();
    s.Records = view.RecordCount;
    s.Intervals = MonthIntervals(s.Month, view.IntervalMinutes);
    s.Exceedance.Limit = limit;
    for (uint8_t c = 0; c < view.Channels; ++c) {
        TChannelSummary ch;
        ch.Channel = c;
        ch.Reactive = view.IsReactive(c);
        ch.Energy = view.Energy(view.Sums[c].Total);
        s.Channels.push_back(ch);
    }
    std::vector<uint64_t> sums(view.Channels, 0);
    std::vector<TSummaryInterval> firstChannel;
    for (uint16_t i = 0; i < view.RecordCount; ++i) {
        if (!view.Record(i)) {
            ++s.Gaps;
            for (TChannelSummary& ch : s.Channels)
                ++ch.Missing;
            continue;
        }
        for (TChannelSummary& ch : s.Channels) {
            const uint16_t v = view.ChannelValue(i, ch.Channel);
            if (v == TDispArch::NoValue) {
                ++ch.Missing;
                continue;
            }
            if (ch.Values == 0 || v > ch.Peak) {
                ch.Peak = v;
                ch.PeakRecord = i;
            }
            ++ch.Values;
            sums[ch.Channel] += v;
            if (ch.Channel != 0)
                continue;
            firstChannel.push_back({i, v});
            if (limit > 0 && v > limit) {
                TExceedance& e = s.Exceedance;
                if (e.Count == 0 || v - limit > e.MaxExcess) {
                    e.MaxExcess = static_cast<uint16_t>(v - limit);
                    e.MaxRecord = i;
                }
                if (e.Count == 0)
                    e.FirstRecord = i;
                e.LastRecord = i;
                ++e.Count;
            }
        }
    }
    for (TChannelSummary& ch : s.Channels)
        if (ch.Values > 0)
            ch.Mean = double(sums[ch.Channel]) / ch.Values;

    // Highest first; among equals the earlier.
    const size_t top = std::min<size_t>(10, firstChannel.size());
    std::partial_sort(firstChannel.begin(), firstChannel.begin() + static_cast<std::ptrdiff_t>(top), firstChannel.end(),
                      [](const TSummaryInterval& a, const TSummaryInterval& b) {
                          return a.Value != b.Value ? a.Value > b.Value : a.Record < b.Record;
                      });
    s.Highest.assign(firstChannel.begin(), firstChannel.begin() + static_cast<std::ptrdiff_t>(top));

    if (view.Channels > 0) {
        for (uint8_t d = 0; d < view.DayCount; ++d) {
            s.DayEnergies.push_back({view.Days[d], view.Energy(view.Sums[0].DaySum[d]), 0});
            if (s.HighestDay < 0 || s.DayEnergies.back().Energy > s.DayEnergies[size_t(s.HighestDay)].Energy)
                s.HighestDay = d;
        }
        // A gap carries no time: it is the day's whose records surround it,
        // or else the next day's, whose first interval it would have been.
        uint8_t g = 0;
        for (uint16_t i = 0; i < view.RecordCount && !s.DayEnergies.empty(); ++i) {
            while (g + 1 < view.DayCount && i > view.DayLast[g])
                ++g;
            if (view.ChannelValue(i, 0) == TDispArch::NoValue)
                ++s.DayEnergies[g].Missing;
        }
    }
    return s;
}
