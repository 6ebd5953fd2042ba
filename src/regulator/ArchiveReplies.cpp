#include "regulator/ArchiveReplies.h"

#include "core/LittleEndian.h"
#include "core/Tick.h"
#include "regulator/ArchiveQDR.h"

#include <QDate>

#include <algorithm>
#include <cstring>

TArchiveReplies::TArchiveReplies(TArchiveQDR& archive)
    : Archive(archive)
{
}

bool TArchiveReplies::PossibleIntervalTime(uint16_t time)
{
    // day * 1440 + minutes: days 1 to 31; the minutes cannot reach 1440 by
    // construction, so the day bounds are the whole check.
    return time == 0 || (time >= 1440 && time / 1440 <= 31);
}

void TArchiveReplies::Sent(uint8_t command, uint8_t length, const uint8_t* data)
{
    Asked = {};
    if (!((command == 3 && length >= 5) || (command == 9 && length >= 4)))
        return;
    Asked.Command = command;
    Asked.Month = GetWord(data);
    if (command == 3) {
        Asked.Start = static_cast<uint16_t>(GetWord(data + 2) + 1);
        Asked.Count = data[4];
        SentStamp = GetTick16();
        Recent[RecentNext] = {Asked.Month, Asked.Start, Asked.Count, SentStamp};
        RecentNext = (RecentNext + 1) % Recent.size();
    } else {
        Asked.Start = GetWord(data + 2);
        Asked.Count = 1;
    }
}

uint16_t TArchiveReplies::Refuse(TProblem why)
{
    Problem = why;
    ++Refused;
    return 0;
}

bool TArchiveReplies::Store(uint16_t month, uint16_t index, const uint8_t* data, uint16_t size)
{
    bool stored = false;
    if (PossibleIntervalTime(GetWord(data))) {
        stored = Archive.StoreRecord(month, index, data, size);
    } else {
        uint8_t empty[256];
        if (size > sizeof empty)
            return false;
        std::memcpy(empty, data, size);
        PutWord(empty, 0);
        stored = Archive.StoreRecord(month, index, empty, size);
    }
    if (stored)
        ++Stored;
    return stored;
}

bool TArchiveReplies::TimeOfMonth(uint16_t time, uint16_t month)
{
    const QDate first(month / 12, month % 12 + 1, 1);
    const unsigned day = time / 1440u;
    return first.isValid() && day >= 1 && day <= unsigned(first.daysInMonth());
}

bool TArchiveReplies::NearPosition(uint16_t time, uint16_t index) const
{
    const int32_t minutes = int32_t(time) - 1440;
    const int32_t position = (int32_t(index) - 1) * std::max<int32_t>(1, IntervalMinutes);
    return minutes >= position - EarlierMinutes;
}

uint16_t TArchiveReplies::Records(const uint8_t* data, uint8_t length, bool suspect)
{
    const TAsked asked = Asked;
    Asked = {};
    // Whole slots only: bytes after the last one are not a record.
    const unsigned records = length / Slot;
    if (asked.Command != 3)
        return Refuse(Unasked);
    if (records > asked.Count)
        return Refuse(TooMany);
    if (records == 0) {
        Problem = None;
        return 0;
    }
    bool allEmpty = true;
    bool near = true;
    for (unsigned k = 0; k < records; ++k) {
        const uint16_t time = GetWord(data + k * Slot);
        if (time == 0 || time == ErasedTime)
            continue;
        allEmpty = false;
        // A live block or the records of another month cut into slots: not
        // an answer to this request, however often it comes.
        if (!TimeOfMonth(time, asked.Month))
            return Refuse(BadTime);
        near = near && NearPosition(time, static_cast<uint16_t>(asked.Start + k));
    }
    if (!allEmpty && RepeatsFiled(asked, data, records))
        return Refuse(Repeat);
    // A reply of nothing but empty records carries no mark of the request it
    // answers (a late one would file a gap over records with a time); a
    // shorter one than asked may be the late answer to a smaller request; one
    // whose times lie far before their positions may be an earlier batch's.
    // None of them is filed until a second answer to the same request agrees.
    if (suspect || allEmpty || records < asked.Count || !near) {
        const auto bytes = static_cast<uint8_t>(records * Slot);
        const bool agrees = HeldAsked == asked && HeldLength == bytes && std::memcmp(HeldBytes.data(), data, bytes) == 0;
        if (!agrees) {
            HeldAsked = asked;
            HeldLength = bytes;
            std::memcpy(HeldBytes.data(), data, bytes);
            HeldStamp = GetTick16();
            HeldSuspect = suspect;
            return Refuse(Unconfirmed);
        }
        // A copy of the held reply (sent twice by the line, or late twice)
        // arrives within moments of it: only a request sent after those
        // moments can confirm what the link made suspect.
        if ((suspect || HeldSuspect) && uint16_t(SentStamp - HeldStamp) < ConfirmGapMs)
            return Refuse(Unconfirmed);
    }
    HeldAsked = {};
    HeldLength = 0;
    // Each slot holds one record of two channels; a regulator whose records
    // are of another size cannot be served by this command, and the archive
    // refuses the slot rather than read past it.
    unsigned filed = 0;
    for (unsigned k = 0; k < records; ++k)
        filed += Store(asked.Month, static_cast<uint16_t>(asked.Start + k), data + k * Slot, Slot) ? 1 : 0;
    Problem = filed < records ? NotFiled : None;
    return asked.Month;
}

bool TArchiveReplies::RepeatsFiled(const TAsked& asked, const uint8_t* data, unsigned records)
{
    const uint16_t now = GetTick16();
    for (const TRecent& r : Recent) {
        if (r.Count == 0 || records > r.Count || uint16_t(now - r.Stamp) > RecentWindowMs)
            continue;
        if (r.Month == asked.Month && r.Start == asked.Start)
            continue;
        // The month's file without taking it from the download: opened (and
        // given back) only when the cache does not hold it.
        TFileMem* held = Archive.Find(Archive.MonthFileName(r.Month));
        TFileMem* opened = held ? nullptr : Archive.OpenMonth(r.Month);
        const auto* file = dynamic_cast<const TFileArch*>(held ? held : opened);
        // Every record the same; the caller sends only replies with a timed
        // record, since a run of empty ones proves nothing (or a long gap
        // would be refused batch after batch).
        bool same = file != nullptr;
        for (unsigned k = 0; same && k < records; ++k) {
            const auto position = static_cast<uint16_t>(r.Start - 1 + k + file->Shift());
            const uint8_t* filed = file->Get(Slot, position);
            const uint8_t* got = data + k * Slot;
            if (!filed)
                same = false;
            else if (!PossibleIntervalTime(GetWord(got)) || GetWord(got) == 0)
                same = GetWord(filed) == 0;
            else
                same = std::memcmp(filed, got, Slot) == 0;
        }
        if (opened)
            Archive.Release(opened);
        if (same)
            return true;
    }
    return false;
}

uint16_t TArchiveReplies::Record(const uint8_t* data, uint8_t length)
{
    const TAsked asked = Asked;
    Asked = {};
    if (asked.Command != 9 || length < 6)
        return Refuse(Unasked);
    // The block names its month and index: anything else answers another request.
    if (GetWord(data) != asked.Month || GetWord(data + 2) != asked.Start)
        return Refuse(OtherRecord);
    const uint16_t size = std::min<uint16_t>(Archive.ArchiveRecordSize(), static_cast<uint16_t>(length - 4));
    Problem = Store(asked.Month, asked.Start, data + 4, size) ? None : NotFiled;
    return asked.Month;
}
