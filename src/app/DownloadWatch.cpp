#include "app/DownloadWatch.h"

#include "comm/ComInterface.h"
#include "core/TextFunctions.h"

#include <QFileInfo>
#include <QStringList>

void TDownloadWatch::Ended(uint8_t code)
{
    if (ArchivePending)
        FStall.Code = code;
    ArchivePending = false;
}

bool TDownloadWatch::Watch(const TProgress& p, bool linkUp, uint32_t lastReply, uint32_t now)
{
    const bool moved = p.Stored != Stored || p.Month != RequestMonth || p.Start != RequestStart || p.Count == 0;
    if (moved) {
        Stored = p.Stored;
        RequestMonth = p.Month;
        RequestStart = p.Start;
        Counted = 0;
        CountedTo = now;
    }
    // The download stands only where the regulator was heard: the clock runs
    // up to the last valid reply and only while the link is up, so a mute
    // spell (the time-outs before the link is taken as down included) is the
    // outage the link says, never a stall.
    if (linkUp && static_cast<int32_t>(lastReply - CountedTo) > 0) {
        Counted += lastReply - CountedTo;
        CountedTo = lastReply;
    }
    const bool stalled = !moved && linkUp && Counted >= StallLimit;
    TStall stall;
    if (stalled) {
        stall = FStall;
        stall.Stalled = true;
        stall.Month = p.Month;
        stall.Record = p.Start;
        stall.Problem = p.Problem;
        stall.Blocked = p.Blocked;
    } else {
        stall.Code = FStall.Code;
    }
    const bool told = stall.Stalled != FStall.Stalled ||
        (stalled && (stall.Problem != FStall.Problem || stall.Blocked != FStall.Blocked));
    FStall = stall;
    return told;
}

bool TDownloadWatch::FollowRate(uint32_t stored)
{
    for (int i = RateSeconds; i > 0; --i)
        RateStored[size_t(i)] = RateStored[size_t(i - 1)];
    RateStored[0] = stored;
    const double rate = RateFilled == 0 ? 0.0 : double(RateStored[0] - RateStored[size_t(RateFilled)]) / RateFilled;
    if (RateFilled < RateSeconds)
        ++RateFilled;
    if (rate == FRate)
        return false;
    FRate = rate;
    return true;
}

QString TDownloadWatch::StallText(const TComInterface& com, uint16_t recordSize) const
{
    const TStall& s = FStall;
    if (!s.Stalled)
        return {};
    QString why;
    if (s.Blocked) {
        why = QStringLiteral("súbor mesiaca sa nedá odložiť");
    } else if (s.Code == 1) {
        why = QStringLiteral("regulátor na archívne požiadavky neodpovedá včas");
    } else if (s.Code == 2) {
        why = QStringLiteral("archívne požiadavky končia chybou komunikačného rozhrania");
    } else if (s.Code != 0) {
        // With the letter the communication lamp shows for the same fault.
        const QString letter = QString(com.CodeChar(s.Code)).trimmed();
        why = QStringLiteral("na archívne požiadavky prichádza chybná odpoveď");
        if (!letter.isEmpty())
            why += QStringLiteral(" (%1)").arg(letter);
    } else {
        switch (s.Problem) {
        case TArchiveReplies::Unasked: why = QStringLiteral("odpovede nepatria k požiadavke"); break;
        case TArchiveReplies::OtherRecord: why = QStringLiteral("regulátor posiela iný záznam"); break;
        case TArchiveReplies::TooMany: why = QStringLiteral("odpoveď má viac záznamov, ako sa žiadalo"); break;
        case TArchiveReplies::Repeat: why = QStringLiteral("odpovede opakujú uložené záznamy"); break;
        case TArchiveReplies::Unconfirmed: why = QStringLiteral("odpovede sa nepotvrdili druhou rovnakou"); break;
        case TArchiveReplies::BadTime: why = QStringLiteral("čas záznamu nepatrí do mesiaca"); break;
        case TArchiveReplies::NotFiled: why = QStringLiteral("záznamy sa nedajú uložiť (%1 B)").arg(recordSize); break;
        case TArchiveReplies::None: why = QStringLiteral("záznamy neprichádzajú"); break;
        }
    }
    return QStringLiteral("%1 stojí pri zázname %2: %3").arg(MonthText(s.Month)).arg(s.Record).arg(why);
}

