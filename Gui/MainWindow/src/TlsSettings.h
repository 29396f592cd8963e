#pragma once

#include "TlsSetup.h"

#include <QSettings>

class Core;

// How the ports marked "/tls" serve their clients, in a settings group of
// its own ("Tls"): the certificate (generated, or the user's own files), the
// lowest and highest version, the ALPN protocols, client certificates with
// their CA file and the key log file (none by default). Every value is
// checked for form only: whether the files can be used is checked when a
// TLS listener starts, which then refuses to listen and says why.
namespace TlsSettings
{
// Reads the group into core; a value that cannot be used is reported and
// its default applies. The generated certificate is kept beside the
// settings file.
void restore(QSettings& settings, Core& core);
void save(QSettings& settings, const Core& core);
}
