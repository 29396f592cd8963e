#pragma once

#include "ui_ConfigDialog.h"

#include "BindAddress.h"
#include "ProtocolFactory.h"
#include "TranscriptOptions.h"

#include <QDialog>
#include <QMdiArea>

#include <optional>
#include <vector>

class TranscriptPreferences;

// The preferences: listen ports and address, view mode, protocol for new
// connections, listening at start-up and the transcripts' storage. Only shows and returns values; the
// main window applies them. A port list or address that cannot be used is
// refused with its reason beside the field, and OK stays disabled until both
// are valid.
class ConfigDialog : public QDialog, private Ui::ConfigDialog
{
public:
    explicit ConfigDialog(QWidget* parent);
    ~ConfigDialog() override;

    void setListenPorts(const std::vector<unsigned int>& ports);
    // The ports as typed; empty while the text is not a valid list.
    std::vector<unsigned int> getListenPorts() const;
    void setBindAddress(const BindAddress& address);
    // The address chosen or typed; all addresses while the text is not valid.
    BindAddress getBindAddress() const;
    void setViewMode(QMdiArea::ViewMode mode);
    QMdiArea::ViewMode getViewMode() const;
    void setProtocolType(ProtocolFactory::ProtocolType type);
    ProtocolFactory::ProtocolType getProtocolType() const;
    void setAutoListen(bool autoListen);
    bool getAutoListen() const;
    void setTranscriptOptions(const TranscriptOptions& options);
    TranscriptOptions getTranscriptOptions() const;
    TranscriptPreferences* transcriptPreferences() const { return transcripts; }

private:
    void fillBindAddressChoices();
    std::optional<std::vector<unsigned int>> parsedPorts(QString* reason) const;
    std::optional<BindAddress> parsedBindAddress(QString* reason) const;
    void validate();

    TranscriptPreferences* transcripts = nullptr;
};
