#pragma once

#include <QDialog>
#include <QImage>

class QLabel;
class QScrollArea;

// The full-size viewer: the picture at its natural size at the top left.
// Its inner area is sized to the picture; a picture larger than the screen
// gets a viewer that fits the screen, with scroll bars.
class frmPicture : public QDialog
{
public:
    explicit frmPicture(QWidget *parent = nullptr);

    void setPicture(const QImage &picture);
    const QImage &picture() const { return m_picture; }
    // Sizes the inner area to W x H pixels (or the screen, when smaller).
    void SizeToPicture(int W, int H);
    // The scrolled content's size: the picture's, when one is shown.
    QSize contentSize() const;

protected:
    void done(int result) override;

private:
    QScrollArea *m_scroll;
    QLabel *m_label;
    QImage m_picture;
};
