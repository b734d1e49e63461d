#pragma once

// Where the extraction engine's programs are, shared by the engine library
// (which runs them) and the program (which installs them and tells the user
// which one runs). Plain C++: the engine library links no Qt.

#include <string>
#include <vector>

// Kavro's own engine folder: $XDG_DATA_HOME/kavro/engine (by default
// ~/.local/share/kavro/engine). Empty when there is no home folder.
std::string ManagedEngineFolder();

// A managed program folder ("extractor" or "runtime") holds one folder per
// version, a "current" link to the one in use, and in each version folder this
// marker, written last, once the version was verified and ran.
inline constexpr char VerifiedMarker[] = ".kavro-verified";

// The version folder that "current" names when it is complete and verified;
// empty otherwise.
std::string ManagedCurrent(const std::string& kind);

struct TExtractorChoice {
    std::string Source;            // "KAVRO_EXTRACTOR", "managed", "beside the executable", "PATH"
    std::vector<std::string> Argv; // what to start, before the caller's arguments
    std::string Location;          // the extractor's path as the user would look for it
    std::string Runtime;           // the managed JavaScript runtime, or empty
};

// The extractor in the order: the override variable, the managed copy, `name`
// beside the executable, `name` on PATH. A managed runtime is named for the
// managed extractor only: an older extractor does not know the option.
TExtractorChoice ChooseExtractor(const std::string& name, const std::string& overrideVariable);

// The folder of the running executable, ending in "/".
std::string ExecutableFolderOfProcess();
