#include "regulator/FileArchQDR.h"

TFileArchQDR::~TFileArchQDR() { Save(); }

void TFileArchQDR::WriteHeader(uint8_t* buffer) const
{
    if (OldHeader) {
        SetFileWord(buffer, FMonth);
        SetFileWord(buffer + 2, RecordSize());
        SetFileWord(buffer + 4, FKindMask);
        return;
    }
    TFileArch::WriteHeader(buffer);
    SetFileWord(buffer + 10, FKindMask);
}

void TFileArchQDR::ReadHeader(const uint8_t* buffer)
{
    if (OldHeader) {
        SetRecordSize(FileWord(buffer + 2));
        FOrigin = 0;
        FShift = 0;
        const uint16_t m = FileWord(buffer);
        if (MonthAgrees(m))
            FMonth = m;
        FKindMask = FileWord(buffer + 4);
        return;
    }
    TFileArch::ReadHeader(buffer);
    FKindMask = FileWord(buffer + 10);
}

void TFileArchQDR::ResetHeader()
{
    TFileArch::ResetHeader();
    FKindMask = 0;
}

bool TFileArchQDR::Load(const QString& name)
{
    FLoadedOld = false;
    if (TFileArch::Load(name))
        return true;
    OldHeader = true;
    const bool accepted = TFileArch::Load(name);
    OldHeader = false;
    FLoadedOld = accepted;
    return accepted;
}

const uint8_t* TFileArchQDR::RecordAt(uint16_t i) const
{
    if (RecordSize() < 2)
        return nullptr;
    const uint8_t* record = TFileArch::RecordAt(i);
    if (!record || FileWord(record) == 0)
        return nullptr;
    return record;
}

void TFileArchQDR::SetKindMask(uint16_t mask)
{
    if (mask == FKindMask)
        return;
    FKindMask = mask;
    SetModified();
}
