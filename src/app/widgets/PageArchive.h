#pragma once
// The page ARCHÍV: one monthly file as the table of interval powers, the
// table of daily energies with the block totals, and the graph with its
// value scale and three zoom steps. The computing is the archive view's
// (TDispArch); the page routes the user's actions and the download's news to
// it and paints what it says.
#include <QWidget>

#include <cstdint>
#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QTabWidget;
class TArchiveQDR;
class TDispArch;
class TDrawGrid;
class TPaintBox;
class TSheetMeasurements;

class TPageArchive : public QWidget {
    Q_OBJECT
public:
    // The view and the window's busy flag must outlive the page's use of
    // them; neither is owned.
    TPageArchive(TArchiveQDR& archive, TDispArch& view, bool& outputBusy, QWidget* parent = nullptr);

    QPushButton* ButtonAr = nullptr;
    QLabel* PanelAr = nullptr;
    QLabel* LabelStatus = nullptr;
    // The download at the line's own speed for this run; shown while a
    // download runs (the window binds it to the engine).
    QCheckBox* CheckBoxFast = nullptr;
    QTabWidget* PageControlA = nullptr;
    QWidget* TabSheetAT = nullptr;
    QWidget* TabSheetAG = nullptr;
    TSheetMeasurements* TabSheetAM = nullptr;
    TDrawGrid* DrawGridArP = nullptr;
    TDrawGrid* DrawGridArA = nullptr;
    QPushButton* SpeedButtonArZ = nullptr;
    QPushButton* SpeedButtonArK = nullptr;
    QPushButton* SpeedButtonArQ = nullptr;
    TPaintBox* PaintBoxArS = nullptr;
    QScrollArea* ScrollBoxAr = nullptr;
    TPaintBox* PaintBoxArG = nullptr;
    QPushButton* BitBtnZo = nullptr;
    QPushButton* BitBtnZi = nullptr;
    uint8_t ArchiveZoom = 0;

    // What the download (or the link under it) is doing, as the window says it.
    void SetDownloadStatus(const QString& text);
    void OpenArchiveView(const QString& name);
    // Records of month were stored by the download.
    void ArchiveRecordsArrived(uint16_t month);
    // On every tick and page change: opens the month being downloaded when
    // the page is active and shows nothing yet.
    void CheckArchiveView(bool active);
    void RefreshArchiveAll();
    void RefreshArchiveTables();
    void UpdateGraphSize();
    void SetArchiveZoom(uint8_t zoom);
    // "ARCHÍV": the chooser, then the chosen month.
    void ButtonArClick();
    // A data cell of the power table or a row of the energy table chosen.
    void SelectInterval(uint16_t record);
    void SelectDay(uint8_t day);
    void ClearBlockClick();
    // "Začiatok" or "Koniec" pressed (down) or released by the user.
    void BlockButtonClick(QPushButton* button, bool down);
    // The row chosen while no block button was pressed: a record of the
    // power table or a day of the energy table, -1 when none.
    int PickedRecord = -1;
    int PickedDay = -1;
    // Height of the plot, from the scale box's top.
    int PlotHeight() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Lets a pressed button take the row; true when one was pressed.
    bool ApplyBlockButtons(const std::function<bool()>& setStart, const std::function<bool()>& setEnd);
    void SetRowCounts();
    void SetColumnCounts();
    void FitColumns();
    void DrawPowerCell(QPainter& painter, int col, int row, const QRect& rect);
    void DrawEnergyCell(QPainter& painter, int col, int row, const QRect& rect);
    void LayoutGraph();

    TArchiveQDR& Archive;
    TDispArch& View;
    int FPlotHeight = 1;
};
