#pragma once
// How the run stands apart from what it printed. Some failures let the run go on (an erase that
// never became ready, a verify that found differences); the run must still end with -1.
//
// A burn over an erase that did not complete leaves the memory in doubt: that doubt is lifted only
// by a verify of the whole image passing later in the same run.

// A failure that nothing later in the run can undo.
void markRunFailed();
// The memory just burned is not known to hold the image.
void markImageUnconfirmed();
// A whole-image verify passed: the memory holds the image.
void confirmImage();

bool runFailed();
bool imageUnconfirmed();

// Back to a clean run; for tests that run several invocations in one process.
void resetRunResult();
