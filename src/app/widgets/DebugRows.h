#pragma once
// The debug view's rows: every single figure the pages show, captioned as
// the page captions it, so an operator reads the list without knowing how
// the controls are named.
#include <QString>

class TEngine;
class TFormDebug;

// The caption of the figure a control shows (LabelTa: "Tarifa"); empty for
// a control that shows no single figure.
QString DebugCaption(const QString& controlName);
// Adds a row to view for each figure of engine, in the pages' order.
void AddDebugRows(TFormDebug& view, const TEngine& engine);
