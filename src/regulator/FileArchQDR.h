#pragma once
// The archive monthly file: a 12-byte header (header size, record size,
// Origin, Month, Shift, meter-kind mask) and the regulator's interval records.
// Files of an older program version carry a 6-byte header (month, record
// size, mask); they are still read, and take the 12-byte form the first time
// they are saved after a change.
#include "files/FileMem.h"

class TFileArchQDR : public TFileArch {
public:
    using TFileArch::TFileArch;
    ~TFileArchQDR() override;

    uint16_t FormatSize() const override { return 12; }
    std::unique_ptr<TFileMem> NewEmpty() const override;
    uint16_t HeaderSize() const override { return OldHeader ? 6 : FormatSize(); }
    void WriteHeader(uint8_t* buffer) const override;
    void ReadHeader(const uint8_t* buffer) override;
    void ResetHeader() override;
    bool Load(const QString& name) override;

    // The stored record at Origin + i, or nullptr when that position is not
    // below Count, records are shorter than their time word, or the record's
    // interval time is 0 (a gap).
    const uint8_t* RecordAt(uint16_t i) const override;

    uint16_t KindMask() const { return FKindMask; }
    // Marks the file modified when the mask changes, so the header follows.
    void SetKindMask(uint16_t mask);
    // Whether the file as loaded had the older header.
    bool LoadedOldHeader() const { return FLoadedOld; }

private:
    uint16_t FKindMask = 0;
    bool OldHeader = false; // only while the older form is tried
    bool FLoadedOld = false;
};
