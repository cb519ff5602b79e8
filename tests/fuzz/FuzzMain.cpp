// main() of a fuzz target in the ordinary build: replays the inputs named on
// the command line (corpus directories or single files, e.g. a crasher that
// libFuzzer saved).
#include "FuzzReplay.h"

int main(int argc, char** argv) {
    return nork::fuzz::replayInputs(std::vector<std::string>(argv + 1, argv + argc));
}
