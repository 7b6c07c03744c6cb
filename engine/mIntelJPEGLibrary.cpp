#include "mIntelJPEGLibrary.h"

#include "AppError.h"
#include "AtomicFile.h"
#include "IntelJpegLibrary.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace mIntelJPEGLibrary {
namespace {

// Owns an initialised record for the length of one write.
class Encoder
{
public:
    Encoder()
    {
        const int status = ijlInit(&m_props);
        if (status != IJL_OK)
            throw AppError(AppError::JpegWriter, ErrorSource(),
                           QStringLiteral("Failed to initialise the IJL library: %1").arg(status));
    }
    ~Encoder() { ijlFree(&m_props); }
    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;

    // Encodes into memory; the bytes live in the record until it is freed.
    void write(const cDIBSection &image, std::int32_t quality)
    {
        m_props.DIBWidth = image.Width();
        m_props.DIBHeight = -image.Height();
        m_props.DIBBytes = image.DIBSectionBitsPtr();
        m_props.DIBPadBytes = image.BytesPerScanLine() - image.Width() * 3;
        m_props.JPGWidth = image.Width();
        m_props.JPGHeight = image.Height();
        m_props.jquality = quality;
        const int status = ijlWrite(&m_props, IJL_JBUFF_WRITEWHOLEIMAGE);
        if (status != IJL_OK)
            throw AppError(AppError::JpegWriter, ErrorSource(), QStringLiteral("Failed to save to JPG %1").arg(status));
    }
    const JPEG_CORE_PROPERTIES &props() const { return m_props; }

private:
    JPEG_CORE_PROPERTIES m_props;
};

} // namespace

QString ErrorSource()
{
    QString name = QCoreApplication::instance() ? QFileInfo(QCoreApplication::applicationFilePath()).baseName()
                                                : QString();
    if (name.isEmpty())
        name = QStringLiteral("Quillmoss");
    return name + QStringLiteral(".mIntelJPEGLibrary");
}

std::vector<std::uint8_t> EncodeDib(const cDIBSection &image, std::int32_t quality)
{
    Encoder encoder;
    encoder.write(image, quality);
    const JPEG_CORE_PROPERTIES &p = encoder.props();
    return std::vector<std::uint8_t>(p.JPGBytes, p.JPGBytes + p.JPGSizeBytes);
}

bool SaveDibAsJpeg(const cDIBSection &image, const QString &path, std::int32_t quality)
{
    Encoder encoder;
    encoder.write(image, quality);
    const JPEG_CORE_PROPERTIES &p = encoder.props();
    AtomicFile::write(path, p.JPGBytes, p.JPGSizeBytes, AtomicFile::Metadata::KeepExisting);
    return true;
}

} // namespace mIntelJPEGLibrary
