#pragma once

#include "ProtocolBase.h"

#include <QObject>

#include <boost/shared_ptr.hpp>

#include <functional>
#include <string>

class AttributesEditor;
class Http;
class QCheckBox;
class QComboBox;

namespace Ui
{
class ConnectionWindowForm;
}

// The "Protocol attributes" box of a connection window: for a protocol with
// attributes, the editor of its list; for HTTP also the status line's code
// and reason and "Close after each response". Hidden for plain text.
class HttpResponsePanel : public QObject
{
public:
    // edited is called whenever the status line is changed.
    HttpResponsePanel(Ui::ConnectionWindowForm& form, boost::shared_ptr<ProtocolBase> protocol,
                      std::function<void()> edited);

    // The status line as typed (Latin-1); empty without HTTP.
    std::string status() const;
    ProtocolBase::AttributeList headers() const;

    QComboBox* statusBox() const { return statusChoice; }
    QCheckBox* closeAfterResponseBox() const { return closeAfterResponse; }

private:
    void addHttpRows(Ui::ConnectionWindowForm& form, std::function<void()> edited);

    AttributesEditor* editor = nullptr;
    Http* http = nullptr;
    QComboBox* statusChoice = nullptr;
    QCheckBox* closeAfterResponse = nullptr;
};
