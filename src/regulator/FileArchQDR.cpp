#include "regulator/FileArchQDR.h"

TFileArchQDR::~TFileArchQDR() { Save(); }

std::unique_ptr<TFileMem> TFileArchQDR::NewEmpty() const
{
    return std::make_unique<TFileArchQDR>(DefaultRecordSize(), Capacity());
}

void TFileArchQDR::WriteHeader(uint8_t* buffer) const
{
    if (OldHeader) {
        PutWord(buffer, FMonth);
        PutWord(buffer + 2, RecordSize());
        PutWord(buffer + 4, FKindMask);
        return;
    }
    TFileArch::WriteHeader(buffer);
    PutWord(buffer + 10, FKindMask);
}

void TFileArchQDR::ReadHeader(const uint8_t* buffer)
{
    if (OldHeader) {
        SetRecordSize(GetWord(buffer + 2));
        FOrigin = 0;
        FShift = 0;
        const uint16_t m = GetWord(buffer);
        if (MonthAgrees(m))
            FMonth = m;
        FKindMask = GetWord(buffer + 4);
        return;
    }
    TFileArch::ReadHeader(buffer);
    FKindMask = GetWord(buffer + 10);
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
    if (!record || GetWord(record) == 0)
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
