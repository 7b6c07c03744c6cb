#include "MailSize.h"

namespace MailSize {

QByteArray Boundary() { return QByteArrayLiteral("=_quillmoss_part_4f1c2a9e7b3d"); }

std::int64_t Base64Bytes(std::int64_t n)
{
    const std::int64_t chars = 4 * ((n + 2) / 3);
    return chars + 2 * ((chars + 75) / 76);
}

QByteArray PartHeader(const QString &fileName)
{
    const QByteArray utf8 = fileName.toUtf8();
    bool plain = true;
    for (const char c : utf8)
        plain = plain && c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
    // RFC 2231: a name that is not plain ASCII travels percent-encoded.
    const QByteArray name = plain ? QByteArrayLiteral("=\"") + utf8 + '"'
                                  : QByteArrayLiteral("*=UTF-8''") + utf8.toPercentEncoding();
    return QByteArrayLiteral("\r\n--") + Boundary() + QByteArrayLiteral("\r\n"
           "Content-Type: image/jpeg; name") + name + QByteArrayLiteral("\r\n"
           "Content-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename") + name + QByteArrayLiteral("\r\n\r\n");
}

QByteArray Closing() { return QByteArrayLiteral("\r\n--") + Boundary() + QByteArrayLiteral("--\r\n"); }

std::int64_t AttachmentBytes(const QString &fileName, std::int64_t fileBytes)
{
    return PartHeader(fileName).size() + Base64Bytes(fileBytes);
}

std::int64_t FixedBytes() { return TextAllowance + Closing().size(); }

std::int64_t MessageBytes(const std::vector<std::pair<QString, std::int64_t>> &files)
{
    std::int64_t total = FixedBytes();
    for (const auto &[name, bytes] : files)
        total += AttachmentBytes(name, bytes);
    return total;
}

} // namespace MailSize
