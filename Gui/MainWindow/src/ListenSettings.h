#pragma once

#include <QSettings>

class Core;

// Where the program listens, in a settings group of its own ("Listening"):
// the bind address ("all", "loopback" or an address) and the port list
// ("2222, 8080"). The first port is also written as MainWindow/listenPort,
// which older versions read; without a list that key is the one port.
namespace ListenSettings
{
// Reads both into core, once MainWindow/listenPort has been read. A value
// that cannot be used is reported and the default (all addresses, the
// listenPort) stays.
void restore(QSettings& settings, Core& core);
void save(QSettings& settings, const Core& core);
}
