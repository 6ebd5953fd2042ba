#pragma once
// The regulator's archive on the local disk: one file per month
// (2005nov.qdr, ...) in the archive's folder, filled record by record from the
// regulator. On every tick Poll compares the regulator's month table with the
// monthly files and publishes one pending request; the replies come back
// through StoreRecord.
#include "regulator/FileArchQDR.h"
#include "regulator/FilesArch.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <map>

class TArchiveQDR : public TFilesArch {
public:
    static constexpr uint16_t CacheSlots = 8;
    static constexpr uint16_t FileCapacity = 4608;

    // folder: where the monthly files lie; empty for the current directory.
    explicit TArchiveQDR(const QString& folder = QString());
    ~TArchiveQDR() override;

    // The regulator's channel count: records are 2 + 2 x n bytes.
    void SetChannels(uint8_t n);

    // Record index is 1-based. The first form takes a record of
    // ArchiveRecordSize bytes; the second refuses any record whose size is
    // not ArchiveRecordSize (a reply slot of another size, or nothing known
    // about the channels yet). True when the record was stored.
    bool StoreRecord(uint16_t month, uint16_t index, const uint8_t* data);
    bool StoreRecord(uint16_t month, uint16_t index, const uint8_t* data, uint16_t size);

    // Computes the pending request; true when its count or month changed
    // (a move of its start alone is not worth telling).
    bool Poll();
    // "2005NOV: zostáva 13 záznamov" while records are pending, empty otherwise.
    QString DownloadStatusText() const;

    // Written by the reply handlers; copied into the monthly file on every store.
    uint16_t KindMask = 0;
    // Read by the request schedule: records still to fetch (0 = none), their
    // month and the 1-based regulator index of the first.
    uint16_t RequestCount = 0;
    uint16_t RequestMonth = 0;
    uint16_t RequestStart = 0;

    uint16_t ArchiveRecordSize() const { return FArchiveRecordSize; }

    // A month's file whose records are of another size than the regulator's
    // now (a meter added or removed mid-month) cannot take another record.
    // Its records are kept under the file's name + ".recordsize" and the
    // month starts again in a new file of the new size.
    static constexpr const char* SizeReason = "recordsize";
    // Nor can a month's file take the records of another regulator: one that
    // identifies itself otherwise than the one the file was being filled
    // from, or that counts fewer records of the month than the file holds
    // (an emptied archive would otherwise be filed after the old records,
    // the same days twice). Before a fall of the count is acted on, the
    // regulator is identified again (OnIdentityWanted); then the file is kept
    // under its name + ".replaced" and the month starts anew.
    static constexpr const char* ReplacedReason = "replaced";
    struct TMovedAside {
        uint16_t Month = 0;
        uint16_t OldSize = 0, NewSize = 0;
        uint16_t Records = 0;   // positions the old file held
        QString Aside;          // where they are now; empty when the move failed
        QString Why;            // why it failed
        QString Reason = QString::fromLatin1(SizeReason); // SizeReason or ReplacedReason
        // ReplacedReason: the identification the file was being filled
        // under (empty when this session never saw it) and the one now,
        // and the records the regulator counts for the month.
        QString Was, Now;
        uint16_t Reported = 0;
    };
    // Every file moved aside (or that could not be), as it happens.
    std::function<void(const TMovedAside&)> OnMovedAside;
    // A month whose file could not be moved aside: nothing of it is fetched
    // until that is mended (0 = none); the other months go on meanwhile, and
    // the move is tried again every BlockedRetryMs.
    uint16_t BlockedMonth = 0;
    uint32_t BlockedRetryMs = 10000;

    // The regulator's identification, told after each identification of it
    // (with the information block that follows). Every month is looked at
    // again when it changes.
    void SetIdentity(const QString& identity);
    const QString& Identity() const { return FIdentity; }
    // Asks for the regulator to be identified again, and SetIdentity to be
    // called when it is.
    std::function<void()> OnIdentityWanted;

protected:
    std::unique_ptr<TFileMem> NewFile() const override;
    TTake Taken(TFileArch& file, bool adding) override;
    bool Skipped(uint16_t month) const override;

private:
    // Moves the month's file aside under the reason's suffix and starts the
    // month anew: Changed, or Blocked when the file cannot be moved.
    TTake MoveAsideMonth(TFileArch& file, TMovedAside moved);
    TTake Replaced(TFileArch& file);

    uint16_t FArchiveRecordSize = 0;
    uint32_t BlockedAt = 0;
    QString FIdentity;
    uint32_t Identifications = 0;
    // Per month of the table: the identification its file was last taken
    // under, and the identification count when its regulator was seen to
    // count fewer records than the file holds.
    std::map<uint16_t, QString> Vouched;
    struct TFall {
        uint32_t At = 0;   // Identifications then
        QString Identity;  // the identification then
    };
    std::map<uint16_t, TFall> FellAt;
};
