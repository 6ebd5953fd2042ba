#include "telemetry/TelemetryModel.h"

#include "app/Engine.h"
#include "core/MeterNames.h"
#include "output/RecordClock.h"
#include "regulator/DispArch.h"
#include "regulator/SiteMeasurement.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

TTelemetryModel::TTelemetryModel(TEngine& engine, const TSettings& settings)
{
    Apply(settings);
    FTimer.setTimerType(Qt::PreciseTimer);
    FTimer.setInterval(1000);
    QObject::connect(&FTimer, &QTimer::timeout, this, [this] { Second(); });
    FTimer.start();
    Follow(&engine);
}

TTelemetryModel::~TTelemetryModel() { Follow(nullptr); }

void TTelemetryModel::Follow(TEngine* engine)
{
    if (engine == FEngine)
        return;
    if (FEngine)
        FEngine->RemoveObserver(this);
    FEngine = engine;
    if (!FEngine)
        return;
    // A model that meets an engine already running starts from what it
    // already knows.
    if (FEngine->Generation() != 0) {
        Identified(*FEngine);
        if (FEngine->ValueKem && FEngine->ValueKem->IsValid())
            InformationArrived(*FEngine);
    }
    FMonthDirty = FRecordsDirty = FLifetimeDirty = true;
    FEngine->AddObserver(this);
}

void TTelemetryModel::Apply(const TSettings& settings)
{
    FNode = settings.Mqtt.Node;
    FSite = settings.Miesto;
    FMeterNames = settings.MeterNames;
    FApplianceNames = settings.ApplianceNames;
    FReading = settings.Alerts.Reading;
    FContract = settings.Contract;
    FZone = ZoneByName(settings.TimeZone);
    if (!FZone.isValid())
        FZone = QTimeZone::systemTimeZone();
    FMonthDirty = FRecordsDirty = FLifetimeDirty = true;
}

std::optional<double> TTelemetryModel::ContractedCapacity() const
{
    int64_t centiKw = 0;
    if (!FMonth.Valid || !FContract.Usable() || FContract.PureDemandTariff() || !FContract.CapacityIn(FMonth.Month, centiKw))
        return std::nullopt;
    return double(centiKw) / 100.0;
}

QString TTelemetryModel::SiteName() const { return FSite.isEmpty() ? FNode : FSite; }

bool TTelemetryModel::Known() const { return FGeneration != 0 && FInformed && (FGeneration < 3 || FKinds); }

int TTelemetryModel::LiveChannels() const
{
    if (!Known())
        return 0;
    return FGeneration >= 3 ? std::min(1 + FMeters, MaxChannels) : 1;
}

bool TTelemetryModel::Reactive(int channel) const
{
    return channel >= 1 && channel <= 16 && (FKindMask >> (channel - 1) & 1u);
}

QString TTelemetryModel::ChannelName(int channel) const
{
    if (channel == 0)
        return MainMeasurementTitle();
    return MeterName(channel, channel - 1 < FMeterNames.size() ? FMeterNames.at(channel - 1) : QString());
}

QString TTelemetryModel::ApplianceName(int n) const
{
    return ::ApplianceName(n, n - 1 < FApplianceNames.size() ? FApplianceNames.at(n - 1) : QString());
}

bool TTelemetryModel::Live(const TValue& value) const
{
    // Stale: the link went down since it came. Its age alone would keep it
    // for half a minute more.
    return FEngine && FEngine->LinkUp() && value.IsValid() && !value.Stale;
}

std::optional<double> TTelemetryModel::Power(int channel) const
{
    if (!FEngine || channel < 0 || channel >= LiveChannels())
        return std::nullopt;
    if (channel == 0) {
        const TValueWord* p = FEngine->InterfaceME->Power;
        return Live(*p) ? std::optional<double>(p->Value) : std::nullopt;
    }
    const TValueGridEm* grid = FEngine->GridEm;
    return Live(*grid) ? std::optional<double>(grid->Readings[size_t(channel)][0]) : std::nullopt;
}

std::optional<double> TTelemetryModel::Average(int channel) const
{
    if (!FEngine || channel < 0 || channel >= LiveChannels())
        return std::nullopt;
    if (channel == 0) {
        const TValueWord* a = FEngine->InterfaceME->AveragePower;
        return Live(*a) ? std::optional<double>(a->Value) : std::nullopt;
    }
    const TValueGridEm* grid = FEngine->GridEm;
    return Live(*grid) ? std::optional<double>(grid->Readings[size_t(channel)][1]) : std::nullopt;
}

