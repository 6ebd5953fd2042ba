#include "SimFaults.h"

bool TSimFaultDraw::Any() const
{
    for (bool h : Hit)
        if (h)
            return true;
    return false;
}

std::string TSimFaultDraw::Text() const
{
    std::string t;
    for (int f = 0; f < sfCount; ++f) {
        if (!Hit[f])
            continue;
        if (!t.empty())
            t += ',';
        t += TSimFaults::Name(static_cast<TSimFault>(f));
    }
    return t;
}

TSimFaults::TSimFaults(uint64_t seed) : Random(SimHash(seed, 0xFA17)), Shape(SimHash(seed, 0x5A9E)) {}

const char* TSimFaults::Name(TSimFault f)
{
    static const char* const kNames[sfCount] = {"loss", "corrupt", "misaddress", "short",
                                                "tiny", "long",    "late",  "wronglength", "duplicate"};
    return f >= 0 && f < sfCount ? kNames[f] : "";
}

bool TSimFaults::Set(const std::string& name, double p)
{
    if (!(p >= 0.0 && p <= 1.0))
        return false;
    for (int f = 0; f < sfCount; ++f) {
        if (name == Name(static_cast<TSimFault>(f))) {
            Probability[f] = p;
            return true;
        }
    }
    return false;
}

TSimFaultDraw TSimFaults::Draw()
{
    TSimFaultDraw d;
    for (int f = 0; f < sfCount; ++f) {
        const double u = Random.Unit();
        d.Hit[f] = u < Probability[f];
    }
    return d;
}

TSimFaulted TSimFaults::Apply(const TSimFaultDraw& draw, const TSimBytes& frame)
{
    TSimFaulted out;
    out.Bytes = frame;
    out.Late = draw.Hit[sfLate];
    out.Duplicate = draw.Hit[sfDuplicate];
    if (draw.Hit[sfLoss]) {
        out.Send = false;
        out.Bytes.clear();
        return out;
    }
    TSimBytes& b = out.Bytes;
    if (b.size() < 3)
        return out;
    if (draw.Hit[sfWrongLength] && b.size() < 257) {
        // One data byte too many under a correct count and sum, as a regulator
        // of another firmware would answer: only the length check can catch it.
        b.insert(b.end() - 1, static_cast<uint8_t>(Shape.Next()));
        b[0] = static_cast<uint8_t>(b[0] + 1);
        b.back() = TSimFrame::Checksum(b.data() + 1, b[0]);
    }
    const size_t n = b[0];
    if (draw.Hit[sfMisaddress]) {
        // Another station's address with a correct sum, so the client sees a
        // wrong address rather than a bad checksum.
        b[1] = static_cast<uint8_t>(((b[1] & 0x7F) + 1 + Shape.Range(0, 125)) % 127 | 0x80);
        b[n + 1] = TSimFrame::Checksum(b.data() + 1, n);
    }
    if (draw.Hit[sfCorrupt])
        b[n + 1] = static_cast<uint8_t>(b[n + 1] + 1 + Shape.Range(0, 254));
    if (draw.Hit[sfTiny]) {
        b.resize(2);
    } else if (draw.Hit[sfLong]) {
        const size_t total = 258 + Shape.Range(0, 41);
        while (b.size() < total)
            b.push_back(static_cast<uint8_t>(Shape.Next()));
    } else if (draw.Hit[sfShort]) {
        if (b.size() > 3) {
            // At least 3 bytes stay, so the block is not merely too short: the
            // count byte promises more than arrives.
            b.resize(3 + Shape.Range(0, static_cast<uint32_t>(b.size() - 4)));
        } else {
            b[0] = static_cast<uint8_t>(b[0] + 1);
        }
    }
    return out;
}
