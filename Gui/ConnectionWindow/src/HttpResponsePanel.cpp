#include "HttpResponsePanel.h"

#include "AttributesEditor.h"
#include "AttributesModel.h"
#include "AttributesTableView.h"
#include "Http.h"
#include "Latin1.h"
#include "ui_ConnectionWindowForm.h"

#include <QHeaderView>

namespace
{
const char* const commonStatuses[] = {
    "200 OK", "201 Created", "204 No Content", "301 Moved Permanently", "302 Found", "304 Not Modified",
    "400 Bad Request", "401 Unauthorized", "403 Forbidden", "404 Not Found", "405 Method Not Allowed",
    "408 Request Timeout", "413 Payload Too Large", "429 Too Many Requests", "500 Internal Server Error",
    "502 Bad Gateway", "503 Service Unavailable"};
}

HttpResponsePanel::HttpResponsePanel(Ui::ConnectionWindowForm& form, boost::shared_ptr<ProtocolBase> protocol,
                                     std::function<void()> edited)
{
    if (!protocol->hasAttributes()) {
        form.groupBox->hide();
        return;
    }
    form.groupBox->show();
    editor = new AttributesEditor(protocol, nullptr);
    form.gridLayout_5->addWidget(editor, 0, 0, 1, 2);
    // The header lines get room of their own beside the conversation.
    editor->getTableView()->horizontalHeader()->setStretchLastSection(true);
    form.splitter_3->setStretchFactor(0, 3);
    form.splitter_3->setStretchFactor(1, 2);
    form.splitter_3->setSizes({600, 400});
    http = dynamic_cast<Http*>(protocol.get());
    if (http)
        addHttpRows(form, std::move(edited));
}

void HttpResponsePanel::addHttpRows(Ui::ConnectionWindowForm& form, std::function<void()> edited)
{
    form.gridLayout_5->addWidget(new QLabel(QStringLiteral("Status:"), form.groupBox), 1, 0);
    statusChoice = new QComboBox(form.groupBox);
    statusChoice->setObjectName(QStringLiteral("statusBox"));
    statusChoice->setEditable(true);
    statusChoice->setInsertPolicy(QComboBox::NoInsert);
    statusChoice->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    statusChoice->setMinimumContentsLength(10);
    for (const char* status : commonStatuses)
        statusChoice->addItem(QString::fromLatin1(status));
    statusChoice->setToolTip(QStringLiteral("The status line's code and reason, such as 404 Not Found"));
    form.gridLayout_5->addWidget(statusChoice, 1, 1);
    closeAfterResponse = new QCheckBox(QStringLiteral("Close after each response"), form.groupBox);
    closeAfterResponse->setObjectName(QStringLiteral("closeAfterResponseBox"));
    form.gridLayout_5->addWidget(closeAfterResponse, 2, 0, 1, 2);
    connect(closeAfterResponse, &QCheckBox::toggled, this, [this](bool checked) { http->setCloseAfterResponse(checked); });
    connect(statusChoice, &QComboBox::currentTextChanged, this, std::move(edited));
}

std::string HttpResponsePanel::status() const
{
    return statusChoice ? Latin1::toBytes(statusChoice->currentText()) : std::string();
}

ProtocolBase::AttributeList HttpResponsePanel::headers() const
{
    return editor ? editor->getModel()->getAttributes() : ProtocolBase::AttributeList();
}
