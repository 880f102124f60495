// Helpers for the window tests: volumes written to a temporary folder, a
// window over injected sources whose dialogs are recorded rather than shown,
// and waiting on the event loop.
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/qt/uMain.h"
#include "tests/support/VolumeBuilder.h"

namespace qm::guitest {

// Processes events until `done()` holds or `timeoutMs` passes; returns done().
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 30000);

// FILETIME of a UTC calendar time.
std::uint64_t FileTime(int y, int mo, int d, int h, int mi, int s, int ms = 0);

// A deleted file of a test volume.
struct TestFile {
    std::u16string name;
    std::string content;
    std::uint64_t created = FileTime(2004, 2, 29, 20, 0, 29, 452);
    std::uint64_t modified = FileTime(2021, 7, 1, 0, 0, 0);
    bool nonResident = false;  // content in clusters after the MFT
};

struct TestVolume {
    std::string path;
    test::VolumeBuilder builder;         // the layout it was built with
    std::vector<std::uint64_t> records;  // record number of each file, in order
};

// Writes a volume holding `files` as deleted records 16, 17, ... to
// `dir`/`name`. `recordCount` records in the MFT (at least 16 + files).
TestVolume MakeVolume(const QString& dir, const std::string& name,
                      const std::vector<TestFile>& files, std::uint64_t recordCount = 64,
                      std::u16string label = u"Test", std::uint64_t serial = 0x1234ABCD5678EF90);

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::string ReadText(const std::string& path);

// What the window would have shown in its dialogs.
struct Dialogs {
    QStringList messages, questions, errors;
    bool answer = true;  // the reply to every question
};

struct WindowSetup {
    std::vector<std::string> drives;  // probed as the fixed drives
    std::vector<std::string> images;  // named on the command line
    QString startDirectory;
    std::vector<gui::DriveEntry> mounted;
};

// A shown window over the given sources; its dialogs go to `dialogs` when given.
std::unique_ptr<TfMain> MakeWindow(const WindowSetup& setup, Dialogs* dialogs);

// Selects source `index`, presses scan and waits for the scan's end.
bool ScanToEnd(TfMain& w, int index = 0);

// The six texts of row `row` of the list, as std::string (UTF-8 on this system).
std::vector<std::string> RowTextsAt(const TfMain& w, int row);

// Text of a label or button, in UTF-8.
std::string Utf8(const QString& s);

}  // namespace qm::guitest
