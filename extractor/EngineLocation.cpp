#include "EngineLocation.h"

#include <climits>
#include <cstdlib>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string HomeFolder() {
    const char* home = getenv("HOME");
    if (home && home[0] == '/')
        return home;
    const passwd* entry = getpwuid(getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "";
}

} // namespace

std::string ExecutableFolderOfProcess() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0)
        return {};
    std::string folder(path, static_cast<size_t>(length));
    return folder.substr(0, folder.rfind('/') + 1);
}

std::string ManagedEngineFolder() {
    const char* data = getenv("XDG_DATA_HOME");
    if (data && data[0] == '/')
        return std::string(data) + "/kavro/engine";
    const std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/.local/share/kavro/engine";
}

std::string ManagedCurrent(const std::string& kind) {
    const std::string folder = ManagedEngineFolder();
    if (folder.empty())
        return {};
    char resolved[PATH_MAX];
    const std::string current = folder + "/" + kind + "/current";
    if (!realpath(current.c_str(), resolved))
        return {};
    const std::string version = resolved;
    return IsFile(version + "/" + VerifiedMarker) ? version : std::string();
}

TExtractorChoice ChooseExtractor(const std::string& name, const std::string& overrideVariable) {
    TExtractorChoice choice;
    if (!overrideVariable.empty()) {
        const char* named = getenv(overrideVariable.c_str());
        if (named && *named) {
            choice.Source = overrideVariable;
            choice.Location = named;
            choice.Argv = {named};
            return choice;
        }
    }
    // The release's single-file program, unpacked: Python runs the folder.
    const std::string managed = ManagedCurrent("extractor");
    if (!managed.empty() && IsFile(managed + "/__main__.py")) {
        choice.Source = "managed";
        choice.Location = managed;
        choice.Argv = {"python3", managed};
        const std::string runtime = ManagedCurrent("runtime");
        if (!runtime.empty() && access((runtime + "/deno").c_str(), X_OK) == 0)
            choice.Runtime = runtime + "/deno";
        return choice;
    }
    const std::string beside = ExecutableFolderOfProcess() + name;
    if (access(beside.c_str(), X_OK) == 0) {
        choice.Source = "beside the executable";
        choice.Location = beside;
        choice.Argv = {beside};
        return choice;
    }
    choice.Source = "PATH";
    choice.Location = name;
    choice.Argv = {name};
    return choice;
}
