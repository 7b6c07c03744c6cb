#pragma once

#include "MessageBoxes.h"

#include <QWidget>
#include <cstdint>
#include <functional>

class QLabel;
class QMimeData;

// The drop zone: a tiny round window above all others that takes dropped
// files for the main window while that one is covered or minimised.
class frmDropZone : public QWidget
{
public:
    struct Owner
    {
        QWidget *mainWindow = nullptr;   // shown and restored on a drop
        // The main window's batch intake.
        std::function<void(const QMimeData *Data, std::int16_t &IndexCount)> LoadFileAfterDragging;
        // Clears the main window's DropZone box.
        std::function<void()> clearCheckBox;
    };

    // Runs the load: round, on top, at the position saved in the settings.
    frmDropZone(Owner owner, MessageBoxes &boxes);

    QLabel *imgLogo;

    // Whether a drag carries local files: the only thing either window takes.
    static bool hasFiles(const QMimeData *data);

    // The designed size and the corner of its rounding.
    static constexpr int Width = 35, Height = 37, Corner = 10;

protected:
    void closeEvent(QCloseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Form_Load();
    void Form_Unload();

    Owner m_owner;
    MessageBoxes &m_boxes;
};
