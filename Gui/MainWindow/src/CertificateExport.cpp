#include "CertificateExport.h"

#include "Core.h"
#include "FileDialogs.h"
#include "FilePaths.h"
#include "Log.h"

#include <QAction>
#include <QMessageBox>
#include <QWidget>

CertificateExport::CertificateExport(QWidget* window, QAction* action, boost::shared_ptr<Core> core)
    : QObject(window)
    , window(window)
    , core(std::move(core))
{
    connect(action, &QAction::triggered, this, &CertificateExport::run);
}

void CertificateExport::run()
{
    QString filter = "PEM certificate (*.pem)";
    const QString path =
        FileDialogs::saveFile(window, "Export Certificate", {filter, "All files (*)"}, &filter);
    if (path.isEmpty())
        return;
    QString message;
    if (exportTo(path, message))
        QMessageBox::information(window, "Certificate exported", message);
    else
        QMessageBox::critical(window, "Error", message);
}

bool CertificateExport::exportTo(const QString& path, QString& message) const
{
    std::string error;
    const auto credentials = core->getTlsSetup().credentials(error);
    if (credentials && credentials->exportTrustPem(FilePaths::toSystem(path), error)) {
        const std::string fingerprint = credentials->fingerprintSha256();
        Log::line("TLS: exported the certificate to trust to ", FilePaths::toSystem(path), ", SHA-256 fingerprint ",
                  fingerprint);
        message = QString("Clients that trust %1 accept this program's TLS ports, for example:\n"
                          "curl --cacert %1 https://localhost:PORT/\n\nSHA-256 fingerprint:\n%2")
                      .arg(path, QString::fromStdString(fingerprint));
        return true;
    }
    message = "Couldn't export the certificate: " + QString::fromStdString(error);
    Log::line(message.toLocal8Bit().toStdString());
    return false;
}
