// Helpers for the benchmark: the plain one-by-one scan that writes every try
// to disk (the baseline), the scaled source each output is compared with, and
// the pixel size of an input.

#include "AppError.h"
#include "Picture.h"
#include "cDIBSection.h"
#include "mIntelJPEGLibrary.h"

#include <QFileInfo>
#include <QCoreApplication>
#include <cstdio>
#include <cstring>

namespace {

QImage scaled(const char *input, const char *size)
{
    QImage picture = Picture::LoadPicture(QString::fromLocal8Bit(input));
    int w = 0, h = 0;
    if (size && std::sscanf(size, "%dx%d", &w, &h) == 2 && w > 0 && h > 0)
        picture = Picture::StretchPicture(picture, w, h);
    return picture;
}

int usage()
{
    std::fputs("usage: quillmoss-bench scan INPUT LIMIT OUTPUT [WxH]\n"
               "       quillmoss-bench source INPUT OUTPUT.png [WxH]\n"
               "       quillmoss-bench size INPUT\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return usage();
    try {
        if (std::strcmp(argv[1], "size") == 0) {
            // Width and height as the squash sees them (orientation applied).
            const QSize size = Picture::PictureSize(QString::fromLocal8Bit(argv[2]));
            std::printf("%d %d\n", size.width(), size.height());
            return 0;
        }
        if (argc < 4)
            return usage();
        if (std::strcmp(argv[1], "scan") == 0 && argc >= 5) {
            cDIBSection dib;
            dib.CreateFromPicture(scaled(argv[2], argc > 5 ? argv[5] : nullptr));
            const qint64 limit = std::atoll(argv[3]);
            const QString output = QString::fromLocal8Bit(argv[4]);
            for (int q = 100; q >= 1; --q) {
                mIntelJPEGLibrary::SaveDibAsJpeg(dib, output, q);
                if (QFileInfo(output).size() <= limit) {
                    std::printf("%d\n", q);
                    return 0;
                }
            }
            std::printf("FAILED\n");
            return 1;
        }
        if (std::strcmp(argv[1], "source") == 0)
            return scaled(argv[2], argc > 4 ? argv[4] : nullptr).save(QString::fromLocal8Bit(argv[3]), "PNG") ? 0 : 1;
    } catch (const AppError &e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.reportText()));
        return 1;
    }
    return usage();
}
