// Kept apart from the other engine tests: a successful load is final for the process.
#include "EngineBridge.h"
#include "KavroError.h"
#include "MediaResolution.h"

#include "KavroTest.h"

namespace {

QString ResolveError() {
    TResolvedMedia media;
    try {
        ResolveMedia(QStringLiteral("https://www.youtube.com/watch?v=x"), QStringLiteral("m4a"),
                     QString(), false, media);
    } catch (const EKavroError& error) {
        return ErrorMessage(error);
    }
    return {};
}

} // namespace

TEST(EngineLoad, AnEngineThatIsNotUsableIsReportedAndNeverCalled) {
    struct Case {
        const char* Name;
        const char* Library;
        const char* Reason;
    } const cases[] = {
        {"missing library", "libNoSuchKavroEngine.so",
         "EngineLoadFailed\x1flibNoSuchKavroEngine.so"},
        {"missing export", KAVRO_ENGINE_WITHOUT_RUN, "EngineExportMissing\x1f"},
        {"Init refuses", KAVRO_ENGINE_INIT_FAILS,
         "EngineInitFailed\x1f"
         "7"},
    };
    EXPECT_FALSE(ResolveError().isEmpty()) << "resolving before any load must fail clearly";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_FALSE(LoadEngine(c.Library));
        EXPECT_TRUE(EngineLoadError().startsWith(QString::fromUtf8(c.Reason)))
            << EngineLoadError().toStdString();
        EXPECT_EQ(nullptr, EngineRun);
        // A download then fails with the same clear words instead of crashing.
        EXPECT_EQ(EngineLoadError(), ResolveError());
    }
}
