// A scripted stand-in for the extraction engine library, exporting Init and Run.
// It is driven through the folder that KAVRO_FAKE_ENGINE_DIR names:
//   answer<N>, else answer  what run N (from 1) prints: pieces split at byte 0x1F,
//                           one print call each, in order
//   result                  if present, the number Run returns
//   gate                    if present (a FIFO), Run waits until its writer closes it
//   run<N>                  written by run N: the first line of the runtime image
//                           that Init was given, then each argument ended by a 0 byte

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace {

const char* Image = nullptr;

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) int Init(int32_t, const void* runtimeImage) {
    Image = static_cast<const char*>(runtimeImage);
    return 0;
}

__attribute__((visibility("default"))) int Run(int32_t argc, const char* const* argv,
                                               void (*print)(const char*)) {
    const char* dir = getenv("KAVRO_FAKE_ENGINE_DIR");
    if (!dir)
        return 0;
    const std::string folder = std::string(dir) + '/';
    int run = 1;
    while (Exists(folder + "run" + std::to_string(run)))
        ++run;
    {
        std::ofstream record(folder + "run" + std::to_string(run), std::ios::binary);
        const std::string image = Image ? Image : "";
        record << image.substr(0, image.find('\n')) << '\n';
        for (int32_t i = 0; i < argc; ++i)
            record << argv[i] << '\0';
    }
    if (Exists(folder + "gate"))
        ReadAll(folder + "gate");

    std::string answerFile = folder + "answer" + std::to_string(run);
    if (!Exists(answerFile))
        answerFile = folder + "answer";
    if (Exists(answerFile)) {
        std::istringstream answer(ReadAll(answerFile));
        for (std::string piece; std::getline(answer, piece, '\x1f');)
            print(piece.c_str());
    }
    return Exists(folder + "result") ? std::atoi(ReadAll(folder + "result").c_str()) : 0;
}

} // extern "C"
