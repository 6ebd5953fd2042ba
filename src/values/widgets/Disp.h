#pragma once
// A display binds one value to one control and keeps the control's text and
// colours in step with it: fresh in the control's own colours, ageing in
// grey text, missing on grey. The control is touched only when the value or
// its freshness changed, never on a plain tick.
#include <QColor>

#include <cstdint>

class TValue;

class TDisp {
public:
    enum : uint8_t { Missing = 0, Ageing = 1, Fresh = 2 };

    struct TColors {
        QColor Background;
        QColor Text;
    };

    // value is not owned and may be null.
    explicit TDisp(TValue* value);
    virtual ~TDisp() = default;
    TDisp(const TDisp&) = delete;
    TDisp& operator=(const TDisp&) = delete;

    virtual void Refresh() = 0;
    // The pair of the current freshness.
    virtual void GetColors(QColor& background, QColor& text) const;

    void SetFreshnessColors(const QColor& background, const QColor& text, uint8_t state);
    uint8_t ComputeFreshness() const;
    // What any view of value shows: missing unless valid, ageing from
    // three quarters of its maximum age on or while it is stale, else fresh.
    static uint8_t FreshnessOf(const TValue* value);
    // The default colours of each freshness (fresh: black on white).
    static TColors DefaultColors(uint8_t state);
    static uint16_t AgeingLimitOf(const TValue& value);
    // On every tick, after the values have ticked.
    void Update();
    bool IsFresh() const { return Freshness == Fresh; }

    TValue* Value;
    uint8_t Freshness = Missing;
    TColors FreshnessColors[3];
    uint16_t AgeingLimit = 0;

private:
    static uint8_t FreshnessAt(const TValue* value, uint16_t ageingLimit);
    bool FPainted = false;
};