std::optional<double> TTelemetryModel::Projected() const
{
    // The alerts' projection, on the same figures: the running interval the
    // engine follows, the present power, the reading [ALARMY] Priemer says.
    const std::optional<double> power = Power(0);
    if (!power || !FEngine->RunningInterval().Valid)
        return std::nullopt;
    const TEngine::TLiveInterval& run = FEngine->RunningInterval();
    const uint32_t length = uint32_t(std::max<uint8_t>(1, FEngine->InterfaceME->IntervalMinutes)) * 60;
    return ProjectedIntervalPower(run.Average, *power, run.Elapsed, length, FReading);
}

std::optional<uint16_t> TTelemetryModel::Regulated(int tariff) const
{
    if (!FHaveRegulated || tariff < 0 || tariff > 1)
        return std::nullopt;
    return FRegulated[size_t(tariff)];
}

std::optional<int> TTelemetryModel::Tariff() const
{
    if (!FEngine)
        return std::nullopt;
    const TValueStrings* t = FEngine->ValueTa;
    return Known() && Live(*t) && t->Index <= 1 ? std::optional<int>(t->Index) : std::nullopt;
}

std::optional<uint16_t> TTelemetryModel::RegulatedInForce() const
{
    const std::optional<int> tariff = Tariff();
    return tariff ? Regulated(*tariff) : std::nullopt;
}

std::optional<int> TTelemetryModel::IntervalSeconds() const
{
    if (!FEngine)
        return std::nullopt;
    return std::max<int>(1, FEngine->InterfaceME->IntervalMinutes) * 60;
}

std::optional<int> TTelemetryModel::IntervalElapsed() const
{
    if (!FEngine || !Known() || !FEngine->RunningInterval().Valid)
        return std::nullopt;
    return int(FEngine->RunningInterval().Elapsed);
}

std::optional<int> TTelemetryModel::Stage() const
{
    if (!FEngine)
        return std::nullopt;
    const TValueWord* s = FEngine->ValueRs;
    return Known() && Live(*s) ? std::optional<int>(s->Value) : std::nullopt;
}

std::optional<bool> TTelemetryModel::Appliance(int n) const
{
    if (!FEngine)
        return std::nullopt;
    const TValueListIO* io = FEngine->ListIO;
    if (n < 1 || n > Appliances() || !Live(*io))
        return std::nullopt;
    return bool(io->ApplianceStates >> (n - 1) & 1u);
}

std::optional<QString> TTelemetryModel::Identification() const
{
    return FIdentification.isEmpty() ? std::nullopt : std::optional<QString>(FIdentification);
}

std::optional<QString> TTelemetryModel::Firmware() const
{
    static const QRegularExpression version(QStringLiteral("(?:^|\\s)[Vv](\\d+(?:\\.\\d+)*)(?=\\s|$)"));
    const QRegularExpressionMatch m = version.match(FIdentification);
    return m.hasMatch() ? std::optional<QString>(m.captured(1)) : std::nullopt;
}

bool TTelemetryModel::LinkUp() const { return FEngine && FEngine->LinkUp(); }

bool TTelemetryModel::LinkKnown() const { return FEngine && FEngine->Link().State != TEngine::TLinkState::Starting; }

std::optional<int64_t> TTelemetryModel::LastReply() const
{
    if (!FEngine)
        return std::nullopt;
    const QDateTime& last = FEngine->Link().LastReply;
    return last.isValid() ? std::optional<int64_t>(last.toSecsSinceEpoch()) : std::nullopt;
}

QString TTelemetryModel::TInstant::Iso() const
{
    TTimedRecord r;
    r.Utc = Utc;
    r.Offset = Offset;
    return IsoTime(r);
}

std::optional<TTelemetryModel::TInstant> TTelemetryModel::InstantOf(uint32_t regulatorTime) const
{
    TRecordClock clock(FZone, static_cast<uint16_t>(regulatorTime >> 16));
    TInstant at;
    if (!clock.Next(static_cast<uint16_t>(regulatorTime), at.Utc, at.Offset))
        return std::nullopt;
    return at;
}

void TTelemetryModel::Identified(const TEngine& engine)
{
    // Another regulator (or the same one restarted): what it has is asked
    // again; until then the outputs keep what the last one had.
    if (engine.Generation() != FGeneration) {
        FInformed = false;
        FKinds = false;
    }
    FGeneration = engine.Generation();
    if (engine.ValueId->IsValid() && !engine.ValueId->Text.trimmed().isEmpty())
        FIdentification = engine.ValueId->Text.trimmed();
    FMonthDirty = FRecordsDirty = FLifetimeDirty = true;
}

void TTelemetryModel::LinkChanged(const TEngine&)
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (OnLink)
                OnLink();
        },
        Qt::QueuedConnection);
}

