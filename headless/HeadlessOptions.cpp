#include "HeadlessOptions.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace
{
bool parsePort(const std::string& text, unsigned int& port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = static_cast<unsigned int>(std::stoul(text));
    return port <= 65535;
}

bool parseCount(const std::string& text, std::uint64_t& count)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    count = std::stoull(text);
    return count > 0;
}

std::string quoted(const std::string& value)
{
    return "'" + value + "'";
}

bool parseVersion(const std::string& text, TlsVersion& version)
{
    if (text != "1.2" && text != "1.3")
        return false;
    version = text == "1.2" ? TlsVersion::Tls12 : TlsVersion::Tls13;
    return true;
}

// "h2,http/1.1": names of 1 to 255 bytes, separated by commas.
bool parseAlpn(const std::string& text, std::vector<std::string>& protocols)
{
    protocols.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string name = text.substr(start, comma - start);
        if (name.empty() || name.size() > 255)
            return false;
        protocols.push_back(name);
        if (comma == text.size())
            return true;
        start = comma + 1;
    }
}
}

std::string HeadlessOptions::defaultConfigurationFolder()
{
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome && configHome[0] == '/')
        return std::string(configHome) + "/Brindlewick";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config/Brindlewick";
}

bool HeadlessOptions::parseListen(const std::string& text, ListenPlace& place, std::string& reason)
{
    std::string address;
    std::string port = text;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find("]:");
        if (close == std::string::npos) {
            reason = "an IPv6 address in brackets needs a port after it, as in [::1]:0";
            return false;
        }
        address = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const std::size_t colon = text.find(':'); colon != std::string::npos) {
        if (text.find(':', colon + 1) != std::string::npos) {
            reason = "an IPv6 address goes in brackets, as in [::1]:0";
            return false;
        }
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (!parsePort(port, place.port)) {
        reason = quoted(port) + " is not a port from 0 to 65535";
        return false;
    }
    if (address.empty()) {
        place.where = BindAddress::allAddresses();
        return true;
    }
    const auto where = BindAddress::parse(address, reason);
    if (!where)
        return false;
    place.where = *where;
    return true;
}

bool HeadlessOptions::parseSeconds(const std::string& text, std::chrono::milliseconds& duration, std::string& reason)
{
    errno = 0;
    char* end = nullptr;
    const double seconds = text.empty() ? 0 : std::strtod(text.c_str(), &end);
    const double mostSeconds = 365.0 * 24 * 3600;
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) || seconds <= 0 ||
        seconds > mostSeconds || text.find_first_of("xXpPeEnN") != std::string::npos) {
        reason = quoted(text) + " is not a number of seconds above 0";
        return false;
    }
    duration = std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
    return true;
}

std::string HeadlessOptions::set(const std::string& option, const std::string& value)
{
    std::string reason;
    const std::string name = "--" + option + ": ";
    if (option == "listen") {
        ListenPlace place;
        if (!parseListen(value, place, reason))
            return name + reason;
        if (listen.size() == maxListenPlaces)
            return name + "at most " + std::to_string(maxListenPlaces) + " places";
        listen.push_back(place);
    } else if (option == "protocol") {
        if (value == "plain")
            protocol = ProtocolFactory::PLAIN_TEXT;
        else if (value == "http")
            protocol = ProtocolFactory::HTTP;
        else
            return name + quoted(value) + " is neither plain nor http";
    } else if (option == "rules" || option == "transcript-dir" || option == "events") {
        if (value.empty())
            return name + "the name is empty";
        (option == "rules" ? rulesFile : option == "events" ? eventsPath : transcriptDir) = value;
    } else if (option == "exit-after-connections") {
        if (!parseCount(value, exitAfterConnections))
            return name + quoted(value) + " is not a number of connections above 0";
    } else if (option == "idle-timeout" || option == "timeout") {
        if (!parseSeconds(value, option == "timeout" ? timeout : idleTimeout, reason))
            return name + reason;
    } else {
        return setTls(option, value);
    }
    return {};
}

std::string HeadlessOptions::setTls(const std::string& option, const std::string& value)
{
    const std::string name = "--" + option + ": ";
    if (option == "cert" || option == "key" || option == "client-ca") {
        if (value.empty())
            return name + "the name is empty";
        (option == "cert" ? certificateFile : option == "key" ? keyFile : tlsOptions.clientCaFile) = value;
    } else if (option == "tls-min" || option == "tls-max") {
        if (!parseVersion(value, option == "tls-min" ? tlsOptions.lowestVersion : tlsOptions.highestVersion))
            return name + quoted(value) + " is neither 1.2 nor 1.3";
    } else if (option == "alpn") {
        if (!parseAlpn(value, tlsOptions.alpnProtocols))
            return name + quoted(value) + " is not a list of protocol names (1 to 255 bytes each) separated by commas";
    } else if (option == "client-certs") {
        if (value == "off")
            tlsOptions.clientCertificates = ClientCertificates::Off;
        else if (value == "requested")
            tlsOptions.clientCertificates = ClientCertificates::Requested;
        else if (value == "required")
            tlsOptions.clientCertificates = ClientCertificates::Required;
        else
            return name + quoted(value) + " is none of off, requested and required";
    } else {
        return "unknown option --" + option;
    }
    tlsOptionGiven = true;
    return {};
}

std::string HeadlessOptions::check() const
{
    if (listen.empty())
        return "--listen: at least one [ADDRESS:]PORT is needed, such as --listen 127.0.0.1:0";
    return checkTls();
}

std::string HeadlessOptions::checkTls() const
{
    if (certificateFile.empty() != keyFile.empty())
        return certificateFile.empty() ? "--key: goes with --cert FILE" : "--cert: needs --key FILE";
    if (tls && !certificateFile.empty())
        return "--tls: uses the generated certificate, --cert and --key one of your own: choose one";
    if (!servesTls() && tlsOptionGiven)
        return "--tls-min, --tls-max, --alpn, --client-certs and --client-ca need --tls or --cert and --key";
    if (tlsOptions.lowestVersion > tlsOptions.highestVersion)
        return "--tls-min: 1.3 is above --tls-max 1.2";
    if (tlsOptions.clientCertificates != ClientCertificates::Off && tlsOptions.clientCaFile.empty())
        return "--client-certs: needs --client-ca FILE, the certificates that vouch for the clients'";
    return {};
}
