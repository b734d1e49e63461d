#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

// The extraction engine library's two exports, plain C functions. Texts crossing
// the boundary are zero-terminated UTF-8 byte strings.
extern "C" {
using TEnginePrintProc = void (*)(const char* text);
// Returns 0 when the engine accepted the runtime image.
using TEngineInitProc = int (*)(int32_t reserved, const void* runtimeImage);
// Returns the extractor's exit status, or one of the negative results below.
using TEngineRunProc = int (*)(int32_t argc, const char* const* argv, TEnginePrintProc print);
// Optional: ends the run in progress, from any thread.
using TEngineStopProc = void (*)();
}

inline constexpr char EngineLibraryName[] = "libKavro.so";

// Run's results below zero.
inline constexpr int EngineCannotStart = -1;       // the extractor program could not start
inline constexpr int EngineFormatUnavailable = -2; // no stream in the requested format
inline constexpr int EngineAnswerTooLong = -3;     // far more output than any answer
inline constexpr int EngineStopped = -4;           // ended by Stop

// What one run may print; beyond it the attempt fails, whatever the library did.
inline constexpr qsizetype EngineAnswerLimit = 8 * 1024 * 1024;

extern TEngineInitProc EngineInit;
extern TEngineRunProc EngineRun;
extern TEngineStopProc EngineStop; // null for a library without the export

// Ends the engine run in progress, when the library can; a run then returns
// without an answer.
void StopEngine();

// Loads the engine once at start-up and hands it the MemDll2 resource. A bare
// name is found beside the executable, else on the library path. Returns false, with
// the reason in EngineLoadError(), when the library, an export or Init fails;
// the entries then stay unset and are never called.
bool LoadEngine(const char* libraryName = EngineLibraryName);
QString EngineLoadError();

// Runs the engine with the argument vector and returns everything it printed;
// an answer beyond EngineAnswerLimit comes back empty. Throws EKavroError when
// the engine is not loaded or cannot start its extractor ("ExtractorStartFailed"),
// and when the page has no stream in the requested format ("QualityUnavailable").
QString RunEngine(const std::vector<QByteArray>& arguments);

// Text printed by the latest run.
const QString& EngineOutput();

extern "C" void EnginePrint(const char* text);
