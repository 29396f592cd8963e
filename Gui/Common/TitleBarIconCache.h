#pragma once

#include <QHash>
#include <QIcon>
#include <QProxyStyle>

// The application's style, with the title bar icons made once. Every
// sub-window asks for its title bar and menu icons when it is made, and the
// style decodes them from image files each time: a burst of clients paid for
// that in every window.
class TitleBarIconCache : public QProxyStyle
{
public:
    // Wraps the application's style, once.
    static void install();

    QIcon standardIcon(StandardPixmap icon, const QStyleOption* option = nullptr,
                       const QWidget* widget = nullptr) const override;

private:
    mutable QHash<int, QIcon> icons;
};
