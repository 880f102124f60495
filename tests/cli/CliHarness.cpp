#include "tests/cli/CliHarness.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "cli/Cli.h"

namespace qm::test {

namespace fs = std::filesystem;

Bytes Pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + seed);
    return b;
}

std::string Slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void Spit(const fs::path& p, const Bytes& b) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

fs::path MakeScratchFolder(const char* name) {
    std::string tmpl = (fs::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp " + tmpl);
    return tmpl;
}

Outcome RunProgram(const fs::path& scratch, std::vector<std::string> args, bool closedStdout,
                   std::uint64_t fileSizeLimit) {
    const fs::path o = scratch / "stdout", e = scratch / "stderr";
    int pipeFds[2] = {-1, -1};
    if (closedStdout && ::pipe(pipeFds) != 0) return {-2, "", ""};
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fo =
            closedStdout ? pipeFds[1] : ::open(o.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int fe = ::open(e.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fo, 1);
        ::dup2(fe, 2);
        if (closedStdout) ::close(pipeFds[0]);
        if (fileSizeLimit != 0) {
            const rlimit limit{fileSizeLimit, fileSizeLimit};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
        }
        std::vector<char*> argv{const_cast<char*>(QM_CLI_BINARY)};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(QM_CLI_BINARY, argv.data());
        ::_exit(127);
    }
    if (closedStdout) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, closedStdout ? "" : Slurp(o), Slurp(e)};
}

namespace {

std::string ReadAll(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
    return text;
}

}  // namespace

Outcome RunInProcess(const std::vector<std::string>& args) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = cli::Run(args, out, err);
    return {status, ReadAll(out), ReadAll(err)};
}

}  // namespace qm::test
