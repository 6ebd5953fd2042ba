#include "values/widgets/FormDebug.h"

#include "core/widgets/CellText.h"
#include "core/widgets/Colors.h"
#include "core/widgets/Windows.h"
#include "values/Value.h"
#include "values/widgets/Disp.h"

#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>

namespace {
using namespace Colors;
const int MinClientHeight = 40;
const int MinWidth = 300;
// What PaintRows leaves around a name's or a value's text in its cell.
const int CellMargins = 21;
// The widest value the pages show: a date with its time.
const QString WidestValueSample = QStringLiteral("00.00.0000 00:00:00");
} // namespace

TFormDebug::TFormDebug(QWidget* parent)
    : QWidget(parent, Qt::Tool)
    , FScrollBar(new QScrollBar(Qt::Vertical, this))
{
    setWindowTitle(QStringLiteral("Debug"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    connect(FScrollBar, &QScrollBar::valueChanged, this, [this] { update(); });
    resize(MinWidth, MinClientHeight);
    UpdateSize();
}

void TFormDebug::SetRowHeight(int height)
{
    height = std::max(height, MinRowHeight);
    if (height == RowHeight)
        return;
    RowHeight = height;
    UpdateSize();
}

void TFormDebug::AddRow(const QString& name, TValue* value, bool rightAligned)
{
    if (rightAligned)
        RightAligned.Include(static_cast<uint16_t>(Rows.size()));
    Rows.append({name, value});
    UpdateSize();
}

void TFormDebug::UpdateSize()
{
    resize(SizeShowingContent(*this));
    UpdateScrollBar();
    update();
}

int TFormDebug::ValueColumnWidth() const
{
    const QFontMetrics metrics(font());
    int widest = metrics.horizontalAdvance(WidestValueSample);
    for (const auto& row : Rows)
        if (row.second && row.second->IsValid())
            widest = std::max(widest, metrics.horizontalAdvance(row.second->GetDisplay()));
    return std::max(ValueWidth, widest + CellMargins);
}

QSize TFormDebug::sizeHint() const
{
    const QFontMetrics metrics(font());
    int names = metrics.horizontalAdvance(NoRowsText());
    for (const auto& row : Rows)
        names = std::max(names, metrics.horizontalAdvance(row.first));
    // Room for the scroll bar too, for when the screen is lower than the rows.
    const int width = names + CellMargins + ValueColumnWidth() + FScrollBar->sizeHint().width();
    return {std::max(width, MinWidth), std::max(ScrollRange(), MinClientHeight)};
}

void TFormDebug::RefreshIfChanged()
{
    // Hidden, nothing to repaint: showing the view paints it whole.
    if (!isVisible())
        return;
    FShown.resize(Rows.size());
    bool changed = false;
    for (int row = 0; row < Rows.size(); ++row) {
        const uint8_t freshness = RowFreshness(row);
        changed = changed || freshness != FShown[row] || (Rows[row].second && Rows[row].second->Changed);
        FShown[row] = freshness;
    }
    if (changed)
        update();
}

QString TFormDebug::RowText(int row) const
{
    const TValue* value = row >= 0 && row < Rows.size() ? Rows.at(row).second : nullptr;
    return value ? value->GetDisplay() : QString();
}

uint8_t TFormDebug::RowFreshness(int row) const
{
    return TDisp::FreshnessOf(row >= 0 && row < Rows.size() ? Rows.at(row).second : nullptr);
}

int TFormDebug::ScrollPos() const { return FScrollBar->value(); }

void TFormDebug::SetScrollPos(int pos) { FScrollBar->setValue(pos); }

int TFormDebug::ClientWidth() const
{
    return FScrollBar->isVisibleTo(this) ? width() - FScrollBar->width() : width();
}

void TFormDebug::PaintRows(QPainter& painter, const QRect& area)
{
    if (area.isEmpty())
        return;
    const int width = ClientWidth();
    const int nameWidth = std::max(width - ValueWidth, 0);
    const int areaRight = area.x() + area.width();
    const int areaBottom = area.y() + area.height();
    const bool names = nameWidth >= 20 && area.x() < nameWidth;
    const bool values = nameWidth + 20 <= width && areaRight > nameWidth;

    painter.save();
    painter.setFont(font());
    painter.fillRect(area, Silver);
    if (Rows.isEmpty()) {
        painter.setPen(Qt::black);
        painter.drawText(QRect(0, 0, width, height()), Qt::AlignCenter, NoRowsText());
        painter.restore();
        return;
    }
    const int pos = ScrollPos();
    const int first = std::max(0, (area.y() + pos) / RowHeight);
    const int end = std::min((areaBottom + pos - 1) / RowHeight + 1, RowCount());
    for (int row = first; row < end; ++row) {
        const int top = row * RowHeight - pos;
        if (names) {
            painter.setBrush(Grey);
            painter.setPen(Qt::white);
            DrawCellText(painter, QRect(QPoint(8, top + 2), QPoint(nameWidth - 4 - 1, top + RowHeight - 4 - 1)),
                         Rows.at(row).first, 4);
        }
        if (values) {
            const TDisp::TColors colors = TDisp::DefaultColors(RowFreshness(row));
            painter.setBrush(colors.Background);
            painter.setPen(colors.Text);
            DrawCellText(painter, QRect(QPoint(nameWidth + 4, top + 2), QPoint(width - 8 - 1, top + RowHeight - 4 - 1)),
                         RowText(row), RightAligned.Contains(static_cast<uint16_t>(row)) ? -4 : 4);
        }
    }
    painter.restore();
}

QString TFormDebug::NoRowsText() { return QStringLiteral("Žiadne údaje"); }

bool TFormDebug::ShowOrRaise(QWidget* over)
{
    if (isVisible()) {
        raise();
        activateWindow();
        return !Rows.isEmpty();
    }
    ValueWidth = ValueColumnWidth();
    resize(SizeShowingContent(*this));
    UpdateScrollBar();
    if (over) {
        const QRect frame = over->frameGeometry();
        move(frame.center() - QPoint(width() / 2, height() / 2));
    }
    show();
    return !Rows.isEmpty();
}

void TFormDebug::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    PaintRows(painter, event->rect());
}

void TFormDebug::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    UpdateScrollBar();
}

void TFormDebug::wheelEvent(QWheelEvent* event)
{
    const int steps = event->angleDelta().y() / 120;
    if (steps != 0)
        SetScrollPos(ScrollPos() - steps * RowHeight);
    event->accept();
}

void TFormDebug::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (OnShownChanged)
        OnShownChanged(true);
}

void TFormDebug::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (OnShownChanged)
        OnShownChanged(false);
}

void TFormDebug::UpdateScrollBar()
{
    const int page = std::max(height(), 1);
    const int range = ScrollRange();
    FScrollBar->setRange(0, std::max(0, range - page));
    FScrollBar->setPageStep(page);
    FScrollBar->setSingleStep(RowHeight);
    FScrollBar->setVisible(range > page);
    const int barWidth = FScrollBar->sizeHint().width();
    FScrollBar->setGeometry(width() - barWidth, 0, barWidth, height());
}
