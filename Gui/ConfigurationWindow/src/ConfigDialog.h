#pragma once

#include "ui_ConfigDialog.h"

#include "BindAddress.h"
#include "PortList.h"
#include "ProtocolFactory.h"
#include "TlsSetup.h"
#include "TranscriptOptions.h"

#include <QDialog>
#include <QMdiArea>

#include <optional>
#include <vector>

class Core;
class TlsPreferences;
class TranscriptPreferences;

// The preferences: listen ports (those marked /tls serve TLS) and address,
// view mode, protocol for new connections and listening at start-up on one
// page, how TLS is served on another (TlsPreferences), where transcripts are
// kept and how much they may take on a third (TranscriptPreferences). Only
// shows and returns values; the main window applies them. A value that
// cannot be used is refused with its reason beside the field, and OK stays
// disabled until every one is valid.
class ConfigDialog : public QDialog, private Ui::ConfigDialog
{
public:
    explicit ConfigDialog(QWidget* parent);
    ~ConfigDialog() override;

    // What the Core holds: the ports, the address, the protocol and TLS.
    void showCoreSettings(const Core& core);
    void applyCoreSettings(Core& core) const;

    void setListenPorts(const std::vector<unsigned int>& ports);
    // The ports as typed; empty while the text is not a valid list.
    std::vector<unsigned int> getListenPorts() const;
    void setListedPorts(const std::vector<ListedPort>& ports);
    std::vector<ListedPort> getListedPorts() const;
    void setTlsSetup(const TlsSetup& setup);
    TlsSetup getTlsSetup() const;
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
    std::optional<std::vector<ListedPort>> parsedPorts(QString* reason) const;
    std::optional<BindAddress> parsedBindAddress(QString* reason) const;
    void validate();

    TlsPreferences* tlsPreferences = nullptr;
    TranscriptPreferences* transcripts = nullptr;
};
