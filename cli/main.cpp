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
#ifdef SIGPIPE
    // A closed stdout (`| head -1`) is a failed write the run stops on, with
    // its temporary files removed, not a death halfway through a file.
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    // Likewise a file past the process's size limit (ulimit -f): the write
    // fails with EFBIG and that file is given up with its reason.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    std::signal(SIGINT, OnInterrupt);
#ifdef SIGTERM
    std::signal(SIGTERM, OnInterrupt);
#endif
    std::vector<std::string> args(argv + 1, argv + argc);
    return qm::cli::Run(args, stdout, stderr);
}
