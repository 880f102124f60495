#include "tests/window/ModelTest.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "tests/support/RecordBuilder.h"

namespace qm::windowtest {

ModelHarness::ModelHarness() {
    model.Queue().SetWake([this] {
        std::lock_guard lock(mutex_);
        ++wakes_;
        cv_.notify_all();
    });
}

ModelHarness::~ModelHarness() {
    model.StopWorkers();
}

void ModelHarness::ScanToEnd(int source) {
    const int ends = view.scanEnds;
    view.selected = source;
    model.RunCommand([this] { model.btnScanClick(); });
    RunUntil([&] { return view.scanEnds > ends; });
}

void ModelHarness::RecoverToEnd() {
    const int ends = view.recoverEnds;
    model.RunCommand([this] { model.btnRecoverClick(); });
    if (!model.HasWorkers()) return;
    RunUntil([&] { return view.recoverEnds > ends; });
}

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    std::random_device rd;
    const auto base = std::filesystem::temp_directory_path() /
                      ("qm-window-" + std::to_string(rd()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(base);
    path = base.string();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string MakeVolume(const std::string& dir, const std::string& name,
                       const std::vector<TestFile>& files, std::u16string label) {
    test::VolumeBuilder vb;
    vb.RecordCount(std::max<std::uint64_t>(64, 16 + files.size())).MftCluster(4).Label(label);
    const std::uint64_t cluster = vb.ClusterSize();
    std::uint64_t next = 4 + (vb.MftRecordCapacity() * vb.RecordSize() + cluster - 1) / cluster + 4;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto number = static_cast<std::uint32_t>(16 + i);
        test::RecordBuilder rb = vb.NewRecord(number);
        rb.StandardInformation(0x01D7000000000000, 0x01D7000000000000).FileName(files[i].name);
        const test::Bytes content(files[i].content.begin(), files[i].content.end());
        if (content.size() > 600) {
            const std::uint64_t clusters = (content.size() + cluster - 1) / cluster;
            vb.Data(next, content);
            rb.NonResidentData(test::RunListBuilder().Run(clusters, next).Build(), content.size(),
                               content.size(), 0, clusters - 1);
            next += clusters + 1;
        } else {
            rb.ResidentData(content);
        }
        vb.Record(number, rb.Build());
    }
    return WriteVolume(dir, name, vb);
}

std::string WriteVolume(const std::string& dir, const std::string& name,
                        const test::VolumeBuilder& vb) {
    const std::string path = (std::filesystem::path(dir) / name).string();
    const test::Bytes bytes = vb.Build();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace qm::windowtest
