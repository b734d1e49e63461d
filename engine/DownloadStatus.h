#pragma once

#include <QLocale>
#include <QString>

#include <cstdint>

// The texts a front end shows for a running download, shared by the window and
// the command line so both read the same.

// Percent of the current transfer, rounded half to even, kept within 0..100
// (a server that gives no length yields a meaningless ratio).
int32_t ProgressPercent(int64_t contentLength, int64_t readCount);

// "%.1f KB/s" below 2^20 bytes per second, "%.1f MB/s" from there, with the
// locale's decimal separator.
QString FormatSpeed(int32_t speed, const QLocale& locale = QLocale::system());

// "(index/count) " for a job of two transfers or more, else nothing.
QString DownloadCounter(int32_t index, int32_t count);

// The last path component of a file name.
QString BareFileName(const QString& fileName);

// Status line when a transfer starts, and the one the status timer shows.
QString StartStatusLine(int32_t index, int32_t count, const QString& bareName);
QString SpeedStatusLine(const QString& speedWord, int32_t speed, int32_t index, int32_t count,
                        const QString& bareName, const QLocale& locale = QLocale::system());