QString TDownloadWatch::StallReason(const TComInterface& com, uint16_t recordSize) const
{
    const TStall& s = FStall;
    if (s.Blocked)
        return QStringLiteral("the month's file of the old record size cannot be moved aside");
    if (s.Code != 0)
        return QStringLiteral("archive requests end with result %1 %2").arg(s.Code).arg(com.CodeText(s.Code));
    switch (s.Problem) {
    case TArchiveReplies::Unasked: return QStringLiteral("the replies answer no archive request");
    case TArchiveReplies::OtherRecord: return QStringLiteral("the regulator answers with another record");
    case TArchiveReplies::TooMany: return QStringLiteral("the replies hold more records than asked for");
    case TArchiveReplies::Repeat: return QStringLiteral("the replies repeat records already filed");
    case TArchiveReplies::Unconfirmed: return QStringLiteral("the replies are not confirmed by a second answer alike");
    case TArchiveReplies::BadTime: return QStringLiteral("the records' times are no times of the month asked for");
    case TArchiveReplies::NotFiled: return QStringLiteral("the records (%1 bytes) cannot be filed").arg(recordSize);
    case TArchiveReplies::None: break;
    }
    return QStringLiteral("no records arrive");
}

void TDownloadWatch::MovedAside(const TArchiveQDR::TMovedAside& moved)
{
    const QString month = MonthText(moved.Month);
    if (moved.Reason == QLatin1String(TArchiveQDR::ReplacedReason)) {
        const QString who = moved.Was != moved.Now
            ? QStringLiteral("regulátor sa zmenil (bol „%1“, je „%2“)").arg(moved.Was, moved.Now)
            : QStringLiteral("regulátor „%1“ hlási len %2 záznamov, menej než je uložených").arg(moved.Now).arg(moved.Reported);
        if (moved.Aside.isEmpty())
            FMovedAside = QStringLiteral("%1: %2, súbor sa nedá odložiť: %3").arg(month, who, moved.Why);
        else
            FMovedAside = QStringLiteral("%1: %2, doterajšie záznamy sú v %3, mesiac sa sťahuje nanovo")
                              .arg(month, who, QFileInfo(moved.Aside).fileName());
    } else if (moved.Aside.isEmpty())
        FMovedAside = QStringLiteral("%1: záznamy majú novú veľkosť (%2 B), súbor sa nedá odložiť: %3")
                          .arg(month).arg(moved.NewSize).arg(moved.Why);
    else
        FMovedAside = QStringLiteral("%1: záznamy majú novú veľkosť (%2 B namiesto %3 B), doterajšie sú v %4")
                          .arg(month).arg(moved.NewSize).arg(moved.OldSize).arg(QFileInfo(moved.Aside).fileName());
}

bool TDownloadWatch::Compose(const QString& progress, const QString& fallback, const TComInterface& com,
                             uint16_t recordSize, bool stallChanged)
{
    QStringList parts;
    if (FStall.Stalled)
        parts << StallText(com, recordSize);
    else if (!progress.isEmpty()) {
        if (FRate > 0)
            parts << progress + QStringLiteral(", %1 záznamov/s").arg(QString::number(FRate, 'f', 1).replace(QLatin1Char('.'), QLatin1Char(',')));
        else
            parts << progress;
        if (!fallback.isEmpty())
            parts << fallback;
    }
    if (!FMovedAside.isEmpty())
        parts << FMovedAside;
    const QString text = parts.join(QStringLiteral("  |  "));
    if (text == FStatus && !stallChanged)
        return false;
    FStatus = text;
    return true;
}
