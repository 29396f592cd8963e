#pragma once

#include <QSettings>

class Core;

// Where the program listens, in a settings group of its own ("Listening"):
// the bind address ("all", "loopback" or an address) and the port list
// ("2222, 8080", a port that serves TLS marked "8443/tls"). The first port
// is also written as MainWindow/listenPort, which older versions read (they
// take a first port 0 as invalid and listen on their default); without a
// list that key is the one port.
namespace ListenSettings
{
// Reads both into core; true when a valid port list was read, which then
// stands instead of MainWindow/listenPort. A value that cannot be used is
// reported, and the default (all addresses, the listenPort) applies.
bool restore(QSettings& settings, Core& core);
void save(QSettings& settings, const Core& core);
}
