// quillmere-cli's entry: the arguments, the standard streams, and an interrupt
// that stops the scan or recovery after the current record or file.
#include <csignal>

#include "cli/Cli.h"

namespace {
extern "C" void OnInterrupt(int) {
    qm::cli::RequestStop();
}
}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, OnInterrupt);
#ifdef SIGTERM
    std::signal(SIGTERM, OnInterrupt);
#endif
    std::vector<std::string> args(argv + 1, argv + argc);
    return qm::cli::Run(args, stdout, stderr);
}
