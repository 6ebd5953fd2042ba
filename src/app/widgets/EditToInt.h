#pragma once
// Reads a whole number from an edit. On failure the edit gets value back as
// text and its caret marks where the trouble is.
class QLineEdit;

// An empty text or "-" reads as 0. The bounds always include 0: a positive
// min counts as 0, a negative max as 0. value comes in as the number to
// write back on failure and leaves as the number read on success.
bool EditToInt(QLineEdit* edit, int& value, int min, int max);
