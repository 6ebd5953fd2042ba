#include "regulator/StatesReply.h"

#include "core/LittleEndian.h"

namespace {
uint64_t GetSet(const uint8_t* p) { return uint64_t(GetLong(p)) | (uint64_t(GetLong(p + 4)) << 32); }
} // namespace

std::optional<TStates> DecodeStates(const uint8_t* data, uint8_t length)
{
    if (!data || length < TStates::MinLength)
        return std::nullopt;
    TStates s;
    s.TimeStamp = GetLong(data + 0);
    s.Stage = data[8];
    s.Tariff = data[9];
    s.ApplianceStates = GetSet(data + 10);
    s.SignalStates = GetSet(data + 18);
    s.MaximumVt = GetWord(data + 26);
    s.MaximumNt = GetWord(data + 28);
    s.MaximumVtTime = GetLong(data + 30);
    s.MaximumNtTime = GetLong(data + 34);
    s.MaximaZeroed = GetLong(data + 38);
    return s;
}
