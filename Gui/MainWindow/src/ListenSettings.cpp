#include "ListenSettings.h"

#include "BindAddress.h"
#include "Core.h"
#include "Latin1.h"
#include "PortList.h"
#include "SettingsReader.h"

namespace
{
const char* const group = "Listening";
const char* const portsKey = "ports";
const char* const bindAddressKey = "bindAddress";
}

namespace ListenSettings
{
bool restore(QSettings& settings, Core& core)
{
    SettingsReader reader(settings, group);
    core.setBindAddress(BindAddress::allAddresses());
    std::string reason;
    bool portListRead = false;
    if (const std::optional<QString> text = reader.readText(portsKey)) {
        const auto ports = PortList::parseListed(Latin1::toBytes(*text), reason);
        if (ports)
            core.setListedPorts(*ports);
        else
            reader.reportInvalid(portsKey, *text);
        portListRead = ports.has_value();
    }
    if (const std::optional<QString> text = reader.readText(bindAddressKey)) {
        if (const auto address = BindAddress::parse(Latin1::toBytes(*text), reason))
            core.setBindAddress(*address);
        else
            reader.reportInvalid(bindAddressKey, *text);
    }
    return portListRead;
}

void save(QSettings& settings, const Core& core)
{
    settings.beginGroup(group);
    settings.setValue(portsKey, Latin1::toQString(PortList::format(core.getListedPorts())));
    settings.setValue(bindAddressKey, Latin1::toQString(core.getBindAddress().text()));
    settings.endGroup();
}
}
