#include "ConfigDialog.h"

#include "Log.h"

#include <algorithm>
#include <stdexcept>

ConfigDialog::ConfigDialog(QWidget* parent)
    : QDialog(parent)
{
    setupUi(this);
    setModal(true);
    Log::line("Config dialog created.");
}

ConfigDialog::~ConfigDialog()
{
    Log::line("Config dialog destroyed.");
}

void ConfigDialog::setListenPort(unsigned int port)
{
    spinBox->setValue(static_cast<int>(std::min(port, static_cast<unsigned int>(spinBox->maximum()))));
}

// With no prefix, suffix or group separators the text is the plain decimal
// value; should it ever not read as a number, the spin box's value stands.
unsigned int ConfigDialog::getListenPort() const
{
    bool converted = false;
    const unsigned int port = spinBox->text().toUInt(&converted);
    return converted ? port : static_cast<unsigned int>(spinBox->value());
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
