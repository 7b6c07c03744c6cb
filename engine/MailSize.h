#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <utility>
#include <vector>

// The length of a mail that carries pictures, counted as mail servers count
// it: on the encoded message. The message is multipart/mixed: a fixed
// allowance for its headers and text, then per attachment a part header and
// the file in base64 with CRLF after every 76 characters, then the closing
// boundary. Every byte of it is fixed here, so the length is exact.
namespace MailSize {

// The message's own headers and its text part, whatever they say.
constexpr std::int64_t TextAllowance = 8192;

// The boundary between the parts.
QByteArray Boundary();

// Base64 of n bytes: 4 characters per 3 bytes (padded), and CRLF after each
// line of 76 characters, the last (shorter) line included.
std::int64_t Base64Bytes(std::int64_t n);

// What goes before an attachment's base64: the delimiter line and the
// part's headers, the name quoted, or in RFC 2231 form when it is not
// plain ASCII.
QByteArray PartHeader(const QString &fileName);

// The closing delimiter after the last part.
QByteArray Closing();

// An attachment of `fileBytes` bytes named `fileName`: header and base64.
std::int64_t AttachmentBytes(const QString &fileName, std::int64_t fileBytes);

// What the message takes besides its attachments.
std::int64_t FixedBytes();

// The whole message: name and length of each attachment.
std::int64_t MessageBytes(const std::vector<std::pair<QString, std::int64_t>> &files);

} // namespace MailSize
