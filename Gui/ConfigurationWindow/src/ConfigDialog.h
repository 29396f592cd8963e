#pragma once

#include "ui_ConfigDialog.h"

#include "ProtocolFactory.h"

#include <QDialog>
#include <QMdiArea>

// The preferences: listen port, view mode, protocol for new connections and
// listening at start-up. Only shows and returns values; the main window applies them.
class ConfigDialog : public QDialog, private Ui::ConfigDialog
{
public:
    explicit ConfigDialog(QWidget* parent);
    ~ConfigDialog() override;

    void setListenPort(unsigned int port);
    unsigned int getListenPort() const;
    void setViewMode(QMdiArea::ViewMode mode);
    QMdiArea::ViewMode getViewMode() const;
    void setProtocolType(ProtocolFactory::ProtocolType type);
    ProtocolFactory::ProtocolType getProtocolType() const;
    void setAutoListen(bool autoListen);
    bool getAutoListen() const;
};
