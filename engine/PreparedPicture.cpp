#include "PreparedPicture.h"

#include "AppError.h"
#include "FileNames.h"
#include "JpegDecoder.h"
#include "Numbers.h"
#include "Picture.h"

PreparedPicture PreparedPicture::Load(const QString &path, const SquashTargets::SizeChoice &size,
                                      const std::function<bool()> &cancelled)
{
    PreparedPicture prepared;
    prepared.path = path;
    prepared.fileSize = Picture::PictureSize(path);
    float w = 0, h = 0;
    SquashTargets::SizeFor(size, float(prepared.fileSize.width()), float(prepared.fileSize.height()), w, h);
    const QSize wanted(int(Numbers::roundHalfEven(w)), int(Numbers::roundHalfEven(h)));
    const bool scaled = wanted.width() > 0 && wanted.height() > 0 && wanted != prepared.fileSize;

    // Held while decoding only: the squash reserves again on its own thread.
    MemoryBudget::Reservation budget;
    QSize minSize;
    try {
        budget = Picture::ReserveSquash(prepared.fileSize, scaled ? wanted : prepared.fileSize);
    } catch (const AppError &e) {
        if (e.number() != AppError::OutOfMemory)
            throw;
        // The whole picture cannot be squashed: a JPEG decoded at a DCT scale
        // may be; anything else is decoded whole to be shown, and its squash
        // says why it cannot be made.
        const QSize decoded = scaled ? Picture::PictureSize(path, wanted) : prepared.fileSize;
        if (decoded != prepared.fileSize) {
            budget = Picture::ReserveSquash(decoded, wanted);
            minSize = wanted;
        }
    }
    prepared.picture = Picture::LoadPicture(path, cancelled, minSize, &prepared.metadata);
    prepared.damage = JpegDecoder::Damage(prepared.picture);
    prepared.length = FileNames::status(path).size;
    return prepared;
}

PreparedPicture PreparedPicture::ForSquash(const QString &path, const SquashTargets::SizeChoice &size)
{
    PreparedPicture prepared;
    prepared.jpeg = Picture::StreamableJpeg(path, &prepared.metadata);
    if (prepared.jpeg.isEmpty())
        return Load(path, size);
    prepared.path = path;
    prepared.fileSize = JpegDecoder::ReadHeader(prepared.jpeg).size;
    float w = 0, h = 0;
    SquashTargets::SizeFor(size, float(prepared.fileSize.width()), float(prepared.fileSize.height()), w, h);
    const QSize wanted(int(Numbers::roundHalfEven(w)), int(Numbers::roundHalfEven(h)));
    if (wanted.width() > 0 && wanted.height() > 0 && wanted != prepared.fileSize)
        return Load(path, size);   // scaled: from the whole picture
    prepared.length = prepared.jpeg.size();
    return prepared;
}
