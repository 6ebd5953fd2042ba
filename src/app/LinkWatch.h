#pragma once
// The one link state every front end shows, and the only source of "live":
// down after DownMs without a valid reply (from start-up or from the last
// valid reply) while requests go out, up again at the next valid reply; and
// the seconds of silence after which the regulator is taken as gone. It
// judges times it is handed (the engine's clock, which tests may shift, and
// the real tick), so it reads no clock of its own.
#include <QDateTime>
#include <QString>

#include <cstdint>

enum class TLinkState : uint8_t { Starting, Up, Down };

struct TLink {
    TLinkState State = TLinkState::Starting;
    // Up: when it came up. Down: the last valid reply, or the engine's
    // start when none came ("the regulator does not answer since ...").
    QDateTime Since;
    QDateTime LastReply; // invalid until the first valid reply
};

class TLinkWatch {
public:
    static constexpr uint32_t DownMs = 10000;

    // now: the engine's clock; real: the real tick; gapMs: a spell without
    // any request longer than this is no silence of the regulator's.
    void Start(uint32_t now, uint32_t real, uint32_t gapMs);
    // A request went out.
    void Sending(uint32_t now, uint32_t real);
    // A valid reply; true when it brought the link up.
    bool Reply(uint32_t now);
    // asking: requests go out (polling runs). True when the link went down now.
    bool Watch(uint32_t now, uint32_t real, bool asking);
    // The once-a-second count of silence; true when it reached
    // SilenceSeconds (the regulator is gone and is identified anew).
    bool Second();
    // The result of the last exchange (0 a valid reply, 1 a time-out, 2 the
    // interface, else a bad reply).
    void Ended(uint8_t code) { Status = code; }

    const TLink& Link() const { return FLink; }
    bool Up() const { return FLink.State == TLinkState::Up; }
    uint8_t LastStatus() const { return Status; }
    uint32_t LastReplyStamp() const { return LastReplyAt; }
    uint8_t SilentSeconds() const { return Silent; }
    void SetSilentSeconds(uint8_t seconds) { Silent = seconds; }
    uint8_t SilenceSeconds() const { return SilenceLimit; }
    void SetSilenceSeconds(uint8_t seconds) { SilenceLimit = seconds; }

private:
    TLink FLink;
    uint8_t Status = 0;
    // 255: not counting (before the first reply, after the silence was told).
    uint8_t Silent = 255;
    uint8_t SilenceLimit = 60;
    uint32_t LastReplyAt = 0;
    // Silence is measured from SilentFrom: the last valid reply, or the
    // first request after a spell without any (SentAt, real time, the last
    // request handed over). Longer than an exchange can take.
    uint32_t SilentFrom = 0;
    uint32_t SentAt = 0;
    uint32_t GapMs = DownMs;
};
