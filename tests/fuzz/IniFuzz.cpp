// libFuzzer target: INI files written by hand, or damaged, are read and updated
// without a crash or a hang, and a value written is the value read back.
#include "IniFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray content =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString section = QStringLiteral("frmMain");
    const QString key = QStringLiteral("ledtURL");

    bool found = false;
    const QString before = IniReadValue(content, section, key, &found);
    if (before.size() > IniValueLimit)
        std::abort();
    int number = 0;
    IniParseInteger(before, &number);
    IniReadValue(content, QStringLiteral("LanguageString"), QStringLiteral("Ready"));

    const QString value = QStringLiteral("https://example.invalid/watch?v=1");
    const QByteArray updated = IniWriteValue(content, section, key, value);
    if (IniReadValue(updated, section, key, &found) != value || !found)
        std::abort();
    return 0;
}
