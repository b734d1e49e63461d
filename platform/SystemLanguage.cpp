#include "SystemLanguage.h"

#include <QString>

#include <algorithm>
#include <iterator>
#include <string_view>

namespace {

constexpr uint16_t English = 0x0409;

constexpr uint16_t MakeLangId(uint16_t primary, uint16_t sub) {
    return static_cast<uint16_t>((sub << 10) | primary);
}

// Primary language identifiers by ISO 639 code.
struct TPrimary {
    std::string_view Code;
    uint16_t Id;
};
constexpr TPrimary Primaries[] = {
    {"af", 0x36}, {"am", 0x5e}, {"ar", 0x01}, {"as", 0x4d}, {"az", 0x2c}, {"be", 0x23},
    {"bg", 0x02}, {"bn", 0x45}, {"bo", 0x51}, {"bs", 0x1a}, {"ca", 0x03}, {"cs", 0x05},
    {"cy", 0x52}, {"da", 0x06}, {"de", 0x07}, {"el", 0x08}, {"en", 0x09}, {"es", 0x0a},
    {"et", 0x25}, {"eu", 0x2d}, {"fa", 0x29}, {"fi", 0x0b}, {"fo", 0x38}, {"fr", 0x0c},
    {"fy", 0x62}, {"ga", 0x3c}, {"gl", 0x56}, {"gu", 0x47}, {"he", 0x0d}, {"hi", 0x39},
    {"hr", 0x1a}, {"hu", 0x0e}, {"hy", 0x2b}, {"id", 0x21}, {"is", 0x0f}, {"it", 0x10},
    {"ja", 0x11}, {"ka", 0x37}, {"kk", 0x3f}, {"km", 0x53}, {"kn", 0x4b}, {"ko", 0x12},
    {"ky", 0x40}, {"lo", 0x54}, {"lt", 0x27}, {"lv", 0x26}, {"mk", 0x2f}, {"ml", 0x4c},
    {"mn", 0x50}, {"mr", 0x4e}, {"ms", 0x3e}, {"mt", 0x3a}, {"nb", 0x14}, {"ne", 0x61},
    {"nl", 0x13}, {"nn", 0x14}, {"pa", 0x46}, {"pl", 0x15}, {"pt", 0x16}, {"ro", 0x18},
    {"ru", 0x19}, {"sk", 0x1b}, {"sl", 0x24}, {"sq", 0x1c}, {"sr", 0x1a}, {"sv", 0x1d},
    {"ta", 0x49}, {"th", 0x1e}, {"tr", 0x1f}, {"uk", 0x22}, {"uz", 0x43},
};

// Identifiers whose sub-language is not the default one, by language, script
// (empty: any) and territory.
struct TSpecific {
    std::string_view Language;
    std::string_view Script;
    std::string_view Territory;
    uint16_t Id;
};
constexpr TSpecific Specifics[] = {
    {"zh", "", "TW", 0x0404},   {"zh", "", "CN", 0x0804},   {"zh", "", "HK", 0x0c04},
    {"zh", "", "SG", 0x1004},   {"zh", "", "MO", 0x1404},   {"zh", "Hant", "", 0x0404},
    {"zh", "", "", 0x0804},     {"de", "", "CH", 0x0807},   {"de", "", "AT", 0x0c07},
    {"de", "", "LU", 0x1007},   {"de", "", "LI", 0x1407},   {"en", "", "GB", 0x0809},
    {"en", "", "AU", 0x0c09},   {"en", "", "CA", 0x1009},   {"en", "", "NZ", 0x1409},
    {"en", "", "IE", 0x1809},   {"en", "", "ZA", 0x1c09},   {"en", "", "IN", 0x4009},
    {"es", "", "ES", 0x0c0a},   {"es", "", "MX", 0x080a},   {"es", "", "GT", 0x100a},
    {"es", "", "CR", 0x140a},   {"es", "", "PA", 0x180a},   {"es", "", "DO", 0x1c0a},
    {"es", "", "VE", 0x200a},   {"es", "", "CO", 0x240a},   {"es", "", "PE", 0x280a},
    {"es", "", "AR", 0x2c0a},   {"es", "", "EC", 0x300a},   {"es", "", "CL", 0x340a},
    {"es", "", "UY", 0x380a},   {"es", "", "PY", 0x3c0a},   {"es", "", "BO", 0x400a},
    {"es", "", "SV", 0x440a},   {"es", "", "HN", 0x480a},   {"es", "", "NI", 0x4c0a},
    {"es", "", "PR", 0x500a},   {"es", "", "US", 0x540a},   {"fr", "", "BE", 0x080c},
    {"fr", "", "CA", 0x0c0c},   {"fr", "", "CH", 0x100c},   {"fr", "", "LU", 0x140c},
    {"fr", "", "MC", 0x180c},   {"it", "", "CH", 0x0810},   {"nl", "", "BE", 0x0813},
    {"nn", "", "", 0x0814},     {"pt", "", "PT", 0x0816},   {"ro", "", "MD", 0x0818},
    {"ru", "", "MD", 0x0819},   {"sv", "", "FI", 0x081d},   {"hr", "", "BA", 0x101a},
    {"bs", "", "", 0x141a},     {"sr", "Latn", "", 0x241a}, {"sr", "", "", 0x281a},
    {"uz", "Cyrl", "", 0x0843}, {"az", "Cyrl", "", 0x082c}, {"bn", "", "BD", 0x0845},
    {"ms", "", "BN", 0x083e},   {"ar", "", "IQ", 0x0801},   {"ar", "", "EG", 0x0c01},
    {"ar", "", "LY", 0x1001},   {"ar", "", "DZ", 0x1401},   {"ar", "", "MA", 0x1801},
    {"ar", "", "TN", 0x1c01},   {"ar", "", "OM", 0x2001},   {"ar", "", "YE", 0x2401},
    {"ar", "", "SY", 0x2801},   {"ar", "", "JO", 0x2c01},   {"ar", "", "LB", 0x3001},
    {"ar", "", "KW", 0x3401},   {"ar", "", "AE", 0x3801},   {"ar", "", "BH", 0x3c01},
    {"ar", "", "QA", 0x4001},
};

} // namespace

uint16_t LangIdFromLocale(const QLocale& locale) {
    if (locale.language() == QLocale::C || locale.language() == QLocale::AnyLanguage)
        return English;
    const QByteArray language = QLocale::languageToCode(locale.language()).toLatin1();
    const QByteArray script = QLocale::scriptToCode(locale.script()).toLatin1();
    const QByteArray territory = QLocale::territoryToCode(locale.territory()).toLatin1();
    const std::string_view lang(language.constData(), static_cast<size_t>(language.size()));

    // The first entry that fits wins: territories before the script-only rows.
    for (const TSpecific& specific : Specifics) {
        if (specific.Language != lang)
            continue;
        if (!specific.Script.empty() && specific.Script != script.constData())
            continue;
        if (!specific.Territory.empty() && specific.Territory != territory.constData())
            continue;
        return specific.Id;
    }
    const auto primary = std::find_if(std::begin(Primaries), std::end(Primaries),
                                      [&](const TPrimary& p) { return p.Code == lang; });
    return primary == std::end(Primaries) ? English : MakeLangId(primary->Id, 1);
}

uint16_t GetSystemDefaultLangID() {
    return LangIdFromLocale(QLocale::system());
}
