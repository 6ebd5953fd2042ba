#include "app/Schedule.h"

#include "core/LittleEndian.h"

#include <algorithm>

TSchedule::TTurn TSchedule::GiveWrite(bool writerWaiting)
{
    // This cycle belongs to the write waiting for it; it is woken before
    // another cycle can take the line. Only a write that waits takes it.
    FWritePending = 0;
    FWriteGiven = writerWaiting;
    return TTurn::Write;
}

void TSchedule::Reidentify()
{
    FGeneration = 0;
    FPollStep = 0;
    FPollGroup = 1;
}

int TSchedule::LiveRequest(const TInput& in, TRequest& out)
{
    int command = -1;
    if (FPollStep == 0) {
        // Stays at step 0 until the information reply arrives.
        return 1;
    }
    if (FPollStep == 1) {
        if (FActivePage == PageArchive && FDownload && in.ArchiveCount != 0 && FMerania == 0 && !Fasting()) {
            // The archive download gets the line (a fast one takes it
            // between the cycles).
        } else if (FActivePage == PageRecord && FRecordIndex != 0) {
            // The four record blocks are read back to back.
        } else {
            command = FMerania ? 10 : FGeneration >= 3 ? 8 : 2;
        }
    } else if (FPollStep == 3) {
        // Every page's figures are watched: the measurement page's block
        // comes in turn on the other pages too.
        if (FGeneration > 1)
            command = 5;
    } else if (FActivePage != PageInformation &&
               (in.InformationHeld || (FInformationEveryMs != 0 && in.Now - InformationStamp >= FInformationEveryMs))) {
        command = 1;
        // Asked once per period, answered or not.
        InformationStamp = in.Now;
    } else {
        switch (FActivePage) {
        case PageMeasurement:
            if (FGeneration > 1)
                command = 5;
            break;
        case PageInformation:
            command = 1;
            break;
        case PageRecord:
            command = 4;
            out.Data[0] = FRecordIndex;
            out.Length = 1;
            break;
        default:
            break;
        }
    }
    return command;
}

TSchedule::TTurn TSchedule::Cycle(const TInput& in, TRequest& out)
{
    // A fast request handed over from the end of the last exchange may not
    // have reached the worker yet, and a write given the line goes first.
    if (FPollGroup == 0 || FExchangeOpen || FWriteGiven)
        return TTurn::None;
    if (FGeneration == 0) {
        FPollGroup = 1;
        FPollStep = 0;
    }
    if (FWritePending && FPollStep > 0)
        return GiveWrite(in.WriterWaiting);

    out = {};
    int command = -1;
    const uint8_t startGroup = FPollGroup;
    for (;;) {
        out.Hold = 0;
        if (FPollGroup == 1) {
            if (in.HoldFree) {
                out.Hold = 1000;
                if (FGeneration == 0) {
                    command = 0;
                } else {
                    const uint8_t startStep = FPollStep;
                    for (;;) {
                        const bool first = FPollStep == 0;
                        command = LiveRequest(in, out);
                        if (first)
                            break;
                        const uint8_t lastStep = FWatchAll && FActivePage != PageMeasurement ? 3 : 2;
                        FPollStep = FPollStep >= lastStep ? 1 : FPollStep + 1;
                        if (command >= 0 || FPollStep == startStep)
                            break;
                    }
                }
            }
        } else if (FPollGroup == 2) {
            if (ArchiveRequest(in, out))
                command = out.Command;
        }
        // Group 3 is reserved and sends nothing.
        if (FPollStep != 0)
            FPollGroup = FPollGroup >= 3 ? 1 : FPollGroup + 1;
        if (command >= 0 || FPollGroup == startGroup)
            break;
    }
    if (command < 0)
        return TTurn::None;
    out.Command = static_cast<uint8_t>(command);
    return TTurn::Send;
}

bool TSchedule::ArchiveRequest(const TInput& in, TRequest& out) const
{
    if (!FDownload || in.ArchiveCount == 0)
        return false;
    PutWord(out.Data.data(), in.ArchiveMonth);
    if (FGeneration >= 3) {
        out.Command = 9;
        PutWord(out.Data.data() + 2, in.ArchiveStart);
        out.Length = 4;
    } else {
        out.Command = 3;
        PutWord(out.Data.data() + 2, static_cast<uint16_t>(in.ArchiveStart - 1));
        out.Data[4] = static_cast<uint8_t>(std::min<uint16_t>(in.ArchiveCount, BatchSize()));
        out.Length = 5;
    }
    return true;
}

