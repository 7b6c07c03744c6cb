#pragma once

// Broken and hostile pictures: every one must end in a clear error or in a
// squash of what the decoder could read; never a crash, a hang or a
// sanitizer report. Mutations are seeded, so every run tries the same cases.
// Shared by the engine tests (JPEG, HEIC, header sizes) and the slow tests
// (the formats Qt decodes).

#include "../TestFiles.h"
#include "ErrorHandlers.h"
#include "Picture.h"
#include "SquashCore.h"

#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <random>

class HostileFiles
{
public:
    // The decoders' own complaints would drown the report.
    HostileFiles() { QLoggingCategory::setFilterRules(QStringLiteral("qt.gui.imageio*=false")); }

    QTemporaryDir dir;
    std::mt19937 random{20261206};

    QString file(const QString &name, const QByteArray &bytes)
    {
        const QString path = dir.filePath(name);
        writeAll(path, bytes);
        return path;
    }

    // Loads the bytes as a file named `name`; what loads is squashed too.
    // A refusal must be a known picture-loading error with a description.
    void attempt(const char *category, const QByteArray &bytes, const QString &name = QStringLiteral("case.jpg"))
    {
        const QString path = file(QString::number(m_counter++) + name, bytes);
        try {
            SquashCore::Request request;
            request.picture = Picture::LoadPicture(path);
            request.inputPath = path;
            request.maxFileSize = 4096;
            request.newWidth = float(std::min(request.picture.width(), 64));
            request.newHeight = float(std::min(request.picture.height(), 48));
            EXPECT_FALSE(request.picture.isNull());
            EXPECT_NE(SquashCore::Squash(request).outcome, SquashCore::Outcome::Cancelled);
        } catch (...) {
            const AppError e = ErrorHandlers::asAppError(std::current_exception());
            EXPECT_TRUE(e.number() == 481 || e.number() == 7 || e.number() == 5 || e.number() == 53)
                << category << ": " << qPrintable(e.reportText());
            EXPECT_FALSE(e.description().isEmpty());
        }
        QFile::remove(path);
        QFile::remove(SquashCore::OutputPath(path, QStringLiteral("_squashed")));
    }

    // The file truncated at many offsets (the header densely) and with bytes
    // flipped in the header and in the data.
    void mutate(const QByteArray &original, const QString &name)
    {
        for (int cut = 0; cut < original.size(); cut += cut < 256 ? 7 : original.size() / 40)
            attempt("truncated", original.left(cut), name);
        for (int i = 0; i < 200; ++i) {
            QByteArray b = original;
            const int span = i % 2 ? int(b.size()) : std::min<int>(int(b.size()), 200);
            const int flips = 1 + int(random() % 8);
            for (int f = 0; f < flips; ++f)
                b[int(random() % span)] = char(random() & 0xFF);
            attempt(i % 2 ? "flipped data" : "flipped header", b, name);
        }
    }

    // Nothing is left behind.
    void expectEmpty() { EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{}); }

private:
    int m_counter = 0;
};
