#pragma once
// Small pieces of the main window: the toolbar pictures and the logo (both drawn here, so the
// program ships no picture files), the transfer-rate box and the titled user list.

#include <QIcon>
#include <QIdentityProxyModel>
#include <QList>
#include <QRect>
#include <QSpinBox>
#include <QWidget>

namespace arbelon {

// Gives a control the name it is known by.
template <typename T>
T *named(T *widget, const char *name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// Where a kept window goes back to: the screen (available areas, the first the primary one)
// that the kept frame overlaps most, cut to that area's size and moved into it, so all of
// its frame is seen; in the middle of the first when it overlaps none (a screen unplugged).
QRect fitOnScreens(const QRect &frame, const QList<QRect> &screens);

enum class ToolPicture { Connect,
                         Disconnect,
                         LeaveRoom,
                         WatchGame };

// A 16 by 16 picture (with a 32 by 32 one for dense screens) for a toolbar button.
QIcon toolIcon(ToolPicture which);

// The introduction page's logo: drawn to fit, centred, on a transparent ground.
class ArbelonLogo : public QWidget {
public:
    explicit ArbelonLogo(QWidget *parent = nullptr);
    QSize sizeHint() const override { return {320, 220}; }

protected:
    void paintEvent(QPaintEvent *event) override;
};

// The transfer rate: an emptied box counts as 0 and shows "0" when the edit ends.
class RateSpinBox : public QSpinBox {
public:
    explicit RateSpinBox(QWidget *parent = nullptr);
    // The number in the text as it stands: empty or not a number counts as 0.
    int textValue() const;

protected:
    void fixup(QString &input) const override;
};

// A one-column list with a caption in its header ("Users").
class TitledListModel : public QIdentityProxyModel {
public:
    TitledListModel(const QString &title, QObject *parent) : QIdentityProxyModel(parent), m_title(title) {}
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QString m_title;
};

} // namespace arbelon
