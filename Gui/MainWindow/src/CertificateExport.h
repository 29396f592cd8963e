#pragma once

#include <QObject>
#include <QString>

#include <boost/shared_ptr.hpp>

class Core;
class QAction;
class QWidget;

// File > Export Certificate...: writes the PEM certificate that a client
// must trust to reach the TLS ports (curl --cacert FILE), making the
// generated one first when there is none yet, and shows its SHA-256
// fingerprint, which the log gets too.
class CertificateExport : public QObject
{
    Q_OBJECT

public:
    CertificateExport(QWidget* window, QAction* action, boost::shared_ptr<Core> core);

    // Writes to path without asking; message then tells the user what was
    // written (or why nothing was).
    bool exportTo(const QString& path, QString& message) const;

private:
    void run();

    QWidget* window;
    boost::shared_ptr<Core> core;
};