void TTelemetryModel::InformationArrived(const TEngine& engine)
{
    if (engine.Generation() == 0)
        return;
    FGeneration = engine.Generation();
    FMeters = std::min<int>(engine.ValueKem->Value, MaxChannels - 1);
    FArchiveChannels = std::min<int>(engine.GridEm->MeterCount, MaxChannels);
    FAppliances = std::min<int>(engine.ValueKso->Value, MaxAppliances);
    if (FGeneration < 3)
        FKindMask = engine.Archive->KindMask;
    FInformed = true;
    FMonthDirty = FRecordsDirty = FLifetimeDirty = true;
}

void TTelemetryModel::RegulatedPowerArrived(const TEngine&, uint16_t vt, uint16_t nt)
{
    FHaveRegulated = true;
    FRegulated = {vt, nt};
}

void TTelemetryModel::LiveArrived(const TEngine& engine, uint8_t block)
{
    if (engine.Generation() >= 3 && (block == 8 || block == 10)) {
        FKindMask = engine.GridEm->KindWord;
        FKinds = true;
    }
    // The month table came with the block: a new month, or a record the
    // regulator has and the file has not yet.
    const TArchiveQDR& archive = *engine.Archive;
    if (archive.MonthEntry(0).Month != FMonthSeen[0] || archive.MonthEntry(0).Count != FMonthSeen[1]) {
        FMonthSeen = {archive.MonthEntry(0).Month, archive.MonthEntry(0).Count};
        FMonthDirty = FRecordsDirty = FLifetimeDirty = true;
    }
}

void TTelemetryModel::IntervalClosed(const TEngine&, const TClosedInterval& closed)
{
    const std::optional<TInstant> start = InstantOf(closed.Start);
    if (!start)
        return;
    FClosed.Valid = true;
    FClosed.Start = *start;
    FClosed.Channels = std::max(1, LiveChannels());
    FClosed.Power.fill(0);
    FClosed.Power[0] = closed.AveragePower;
    if (FGeneration >= 3)
        for (int c = 1; c < FClosed.Channels; ++c)
            FClosed.Power[size_t(c)] = closed.Averages[size_t(c)];
}

void TTelemetryModel::ExchangeEnded(const TEngine&, uint8_t code) { ++FExchanges[code]; }

void TTelemetryModel::RecordsFiled(const TEngine&, uint16_t, uint16_t, uint16_t count)
{
    FRecordsFiled += count;
    FMonthDirty = FRecordsDirty = FLifetimeDirty = true;
}

void TTelemetryModel::DownloadChanged(const TEngine&) { FMonthDirty = FLifetimeDirty = true; }

void TTelemetryModel::Silenced(const TEngine&)
{
    // The regulated powers are what the regulator last said; with it gone
    // for a minute nobody knows them any more.
    FHaveRegulated = false;
}

void TTelemetryModel::Second()
{
    // Downloads mark the files at every batch; they are read at most once a
    // second, and the month's sums only once its file is whole.
    if (FEngine && FRecordsDirty)
        TakeRecords();
    if (FEngine && FMonthDirty)
        TakeMonth();
    if (FEngine && FLifetimeDirty)
        TakeLifetime();
    if (OnSecond)
        OnSecond();
}

void TTelemetryModel::TakeRecords()
{
    FRecordsDirty = false;
    TArchiveQDR* archive = FEngine->Archive.get();
    std::vector<std::pair<uint16_t, uint16_t>> records;
    for (uint8_t i = 0; i < 2; ++i) {
        const uint16_t month = archive->MonthEntry(i).Month;
        const QString name = archive->MonthFileName(month);
        if (name.isEmpty())
            continue;
        // A month neither open nor on the disk holds nothing: opening it
        // would only make an empty one.
        if (!archive->Find(name) && !QFileInfo::exists(archive->FullName(name))) {
            records.emplace_back(month, 0);
            continue;
        }
        TDispArch view(archive, FEngine->InterfaceME->IntervalMinutes);
        if (view.Open(name))
            records.emplace_back(month, view.RecordCount);
    }
    FMonthRecords = std::move(records);
}

