// What a program sees of its settings: reads the values named on the command
// line, writes Main/Suffix and Form/X, reads Main/Suffix again, and prints one
// line each (the writes as 1 or 0). --ini PATH names the file; without it the
// program finds its own, beside itself or in the user's folder.
#include "AppError.h"
#include "modINIer.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList names = app.arguments().mid(1);
    if (names.size() >= 2 && names[0] == QLatin1String("--ini")) {
        modINIer::SetIniPath(names[1]);
        names = names.mid(2);
    }
    QTextStream out(stdout);
    for (const QString &name : names)
        out << name << '=' << modINIer::ReadIniValue(name.section(QLatin1Char('/'), 0, 0), name.section(QLatin1Char('/'), 1))
            << '\n';
    bool written = false;
    try {
        modINIer::WriteIniValue(QStringLiteral("Main"), QStringLiteral("Suffix"), QStringLiteral("\"_n\u00e9\""));
        modINIer::WriteIniValue(QStringLiteral("Form"), QStringLiteral("X"), QStringLiteral("15"));
        written = true;
    } catch (const AppError &) {
    }
    out << (written ? 1 : 0) << '\n' << modINIer::ReadIniValue(QStringLiteral("Main"), QStringLiteral("Suffix")) << '\n';
    return 0;
}
