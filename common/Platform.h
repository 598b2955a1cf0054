#pragma once
// Every call into the operating system lives behind these few functions.
#include <QString>
#include <QtGlobal>
#include <array>
#include <functional>

// Writes the user's regional formats (date separator, short date, time format, decimal and
// thousands separators) where the platform has such settings; results are ignored.
void pf_WriteRegionalFormats();

// Full file name of the running program.
QString pf_ProgramFileName();
// In-process tests run the program as if its file lay elsewhere; empty goes back to the real one.
void pf_SetProgramFileName(const QString& xFileName);
// The platform's path delimiter, as gEXEPath ends in it.
QChar pf_PathDelimiter();

// The four numbers of a file's version information. Throws EVelError when the file has none.
std::array<quint16, 4> pf_FileVersion(const QString& xFileName);

// Starts a program with one argument text, without waiting for it and without a shell.
// Returns whether the start was handed over; callers do not have to look.
bool pf_StartProgram(const QString& xFileName, const QString& xParameters, quintptr xWindowHandle = 0);

// Blocks the thread. Tests may install a hook that replaces the wait (for shortened pauses).
void pf_Sleep(int xMilliseconds);
void pf_SetSleepHook(std::function<void(int)> xHook);
