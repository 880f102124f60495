// The window tests run on the offscreen platform, in a fixed time zone.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <ctime>

#if defined(__SANITIZE_THREAD__)
// Qt is not built with ThreadSanitizer, so the synchronisation inside it (its
// futex-based mutexes: posted events, its own thread pool for painting) is
// invisible, and what Qt's code does to its own memory would show up as races
// that are not ours. Interceptors called from such uninstrumented code are not
// checked; our code and the core are, as usual: every hand-over between the
// window and its workers goes through std::mutex or std::atomic.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
#endif

namespace {
QtMessageHandler g_defaultHandler = nullptr;
// The offscreen platform's note about size hints says nothing about the window.
void Filter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!message.contains(QLatin1String("propagateSizeHints")))
        g_defaultHandler(type, context, message);
}
}  // namespace

int main(int argc, char** argv) {
    g_defaultHandler = qInstallMessageHandler(Filter);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    setenv("TZ", "UTC", 1);
    tzset();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
