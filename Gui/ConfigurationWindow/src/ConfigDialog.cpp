#include "ConfigDialog.h"

#include "Core.h"
#include "InterfaceAddresses.h"
#include "Latin1.h"
#include "Log.h"
#include "PortList.h"
#include "TlsPreferences.h"
#include "TranscriptPreferences.h"

#include <QPushButton>

#include <stdexcept>

namespace
{
void showReason(QLabel* label, const QString& reason)
{
    label->setText(reason);
    label->setVisible(!reason.isEmpty());
}
}

ConfigDialog::ConfigDialog(QWidget* parent)
    : QDialog(parent)
{
    setupUi(this);
    setModal(true);
    tlsPreferences = new TlsPreferences(tabs);
    tlsPreferences->setObjectName("tlsPreferences");
    tabs->addTab(tlsPreferences, "TLS");
    transcripts = new TranscriptPreferences(tabs);
    tabs->addTab(transcripts, "Transcripts");
    connect(transcripts, &TranscriptPreferences::validityChanged, this, &ConfigDialog::validate);
    fillBindAddressChoices();
    setListenPorts({2222});
    connect(portsEdit, &QLineEdit::textChanged, this, &ConfigDialog::validate);
    connect(bindAddressCombo, &QComboBox::editTextChanged, this, &ConfigDialog::validate);
    connect(tlsPreferences, &TlsPreferences::validityChanged, this, &ConfigDialog::validate);
    validate();
    Log::line("Config dialog created.");
}

ConfigDialog::~ConfigDialog()
{
    Log::line("Config dialog destroyed.");
}

// Each choice carries what BindAddress::parse reads.
void ConfigDialog::fillBindAddressChoices()
{
    bindAddressCombo->addItem("All addresses (IPv6 and IPv4)", QString(BindAddress::allAddressesWord));
    bindAddressCombo->addItem("Loopback only (127.0.0.1 and ::1)", QString(BindAddress::loopbackWord));
    for (const InterfaceAddresses::Entry& entry : InterfaceAddresses::list()) {
        const QString address = Latin1::toQString(entry.address);
        bindAddressCombo->addItem(QString("%1 (%2)").arg(address, Latin1::toQString(entry.interfaceName)), address);
    }
}

void ConfigDialog::showCoreSettings(const Core& core)
{
    setListedPorts(core.getListedPorts());
    setBindAddress(core.getBindAddress());
    setProtocolType(core.getProtocolType());
    setTlsSetup(core.getTlsSetup());
}

void ConfigDialog::applyCoreSettings(Core& core) const
{
    core.setListedPorts(getListedPorts());
    core.setBindAddress(getBindAddress());
    core.setProtocolType(getProtocolType());
    core.setTlsSetup(getTlsSetup());
}

void ConfigDialog::setListenPorts(const std::vector<unsigned int>& ports)
{
    setListedPorts(PortList::plain(ports));
}

std::vector<unsigned int> ConfigDialog::getListenPorts() const
{
    return PortList::numbers(getListedPorts());
}

void ConfigDialog::setListedPorts(const std::vector<ListedPort>& ports)
{
    portsEdit->setText(Latin1::toQString(PortList::format(ports)));
}

std::vector<ListedPort> ConfigDialog::getListedPorts() const
{
    return parsedPorts(nullptr).value_or(std::vector<ListedPort>());
}

void ConfigDialog::setTlsSetup(const TlsSetup& setup)
{
    tlsPreferences->setSetup(setup);
    // Room for the certificate's lines, which the page now shows.
    resize(size().expandedTo(sizeHint()));
}

TlsSetup ConfigDialog::getTlsSetup() const
{
    return tlsPreferences->setup();
}

std::optional<std::vector<ListedPort>> ConfigDialog::parsedPorts(QString* reason) const
{
    std::string why;
    auto ports = PortList::parseListed(portsEdit->text().toStdString(), why);
    if (reason)
        *reason = QString::fromStdString(why);
    return ports;
}

void ConfigDialog::setBindAddress(const BindAddress& address)
{
    const int index = bindAddressCombo->findData(Latin1::toQString(address.text()));
    if (index >= 0)
        bindAddressCombo->setCurrentIndex(index);
    else
        bindAddressCombo->setEditText(Latin1::toQString(address.text()));
}

BindAddress ConfigDialog::getBindAddress() const
{
    return parsedBindAddress(nullptr).value_or(BindAddress::allAddresses());
}

// The text of a choice stands for that choice; anything else is read as typed.
std::optional<BindAddress> ConfigDialog::parsedBindAddress(QString* reason) const
{
    const QString text = bindAddressCombo->currentText();
    const int index = bindAddressCombo->findText(text);
    const QString meant = index >= 0 ? bindAddressCombo->itemData(index).toString() : text;
    std::string why;
    auto address = BindAddress::parse(meant.toStdString(), why);
    if (reason)
        *reason = QString::fromStdString(why);
    return address;
}

void ConfigDialog::validate()
{
    QString portsReason;
    QString addressReason;
    const bool portsValid = parsedPorts(&portsReason).has_value();
    const bool addressValid = parsedBindAddress(&addressReason).has_value();
    showReason(portsError, portsValid ? QString() : portsReason);
    showReason(bindAddressError, addressValid ? QString() : addressReason);
    buttonBox->button(QDialogButtonBox::Ok)->setEnabled(portsValid && addressValid && tlsPreferences->isValid()
                                                        && transcripts->isValid());
}

void ConfigDialog::setViewMode(QMdiArea::ViewMode mode)
{
    if (mode == QMdiArea::SubWindowView) {
        radioButton_1->setChecked(true);
        radioButton_2->setChecked(false);
    } else if (mode == QMdiArea::TabbedView) {
        radioButton_2->setChecked(true);
        radioButton_1->setChecked(false);
    }
}

QMdiArea::ViewMode ConfigDialog::getViewMode() const
{
    return radioButton_1->isChecked() ? QMdiArea::SubWindowView : QMdiArea::TabbedView;
}

void ConfigDialog::setProtocolType(ProtocolFactory::ProtocolType type)
{
    if (type == ProtocolFactory::PLAIN_TEXT)
        radioButton->setChecked(true);
    else if (type == ProtocolFactory::HTTP)
        radioButton_3->setChecked(true);
}

ProtocolFactory::ProtocolType ConfigDialog::getProtocolType() const
{
    if (radioButton->isChecked())
        return ProtocolFactory::PLAIN_TEXT;
    if (radioButton_3->isChecked())
        return ProtocolFactory::HTTP;
    throw std::runtime_error("Unknown protocol type in ConfigDialog::getProtocolType");
}

void ConfigDialog::setAutoListen(bool autoListen)
{
    checkBox->setChecked(autoListen);
}

bool ConfigDialog::getAutoListen() const
{
    return checkBox->isChecked();
}

void ConfigDialog::setTranscriptOptions(const TranscriptOptions& options)
{
    transcripts->setOptions(options);
}

TranscriptOptions ConfigDialog::getTranscriptOptions() const
{
    return transcripts->options();
}
