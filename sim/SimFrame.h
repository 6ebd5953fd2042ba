#pragma once
// Framing as the regulator sees it on the wire. Written independently of the
// client so that a framing mistake on one side shows up as a failed exchange
// instead of being mirrored by the other.
//
//   request: [N = data + 2][address][command][data...][sum]
//   reply:   [N = data + 1][address | 0x80][data...][sum]
// where sum is the 8-bit sum of the N bytes between the count and the sum.
#include <cstddef>
#include <cstdint>
#include <vector>

using TSimBytes = std::vector<uint8_t>;

struct TSimRequest {
    uint8_t Address = 0;
    uint8_t Command = 0;
    TSimBytes Data;
};

enum class TSimParse {
    Ok,
    Incomplete,  // more bytes are needed
    BadCount,    // count byte below 2: cannot be a request
    BadChecksum,
};

class TSimFrame {
public:
    static uint8_t Checksum(const uint8_t* bytes, size_t count);
    static TSimBytes BuildRequest(uint8_t address, uint8_t command, const TSimBytes& data);
    // A reply carrying at most 254 data bytes (the count byte holds data + 1).
    static TSimBytes BuildReply(uint8_t address, const TSimBytes& data);
    // Parses one request from the start of Bytes; Used tells how many bytes the
    // frame took (valid for Ok and BadChecksum).
    static TSimParse ParseRequest(const uint8_t* bytes, size_t count, TSimRequest& request,
                                  size_t& used);
};

// Gathers requests from a byte stream (the serial line). A stray byte that
// cannot start a frame is skipped, and a partial frame is dropped when the
// line has been quiet for longer than the caller's gap.
class TSimFrameAssembler {
public:
    // Feeds bytes; returns each complete frame (good or not) through the callback.
    template <typename F> void Feed(const uint8_t* bytes, size_t count, F&& onFrame);
    void Reset() { Buffer.clear(); }
    size_t Pending() const { return Buffer.size(); }

private:
    TSimBytes Buffer;
};

template <typename F> void TSimFrameAssembler::Feed(const uint8_t* bytes, size_t count, F&& onFrame)
{
    Buffer.insert(Buffer.end(), bytes, bytes + count);
    for (;;) {
        TSimRequest request;
        size_t used = 0;
        const TSimParse r = TSimFrame::ParseRequest(Buffer.data(), Buffer.size(), request, used);
        if (r == TSimParse::Incomplete)
            return;
        if (r == TSimParse::BadCount) {
            Buffer.erase(Buffer.begin());
            continue;
        }
        TSimBytes raw(Buffer.begin(), Buffer.begin() + static_cast<std::ptrdiff_t>(used));
        Buffer.erase(Buffer.begin(), Buffer.begin() + static_cast<std::ptrdiff_t>(used));
        onFrame(r, request, raw);
    }
}
