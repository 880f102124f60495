#include "recover/uRecoverThread.h"

#include <QProgressBar>
#include <QPushButton>
#include <optional>

#include "app/uMain.h"
#include "recover/RecoverRecord.h"

TRecoverThread::TRecoverThread(bool createSuspended, std::string drive, std::int32_t tickedCount,
                               qm::VolumeGeometry geometry, TfMain* window)
    : geometry_(geometry), tickedCount_(tickedCount), drive_(std::move(drive)), window_(window) {
    if (!createSuspended) start();
}

TRecoverThread::~TRecoverThread() = default;

void TRecoverThread::run() {
    ArmExitSignal();
    RecoverRunning.store(true);

    TfMain* w = window_;
    qm::gui::UiStream& stream = w->Stream();
    const std::int32_t count = tickedCount_;
    stream.Post([w, count] {
        w->PB->setMaximum(count);
        w->PB->setMinimum(0);
        w->PB->setValue(0);
        w->btnRecover->setText(QString::fromUtf8("停止恢复"));
        w->btnScan->setEnabled(false);
    });

    // The rows present now; rows are addressed by their place in the list as
    // it is shown when the worker reaches them.
    const std::optional<int> rows = stream.Ask<int>([w] { return w->ListView1Model()->Count(); });
    // The MFT's layout, read once: a record split over two MFT fragments is
    // read from both.
    std::optional<qm::MftMap> mft;
    if (auto volume = qm::OpenRawVolume(drive_)) {
        qm::SetupResult layout = qm::ReadVolumeLayout(**volume);
        if (layout.info) mft = std::move(layout.info->map);
    }
    int i = 0;
    while (rows && i < *rows) {
        if (RecoverStopRequested.load()) break;
        // Ticks, caption, name, naming mode and folder as they stand when the
        // worker reaches the row. The rows up to the next ticked one are passed
        // over in the same moment, as the worker would pass them one by one.
        const int limit = *rows;
        auto next = stream.Ask<TfMain::RecoverRowQuery>(
            [w, i, limit] { return w->NextTickedRow(i, limit); });
        if (!next || next->index < 0) break;

        const std::string path =
            next->byName
                ? qm::OutputPathByName(next->folder, next->name)
                : qm::OutputPathByNumber(next->folder, static_cast<std::uint64_t>(next->index));
        // Whatever goes wrong with one file is silent; the progress bar steps all the same.
        if (auto volume = qm::OpenRawVolume(drive_))
            (void)qm::RecoverRecord(**volume, next->caption, geometry_, path,
                                    qm::DefaultOutputFactory(), &stream.ClosingFlag(),
                                    mft ? &*mft : nullptr);
        stream.Post([w] { w->PB->setValue(w->PB->value() + 1); });
        i = next->index + 1;
    }

    (void)qm::DefaultOutputFactory().Finish();  // one flush for the whole recovery

    TRecoverThread* self = this;
    stream.Post([w, self] {
        RecoverRunning.store(false);
        w->btnRecover->setText(QString::fromUtf8("恢复文件"));
        w->btnScan->setEnabled(true);
        w->ReleaseWorker(self);
        emit w->RecoverEnded();
    });
    // Nothing of this object may be touched from here on: the UI thread deletes it.
}
