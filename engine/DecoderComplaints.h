#pragma once

#include <QString>

// libtiff and libpng print their errors to the terminal unless told
// otherwise, also when Qt's readers use them. While one of these lives,
// their errors on this thread are kept as the cause of a failed load; their
// warnings, and errors outside any load, are dropped.
class DecoderComplaints
{
public:
    DecoderComplaints();
    ~DecoderComplaints();
    DecoderComplaints(const DecoderComplaints &) = delete;
    DecoderComplaints &operator=(const DecoderComplaints &) = delete;

    // The first error a decoder gave, empty if none.
    QString first() const { return m_first; }
    void keep(const QString &message);

private:
    QString m_first;
    DecoderComplaints *m_outer;
};
