#pragma once

#include <QLocale>

#include <cstdint>

// The Windows language identifier (LANGID: primary language in the low 10 bits,
// sub-language above) of a locale, so that stored "LangID" values and language
// tables keep their meaning on Linux. A territory without an identifier of its
// own gets the language's default sub-language; an unknown language gives
// 1033 (English, United States), as does the C locale.
uint16_t LangIdFromLocale(const QLocale& locale);

// The identifier of the user's locale (LC_ALL, LC_MESSAGES, LANG).
uint16_t GetSystemDefaultLangID();
