#include "tests/malformed/Corpus.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>

#include "tests/support/Md5.h"

namespace qm::malformed {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kTime = 132223104000000000ull;

struct Rows final : ScanObserver {
    std::vector<ScanRow> rows;
    void OnRow(ScanRow&& row) override { rows.push_back(std::move(row)); }
};

Bytes Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A folder of its own for each run, removed afterwards.
struct TempDir {
    fs::path path;
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        static std::atomic<int> n{0};
        path = fs::temp_directory_path() / ("qm-malformed-" + std::to_string(::getpid()) + "-" +
                                            info->name() + "-" + std::to_string(n++));
        fs::remove_all(path);
        fs::create_directories(path / "out");
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

}  // namespace

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

const ScanRow* Outcome::Row(std::uint64_t record) const {
    for (const ScanRow& r : rows)
        if (r.record == record) return &r;
    return nullptr;
}

::testing::AssertionResult Outcome::SkippedOrAbandoned(std::uint64_t record) const {
    if (files.count(record))
        return ::testing::AssertionFailure() << "record " << record << " left an output file";
    if (!Row(record)) return ::testing::AssertionSuccess();
    auto it = recovered.find(record);
    if (it == recovered.end())
        return ::testing::AssertionFailure() << "record " << record << " was not recovered";
    if (it->second.status == RecoverStatus::Written)
        return ::testing::AssertionFailure() << "record " << record << " was written";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Outcome::Recovered(std::uint64_t record, const Bytes& content,
                                              const std::vector<ByteRange>& damage) const {
    if (!Row(record))
        return ::testing::AssertionFailure() << "record " << record << " is not listed";
    const RecoverResult& r = recovered.at(record);
    const RecoverStatus want = damage.empty() ? RecoverStatus::Written : RecoverStatus::Damaged;
    if (r.status != want)
        return ::testing::AssertionFailure()
               << "record " << record << ": " << RecoverStatusText(r.status) << " " << r.detail;
    if (r.unreadable != damage) {
        auto f = ::testing::AssertionFailure() << "record " << record << " unreadable:";
        for (const ByteRange& b : r.unreadable) f << " [" << b.offset << "+" << b.length << "]";
        return f;
    }
    auto f = files.find(record);
    if (f == files.end())
        return ::testing::AssertionFailure() << "record " << record << " has no output file";
    if (f->second != content)
        return ::testing::AssertionFailure()
               << "record " << record << ": " << f->second.size() << " bytes differ from the "
               << content.size() << " expected";
    return ::testing::AssertionSuccess();
}

Corpus::Corpus() {
    v_.MftCluster(4).RecordCount(64).TotalClusters(256);
    const std::uint32_t cs = v_.ClusterSize();
    good_.push_back({16, u"first.txt", test::BytesOf("the first good file")});
    Bytes two = Pattern(cs, 1);
    const Bytes second = Pattern(cs, 2);
    two.insert(two.end(), second.begin(), second.begin() + 1000);
    good_.push_back({31, u"middle.bin", two});
    good_.push_back({63, u"last.txt", test::BytesOf("the last record of the MFT")});
    v_.Data(200, Pattern(cs, 1)).Data(190, Pattern(cs, 2));
    for (const Good& g : good_) {
        RecordBuilder b = File(g.record, g.name);
        if (g.record == 31)
            b.NonResidentData(RunListBuilder().Run(1, 200).Run(1, 190).Build(), g.content.size(),
                              g.content.size(), 0, 1);
        else
            b.ResidentData(g.content);
        Put(g.record, b);
    }
}

RecordBuilder Corpus::File(std::uint32_t record, std::u16string name) const {
    RecordBuilder b = v_.NewRecord(record);
    b.StandardInformation(kTime, kTime + 1).FileName(name);
    return b;
}

Corpus& Corpus::Put(std::uint32_t record, const RecordBuilder& b) {
    return Put(record, b.Build());
}

Corpus& Corpus::Put(std::uint32_t record, Bytes raw) {
    v_.Record(record, std::move(raw));
    return *this;
}

Outcome Corpus::Run(const Wrap& wrap, ScanOptions options) const {
    return Run(v_.Build(), wrap, options);
}

Outcome Corpus::Run(const Bytes& image, const Wrap& wrap, ScanOptions options) const {
    TempDir dir;
    const fs::path file = dir.path / "volume.img";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    const std::string before = test::Md5Hex(image);

    Outcome o;
    {
        auto opened = OpenRawVolume(file.string());
        EXPECT_TRUE(opened.ok());
        if (!opened.ok()) return o;
        std::shared_ptr<RawVolume> volume = std::move(opened).value();
        if (wrap) volume = wrap(volume);
        Rows rows;
        std::atomic<bool> stop{false};
        o.scan = RunScan(*volume, rows, stop, options);
        o.rows = std::move(rows.rows);
        if (o.scan.setup.info) {
            for (const ScanRow& row : o.rows) {
                const fs::path out = dir.path / "out" / std::to_string(row.record);
                o.recovered[row.record] = RecoverRecord(
                    *volume, PositionText(row.position), o.scan.setup.info->geometry, out.string(),
                    DefaultOutputFactory(), nullptr, &o.scan.setup.info->map);
            }
        }
    }
    o.imageUnchanged = test::Md5Hex(Slurp(file)) == before;
    for (const auto& e : fs::directory_iterator(dir.path / "out")) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && name.find_first_not_of("0123456789") == std::string::npos)
            o.files[std::stoull(name)] = Slurp(e.path());
        else
            o.strays.insert(name);
    }
    return o;
}

::testing::AssertionResult Corpus::GoodFilesIntact(const Outcome& o) const {
    if (!o.imageUnchanged) return ::testing::AssertionFailure() << "the image changed";
    if (!o.strays.empty())
        return ::testing::AssertionFailure() << "stray output: " << *o.strays.begin();
    if (!o.scan.setup.info)
        return ::testing::AssertionFailure() << "set-up stopped: " << o.scan.setup.reason;
    for (const Good& g : good_) {
        auto r = o.Recovered(g.record, g.content);
        if (!r) return r;
        if (o.Row(g.record)->name != g.name)
            return ::testing::AssertionFailure() << "record " << g.record << " misnamed";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace qm::malformed
