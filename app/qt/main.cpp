// quillmere [--scan] [--screenshot FILE] [IMAGE...] | --help | --version
//
// Opens the window. Image files named here are listed after the drives when
// they hold an NTFS volume (whole-disk images: one entry per NTFS partition).
// --scan selects the first entry and starts a scan; --screenshot saves a PNG of
// the window once the scan has ended (or at once without --scan) and quits.
#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QListWidget>
#include <QTimer>
#include <cstdio>

#ifndef QM_VERSION
#define QM_VERSION "dev"
#endif

#include "app/qt/uMain.h"

namespace {

void SaveAndQuit(TfMain& window, const QString& path) {
    // Let the last updates paint first.
    QTimer::singleShot(200, &window, [&window, path] {
        const bool ok = window.grab().save(path, "PNG");
        std::fprintf(ok ? stdout : stderr, "%s %s\n", ok ? "Screenshot saved to" : "Could not save",
                     QFile::encodeName(path).constData());
        QCoreApplication::exit(ok ? 0 : 1);
    });
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kApplicationTitle));
    QApplication::setApplicationVersion(QM_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kWindowCaption));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption scanOption("scan", "Select the first NTFS source and start a scan.");
    QCommandLineOption shotOption(
        "screenshot", "Save a PNG of the window to FILE once the scan has ended, then quit.",
        "FILE");
    parser.addOption(scanOption);
    parser.addOption(shotOption);
    parser.addPositionalArgument("IMAGE", "Image files to list after the drives.", "[IMAGE...]");
    parser.process(app);

    StartupOptions options;
    for (const QString& image : parser.positionalArguments())
        options.images.push_back(QFile::encodeName(image).toStdString());

    TfMain window(std::move(options));
    window.show();

    const bool scan = parser.isSet(scanOption);
    const QString shot = parser.value(shotOption);
    if (scan) {
        QTimer::singleShot(0, &window, [&window, shot] {
            if (window.DriveList->count() == 0) {
                std::fprintf(stderr, "No NTFS source to scan.\n");
                if (!shot.isEmpty()) SaveAndQuit(window, shot);
                return;
            }
            window.DriveList->setCurrentRow(0);
            window.btnScanClick();
        });
        if (!shot.isEmpty())
            QObject::connect(&window, &TfMain::ScanEnded, &window,
                             [&window, shot] { SaveAndQuit(window, shot); });
    } else if (!shot.isEmpty()) {
        SaveAndQuit(window, shot);
    }
    return app.exec();
}
