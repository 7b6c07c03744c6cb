#include "AppError.h"

AppError::AppError(int number, QString source, QString description)
    : m_number(number), m_source(std::move(source)), m_description(std::move(description)),
      m_what(reportText().toStdString())
{
}

AppError::AppError(int number, QString source)
    : AppError(number, std::move(source), standardDescription(number))
{
}

QString AppError::reportText() const
{
    return QStringLiteral("Error %1: %2").arg(m_number).arg(m_description);
}

QString AppError::standardDescription(int number)
{
    switch (number) {
    case 0: return QString();
    case InvalidCall: return QStringLiteral("Invalid procedure call or argument");
    case Overflow: return QStringLiteral("Overflow");
    case OutOfMemory: return QStringLiteral("Out of memory");
    case DivisionByZero: return QStringLiteral("Division by zero");
    case TypeMismatch: return QStringLiteral("Type mismatch");
    case UserInterrupt: return QStringLiteral("User interrupt occurred");
    case FileNotFound: return QStringLiteral("File not found");
    case PermissionDenied: return QStringLiteral("Permission denied");
    case PathFileAccess: return QStringLiteral("Path/File access error");
    case ObjectNotSet: return QStringLiteral("Object variable or With block variable not set");
    case InvalidPicture: return QStringLiteral("Invalid picture");
    default: return QStringLiteral("Application-defined or object-defined error");
    }
}
