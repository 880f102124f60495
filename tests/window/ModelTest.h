// Helpers for the window model's tests: a face that records what it is told
// and answers with the control state a test sets, volumes in a temporary
// folder, and running the model's queue until an event arrives.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/model/WindowModel.h"
#include "tests/support/VolumeBuilder.h"

namespace qm::windowtest {

struct FakeView : window::WindowView {
    // Drawn
    std::vector<std::string> drives;
    std::map<window::Label, std::string> labels;
    std::string scanCaption = "扫描磁盘", recoverCaption = "恢复选中文件", path;
    bool scanEnabled = true, recoverEnabled = true;
    int progressMax = 100, progress = 0;
    std::vector<std::string> messages, questions, errors;
    int scanEnds = 0, recoverEnds = 0;
    // Answered
    int selected = -1;
    bool byName = true, selectAll = false, answer = true, onSource = false;
    std::string folder;

    void SetDrives(const std::vector<std::string>& s) override { drives = s; }
    void SetLabel(window::Label which, const std::string& text) override { labels[which] = text; }
    void SetScanCaption(const std::string& t) override { scanCaption = t; }
    void SetRecoverCaption(const std::string& t) override { recoverCaption = t; }
    void EnableScan(bool e) override { scanEnabled = e; }
    void EnableRecover(bool e) override { recoverEnabled = e; }
    void SetProgressRange(int m) override { progressMax = m, progress = 0; }
    void SetProgress(int v) override { progress = v; }
    void SetPathText(const std::string& f) override { path = f; }
    void ShowMessage(const std::string& t) override { messages.push_back(t); }
    bool AskYesNo(const std::string& t) override {
        questions.push_back(t);
        return answer;
    }
    void ShowError(const std::string& t) override { errors.push_back(t); }
    int SelectedDrive() const override { return selected; }
    bool SaveByName() const override { return byName; }
    bool SelectAllDeleted() const override { return selectAll; }
    std::string Folder() const override { return folder; }
    bool FolderIsOnSource(const std::string&, const std::string&) override { return onSource; }
    void OnScanEnded() override { ++scanEnds; }
    void OnRecoverEnded() override { ++recoverEnds; }
};

// The model over a FakeView, with the UI thread played by the test's thread:
// the queue's wake-ups are counted and RunUntil drains on each.
class ModelHarness {
public:
    ModelHarness();
    ~ModelHarness();
    FakeView view;
    window::WindowModel model{view};

    // Drains the queue each time it is woken until `done()` holds.
    template <typename F>
    void RunUntil(F done) {
        while (!done()) {
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [this] { return wakes_ > 0; });
                wakes_ = 0;
            }
            model.Queue().Drain();
        }
    }
    void ScanToEnd(int source = 0);
    void RecoverToEnd();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int wakes_ = 0;
};

struct TestFile {
    std::u16string name;
    std::string content;
};

// A temporary folder, removed at the end.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string path;
};

// Writes a volume holding `files` as deleted records 16, 17, ... (content
// resident when short, in clusters after the MFT otherwise).
std::string MakeVolume(const std::string& dir, const std::string& name,
                       const std::vector<TestFile>& files, std::u16string label = u"Test");
// Writes the volume `vb` builds to `dir`/`name`; returns the path.
std::string WriteVolume(const std::string& dir, const std::string& name,
                        const test::VolumeBuilder& vb);
std::string ReadFile(const std::string& path);

}  // namespace qm::windowtest
