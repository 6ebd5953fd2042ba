#include "print/MonthSummary.h"

#include "core/TextFunctions.h"
#include "regulator/DispArch.h"
#include "regulator/SiteMeasurement.h"

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

TMonthSummary SummarizeMonth(const TDispArch& view, uint16_t limit, const QDate& today)
{
    TMonthSummary s;
    s.Month = view.Month();
    s.Records = view.RecordCount;
    s.Intervals = MonthIntervals(s.Month, view.IntervalMinutes);
    s.Exceedance.Limit = limit;
    const QDate first(s.Month / 12, s.Month % 12 + 1, 1);
    const int days = first.isValid() ? first.daysInMonth() : 0;
    const auto possibleDay = [days](int day) { return day >= 1 && day <= days; };
    // The view's day groups on a day the month does not have are left out
    // of every sum, as the outputs with times leave such records out.
    std::vector<bool> groupPossible(view.DayCount);
    for (uint8_t d = 0; d < view.DayCount; ++d)
        groupPossible[d] = possibleDay(view.Days[d]);
    for (uint8_t c = 0; c < view.Channels; ++c) {
        TChannelSummary ch;
        ch.Channel = c;
        ch.Reactive = view.IsReactive(c);
        uint32_t total = view.Sums[c].Total;
        for (uint8_t d = 0; d < view.DayCount; ++d)
            if (!groupPossible[d])
                total -= view.Sums[c].DaySum[d];
        ch.Energy = view.Energy(total);
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
        if (!possibleDay(view.IntervalTime(i) / 1440)) {
            ++s.Impossible;
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

    std::vector<bool> recorded(size_t(days) + 1, false);
    for (uint8_t d = 0; d < view.DayCount; ++d)
        if (groupPossible[d])
            recorded[view.Days[d]] = true;
    if (view.Channels > 0 && view.DayCount > 0) {
        // A gap carries no time: it is the day's whose records surround it,
        // or else the next day's, whose first interval it would have been.
        std::vector<uint16_t> missing(view.DayCount, 0);
        uint8_t g = 0;
        for (uint16_t i = 0; i < view.RecordCount; ++i) {
            while (g + 1 < view.DayCount && i > view.DayLast[g])
                ++g;
            if (SitePower(view, i) == NoSiteValue)
                ++missing[g];
        }
        for (uint8_t d = 0; d < view.DayCount; ++d) {
            if (!groupPossible[d])
                continue;
            s.DayEnergies.push_back({view.Days[d], view.Energy(view.Sums[0].DaySum[d]), missing[d]});
            if (s.HighestDay < 0 || s.DayEnergies.back().Energy > s.DayEnergies[size_t(s.HighestDay)].Energy)
                s.HighestDay = int(s.DayEnergies.size()) - 1;
        }
    }
    // The days already over without a single record: a whole past month,
    // the running one up to yesterday.
    int over = 0;
    if (first.isValid() && today >= first.addMonths(1))
        over = days;
    else if (first.isValid() && today > first)
        over = today.day() - 1;
    for (int d = 1; d <= over; ++d)
        if (!recorded[size_t(d)])
            s.DaysWithout.push_back(static_cast<uint8_t>(d));
    return s;
}
