// A stand-in for a file manager: a small window that starts a drag of the
// files named on its command line when it is pressed.
#include <QApplication>
#include <QDrag>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

namespace {

class Source : public QLabel
{
public:
    explicit Source(QStringList files) : QLabel(QStringLiteral("drag me")), m_files(std::move(files))
    {
        setWindowTitle(QStringLiteral("drag-source"));
        setAlignment(Qt::AlignCenter);
        resize(120, 80);
    }

protected:
    void mousePressEvent(QMouseEvent *) override
    {
        auto *data = new QMimeData;
        QList<QUrl> urls;
        for (const QString &f : m_files)
            urls << QUrl::fromLocalFile(f);
        data->setUrls(urls);
        auto *drag = new QDrag(this);
        drag->setMimeData(data);
        const Qt::DropAction result = drag->exec(Qt::CopyAction);
        std::printf("drop %s\n", result == Qt::CopyAction ? "accepted" : "refused");
        std::fflush(stdout);
    }

private:
    QStringList m_files;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Source source(QApplication::arguments().mid(1));
    source.move(600, 100);
    source.show();
    return app.exec();
}
