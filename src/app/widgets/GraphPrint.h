#pragma once
// The power graphs of the shown measurements printed in strips, four to a
// page: each strip a frame holding the value scale, a piece of the graph in
// black on white and a title band with the month and the measurement.
#include "PrintOutput.h"

#include <QString>
#include <QStringList>

#include <functional>

class QPrinter;
class TDispArch;
struct TPrintLayout;

struct TGraphPrintChoice {
    bool Common = false; // all shown measurements in one graph
    QString Caption;     // the month as the archive page names it
    QStringList Labels;  // measurement labels by channel number

    QString Label(uint8_t channel) const { return channel < Labels.size() ? Labels.at(channel) : QString(); }
};

// Prints the graphs on printer with layout made for it (ComputePrintLayout,
// CountStrips). progress(percent) runs before each graph and answers false
// to stop: the job is then dropped whole. Nothing when the layout leaves no
// strip to print.
TPrintResult PrintGraphs(QPrinter& printer, const TDispArch& view, const TPrintLayout& layout,
                         const TGraphPrintChoice& choice, const std::function<bool(int percent)>& progress);
