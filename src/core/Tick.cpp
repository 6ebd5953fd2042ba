#include "core/Tick.h"

#include <chrono>

uint32_t GetTick()
{
    using namespace std::chrono;
    // steady_clock is the monotonic clock since boot on Linux; only the low
    // 32 bits are kept, as every user compares stamps by difference.
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint16_t GetTick16() { return static_cast<uint16_t>(GetTick()); }
void Stamp(uint32_t& start) { start = GetTick(); }
void Stamp16(uint16_t& start) { start = GetTick16(); }

bool ElapsedAt(uint32_t now, uint32_t period, uint32_t& start, bool reset)
{
    if (static_cast<uint32_t>(now - start) < period)
        return false;
    start = reset ? now : start + period;
    return true;
}

bool Elapsed16At(uint16_t now, uint16_t period, uint16_t& start, bool reset)
{
    if (static_cast<uint16_t>(now - start) < period)
        return false;
    start = reset ? now : static_cast<uint16_t>(start + period);
    return true;
}

bool Elapsed(uint32_t period, uint32_t& start, bool reset) { return ElapsedAt(GetTick(), period, start, reset); }
bool Elapsed16(uint16_t period, uint16_t& start, bool reset) { return Elapsed16At(GetTick16(), period, start, reset); }

void SatSub16(uint16_t& value, uint16_t amount) { value = amount > value ? 0 : static_cast<uint16_t>(value - amount); }
void SatAdd16(uint16_t& value, uint16_t amount)
{
    const uint32_t sum = uint32_t(value) + amount;
    value = sum > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(sum);
}
