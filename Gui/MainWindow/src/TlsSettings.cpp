#include "TlsSettings.h"

#include "AlpnList.h"
#include "Core.h"
#include "FilePaths.h"
#include "Latin1.h"
#include "SettingsReader.h"

#include <QFileInfo>

namespace
{
const char* const group = "Tls";
const char* const certificateKey = "certificate";
const char* const certificateFileKey = "certificateFile";
const char* const privateKeyFileKey = "privateKeyFile";
const char* const lowestVersionKey = "lowestVersion";
const char* const highestVersionKey = "highestVersion";
const char* const alpnKey = "alpn";
const char* const clientCertificatesKey = "clientCertificates";
const char* const clientCaFileKey = "clientCaFile";
const char* const keyLogFileKey = "keyLogFile";

const char* const generatedWord = "generated";
const char* const ownWord = "own";

QString versionWord(TlsVersion version)
{
    return version == TlsVersion::Tls12 ? "1.2" : "1.3";
}

QString clientCertificatesWord(ClientCertificates choice)
{
    switch (choice) {
    case ClientCertificates::Requested:
        return "requested";
    case ClientCertificates::Required:
        return "required";
    case ClientCertificates::Off:
        break;
    }
    return "off";
}

// The stored word among the choices, or the default when there is none or
// it names no choice (reported).
template <typename Choice, typename Words>
Choice readChoice(SettingsReader& reader, const char* key, Choice defaultChoice, const std::vector<Choice>& choices,
                  Words word)
{
    const std::optional<QString> text = reader.readText(key);
    if (!text)
        return defaultChoice;
    for (const Choice choice : choices) {
        if (word(choice) == text->trimmed().toLower())
            return choice;
    }
    reader.reportInvalid(key, *text);
    return defaultChoice;
}

QString readPath(SettingsReader& reader, const char* key)
{
    return reader.readText(key).value_or(QString());
}

void readVersions(SettingsReader& reader, ListenerOptions& options)
{
    const std::vector<TlsVersion> versions{TlsVersion::Tls12, TlsVersion::Tls13};
    options.lowestVersion = readChoice(reader, lowestVersionKey, TlsVersion::Tls12, versions, versionWord);
    options.highestVersion = readChoice(reader, highestVersionKey, TlsVersion::Tls13, versions, versionWord);
    if (options.lowestVersion > options.highestVersion) {
        reader.reportInvalid(lowestVersionKey, versionWord(options.lowestVersion));
        options.lowestVersion = TlsVersion::Tls12;
        options.highestVersion = TlsVersion::Tls13;
    }
}

void readAlpn(SettingsReader& reader, ListenerOptions& options)
{
    const std::optional<QString> text = reader.readText(alpnKey);
    if (!text)
        return;
    std::string reason;
    if (const auto protocols = AlpnList::parse(Latin1::toBytes(*text), reason))
        options.alpnProtocols = *protocols;
    else
        reader.reportInvalid(alpnKey, *text);
}

void readClientCertificates(SettingsReader& reader, ListenerOptions& options)
{
    options.clientCertificates = readChoice(
        reader, clientCertificatesKey, ClientCertificates::Off,
        {ClientCertificates::Off, ClientCertificates::Requested, ClientCertificates::Required}, clientCertificatesWord);
    options.clientCaFile = FilePaths::toSystem(readPath(reader, clientCaFileKey));
    if (options.clientCertificates != ClientCertificates::Off && options.clientCaFile.empty()) {
        reader.reportInvalid(clientCertificatesKey, clientCertificatesWord(options.clientCertificates));
        options.clientCertificates = ClientCertificates::Off;
    }
}

void readCertificate(SettingsReader& reader, TlsSetup& setup)
{
    using Source = TlsSetup::CertificateSource;
    setup.certificateSource = readChoice(reader, certificateKey, Source::Generated,
                                         {Source::Generated, Source::OwnFiles}, [](Source source) {
                                             return QString(source == Source::OwnFiles ? ownWord : generatedWord);
                                         });
    setup.chainFile = FilePaths::toSystem(readPath(reader, certificateFileKey));
    setup.keyFile = FilePaths::toSystem(readPath(reader, privateKeyFileKey));
    if (setup.certificateSource == Source::OwnFiles && (setup.chainFile.empty() || setup.keyFile.empty())) {
        reader.reportInvalid(certificateKey, QString(ownWord));
        setup.certificateSource = Source::Generated;
    }
}
}

namespace TlsSettings
{
void restore(QSettings& settings, Core& core)
{
    TlsSetup setup;
    setup.generatedFolder = FilePaths::toSystem(QFileInfo(settings.fileName()).absolutePath());
    SettingsReader reader(settings, group);
    readCertificate(reader, setup);
    readVersions(reader, setup.listener);
    readAlpn(reader, setup.listener);
    readClientCertificates(reader, setup.listener);
    setup.listener.keyLogFile = FilePaths::toSystem(readPath(reader, keyLogFileKey));
    core.setTlsSetup(setup);
}

void save(QSettings& settings, const Core& core)
{
    const TlsSetup& setup = core.getTlsSetup();
    const ListenerOptions& options = setup.listener;
    settings.beginGroup(group);
    settings.setValue(certificateKey,
                      setup.certificateSource == TlsSetup::CertificateSource::OwnFiles ? ownWord : generatedWord);
    settings.setValue(certificateFileKey, FilePaths::toText(setup.chainFile));
    settings.setValue(privateKeyFileKey, FilePaths::toText(setup.keyFile));
    settings.setValue(lowestVersionKey, versionWord(options.lowestVersion));
    settings.setValue(highestVersionKey, versionWord(options.highestVersion));
    settings.setValue(alpnKey, Latin1::toQString(AlpnList::format(options.alpnProtocols)));
    settings.setValue(clientCertificatesKey, clientCertificatesWord(options.clientCertificates));
    settings.setValue(clientCaFileKey, FilePaths::toText(options.clientCaFile));
    settings.setValue(keyLogFileKey, FilePaths::toText(options.keyLogFile));
    settings.endGroup();
}
}
