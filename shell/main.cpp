#include "ProgramStartup.h"

int main(int argc, char** argv) {
    return RunKavro(argc, argv);
}
