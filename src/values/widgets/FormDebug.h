#pragma once
// The debug view: a small tool window listing named values in two columns,
// captions on grey, values as every page shows them: black on white while
// fresh, silver while ageing or stale, grey and empty while missing. Rows are
// added by whoever wants a value watched; the window registers none itself.
#include "core/Wordset.h"

#include <QPair>
#include <QString>
#include <QVector>
#include <QWidget>

#include <functional>

class QScrollBar;
class TValue;

class TFormDebug : public QWidget {
    Q_OBJECT
public:
    static constexpr int MinRowHeight = 16;

    explicit TFormDebug(QWidget* parent = nullptr);

    // name and value (not owned; may be null) of every row
    QVector<QPair<QString, TValue*>> Rows;
    // Row indices whose value text is right-aligned.
    TWordset RightAligned{256};
    int RowHeight = 20;
    int ValueWidth = 120;

    int RowCount() const { return Rows.size(); }
    void SetRowHeight(int height);
    // Appends a row and grows the window to show the rows.
    void AddRow(const QString& name, TValue* value, bool rightAligned = false);
    // Scroll range and size from the rows, then a repaint; after Rows was
    // changed directly. The window grows to show every row, up to the
    // screen's height; beyond that it scrolls.
    void UpdateSize();
    // Every row whole: the widest name and the widest value shown now.
    QSize sizeHint() const override;
    // The value column: ValueWidth, or wider for the widest value shown now.
    int ValueColumnWidth() const;
    // On every tick: repaints when any row's value or its freshness changed.
    void RefreshIfChanged();
    // What row shows: the value's text (empty while missing) and its
    // freshness (TDisp's Missing, Ageing, Fresh).
    QString RowText(int row) const;
    uint8_t RowFreshness(int row) const;
    // Shown or hidden: whoever fills the rows keeps their values coming.
    std::function<void(bool shown)> OnShownChanged;

    int ScrollRange() const { return RowCount() * RowHeight; }
    int ScrollPos() const;
    void SetScrollPos(int pos);
    int ClientWidth() const;
    int ClientHeight() const { return height(); }

    // Paints the rows that intersect area (client coordinates) into any
    // painter: what the paint event does.
    void PaintRows(QPainter& painter, const QRect& area);

    // Brings the view to the front when it is shown, otherwise shows it
    // centred on over, sized to its rows and values as they are now;
    // without rows it says NoRowsText. True when it has rows.
    bool ShowOrRaise(QWidget* over);
    static QString NoRowsText();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void UpdateScrollBar();
    QScrollBar* FScrollBar;
    // The freshness of each row when it was last looked at.
    QVector<uint8_t> FShown;
};