void TSchedule::Sent(uint8_t command, uint32_t now)
{
    FExchangeOpen = true;
    FSent = command == 3 || command == 9 ? TSent::Archive : command == 7 ? TSent::Write : TSent::Live;
    if (FSent == TSent::Live)
        LiveTurnAt = now;
    // Whatever the schedule asks while a probe is due tells whether the
    // regulator answers at its pace.
    ProbeSent = FastProbe && FSent != TSent::Write;
}

void TSchedule::SentFast()
{
    // Whichever way it went out, an archive request sent now is a fast one.
    if (FSent == TSent::Archive)
        FSent = TSent::FastArchive;
}

TSchedule::TAfter TSchedule::Ended(uint8_t code)
{
    const TSent sent = FSent;
    const bool probe = ProbeSent;
    FSent = TSent::None;
    ProbeSent = false;
    FExchangeOpen = false;
    // An interface error (a port that cannot be used, a line that never goes
    // quiet) says nothing of the regulator's pace and is retried at the
    // schedule's, so a missing port cannot turn this into a busy loop.
    if (!Fasting() || code == 2 || sent == TSent::None)
        return TAfter::None;
    if (sent == TSent::FastArchive) {
        if (code == 0) {
            FastMisses = 0;
            LiveSinceMiss = false;
            SlowAnswered = 0;
        } else if (FastMisses < 255) {
            ++FastMisses;
        }
    } else if (code == 0 && FastMisses != 0) {
        LiveSinceMiss = true;
    }
    // Whether the regulator answers at the schedule's pace after a run of
    // unanswered fast requests: a live request between them answered, or
    // else the probe (the next request, a live one, a whole cycle later).
    // Twice in a row before the fast download is given up, so a link that
    // comes back from a silent spell just as the probe goes out is not taken
    // for a regulator that cannot keep up.
    bool answered = false;
    bool decided = false;
    if (probe) {
        FastProbe = false;
        answered = code == 0;
        decided = true;
    } else if (FastMisses >= FastMissLimit) {
        if (!LiveSinceMiss) {
            FastProbe = true;
            FPollGroup = 1;
            return TAfter::Probe;
        }
        answered = decided = true;
    }
    if (decided) {
        FastMisses = 0;
        LiveSinceMiss = false;
        // Unanswered at the schedule's pace too: the link fails, not the pace.
        SlowAnswered = answered ? static_cast<uint8_t>(SlowAnswered + 1) : uint8_t(0);
        if (SlowAnswered >= 2) {
            FFastDropped = true;
            FastProbe = false;
            return TAfter::FallBack;
        }
    }
    return TAfter::Fast;
}

bool TSchedule::FastReady() const
{
    return FPollGroup != 0 && FGeneration != 0 && FPollStep != 0 && !FWriteGiven && !FastProbe;
}

TSchedule::TTurn TSchedule::FastTurn(const TInput& in, TRequest& out)
{
    out = {};
    if (!ArchiveRequest(in, out))
        return TTurn::None;
    if (FWritePending)
        return GiveWrite(in.WriterWaiting);
    // A block held back until a second one agrees is asked by the live
    // group, as is the live group's own turn (once its hold time is over).
    if ((in.InformationHeld || in.TableHeld || LiveDue(in)) && in.HoldFree) {
        FPollGroup = 1;
        return TTurn::LiveFirst;
    }
    return TTurn::Send;
}

bool TSchedule::LiveDue(const TInput& in) const
{
    // Near the interval's end the alerts must see it close.
    return in.Now - LiveTurnAt >= (in.NearEnd ? LiveTurnNearEndMs : LiveTurnMs);
}

QString TSchedule::FallbackText()
{
    return QStringLiteral("rýchle sťahovanie vypnuté, regulátor nestíha: ďalej podľa rozvrhu");
}

QString TSchedule::FallbackReason()
{
    return QStringLiteral("twice %1 fast archive requests in a row went unanswered while requests at the schedule's pace were "
                          "answered; the download goes on at the schedule's pace")
        .arg(FastMissLimit);
}
