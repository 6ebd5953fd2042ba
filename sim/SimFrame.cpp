#include "SimFrame.h"

uint8_t TSimFrame::Checksum(const uint8_t* bytes, size_t count)
{
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += bytes[i];
    return static_cast<uint8_t>(sum & 0xFF);
}

TSimBytes TSimFrame::BuildRequest(uint8_t address, uint8_t command, const TSimBytes& data)
{
    TSimBytes f;
    f.reserve(data.size() + 4);
    f.push_back(static_cast<uint8_t>(data.size() + 2));
    f.push_back(address);
    f.push_back(command);
    f.insert(f.end(), data.begin(), data.end());
    f.push_back(Checksum(f.data() + 1, f.size() - 1));
    return f;
}

TSimBytes TSimFrame::BuildReply(uint8_t address, const TSimBytes& data)
{
    const size_t n = data.size() > 254 ? 254 : data.size();
    TSimBytes f;
    f.reserve(n + 3);
    f.push_back(static_cast<uint8_t>(n + 1));
    f.push_back(static_cast<uint8_t>(address | 0x80));
    f.insert(f.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    f.push_back(Checksum(f.data() + 1, f.size() - 1));
    return f;
}

TSimParse TSimFrame::ParseRequest(const uint8_t* bytes, size_t count, TSimRequest& request,
                                  size_t& used)
{
    used = 0;
    if (count == 0)
        return TSimParse::Incomplete;
    const size_t n = bytes[0];
    if (n < 2)
        return TSimParse::BadCount;
    if (count < n + 2)
        return TSimParse::Incomplete;
    used = n + 2;
    if (Checksum(bytes + 1, n) != bytes[n + 1])
        return TSimParse::BadChecksum;
    request.Address = bytes[1];
    request.Command = bytes[2];
    request.Data.assign(bytes + 3, bytes + 1 + n);
    return TSimParse::Ok;
}
