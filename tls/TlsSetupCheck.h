#pragma once

#include "ListenerOptions.h"

#include <string>

// What is wrong with the listener options of a TLS setup, one field at a
// time, for a form to show beside that field: empty when nothing is. Reads
// a chosen CA file (a small regular file only) and creates nothing; the
// certificate is checked by TlsSetup::credentials.
namespace TlsSetupCheck
{
std::string versions(const ListenerOptions& options);
// A CA file readable and holding certificates, unless client certificates are off.
std::string clientCertificates(const ListenerOptions& options);
// A key log file that can be appended to, or created in an existing folder.
std::string keyLogFile(const std::string& path);
}
