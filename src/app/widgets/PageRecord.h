#pragma once
// The page ZÁZNAM: the four interval records (current, previous, maximum VT,
// maximum NT), each its time, its samples as a list and as a small graph.
#include <QWidget>

#include <array>

class QLabel;
class TDrawList;
class TPaintBox;

class TPageRecord : public QWidget {
    Q_OBJECT
public:
    static constexpr int Slots = 4;
    static constexpr int BoxWidth = 121;
    static constexpr int GraphHeight = 129;
    explicit TPageRecord(QWidget* parent = nullptr);

    std::array<QLabel*, Slots> LabelQ{};
    std::array<TDrawList*, Slots> ListBoxQ{};
    std::array<TPaintBox*, Slots> PaintBoxQ{};
    // "načítava sa" over each list until its record first comes: the boxes
    // stay empty for a few seconds after the start.
    std::array<QLabel*, Slots> LabelLoadingQ{};
    void RecordArrived(int slot);

    static QString SlotTitle(int slot);
};
