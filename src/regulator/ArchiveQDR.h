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
    struct TMovedAside {
        uint16_t Month = 0;
        uint16_t OldSize = 0, NewSize = 0;
        uint16_t Records = 0;   // positions the old file held
        QString Aside;          // where they are now; empty when the move failed
        QString Why;            // why it failed
    };
    // Every file moved aside (or that could not be), as it happens.
    std::function<void(const TMovedAside&)> OnMovedAside;
    // A month whose file could not be moved aside: nothing of it is fetched
    // until that is mended (0 = none); the other months go on meanwhile, and
    // the move is tried again every BlockedRetryMs.
    uint16_t BlockedMonth = 0;
    uint32_t BlockedRetryMs = 10000;

protected:
    std::unique_ptr<TFileMem> NewFile() const override;
    TTake Taken(TFileArch& file) override;
    bool Skipped(uint16_t month) const override;

private:
    uint16_t FArchiveRecordSize = 0;
    uint32_t BlockedAt = 0;
};
