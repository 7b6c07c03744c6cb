#include "FileNames.h"
#include "QtMessageBoxes.h"
#include "SingleInstance.h"
#include "frmMain.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

void describe(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Makes pictures smaller for mailing and posting. Pictures named here are loaded\n"
        "as if dropped on the window; two or more switch Auto-Commit on."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Pictures to load (JPEG, GIF, BMP, PNG, WebP, TIFF or HEIC)."),
                                 QStringLiteral("[FILE...]"));
}

void name(QCoreApplication &)
{
    QCoreApplication::setApplicationName(QStringLiteral("Quillmoss"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QT_STRINGIFY(QUILLMOSS_VERSION)));
}

// Whether a window system can be reached: a platform named by the user
// (-platform, QT_QPA_PLATFORM), or an X or Wayland display.
bool hasDisplay(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "-platform") || !std::strcmp(argv[i], "--platform"))
            return true;
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland"))
        return true;
    if (platform.startsWith("wayland"))
        return !qgetenv("WAYLAND_DISPLAY").isEmpty();
    if (platform.startsWith("xcb"))
        return !qgetenv("DISPLAY").isEmpty();
    return !qgetenv("DISPLAY").isEmpty() || !qgetenv("WAYLAND_DISPLAY").isEmpty();
}

} // namespace

int main(int argc, char *argv[])
{
    // --help and --version answer without a window (or a display).
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h") || !std::strcmp(a, "--help-all") ||
            !std::strcmp(a, "--version") || !std::strcmp(a, "-v")) {
            QCoreApplication core(argc, argv);
            name(core);
            QCommandLineParser parser;
            describe(parser);
            parser.process(core);   // prints and exits
            return 0;
        }
    }

    // Without a display Qt would abort; say what is wrong instead.
    if (!hasDisplay(argc, argv)) {
        std::fprintf(stderr, "no display: quillmoss needs a desktop session; quillmoss-squash works without one\n");
        return 1;
    }
    QApplication app(argc, argv);
    name(app);
    QLoggingCategory::setFilterRules(QStringLiteral("qt.gui.imageio*=false"));
    QApplication::setStyle(QStringLiteral("Fusion"));
    QCommandLineParser parser;
    describe(parser);
    // Qt would read the arguments as UTF-8, making other bytes U+FFFD; what
    // QApplication took for itself is no longer in argv.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << FileNames::decode(argv[i]);
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
        return 2;
    }
    QStringList files;
    for (const QString &f : parser.positionalArguments())
        files << FileNames::absolutePath(f);

    SingleInstance instance(SingleInstance::defaultName());
    if (instance.handOver(files))
        return 0;
    instance.listen();

    QtMessageBoxes boxes;
    frmMain window(boxes);
    boxes.setParent(&window);
    window.show();
    QObject::connect(&instance, &SingleInstance::filesReceived, &window, [&window](const QStringList &paths) {
        window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
        window.show();
        window.raise();
        window.activateWindow();
        if (!paths.isEmpty())
            window.LoadFiles(paths);
    });
    if (!files.isEmpty())
        QTimer::singleShot(0, &window, [&window, files] { window.LoadFiles(files); });
    return app.exec();
}
