#include "app/LinkWatch.h"

void TLinkWatch::Start(uint32_t now, uint32_t real, uint32_t gapMs)
{
    LastReplyAt = now;
    SilentFrom = now;
    SentAt = real;
    GapMs = gapMs;
    Silent = 255;
    FLink.Since = QDateTime::currentDateTime();
}

void TLinkWatch::Sending(uint32_t now, uint32_t real)
{
    // Silence is the regulator's only while requests go out: after a spell
    // in which nothing was asked (the process was stopped, say), it is
    // counted from this request.
    if (real - SentAt > GapMs)
        SilentFrom = now;
    SentAt = real;
}

bool TLinkWatch::Reply(uint32_t now)
{
    Silent = 0;
    LastReplyAt = now;
    SilentFrom = now;
    FLink.LastReply = QDateTime::currentDateTime();
    if (FLink.State == TLinkState::Up)
        return false;
    FLink.State = TLinkState::Up;
    FLink.Since = FLink.LastReply;
    return true;
}

bool TLinkWatch::Watch(uint32_t now, uint32_t real, bool asking)
{
    // An engine that asks nothing learns nothing of the link from silence.
    if (FLink.State == TLinkState::Down || !asking || now - LastReplyAt < DownMs || now - SilentFrom < DownMs)
        return false;
    // Nothing asked for a while (a stopped process asks nothing): the
    // silence is not the regulator's, and is counted from the next request.
    if (real - SentAt > GapMs)
        return false;
    FLink.State = TLinkState::Down;
    if (FLink.LastReply.isValid())
        FLink.Since = FLink.LastReply;
    return true;
}

bool TLinkWatch::Second()
{
    return Silent < 255 && ++Silent == SilenceLimit;
}
