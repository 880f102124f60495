#include "tests/integration/IntegrationSupport.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "tests/support/Md5.h"

namespace qm::itest {

fs::path ImageDir() {
    return QM_IMAGE_DIR;
}
fs::path TestdataDir() {
    return QM_TESTDATA;
}

std::vector<ManifestEntry> ReadManifest(const fs::path& image, bool withDirs) {
    const fs::path path = image.string() + ".manifest.tsv";
    std::ifstream in(path);
    if (!in) throw std::runtime_error("no manifest " + path.string());
    std::vector<ManifestEntry> out;
    std::string line;
    std::getline(in, line);
    const bool extended = line == tools::kManifestHeader;
    if (!extended && line != "record\tdeleted\tsize\tmd5\tpath")
        throw std::runtime_error("bad manifest header");
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        auto e = tools::ParseManifestLine(line, extended);
        if (!e) throw std::runtime_error("bad manifest line: " + line);
        if (withDirs || !e->IsDir()) out.push_back(std::move(*e));
    }
    return out;
}

std::vector<ManifestEntry> DeletedEntries(const std::vector<ManifestEntry>& manifest) {
    std::vector<ManifestEntry> out;
    for (const auto& e : manifest) {
        if (e.deleted) out.push_back(e);
    }
    return out;
}

namespace {

class Collector : public ScanObserver {
public:
    void OnRow(ScanRow&& row) override { rows.push_back(std::move(row)); }
    std::vector<ScanRow> rows;
};

}  // namespace

ScanResult ScanVolume(RawVolume& volume) {
    Collector collector;
    std::atomic<bool> stop{false};
    ScanResult r;
    r.summary = RunScan(volume, collector, stop);
    r.rows = std::move(collector.rows);
    return r;
}

std::string Utf8(const std::u16string& text) {
    return Utf16ToUtf8(text);
}

std::string FileMd5(const fs::path& path, std::optional<std::uint64_t> limit) {
    // Holes are hashed as zeros without reading them: recovered sparse files
    // run to gigabytes of them.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot read " + path.string());
    struct stat st {};
    ::fstat(fd, &st);
    const std::uint64_t end = std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size),
                                                      limit.value_or(~std::uint64_t{0}));
    test::Md5 md5;
    std::vector<std::uint8_t> buf(1 << 20);
    std::uint64_t at = 0;
    while (at < end) {
        off_t data = ::lseek(fd, static_cast<off_t>(at), SEEK_DATA);
        const std::uint64_t dataAt =
            data < 0 ? end : std::min<std::uint64_t>(end, static_cast<std::uint64_t>(data));
        if (dataAt > at) {
            md5.UpdateZeros(dataAt - at);
            at = dataAt;
            continue;
        }
        off_t hole = ::lseek(fd, static_cast<off_t>(at), SEEK_HOLE);
        const std::uint64_t holeAt =
            hole < 0 ? end : std::min<std::uint64_t>(end, static_cast<std::uint64_t>(hole));
        while (at < holeAt) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), holeAt - at));
            const ssize_t got = ::pread(fd, buf.data(), want, static_cast<off_t>(at));
            if (got <= 0) {
                ::close(fd);
                throw std::runtime_error("cannot read " + path.string());
            }
            md5.Update(std::span(buf.data(), static_cast<std::size_t>(got)));
            at += static_cast<std::uint64_t>(got);
        }
    }
    ::close(fd);
    return md5.FinalHex();
}

TempDir::TempDir(const std::string& tag) {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path p =
            fs::temp_directory_path() /
            ("qm-it-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        if (fs::create_directory(p)) {
            path_ = p;
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::optional<std::string> RunCapture(const std::string& command) {
    FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!p) return std::nullopt;
    std::string out;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (::pclose(p) != 0) return std::nullopt;
    return out;
}

std::optional<std::string> CommandOutputMd5(const std::string& command,
                                            std::optional<std::uint64_t> limit) {
    FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!p) return std::nullopt;
    test::Md5 md5;
    std::vector<char> buf(1 << 20);
    std::uint64_t left = limit.value_or(~std::uint64_t{0});
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, left));
        md5.Update(std::string_view(buf.data(), take));
        left -= take;
    }
    if (::pclose(p) != 0) return std::nullopt;
    return md5.FinalHex();
}

bool HaveCommand(const std::string& name) {
    return RunCapture("command -v " + ShellQuote(name)).has_value();
}

fs::path Gunzip(const fs::path& gz, const fs::path& dir) {
    std::string name = gz.filename().string();
    if (name.size() > 3 && name.substr(name.size() - 3) == ".gz") name.resize(name.size() - 3);
    const fs::path out = dir / name;
    const std::string cmd =
        "gzip -dc " + ShellQuote(gz.string()) + " > " + ShellQuote(out.string());
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot decompress " + gz.string());
    return out;
}

void Untar(const fs::path& archive, const fs::path& dir) {
    const std::string cmd =
        "tar -xzf " + ShellQuote(archive.string()) + " -C " + ShellQuote(dir.string());
    if (std::system(cmd.c_str()) != 0)
        throw std::runtime_error("cannot unpack " + archive.string());
}

namespace {

class HashingFile : public OutputFile {
public:
    HashingFile(HashingOutputFactory& owner, std::string path)
        : owner_(owner), path_(std::move(path)) {}
    bool Write(std::span<const std::uint8_t> bytes) override {
        md5_.Update(bytes);
        bytes_ += bytes.size();
        return true;
    }
    bool WriteZeros(std::uint64_t count) override {
        md5_.UpdateZeros(count);
        bytes_ += count;
        return true;
    }
    bool Commit() override {
        owner_.committed[path_] = {md5_.FinalHex(), bytes_};
        return true;
    }

private:
    HashingOutputFactory& owner_;
    std::string path_;
    test::Md5 md5_;
    std::uint64_t bytes_ = 0;
};

}  // namespace

ErrorOr<std::unique_ptr<OutputFile>> HashingOutputFactory::Create(const std::string& finalPath) {
    return std::unique_ptr<OutputFile>(std::make_unique<HashingFile>(*this, finalPath));
}

std::uint64_t PeakRssBytes() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // kilobytes on Linux
}

}  // namespace qm::itest