void TTelemetryModel::TakeMonth()
{
    TArchiveQDR* archive = FEngine->Archive.get();
    const TMonthEntry& entry = archive->MonthEntry(0);
    // Until the file holds every record the regulator numbers for the month,
    // what was said stands: a sum of part of the month is never said.
    if (!Known() || archive->MonthFileName(entry.Month).isEmpty() || archive->MonthProgress(0).Done < entry.Count)
        return;
    const uint8_t minutes = FEngine->InterfaceME->IntervalMinutes;
    TMonth month;
    month.Valid = true;
    month.Month = entry.Month;
    month.Energy.assign(size_t(std::max(0, FArchiveChannels)), 0.0);
    TDispArch view(archive, minutes);
    if (view.Open(archive->MonthFileName(entry.Month))) {
        for (size_t c = 0; c < month.Energy.size() && c < view.Channels; ++c)
            month.Energy[c] = double(view.Sums[c].Total) * minutes / 60.0;
        for (const TTimedRecord& r : TimedRecords(view, FZone)) {
            const uint16_t v = SitePower(view, r.Index);
            if (v == TDispArch::NoValue || (month.HavePeak && v <= month.Peak))
                continue;
            month.HavePeak = true;
            month.Peak = v;
            month.PeakStart = TInstant{r.Utc, r.Offset};
        }
    } else if (entry.Count != 0) {
        return;
    }
    FMonth = std::move(month);
    FMonthDirty = false;
}

void TTelemetryModel::TakeLifetime()
{
    if (!Known())
        return;
    FLifetimeDirty = false;
    TArchiveQDR* archive = FEngine->Archive.get();
    const uint8_t minutes = FEngine->InterfaceME->IntervalMinutes;
    const QString ext = archive->MonthFileName(12 * 2000).section(QLatin1Char('.'), 1);
    // Month files only (2026dec.qdr): a file kept aside under another
    // suffix is no longer the archive's.
    const QRegularExpression monthName(QStringLiteral("^[0-9]{4}[a-z]{3}\\.") + QRegularExpression::escape(ext) + QLatin1Char('$'));
    const QDir folder(archive->Folder().isEmpty() ? QStringLiteral(".") : archive->Folder());
    std::map<QString, TFileSum> sums;
    for (const QFileInfo& info : folder.entryInfoList({QStringLiteral("*.") + ext}, QDir::Files, QDir::Name)) {
        const QString name = info.fileName();
        if (!monthName.match(name).hasMatch())
            continue;
        TFileSum sum;
        sum.Size = info.size();
        sum.Modified = info.lastModified().toMSecsSinceEpoch();
        const auto was = FFileSums.find(name);
        // A file open for filing may hold records not yet on the disk.
        if (was != FFileSums.end() && !archive->Find(name) && was->second.Size == sum.Size &&
            was->second.Modified == sum.Modified) {
            sums.emplace(name, was->second);
            continue;
        }
        TDispArch view(archive, minutes);
        if (!view.Open(name)) {
            if (was != FFileSums.end())
                sums.emplace(name, was->second);
            continue;
        }
        sum.Records = view.RecordCount;
        for (size_t c = 0; c < view.Channels && c < sum.Sums.size(); ++c)
            sum.Sums[c] = view.Sums[c].Total;
        sums.emplace(name, sum);
    }
    // A month's file that lost records or went away: the archive was
    // replaced or the month kept aside, and the lifetime falls with it.
    for (const auto& [name, was] : FFileSums) {
        const auto now = sums.find(name);
        bool fell = now == sums.end() || now->second.Records < was.Records;
        for (size_t c = 0; !fell && c < was.Sums.size(); ++c)
            fell = now->second.Sums[c] < was.Sums[c];
        if (!fell || !OnLog)
            continue;
        const QString full = archive->FullName(name);
        const QString reason = QFileInfo::exists(full + QLatin1Char('.') + QLatin1String(TArchiveQDR::ReplacedReason))
            ? QLatin1String(TArchiveQDR::ReplacedReason)
            : QFileInfo::exists(full + QLatin1Char('.') + QLatin1String(TArchiveQDR::SizeReason))
            ? QLatin1String(TArchiveQDR::SizeReason)
            : now == sums.end() ? QStringLiteral("gone") : QStringLiteral("shrunk");
        OnLog(TLogLine(QStringLiteral("energy-reset"))
                  .Add(QStringLiteral("file"), name)
                  .Add(QStringLiteral("reason"), reason)
                  .Add(QStringLiteral("records"), QString::number(now == sums.end() ? 0 : now->second.Records))
                  .Add(QStringLiteral("was"), QString::number(was.Records)));
    }
    FFileSums = std::move(sums);
    std::vector<uint64_t> total(size_t(std::max(0, FArchiveChannels)), 0);
    for (const auto& [name, sum] : FFileSums)
        for (size_t c = 0; c < total.size() && c < sum.Sums.size(); ++c)
            total[c] += sum.Sums[c];
    FLifetime.clear();
    for (size_t c = 0; c < total.size(); ++c)
        FLifetime[int(c)] = double(total[c]) * minutes / 60.0;
}
