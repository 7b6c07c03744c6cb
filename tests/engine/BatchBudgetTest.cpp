#include "BatchBudget.h"
#include "EngineTestSupport.h"
#include "MailSize.h"
#include "OutputPlan.h"
#include "PreparedPicture.h"
#include "cDIBSection.h"
#include "mIntelJPEGLibrary.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <cmath>
#include <map>

using namespace EngineTest;

namespace {

// Pictures of their own content: busy, flat or hard-edged, so that the
// pictures of a batch differ in what a quality step costs and gains.
QImage made(int kind, QSize size)
{
    const char *const sources[] = {"GreenMeadow.jpg", "horse.gif", "video-001.bmp", "Storm.jpg"};
    return QImage(corpus(sources[kind % 4])).scaled(size);
}

// The real message: headers and text padded to the allowance, each file
// base64-encoded in lines of 76 characters, then the closing delimiter.
QByteArray realMessage(const std::vector<std::pair<QString, QByteArray>> &files)
{
    QByteArray message = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + MailSize::Boundary()
                         + "\"\r\n\r\n--" + MailSize::Boundary() + "\r\nContent-Type: text/plain\r\n\r\nPhotos.\r\n";
    message += QByteArray(MailSize::TextAllowance - message.size(), ' ');
    for (const auto &[name, bytes] : files) {
        message += MailSize::PartHeader(name);
        const QByteArray base64 = bytes.toBase64();
        for (qsizetype at = 0; at < base64.size(); at += 76)
            message += base64.mid(at, 76) + "\r\n";
    }
    return message + MailSize::Closing();
}

class BatchBudgetTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;

    std::vector<SquashJob::Job> plan(const QStringList &paths, const SquashJob::Settings &settings)
    {
        OutputPlan outputs;
        std::vector<SquashJob::Job> jobs;
        for (const QString &path : paths)
            jobs.push_back(SquashJob::Plan(QFileInfo(path).fileName(), path, settings, outputs, [] { return true; }));
        return jobs;
    }
    QStringList squashed() const
    {
        return QDir(dir.path()).entryList({QStringLiteral("*_squashed.jpg")}, QDir::Files, QDir::Name);
    }
};

// Lengths around every line and padding boundary of base64 (57 bytes make
// one full line of 76), names plain, quoted and not ASCII: the length
// computed equals the message's.
TEST_F(BatchBudgetTest, TheMailSizeIsTheLengthOfTheRealMessage)
{
    std::vector<std::pair<QString, QByteArray>> files;
    std::vector<std::pair<QString, std::int64_t>> lengths;
    const QStringList names{QStringLiteral("a.jpg"), QStringLiteral("say \"cheese\".jpg"), QStringLiteral("Größe 東京.jpg")};
    for (const int n : {0, 1, 2, 3, 4, 55, 56, 57, 58, 113, 114, 115, 171, 5000}) {
        files.emplace_back(names[int(files.size()) % 3], QByteArray(n, 'x'));
        lengths.emplace_back(files.back().first, n);
        EXPECT_EQ(MailSize::MessageBytes({lengths.back()}), realMessage({files.back()}).size()) << n;
    }
    EXPECT_EQ(MailSize::MessageBytes(lengths), realMessage(files).size());
}

