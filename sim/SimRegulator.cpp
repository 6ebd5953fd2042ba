#include "SimRegulator.h"

#include "SimCalendar.h"
#include "SimRandom.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

void SimPut8(TSimBytes& b, unsigned v)
{
    b.push_back(static_cast<uint8_t>(v));
}

void SimPut16(TSimBytes& b, unsigned v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void SimPut32(TSimBytes& b, uint32_t v)
{
    SimPut16(b, v & 0xFFFF);
    SimPut16(b, v >> 16);
}

void SimPut64(TSimBytes& b, uint64_t v)
{
    SimPut32(b, static_cast<uint32_t>(v));
    SimPut32(b, static_cast<uint32_t>(v >> 32));
}

uint16_t SimGet16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t SimGet32(const uint8_t* p)
{
    return static_cast<uint32_t>(SimGet16(p)) | static_cast<uint32_t>(SimGet16(p + 2)) << 16;
}

TSimBytes TSimMonthTable::Bytes() const
{
    TSimBytes b;
    SimPut16(b, Month0);
    SimPut16(b, Month1);
    SimPut16(b, Count0);
    SimPut16(b, Count1);
    SimPut16(b, Lost);
    return b;
}

namespace {

constexpr double kPi = 3.14159265358979323846;

uint16_t ClampWord(double v)
{
    if (!(v > 0.0))
        return 0;
    if (v >= 65534.0)
        return 65534; // 65535 would read as "no value"
    return static_cast<uint16_t>(std::lround(v));
}

double Logistic(double x)
{
    return 1.0 / (1.0 + std::exp(-x));
}

} // namespace

TSimRegulator::TSimRegulator(const TSimConfig& config)
    : Cfg(config), Clock(config.Now), PregVT(config.PregVT), PregNT(config.PregNT)
{
    Cfg.Generation = std::clamp(Cfg.Generation, 1, 3);
    Cfg.Meters = std::clamp(Cfg.MeterCount(), 0, kMaxMeters);
    if (Cfg.IntervalMinutes < 1 || Cfg.IntervalMinutes > 60 || 60 % Cfg.IntervalMinutes != 0)
        Cfg.IntervalMinutes = 15;
    Cfg.Lost = std::max(0, Cfg.Lost);
    Cfg.Address &= 0x7F;

    // The site's load is shared out among the active meters so that its day
    // peak lies somewhat below the default VT limit whatever the meter count.
    int active = 0;
    for (int m = 1; m <= Cfg.Meters; ++m)
        active += MeterActive(m) ? 1 : 0;
    const double share = 300.0 / std::max(active, 1);
    for (int m = 0; m <= kMaxMeters; ++m) {
        MeterBase[m] = share * (0.7 + 0.6 * SimUnit(SimHash(Cfg.Seed, 0xBA5E, m)));
        MeterPhase[m] = SimUnit(SimHash(Cfg.Seed, 0xF4A5E, m));
    }
    MeterBase[0] = 300.0 * (0.7 + 0.6 * SimUnit(SimHash(Cfg.Seed, 0xBA5E, 0)));

    // Event times of the information block lie before the start, at times
    // that depend on the seed.
    const uint64_t h = SimHash(Cfg.Seed, 0x7153);
    TimeInit = Clock - (200 + static_cast<int64_t>(h % 400)) * 86400 - static_cast<int64_t>(h % 7) * 3600;
    TimePowerFail = Clock - (3 + static_cast<int64_t>(h % 20)) * 86400 - 5400;
    TimeConfig = Clock - (10 + static_cast<int64_t>(h % 30)) * 86400 + 2 * 3600;
    TimeReset = TimePowerFail + 120;
    TimeInit -= TimeInit % 60;
    TimePowerFail -= TimePowerFail % 60;
    TimeConfig -= TimeConfig % 60;
    TimeReset -= TimeReset % 60;
}

int TSimRegulator::Channels() const
{
    return Cfg.Meters + (Cfg.Generation >= 3 ? 1 : 0);
}

std::string TSimRegulator::IdText() const
{
    std::string t = Cfg.Id;
    if (t.empty()) {
        switch (Cfg.Generation) {
        case 1: t = "QDR-1 MAX DEMAND REGULATOR V1.4 1999"; break;
        case 2: t = "QDR-2 MAX DEMAND REGULATOR V2.1 2000"; break;
        default: t = "QDR-3 MAX DEMAND REGULATOR V3.0 2002"; break;
        }
    }
    // 6 header bytes + text must fit one reply block (the client reads at
    // most 253 data bytes).
    if (t.size() > 247)
        t.resize(247);
    return t;
}

void TSimRegulator::SetRegulatedPower(uint16_t vt, uint16_t nt)
{
    // 0 and 65535 are no usable limits: a write carrying them leaves that
    // tariff's setting as it was, and the reply shows what is really set.
    if (vt != 0 && vt != 65535)
        PregVT = vt;
    if (nt != 0 && nt != 65535)
        PregNT = nt;
    TimeConfig = Clock - Clock % 60;
    // The maxima of a live scenario follow the limits.
    MaxKey = 0xFFFFFFFF;
}

void TSimRegulator::RestartNumbering()
{
    const TSimCivil c = SimCivilFromSeconds(Clock);
    const uint16_t m0 = SimMonthNumber(c.Year, c.Month);
    Restarts[m0] = CompletedIntervals(m0);
    TimeReset = Clock - Clock % 60;
}

int TSimRegulator::Base(uint16_t month) const
{
    const auto it = Restarts.find(month);
    if (it == Restarts.end())
        return 0;
    return std::min<int>(it->second, CompletedIntervals(month));
}

uint16_t TSimRegulator::IntervalsInMonth(uint16_t month) const
{
    return static_cast<uint16_t>(SimMonthDays(month) * 1440 / Cfg.IntervalMinutes);
}

uint16_t TSimRegulator::CompletedIntervals(uint16_t month) const
{
    const int64_t start = SimMonthStartSeconds(month);
    if (Clock < start)
        return 0;
    const int64_t done = (Clock - start) / IntervalSeconds();
    return static_cast<uint16_t>(std::min<int64_t>(done, IntervalsInMonth(month)));
}

uint16_t TSimRegulator::NumberedRecords(uint16_t month) const
{
    return static_cast<uint16_t>(CompletedIntervals(month) - Base(month));
}

TSimMonthTable TSimRegulator::MonthTable() const
{
    const TSimCivil c = SimCivilFromSeconds(Clock);
    TSimMonthTable t;
    t.Month0 = SimMonthNumber(c.Year, c.Month);
    t.Month1 = static_cast<uint16_t>(t.Month0 - 1);
    t.Count0 = NumberedRecords(t.Month0);
    const uint16_t n1 = NumberedRecords(t.Month1);
    const uint16_t lost = static_cast<uint16_t>(std::min<int>(Cfg.Lost, n1));
    t.Count1 = static_cast<uint16_t>(n1 - lost);
    // With nothing held of the older month the lost count would be taken for
    // the current month's, so it is not reported then.
    t.Lost = t.Count1 != 0 ? lost : 0;
    return t;
}

uint16_t TSimRegulator::FirstHeld(uint16_t month) const
{
    const TSimMonthTable t = MonthTable();
    if (month == t.Month1)
        return static_cast<uint16_t>(t.Lost + 1);
    return 1;
}

bool TSimRegulator::RecordExists(uint16_t month, uint16_t index) const
{
    const TSimMonthTable t = MonthTable();
    if (index == 0)
        return false;
    if (month == t.Month0)
        return index <= t.Count0;
    if (month == t.Month1)
        return t.Count1 != 0 && index > t.Lost && index <= t.Count1 + t.Lost;
    return false;
}

std::optional<TSimBytes> TSimRegulator::Record(uint16_t month, uint16_t index) const
{
    if (!RecordExists(month, index))
        return std::nullopt;
    return SlotRecord(month, static_cast<uint16_t>(Base(month) + index));
}

bool TSimConfig::IsGap(uint16_t slot) const
{
    for (const auto& [first, last] : Gaps)
        if (slot >= first && slot <= last)
            return true;
    return false;
}

bool TSimConfig::IsErased(uint16_t slot) const
{
    for (const auto& [first, last] : Erased)
        if (slot >= first && slot <= last)
            return true;
    return false;
}

void TSimRegulator::SetMeters(int meters)
{
    Cfg.Meters = std::clamp(meters, 0, kMaxMeters);
    MaxKey = 0xFFFFFFFF;
}

TSimBytes TSimRegulator::SlotRecord(uint16_t month, uint16_t slot) const
{
    TSimBytes b;
    if (Cfg.IsErased(slot))
        return TSimBytes(static_cast<size_t>(RecordSize()), 0xFF);
    if (Cfg.IsGap(slot)) {
        SimPut16(b, 0);
        for (int ch = 0; ch < Channels(); ++ch)
            SimPut16(b, 65535);
        return b;
    }
    const int64_t start = SimMonthStartSeconds(month) + static_cast<int64_t>(slot - 1) * IntervalSeconds();
    const TSimCivil c = SimCivilFromSeconds(start);
    SimPut16(b, static_cast<unsigned>(c.Day * 1440 + c.Hour * 60 + c.Minute));
    for (int ch = 0; ch < Channels(); ++ch)
        SimPut16(b, ChannelValue(month, slot, ch));
    return b;
}

double TSimRegulator::MeterRaw(uint16_t month, uint16_t slot, int meter) const
{
    const int64_t start = SimMonthStartSeconds(month) + static_cast<int64_t>(slot - 1) * IntervalSeconds();
    if (Cfg.Load.Active() && (meter == 0 || MeterActive(meter)))
        return LoadInterval(start) * LoadShare(meter);
    const int64_t mid = start + IntervalSeconds() / 2;
    const int64_t day = mid / 86400;
    // Each meter's working day is shifted by up to an hour either way.
    const double hour = static_cast<double>(mid % 86400) / 3600.0 + (MeterPhase[meter] * 2.0 - 1.0);
    const double work = Logistic((hour - 6.5) * 1.6) * Logistic((17.5 - hour) * 1.2);
    const double evening = 0.15 * Logistic((hour - 17.0) * 2.0) * Logistic((22.0 - hour) * 2.0);
    double shape = 0.25 + 0.75 * work + evening;
    const int wd = SimWeekday(day);
    if (wd == 5)
        shape *= 0.55;
    else if (wd == 6)
        shape *= 0.4;
    const double dayFactor = 0.9 + 0.2 * SimUnit(SimHash(Cfg.Seed, 0xDA7, static_cast<uint64_t>(day), meter));
    const double noise = 0.88 + 0.24 * SimUnit(SimHash(Cfg.Seed, month, slot, static_cast<uint64_t>(meter)));
    double v = MeterBase[meter] * shape * dayFactor * noise;
    if (meter > 0 && !MeterActive(meter))
        v = MeterBase[meter] * 0.4 * (0.5 + 0.5 * shape) * noise;
    return v;
}

uint16_t TSimRegulator::MeterValue(uint16_t month, uint16_t slot, int meter) const
{
    return ClampWord(MeterRaw(month, slot, meter));
}

uint16_t TSimRegulator::ChannelValue(uint16_t month, uint16_t slot, int channel) const
{
    // Channel 0 is the site and channel k meter k in every generation (a
    // generation 1 or 2 regulator archives as many channels as it has
    // meters, so its last meter is not filed).
    if (channel == 0 && Cfg.Load.Active())
        return ClampWord(LoadInterval(SimMonthStartSeconds(month) + static_cast<int64_t>(slot - 1) * IntervalSeconds()));
    if (channel == 0) {
        unsigned sum = 0;
        bool any = false;
        for (int m = 1; m <= Cfg.Meters; ++m) {
            if (MeterActive(m)) {
                sum += MeterValue(month, slot, m);
                any = true;
            }
        }
        if (!any)
            sum = MeterValue(month, slot, 0);
        return static_cast<uint16_t>(std::min(sum, 65534u));
    }
    const int meter = channel;
    if (meter < 1 || meter > Cfg.Meters)
        return 65535;
    // Now and then a meter's pulses fail to arrive for an interval.
    if (SimUnit(SimHash(Cfg.Seed ^ 0x0DEAD, month, slot, static_cast<uint64_t>(meter))) < 0.002)
        return 65535;
    return MeterValue(month, slot, meter);
}

int64_t TSimRegulator::IntervalStart(int64_t seconds) const
{
    const int64_t len = IntervalSeconds();
    int64_t q = seconds / len;
    if (seconds < 0 && seconds % len != 0)
        --q;
    return q * len;
}

uint16_t TSimRegulator::SlotOf(int64_t intervalStart, uint16_t& month) const
{
    const TSimCivil c = SimCivilFromSeconds(intervalStart);
    month = SimMonthNumber(c.Year, c.Month);
    return static_cast<uint16_t>((intervalStart - SimMonthStartSeconds(month)) / IntervalSeconds() + 1);
}

int TSimRegulator::Tariff(int64_t seconds) const
{
    const int64_t s = ((seconds % 86400) + 86400) % 86400;
    const int hour = static_cast<int>(s / 3600);
    return hour >= 6 && hour < 22 ? 0 : 1;
}

double TSimRegulator::Wiggle(int meter, uint16_t value, int minute) const
{
    // Per-minute swing around the interval mean that sums to zero over the
    // interval, so the running average ends exactly on the archived value.
    const int n = Cfg.IntervalMinutes;
    if (n < 2)
        return 0.0;
    return 0.08 * value * std::sin(2.0 * kPi * (minute + 0.5) / n + 2.0 * kPi * MeterPhase[meter]);
}

uint16_t TSimRegulator::MeterPower(int meter, int64_t seconds) const
{
    if (Cfg.Load.Active() && (meter == 0 || MeterActive(meter)))
        return ClampWord(LoadPower(seconds) * LoadShare(meter));
    uint16_t month = 0;
    const int64_t start = IntervalStart(seconds);
    const uint16_t slot = SlotOf(start, month);
    const uint16_t v = MeterValue(month, slot, meter);
    const int minute = static_cast<int>((seconds - start) / 60);
    return ClampWord(v + Wiggle(meter, v, minute));
}

uint16_t TSimRegulator::MeterAverage(int meter, int64_t seconds) const
{
    if (Cfg.Load.Active() && (meter == 0 || MeterActive(meter)))
        return ClampWord(LoadAverage(seconds) * LoadShare(meter));
    uint16_t month = 0;
    const int64_t start = IntervalStart(seconds);
    const uint16_t slot = SlotOf(start, month);
    const uint16_t v = MeterValue(month, slot, meter);
    const int64_t e = seconds - start;
    if (e <= 0)
        return ClampWord(v + Wiggle(meter, v, 0));
    double sum = 0.0;
    const int full = static_cast<int>(e / 60);
    for (int j = 0; j < full; ++j)
        sum += 60.0 * (v + Wiggle(meter, v, j));
    sum += static_cast<double>(e % 60) * (v + Wiggle(meter, v, full));
    return ClampWord(sum / static_cast<double>(e));
}

uint16_t TSimRegulator::SitePower(int64_t seconds) const
{
    if (Cfg.Load.Active())
        return ClampWord(LoadPower(seconds));
    unsigned sum = 0;
    bool any = false;
    for (int m = 1; m <= Cfg.Meters; ++m) {
        if (MeterActive(m)) {
            sum += MeterPower(m, seconds);
            any = true;
        }
    }
    if (!any)
        sum = MeterPower(0, seconds);
    return static_cast<uint16_t>(std::min(sum, 65534u));
}

uint16_t TSimRegulator::SiteAverage(int64_t seconds) const
{
    if (Cfg.Load.Active())
        return ClampWord(LoadAverage(seconds));
    unsigned sum = 0;
    bool any = false;
    for (int m = 1; m <= Cfg.Meters; ++m) {
        if (MeterActive(m)) {
            sum += MeterAverage(m, seconds);
            any = true;
        }
    }
    if (!any)
        sum = MeterAverage(0, seconds);
    return static_cast<uint16_t>(std::min(sum, 65534u));
}

bool SimParseLoad(const std::string& text, TSimLoad& load)
{
    if (text == "off") {
        load = TSimLoad{};
        return true;
    }
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    const std::string shape = text.substr(0, colon);
    const std::string percent = text.substr(colon + 1);
    TSimLoad l;
    if (shape == "ramp")
        l.Shape = TSimLoadShape::Ramp;
    else if (shape == "steady")
        l.Shape = TSimLoadShape::Steady;
    else if (shape == "noisy")
        l.Shape = TSimLoadShape::Noisy;
    else
        return false;
    char* end = nullptr;
    l.Percent = std::strtod(percent.c_str(), &end);
    if (percent.empty() || *end != '\0' || !(l.Percent > 0.0 && l.Percent <= 1000.0))
        return false;
    load = l;
    return true;
}

void TSimRegulator::SetLoad(const TSimLoad& load)
{
    Cfg.Load = load;
    MaxKey = 0xFFFFFFFF;
}

double TSimRegulator::LoadFactor(int64_t e, int64_t len) const
{
    const double x = (static_cast<double>(e) + 0.5) / static_cast<double>(len);
    switch (Cfg.Load.Shape) {
    case TSimLoadShape::Ramp:
        // Rises steadily from two thirds of the interval's result to four
        // thirds of it: the projection crosses the result's limit well before
        // the end.
        return 2.0 / 3.0 + 2.0 / 3.0 * x;
    case TSimLoadShape::Steady:
        return 1.0 + 0.02 * std::sin(2.0 * kPi * x);
    case TSimLoadShape::Noisy: {
        // A burst at 160% over the first seconds (a motor starting), then a
        // lower, jittering load that brings the interval back to its result.
        const int64_t burst = std::clamp<int64_t>(len / 6, 1, 20);
        if (e < burst)
            return 1.6;
        const double rest = (static_cast<double>(len) - 1.6 * static_cast<double>(burst)) / static_cast<double>(len - burst);
        return rest + 0.05 * (2.0 * SimUnit(SimHash(Cfg.Seed, 0x4015E, static_cast<uint64_t>(e / 2))) - 1.0);
    }
    case TSimLoadShape::None:
        break;
    }
    return 1.0;
}

double TSimRegulator::LoadPower(int64_t seconds) const
{
    const int64_t start = IntervalStart(seconds);
    const double limit = RegulatedPower(Tariff(start));
    return limit * Cfg.Load.Percent / 100.0 * LoadFactor(seconds - start, IntervalSeconds());
}

double TSimRegulator::LoadAverage(int64_t seconds) const
{
    // What a meter integrates: the mean of the whole seconds elapsed.
    const int64_t start = IntervalStart(seconds);
    const int64_t e = seconds - start;
    if (e <= 0)
        return LoadPower(start);
    const double limit = RegulatedPower(Tariff(start));
    double sum = 0.0;
    for (int64_t k = 0; k < e; ++k)
        sum += LoadFactor(k, IntervalSeconds());
    return limit * Cfg.Load.Percent / 100.0 * sum / static_cast<double>(e);
}

double TSimRegulator::LoadInterval(int64_t intervalStart) const
{
    const double limit = RegulatedPower(Tariff(intervalStart));
    double sum = 0.0;
    for (int64_t k = 0; k < IntervalSeconds(); ++k)
        sum += LoadFactor(k, IntervalSeconds());
    return limit * Cfg.Load.Percent / 100.0 * sum / static_cast<double>(IntervalSeconds());
}

double TSimRegulator::LoadShare(int meter) const
{
    if (meter == 0)
        return 1.0;
    double total = 0.0;
    for (int m = 1; m <= Cfg.Meters; ++m)
        if (MeterActive(m))
            total += MeterBase[m];
    return total > 0.0 ? MeterBase[meter] / total : 1.0;
}

int TSimRegulator::Stage(int64_t seconds) const
{
    const double preg = RegulatedPower(Tariff(seconds));
    const double p = SitePower(seconds);
    const double threshold = 0.9 * preg;
    if (p <= threshold)
        return 0;
    if (preg <= 0.0)
        return kStages;
    return std::min(kStages, 1 + static_cast<int>((p - threshold) / (0.05 * preg)));
}

TSimRegulator::TMaximum TSimRegulator::Maximum(int tariff) const
{
    const TSimCivil c = SimCivilFromSeconds(Clock);
    const uint16_t m0 = SimMonthNumber(c.Year, c.Month);
    const uint16_t done = CompletedIntervals(m0);
    const uint32_t key = static_cast<uint32_t>(m0) << 16 | done;
    if (key == MaxKey)
        return MaxCache[tariff ? 1 : 0];
    TMaximum best[2];
    const int64_t monthStart = SimMonthStartSeconds(m0);
    for (uint16_t slot = 1; slot <= done; ++slot) {
        if (Cfg.IsGap(slot))
            continue;
        const int64_t start = monthStart + static_cast<int64_t>(slot - 1) * IntervalSeconds();
        const unsigned site = ChannelValue(m0, slot, 0);
        TMaximum& b = best[Tariff(start)];
        if (b.Start == 0 || site > b.Power) {
            b.Power = static_cast<uint16_t>(std::min(site, 65534u));
            b.Start = start;
        }
    }
    MaxCache[0] = best[0];
    MaxCache[1] = best[1];
    MaxKey = key;
    return best[tariff ? 1 : 0];
}

// ---- reply blocks ----------------------------------------------------------

TSimBytes TSimRegulator::Block0() const
{
    TSimBytes b;
    // Generation, firmware version, meter count and a serial number.
    SimPut8(b, static_cast<unsigned>(Cfg.Generation));
    SimPut8(b, static_cast<unsigned>(Cfg.Generation));
    SimPut8(b, Cfg.Generation == 1 ? 4 : Cfg.Generation == 2 ? 1 : 0);
    SimPut8(b, static_cast<unsigned>(Cfg.Meters));
    SimPut16(b, static_cast<unsigned>(1000 + SimHash(Cfg.Seed, 0x5E41) % 9000));
    const std::string t = IdText();
    b.insert(b.end(), t.begin(), t.end());
    return b;
}

TSimBytes TSimRegulator::Block1() const
{
    TSimBytes b;
    SimPut32(b, SimPackedTime(TimeInit));
    SimPut32(b, SimPackedTime(TimePowerFail));
    SimPut32(b, SimPackedTime(TimeConfig));
    SimPut32(b, SimPackedTime(TimeReset));
    SimPut8(b, static_cast<unsigned>(Cfg.Meters));
    SimPut8(b, kStages);
    SimPut8(b, kAppliances);
    // The kind byte carries meter 1 in bit 1 (bit 0 is the main measurement).
    SimPut8(b, static_cast<unsigned>(Cfg.Kinds << 1) & 0xFF);
    SimPut16(b, PregVT);
    SimPut16(b, PregNT);
    return b;
}

TSimBytes TSimRegulator::Block2() const
{
    TSimBytes b;
    const int64_t start = IntervalStart(Clock);
    const TMaximum vt = Maximum(0);
    const TMaximum nt = Maximum(1);
    SimPut8(b, 0);
    SimPut32(b, SimPackedTime(Clock));
    SimPut16(b, static_cast<unsigned>(Clock - start));
    SimPut16(b, SitePower(Clock));
    SimPut16(b, SiteAverage(Clock));
    SimPut8(b, static_cast<unsigned>(Stage(Clock)));
    SimPut8(b, static_cast<unsigned>(Tariff(Clock)));
    SimPut16(b, vt.Power);
    SimPut16(b, nt.Power);
    SimPut32(b, vt.Start ? SimPackedTime(vt.Start) : 0);
    SimPut32(b, nt.Start ? SimPackedTime(nt.Start) : 0);
    const TSimBytes table = MonthTable().Bytes();
    b.insert(b.end(), table.begin(), table.end());
    return b;
}

TSimBytes TSimRegulator::Block3(uint16_t month, uint16_t first0, uint8_t count) const
{
    TSimBytes b;
    const size_t fit = static_cast<size_t>(254 - std::clamp(Cfg.Trailing, 0, 5)) / static_cast<size_t>(RecordSize());
    const size_t n = std::min<size_t>(count, fit);
    for (size_t k = 0; k < n; ++k) {
        const uint32_t index = static_cast<uint32_t>(first0) + 1 + k;
        if (index > 65535)
            break;
        const std::optional<TSimBytes> r = Record(month, static_cast<uint16_t>(index));
        if (!r)
            break;
        b.insert(b.end(), r->begin(), r->end());
    }
    if (!b.empty())
        b.insert(b.end(), static_cast<size_t>(std::clamp(Cfg.Trailing, 0, 5)), 0xEE);
    return b;
}

TSimBytes TSimRegulator::Block4(uint8_t slot) const
{
    TSimBytes b;
    const int64_t current = IntervalStart(Clock);
    int64_t start = 0;
    int samples = 60;
    switch (slot) {
    case 0:
        start = current;
        samples = static_cast<int>(std::min<int64_t>(60, (Clock - current) / Cfg.IntervalMinutes));
        break;
    case 1: start = current - IntervalSeconds(); break;
    default: start = Maximum(slot == 2 ? 0 : 1).Start; break;
    }
    if (start == 0) {
        SimPut32(b, 0);
        return b;
    }
    SimPut32(b, SimPackedTime(start));
    const double preg = RegulatedPower(Tariff(start));
    for (int j = 0; j < samples; ++j) {
        // 60 samples per interval, each at the end of its sixtieth.
        const int64_t at = start + static_cast<int64_t>(j + 1) * Cfg.IntervalMinutes - 1;
        const double pct = preg > 0 ? SitePower(at) * 100.0 / preg : 254.0;
        SimPut8(b, std::min<unsigned>(254, static_cast<unsigned>(std::lround(pct))));
        SimPut8(b, static_cast<unsigned>(Stage(at)));
    }
    return b;
}

TSimBytes TSimRegulator::Block5() const
{
    TSimBytes b;
    const int64_t start = IntervalStart(Clock);
    const int stage = Stage(Clock);
    const int tariff = Tariff(Clock);
    const TMaximum vt = Maximum(0);
    const TMaximum nt = Maximum(1);
    SimPut32(b, SimPackedTime(Clock));
    SimPut32(b, static_cast<uint32_t>(Clock - start));
    SimPut8(b, static_cast<unsigned>(stage));
    SimPut8(b, static_cast<unsigned>(tariff));
    // Stage s keeps appliances 1..s switched off.
    SimPut64(b, stage >= 64 ? ~0ull : (1ull << stage) - 1);
    // Signals: 1 low tariff, 2 interval synchronisation pulse (first 10 s),
    // 3 regulation active.
    uint64_t signals = 0;
    if (tariff == 1)
        signals |= 1;
    if (Clock - start < 10)
        signals |= 2;
    if (stage > 0)
        signals |= 4;
    SimPut64(b, signals);
    SimPut16(b, vt.Power);
    SimPut16(b, nt.Power);
    SimPut32(b, vt.Start ? SimPackedTime(vt.Start) : 0);
    SimPut32(b, nt.Start ? SimPackedTime(nt.Start) : 0);
    const TSimCivil c = SimCivilFromSeconds(Clock);
    SimPut32(b, SimPackedTime(SimMonthStartSeconds(SimMonthNumber(c.Year, c.Month))));
    SimPut8(b, 0);
    return b;
}

TSimBytes TSimRegulator::Block7() const
{
    TSimBytes b;
    SimPut16(b, PregVT);
    SimPut16(b, PregNT);
    return b;
}

void TSimRegulator::PutReadings(TSimBytes& b, bool previous) const
{
    const int64_t at = previous ? IntervalStart(Clock) - IntervalSeconds() : Clock;
    uint16_t month = 0;
    const uint16_t slot = SlotOf(IntervalStart(at), month);
    for (int e = 0; e <= kMaxMeters; ++e) {
        if (e == 0) {
            if (previous) {
                const uint16_t v = Cfg.Generation >= 3 ? ChannelValue(month, slot, 0) : 0;
                SimPut16(b, v);
                SimPut16(b, v);
            } else {
                SimPut16(b, SitePower(at));
                SimPut16(b, SiteAverage(at));
            }
        } else if (e <= Cfg.Meters) {
            if (previous) {
                const uint16_t v = MeterValue(month, slot, e);
                SimPut16(b, v);
                SimPut16(b, v);
            } else {
                SimPut16(b, MeterPower(e, at));
                SimPut16(b, MeterAverage(e, at));
            }
        } else {
            SimPut16(b, 0);
            SimPut16(b, 0);
        }
    }
}

void TSimRegulator::PutMeasurementCore(TSimBytes& b) const
{
    SimPut32(b, SimPackedTime(Clock));
    SimPut16(b, static_cast<unsigned>(Clock - IntervalStart(Clock)));
    PutReadings(b, false);
    SimPut16(b, Cfg.Kinds);
    const TSimBytes table = MonthTable().Bytes();
    b.insert(b.end(), table.begin(), table.end());
}

TSimBytes TSimRegulator::Block8() const
{
    TSimBytes b;
    PutMeasurementCore(b);
    return b;
}

TSimBytes TSimRegulator::Block9(uint16_t month, uint16_t index) const
{
    TSimBytes b;
    SimPut16(b, month);
    const std::optional<TSimBytes> r = Record(month, index);
    if (r) {
        SimPut16(b, index);
        b.insert(b.end(), r->begin(), r->end());
    } else {
        SimPut16(b, 0);
        SimPut16(b, 0);
    }
    b.resize(32, 0xFF);
    return b;
}

TSimBytes TSimRegulator::Block10() const
{
    TSimBytes b;
    PutMeasurementCore(b);
    const int64_t len = IntervalSeconds();
    const int64_t start = IntervalStart(Clock);
    const int64_t e = Clock - start;
    const uint16_t allowed = RegulatedPower(Tariff(Clock));
    const double avg = SiteAverage(Clock);
    // The constant power for the rest of the interval that ends it exactly at
    // the allowed interval power.
    const double optimal = e >= len ? allowed : (allowed * static_cast<double>(len) - avg * static_cast<double>(e)) /
                                                    static_cast<double>(len - e);
    const int64_t hourStart = Clock - ((Clock % 3600) + 3600) % 3600;
    double energy = avg * static_cast<double>(e) / 3600.0;
    for (int64_t s = hourStart; s < start; s += len) {
        uint16_t month = 0;
        const uint16_t slot = SlotOf(s, month);
        double site = 0;
        bool any = false;
        for (int m = 1; m <= Cfg.Meters; ++m)
            if (MeterActive(m)) {
                site += MeterValue(month, slot, m);
                any = true;
            }
        if (!any)
            site = MeterValue(month, slot, 0);
        energy += site * static_cast<double>(len) / 3600.0;
    }
    SimPut16(b, allowed);
    SimPut16(b, ClampWord(optimal));
    SimPut32(b, static_cast<uint32_t>(Clock / 86400));
    SimPut16(b, static_cast<unsigned>((Clock % 86400) / len));
    SimPut32(b, static_cast<uint32_t>(start / len));
    SimPut16(b, ClampWord(allowed * 0.9));
    SimPut16(b, ClampWord(energy));
    return b;
}

TSimBytes TSimRegulator::Block11(bool previous) const
{
    TSimBytes b;
    PutReadings(b, previous);
    return b;
}

// ---- requests --------------------------------------------------------------

TSimAnswer TSimRegulator::Answer(const TSimRequest& request)
{
    TSimAnswer a;
    if (request.Address != Cfg.Address) {
        a.Why = "not our address";
        return a;
    }
    const int g = Cfg.Generation;
    int need = 0;
    bool known = true;
    switch (request.Command) {
    case 0: case 1: case 2: case 7: case 3: case 4: known = true; break;
    case 5: case 6: known = g >= 2; break;
    case 8: case 9: case 10: case 11: case 12: known = g >= 3; break;
    default: known = false; break;
    }
    switch (request.Command) {
    case 3: need = 5; break;
    case 4: need = 1; break;
    case 7: case 9: need = 4; break;
    default: need = 0; break;
    }
    if (!known) {
        a.Why = "command not known to this generation";
        return a;
    }
    if (request.Data.size() != static_cast<size_t>(need)) {
        a.Why = "wrong request length";
        return a;
    }
    const uint8_t* d = request.Data.data();
    a.Reply = true;
    switch (request.Command) {
    case 0: a.Data = Block0(); break;
    case 1: a.Data = Block1(); break;
    case 2: a.Data = Block2(); break;
    case 3: a.Data = Block3(SimGet16(d), SimGet16(d + 2), d[4]); break;
    case 4:
        if (d[0] > 3) {
            a.Reply = false;
            a.Why = "no such interval record";
            return a;
        }
        a.Data = Block4(d[0]);
        break;
    case 5: case 6: a.Data = Block5(); break;
    case 7:
        SetRegulatedPower(SimGet16(d), SimGet16(d + 2));
        a.Data = Block7();
        break;
    case 8: a.Data = Block8(); break;
    case 9: a.Data = Block9(SimGet16(d), SimGet16(d + 2)); break;
    case 10: a.Data = Block10(); break;
    case 11: a.Data = Block11(false); break;
    case 12: a.Data = Block11(true); break;
    }
    return a;
}
