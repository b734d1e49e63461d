#include "SystemLanguage.h"

#include <gtest/gtest.h>

TEST(SystemLanguage, LocalesMapToTheirWindowsLanguageIdentifiers) {
    struct Case {
        const char* Locale;
        int Id;
    } const cases[] = {
        {"en_US", 1033},      {"C", 1033},          {"ko_KR", 1042},      {"ja_JP", 1041},
        {"fr_FR", 1036},      {"fr_BE", 2060},      {"fr", 1036},         {"de_DE", 1031},
        {"de_AT", 3079},      {"de_CH", 2055},      {"nl_NL", 1043},      {"nl_BE", 2067},
        {"es_ES", 3082},      {"es_AR", 11274},     {"es_MX", 2058},      {"pt_BR", 1046},
        {"pt_PT", 2070},      {"zh_CN", 2052},      {"zh_TW", 1028},      {"zh_HK", 3076},
        {"zh_Hans_SG", 4100}, {"uz_Cyrl_UZ", 2115}, {"uz_Latn_UZ", 1091}, {"ka_GE", 1079},
        {"nb_NO", 1044},      {"sr_Latn_RS", 9242}, {"sr_RS", 10266},     {"ru_RU", 1049},
        {"en_GB", 2057},      {"sv_FI", 2077},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Locale);
        EXPECT_EQ(c.Id, LangIdFromLocale(QLocale(QString::fromLatin1(c.Locale))));
    }
}