// Batches of made pictures, budgets from tiny to generous, counted as files
// and as a mail. Whenever the batch is written: it is within the budget, no
// picture could go one quality step higher within it, and the lowest
// quality is the common one: all one step above it would not fit. When it
// is not written, nothing is; it is whenever all fit at the floor.
TEST_F(BatchBudgetTest, TheSplitFitsAndNoPictureCouldGoOneStepHigher)
{
    const std::vector<std::vector<QSize>> batches{
        {{120, 90}},
        {{160, 120}, {64, 200}, {90, 90}},
        {{200, 150}, {48, 48}, {150, 100}, {33, 77}, {120, 120}},
    };
    for (std::size_t b = 0; b < batches.size(); ++b) {
        QStringList paths, names;
        std::vector<std::map<int, std::int64_t>> lengthAt(batches[b].size());
        // Picture i's length at quality q, encoded as the squash encodes it.
        const auto lengthOf = [&](std::size_t i, int q) {
            if (!lengthAt[i].count(q)) {
                cDIBSection dib;
                dib.CreateFromPicture(PreparedPicture::Load(paths[int(i)]).picture);
                lengthAt[i][q] = std::int64_t(mIntelJPEGLibrary::Encoder().Encode(dib, q).size());
            }
            return lengthAt[i][q];
        };
        for (std::size_t i = 0; i < batches[b].size(); ++i) {
            paths << dir.filePath(QStringLiteral("b%1_%2.png").arg(b).arg(i));
            names << QStringLiteral("b%1_%2_squashed.jpg").arg(b).arg(i);
            ASSERT_TRUE(made(int(b + i), batches[b][i]).save(paths.back()));
        }
        for (const BatchBudget::Measure measure : {BatchBudget::Measure::Files, BatchBudget::Measure::Mail}) {
            const auto total = [&](const std::vector<int> &q) {
                std::vector<std::pair<QString, std::int64_t>> files;
                std::int64_t sum = 0;
                for (std::size_t i = 0; i < q.size(); ++i)
                    files.emplace_back(names[int(i)], lengthOf(i, q[i])), sum += files.back().second;
                return measure == BatchBudget::Measure::Mail ? MailSize::MessageBytes(files) : sum;
            };
            const std::int64_t atFloor = total(std::vector<int>(paths.size(), 50)), atBest = total(std::vector<int>(paths.size(), 100));
            for (const double share : {0.5, 0.999, 1.0, 1.3, 2.0, 3.5, 1.01 * double(atBest) / double(atFloor)}) {
                SCOPED_TRACE(testing::Message() << "batch " << b << ", share " << share << (measure == BatchBudget::Measure::Mail ? ", mail" : ""));
                for (const QString &f : squashed())
                    QFile::remove(dir.filePath(f));
                SquashJob::Settings settings;
                const BatchBudget::Budget budget{std::int64_t(double(atFloor) * share), measure};
                const BatchBudget::Outcome out = BatchBudget::Run(plan(paths, settings), settings, budget);
                // Lengths of tiny pictures are not monotonic in the quality:
                // below the floor's sum a higher common quality may fit.
                if (budget.bytes >= atFloor) {
                    ASSERT_TRUE(out.written) << qPrintable(out.summary);
                }
                if (!out.written) {
                    EXPECT_TRUE(squashed().isEmpty());
                    EXPECT_TRUE(out.tooBig);
                    continue;
                }
                std::vector<int> q;
                for (std::size_t i = 0; i < std::size_t(paths.size()); ++i) {
                    const SquashJob::Result &r = out.results[i];
                    ASSERT_EQ(r.status, SquashJob::Status::Squashed) << qPrintable(r.line);
                    EXPECT_EQ(QFileInfo(dir.filePath(names[int(i)])).size(), lengthOf(i, r.quality));
                    q.push_back(r.quality);
                }
                EXPECT_LE(total(q), budget.bytes);
                for (std::size_t i = 0; i < q.size(); ++i) {
                    if (q[i] == 100)
                        continue;
                    std::vector<int> higher = q;
                    ++higher[i];
                    EXPECT_GT(total(higher), budget.bytes) << "picture " << i << " at " << q[i];
                }
                const int common = *std::min_element(q.begin(), q.end());
                if (common < 100) {
                    EXPECT_GT(total(std::vector<int>(q.size(), common + 1)), budget.bytes);
                }
            }
        }
    }
}

// Not even the floor fits: nothing is written and the common scale is
// told (its words: the command line's ABatchSharesOneBudget); with writeFit
// the batch is written at that scale, within budget. A file that is no
// picture is left out with its own error.
TEST_F(BatchBudgetTest, WhenTheFloorDoesNotFitTheCommonScaleIsToldAndWrittenOnRequest)
{
    QStringList paths;
    for (int i = 0; i < 3; ++i) {
        paths << dir.filePath(QStringLiteral("p%1.png").arg(i));
        ASSERT_TRUE(made(i, QSize(240, 160)).save(paths.back()));
    }
    paths << dir.filePath(QStringLiteral("not.png"));
    ASSERT_TRUE(writeAll(paths.back(), "no picture"));
    SquashJob::Settings settings;
    const BatchBudget::Budget budget{6000, BatchBudget::Measure::Files};
    const BatchBudget::Outcome told = BatchBudget::Run(plan(paths, settings), settings, budget);
    EXPECT_FALSE(told.written);
    EXPECT_TRUE(squashed().isEmpty());
    EXPECT_EQ(told.results[3].status, SquashJob::Status::LoadFailed);
    ASSERT_TRUE(told.scalePercent > 0 && told.scalePercent < 100) << told.scalePercent;

    settings.writeFit = true;
    const BatchBudget::Outcome written = BatchBudget::Run(plan(paths, settings), settings, budget);
    ASSERT_TRUE(written.written) << qPrintable(written.summary);
    EXPECT_EQ(written.scalePercent, told.scalePercent);
    std::int64_t sum = 0;
    for (const QString &f : squashed())
        sum += QFileInfo(dir.filePath(f)).size();
    EXPECT_EQ(squashed().size(), 3);
    EXPECT_LE(sum, budget.bytes);
    EXPECT_EQ(written.results[0].size, QSize(int(std::lround(240 * told.scalePercent / 100.0)), int(std::lround(160 * told.scalePercent / 100.0))));
}

} // namespace
