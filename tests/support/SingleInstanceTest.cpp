#include "SingleInstance.h"

#include <QElapsedTimer>
#include <thread>
#include <QCoreApplication>
#include <QUuid>
#include <gtest/gtest.h>

TEST(SingleInstance, ASecondStartHandsItsFilesToTheFirst)
{
    const QString name = QStringLiteral("quillmoss-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    SingleInstance later(name);
    EXPECT_FALSE(later.handOver({QStringLiteral("/a.jpg")}, 200));   // nobody running

    SingleInstance first(name);
    ASSERT_TRUE(first.listen());
    std::vector<QStringList> received;
    QObject::connect(&first, &SingleInstance::filesReceived, [&](const QStringList &p) { received.push_back(p); });
    const QStringList files{QStringLiteral("/pics/a b.jpg"), QStringLiteral("/pics/\u00e9t\u00e9.gif")};
    // The hand-over blocks; the first instance answers from its event loop.
    bool handed = false;
    std::thread second([&] { handed = SingleInstance(name).handOver(files); });
    QElapsedTimer clock;
    clock.start();
    while (received.empty() && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    second.join();
    EXPECT_TRUE(handed);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], files);
}
