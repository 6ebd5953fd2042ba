#pragma once
// The power graphs of the shown measurements printed in strips, four to a
// page: each strip a frame holding the value scale, a piece of the graph in
// black on white and a title band with the month and the measurement.
#include "core/MeterNames.h"
#include "print/PrintJob.h"

#include <QString>
#include <QStringList>

#include <functional>

class QPagedPaintDevice;
class TDispArch;
struct TPrintLayout;

struct TGraphPrintChoice {
    bool Common = false; // all shown measurements in one graph
    QString Caption;     // the month as the archive page names it
    QStringList Labels;  // measurement labels by channel number

    QString Label(uint8_t channel) const { return MeasurementLabel(channel, Labels); }
};

// Whether layout leaves room for a strip of the graphs of choice.
bool GraphsFit(const TDispArch& view, const TPrintLayout& layout, const TGraphPrintChoice& choice);

// Records the graphs on new pages of job, laid out by layout (made for the
// job's device: ComputePrintLayout, CountStrips). progress(percent) runs
// before each graph and answers false to stop (false is returned then).
bool RecordGraphs(TPrintJob& job, const TDispArch& view, const TPrintLayout& layout, const TGraphPrintChoice& choice,
                  const std::function<bool(int percent)>& progress);

// The whole graph print on device: the pages are recorded, then played onto
// device (pump keeps the caller answering meanwhile). Stopped by progress,
// nothing is printed; Nothing when the layout leaves no strip to print.
TPrintResult PrintGraphs(QPagedPaintDevice& device, const TDispArch& view, const TPrintLayout& layout,
                         const TGraphPrintChoice& choice, const std::function<bool(int percent)>& progress,
                         const std::function<void()>& pump = {});
