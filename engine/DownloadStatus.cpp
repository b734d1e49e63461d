#include "DownloadStatus.h"

#include <algorithm>
#include <cmath>

int32_t ProgressPercent(int64_t contentLength, int64_t readCount) {
    if (contentLength <= 0)
        return 0;
    // nearbyint rounds halves to the even neighbour in the default rounding mode.
    const double percent =
        std::nearbyint(static_cast<double>(readCount) / static_cast<double>(contentLength) * 100.0);
    return static_cast<int32_t>(std::clamp(percent, 0.0, 100.0));
}

QString FormatSpeed(int32_t speed, const QLocale& locale) {
    QLocale plain = locale;
    plain.setNumberOptions(QLocale::OmitGroupSeparator);
    if (speed < 1048576)
        return plain.toString(speed / 1024.0, 'f', 1) + QStringLiteral(" KB/s");
    return plain.toString(speed / 1048576.0, 'f', 1) + QStringLiteral(" MB/s");
}

QString DownloadCounter(int32_t index, int32_t count) {
    if (count < 2)
        return {};
    return QStringLiteral("(%1/%2) ").arg(index).arg(count);
}

QString BareFileName(const QString& fileName) {
    return fileName.mid(fileName.lastIndexOf(u'/') + 1);
}

QString StartStatusLine(int32_t index, int32_t count, const QString& bareName) {
    return DownloadCounter(index, count) + bareName;
}

QString SpeedStatusLine(const QString& speedWord, int32_t speed, int32_t index, int32_t count,
                        const QString& bareName, const QLocale& locale) {
    return DownloadCounter(index, count) + speedWord + QStringLiteral(": ") +
           FormatSpeed(speed, locale) + u',' + bareName;
}
