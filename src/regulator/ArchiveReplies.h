#pragma once
// The archive download's side of the link: what each archive request asked
// for, and the replies to it filed into the archive where that request said.
// A reply carries no command code: one that missed its time-out arrives as the
// answer to the next request, whatever that asks. So a reply is filed only
// when it can answer the request outstanding: its length fits it, a
// command-9 record names the month and index asked for, and every record of
// a command-3 reply has a time of the month asked for. A reply that may still
// be another's (soon after a failed exchange, fewer records than asked, times
// far before the positions asked for, nothing but empty records) is filed
// only when a second answer to the same request brings the same bytes.
#include <array>
#include <cstddef>
#include <cstdint>

class TArchiveQDR;

class TArchiveReplies {
public:
    // Bytes of one record slot in a command-3 reply.
    static constexpr uint8_t Slot = 6;

    explicit TArchiveReplies(TArchiveQDR& archive);

    // The archive request last sent (command 3 or 9, 0 = none since the
    // last archive reply).
    struct TAsked {
        uint8_t Command = 0;
        uint16_t Month = 0;
        uint16_t Start = 0;   // 1-based regulator index
        uint8_t Count = 0;    // records asked for
        bool operator==(const TAsked&) const = default;
    };
    TAsked Asked;

    // Why the last archive reply filed nothing (or less than it brought).
    enum TProblem : uint8_t {
        None,
        Unasked,     // no archive request outstanding: a late or stray reply
        OtherRecord, // command 9 for another month or index
        TooMany,     // more records than asked for
        Repeat,      // repeats what an earlier request already filed
        Unconfirmed, // may answer another request, waiting for a second answer to agree
        NotFiled,    // the archive refused the records (size, no file)
        BadTime,     // a record's time is no time of the month asked for
    };
    TProblem Problem = None;

    // Every request that goes out (command, its data); any request other
    // than an archive one leaves no archive request to answer.
    void Sent(uint8_t command, uint8_t length, const uint8_t* data);
    // The reply blocks of commands 3 and 9; the month whose file changed, or
    // 0 when nothing was filed. suspect: the link says the reply may be a
    // late answer to an earlier request (it came soon after a failure).
    uint16_t Records(const uint8_t* data, uint8_t length, bool suspect = false);
    uint16_t Record(const uint8_t* data, uint8_t length);

    // The measuring interval in minutes: record index i of a month is the
    // interval at least (i - 1) intervals into it.
    uint8_t IntervalMinutes = 15;
    // How far a record's time may lie before its position: the hour that
    // repeats when the clocks go back, and a clock set back by as much again.
    static constexpr uint16_t EarlierMinutes = 120;

    // Replies refused as not answering the request, and records filed.
    uint32_t Refused = 0;
    uint32_t Stored = 0;

    // Whether an interval time can be one: day 1..31, minutes below 24:00,
    // or 0, the empty record of a gap.
    static bool PossibleIntervalTime(uint16_t time);
    // The time word of an erased archive slot (every byte 0xFF): no time, and
    // filed as the empty record.
    static constexpr uint16_t ErasedTime = 0xFFFF;
    // Whether a record time lies in the month (day 1 to the month's last).
    static bool TimeOfMonth(uint16_t time, uint16_t month);

private:
    uint16_t Refuse(TProblem why);
    // Files one record; a time that is no time of the month (an erased slot
    // of 0xFFFF) is filed as the empty record, its channels as received.
    bool Store(uint16_t month, uint16_t index, const uint8_t* data, uint16_t size);

    // Command-3 requests of the last seconds. A reply that repeats, record for
    // record, what one of them already filed is a late or duplicated answer to
    // it, whatever request it arrived after.
    struct TRecent {
        uint16_t Month = 0;
        uint16_t Start = 0;
        uint8_t Count = 0;
        uint16_t Stamp = 0;
    };
    static constexpr uint16_t RecentWindowMs = 20000;
    std::array<TRecent, 8> Recent{};
    size_t RecentNext = 0;
    // data holds at least one record with a time.
    bool RepeatsFiled(const TAsked& asked, const uint8_t* data, unsigned records);
    // Whether a record's time lies no further before the position of its
    // index than the clocks can go back.
    bool NearPosition(uint16_t time, uint16_t index) const;
    // The last command-3 reply held back as suspect, waiting for a second
    // answer to the same request to bring the same bytes.
    TAsked HeldAsked;
    std::array<uint8_t, 255> HeldBytes{};
    uint8_t HeldLength = 0;
    uint16_t HeldStamp = 0;   // when it was held
    bool HeldSuspect = false; // the link made it suspect
    uint16_t SentStamp = 0;   // when the last command-3 request went out
    static constexpr uint16_t ConfirmGapMs = 300;

    TArchiveQDR& Archive;
};
