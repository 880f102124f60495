#include "tests/gui/GuiTest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QTimer>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tests/support/RecordBuilder.h"

namespace qm::guitest {

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    QTimer tick;  // wakes the loop now and then, so that `done` is looked at again
    tick.start(5);
    while (!done()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

std::uint64_t FileTime(int y, int mo, int d, int h, int mi, int s, int ms) {
    // Days from 1601-01-01 to the date (proleptic Gregorian).
    auto daysFromCivil = [](long long yy, unsigned m, unsigned dd) {
        yy -= m <= 2;
        const long long era = (yy >= 0 ? yy : yy - 399) / 400;
        const unsigned yoe = static_cast<unsigned>(yy - era * 400);
        const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + dd - 1;
        const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return era * 146097 + static_cast<long long>(doe) - 719468;  // days since 1970-01-01
    };
    const long long days = daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) +
                           134774;  // 1601-01-01 to 1970-01-01
    const long long secs = days * 86400LL + h * 3600LL + mi * 60LL + s;
    return static_cast<std::uint64_t>(secs) * 10000000ULL +
           static_cast<std::uint64_t>(ms) * 10000ULL;
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TestVolume MakeVolume(const QString& dir, const std::string& name,
                      const std::vector<TestFile>& files, std::uint64_t recordCount,
                      std::u16string label, std::uint64_t serial) {
    TestVolume v;
    v.path = QFile::encodeName(dir).toStdString() + "/" + name;
    test::VolumeBuilder& vb = v.builder;
    vb.RecordCount(std::max<std::uint64_t>(recordCount, 16 + files.size()))
        .MftCluster(4)
        .Label(std::move(label))
        .Serial(serial);
    const std::uint64_t cluster = vb.ClusterSize();
    std::uint64_t nextCluster =
        4 + (vb.MftRecordCapacity() * vb.RecordSize() + cluster - 1) / cluster + 4;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const TestFile& f = files[i];
        const auto number = static_cast<std::uint32_t>(16 + i);
        test::RecordBuilder rb = vb.NewRecord(number);
        rb.StandardInformation(f.created, f.modified).FileName(f.name);
        const test::Bytes content(f.content.begin(), f.content.end());
        if (f.nonResident && !content.empty()) {
            const std::uint64_t clusters = (content.size() + cluster - 1) / cluster;
            vb.Data(nextCluster, content);
            rb.NonResidentData(test::RunListBuilder().Run(clusters, nextCluster).Build(),
                               content.size(), content.size(), 0, clusters - 1);
            nextCluster += clusters + 1;
        } else {
            rb.ResidentData(content);
        }
        vb.Record(number, rb.Build());
        v.records.push_back(number);
    }
    WriteBytes(v.path, vb.Build());
    return v;
}

std::unique_ptr<TfMain> MakeWindow(const WindowSetup& setup, Dialogs* dialogs) {
    StartupOptions o;
    o.images = setup.images;
    const std::vector<std::string> drives = setup.drives;
    o.fixedDrives = [drives] { return drives; };
    std::vector<gui::DriveEntry> mounted = setup.mounted;
    if (mounted.empty())
        mounted.push_back(gui::DriveEntry{"/", QString(), gui::DriveEntry::Kind::Fixed});
    o.mountedDrives = [mounted] { return mounted; };
    o.startDirectory = setup.startDirectory;
    auto w = std::make_unique<TfMain>(std::move(o));
    if (dialogs) {
        w->showMessage = [dialogs](const QString& t) { dialogs->messages << t; };
        w->showError = [dialogs](const QString& t) { dialogs->errors << t; };
        w->askYesNo = [dialogs](const QString& t) {
            dialogs->questions << t;
            return dialogs->answer;
        };
    }
    w->folderIsOnSource = [](const std::string&, const std::string&) { return false; };
    w->show();
    return w;
}

bool ScanToEnd(TfMain& w, int index) {
    bool ended = false;
    auto c = QObject::connect(&w, &TfMain::ScanEnded, [&ended] { ended = true; });
    w.DriveList->setCurrentRow(index);
    w.btnScanClick();
    const bool ok = WaitUntil([&] { return ended; });
    QObject::disconnect(c);
    return ok;
}

std::string Utf8(const QString& s) {
    return s.toUtf8().toStdString();
}

std::vector<std::string> RowTextsAt(const TfMain& w, int row) {
    std::vector<std::string> out;
    for (int c = 0; c < gui::ResultModel::kColumns; ++c)
        out.push_back(std::string(w.ListView1Model()->Text(row, c)));
    return out;
}

}  // namespace qm::guitest
