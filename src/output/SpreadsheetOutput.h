#pragma once
// The month's tables sent to the spreadsheet cell by cell: row 1 the caption
// and the measurement names, then the interval table and the day table as
// the archive page shows them. The window's spreadsheet button and qdrtool
// both run this.
#include <functional>

class TAdvExcel;
class TDispArch;
struct TTableChoice;

// Sends what choice names of view's shown measurements; progress gets the
// percent of the table being sent, busy is asked before every row and ends
// the output when false (rows sent so far stay). Input is re-enabled and the
// conversation closed whatever happened; false when anything failed.
bool SendTables(TAdvExcel& excel, const TDispArch& view, const TTableChoice& choice,
                const std::function<void(int percent)>& progress, const std::function<bool()>& busy);
