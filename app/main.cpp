#include "QtMessageBoxes.h"
#include "frmMain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmoss"));
    QApplication::setApplicationVersion(QStringLiteral(QT_STRINGIFY(QUILLMOSS_VERSION)));
    QApplication::setStyle(QStringLiteral("Fusion"));

    QtMessageBoxes boxes;
    frmMain window(boxes);
    boxes.setParent(&window);
    window.show();
    return app.exec();
}
