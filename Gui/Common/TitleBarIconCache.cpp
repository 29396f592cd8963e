#include "TitleBarIconCache.h"

#include <QApplication>

namespace
{
bool isTitleBarIcon(QStyle::StandardPixmap icon)
{
    return icon >= QStyle::SP_TitleBarMenuButton && icon <= QStyle::SP_TitleBarContextHelpButton;
}
}

void TitleBarIconCache::install()
{
    if (!dynamic_cast<TitleBarIconCache*>(QApplication::style()))
        QApplication::setStyle(new TitleBarIconCache);
}

// Only icons asked for without an option: those depend on nothing but the style.
QIcon TitleBarIconCache::standardIcon(StandardPixmap icon, const QStyleOption* option, const QWidget* widget) const
{
    if (option || !isTitleBarIcon(icon))
        return QProxyStyle::standardIcon(icon, option, widget);
    auto cached = icons.constFind(icon);
    if (cached == icons.cend())
        cached = icons.insert(icon, QProxyStyle::standardIcon(icon, nullptr, widget));
    return *cached;
}
