#include <QApplication>
#include <QMessageBox>

// The window program. Until the main window lands it only says so and
// points at the command-line front end.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmoss"));
    QApplication::setApplicationVersion(QStringLiteral(QT_STRINGIFY(QUILLMOSS_VERSION)));
    QMessageBox::information(nullptr, QStringLiteral("Quillmoss"),
                             QStringLiteral("The Quillmoss window is not built yet.\n"
                                            "Use the command line: quillmoss-squash --help"));
    return 0;
}
